// Stand-in for the closed image-analysis engine (libIAEngineShared.so),
// written from the calls the image filter makes and nothing else.
//
// The raw result a test wants is painted into the picture: the scan
// returns red * 256 + green of the top-left pixel (blue, green, red bytes
// in the buffer), so 0 to 65535. Two build variants reach the binding's
// failure paths:
//   ENGINE_INIT_RESULT      what InitializeEngine returns (1: ready)
//   ENGINE_WITHOUT_SCAN     the scan function is left out of the library
namespace {

bool initialized = false;

} // namespace

extern "C" int InitializeEngine() {
    initialized = ENGINE_INIT_RESULT == 1;
    return ENGINE_INIT_RESULT;
}

extern "C" int DeInitializeEngine() {
    initialized = false;
    return 1;
}

#ifndef ENGINE_WITHOUT_SCAN
// A scan before initialisation, or with a buffer smaller than the picture,
// answers -1: harmless, so a test that expects a block notices.
extern "C" int CheckForVisualVirusFromBGRBuffer2(const unsigned char* buffer, int capacity, int width,
                                                 int height, int sensitivity, int) {
    if (!initialized || buffer == nullptr || width <= 0 || height <= 0 || sensitivity < 0 ||
        static_cast<long>(width) * height * 3 >= capacity)
        return -1;
    return buffer[2] * 256 + buffer[1];
}
#endif
