// Stand-in for the closed image reader of the image-analysis engine
// (libIAImageReaderShared.so), written from the calls the image filter makes
// and nothing else. It decodes GIF, PNG and JPEG with libgd and hands out
// the pixels as 3 bytes each, in blue, green, red order, row by row.
//
// A test steers it through the picture itself: an image whose top-left
// pixel has blue 255 is accepted by CheckIfImageIsValid but refused by
// DecodeImageIntoBGRBuffer, so the filter's decode-failure path can be
// reached with an ordinary image.
#include <string.h>

#include <gd.h>

namespace {

// Decodes by the format's signature, so no decoder is ever handed bytes of
// another format.
gdImagePtr decode(const unsigned char* data, int size) {
    void* bytes = const_cast<unsigned char*>(data);
    if (data == nullptr || size < 8)
        return nullptr;
    if (memcmp(data, "GIF8", 4) == 0)
        return gdImageCreateFromGifPtr(size, bytes);
    if (memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
        return gdImageCreateFromPngPtr(size, bytes);
    if (data[0] == 0xFF && data[1] == 0xD8)
        return gdImageCreateFromJpegPtr(size, bytes);
    return nullptr;
}

int blue_of(gdImagePtr image, int x, int y) {
    return gdImageBlue(image, gdImageGetPixel(image, x, y));
}

} // namespace

extern "C" bool CheckIfImageIsValid(const unsigned char* data, int size, int* width, int* height,
                                    int* buffer_size) {
    gdImagePtr image = decode(data, size);
    if (image == nullptr)
        return false;
    *width = gdImageSX(image);
    *height = gdImageSY(image);
    *buffer_size = *width * *height * 3;
    gdImageDestroy(image);
    return true;
}

extern "C" bool DecodeImageIntoBGRBuffer(const unsigned char* data, int size, unsigned char* buffer,
                                         int capacity) {
    gdImagePtr image = decode(data, size);
    if (image == nullptr)
        return false;
    int width = gdImageSX(image), height = gdImageSY(image);
    bool fits = static_cast<long>(width) * height * 3 <= capacity;
    if (!fits || blue_of(image, 0, 0) == 255) {
        gdImageDestroy(image);
        return false;
    }
    unsigned char* out = buffer;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            int colour = gdImageGetPixel(image, x, y);
            *out++ = static_cast<unsigned char>(gdImageBlue(image, colour));
            *out++ = static_cast<unsigned char>(gdImageGreen(image, colour));
            *out++ = static_cast<unsigned char>(gdImageRed(image, colour));
        }
    gdImageDestroy(image);
    return true;
}
