// The binding of the vendor's image-analysis engine: two closed libraries in
// the section's directory, opened once at start-up by
// QuorvelinSection::initialize_engine and never closed, and the five
// functions the filter calls, exported under their own names.
//
// What the filter relies on (the engine's call contract):
//   reader: CheckIfImageIsValid(bytes, count, &width, &height, &buffer_size)
//             true when the bytes are an image the reader decodes; then the
//             size in pixels and the bytes of its BGR pixel buffer.
//           DecodeImageIntoBGRBuffer(bytes, count, buffer, buffer_size + 1)
//             true when the image was decoded into the buffer.
//   engine: InitializeEngine()  1 when the engine is ready; called once.
//           CheckForVisualVirusFromBGRBuffer2(buffer, buffer_size + 1,
//             width, height, sensitivity, -1)
//             the raw result: 0 or less harmless, 10000 or more the most
//             objectionable.
//           DeInitializeEngine()  looked up and required; never called.
// The pixel layout and the last argument of the scan are the engine's; the
// filter never looks inside the buffer. The functions are called from many
// workers at once, without a lock.
//
// Written once on the start-up thread (before any worker exists), read
// without a lock afterwards; a binding that stops half-way leaves the
// filter off (QuorvelinSection::ready false) and the libraries it opened
// open.
#pragma once

extern "C" {
extern void* hIAEngine;
extern void* hIAImageReader;
extern bool (*CheckIfImageIsValid)(const unsigned char* data, int size, int* width, int* height,
                                   int* buffer_size);
extern bool (*DecodeImageIntoBGRBuffer)(const unsigned char* data, int size, unsigned char* buffer,
                                        int capacity);
extern int (*DeInitializeEngine)();
extern int (*CheckForVisualVirusFromBGRBuffer2)(unsigned char* buffer, int capacity, int width,
                                                int height, int sensitivity, int reserved);
extern int (*InitializeEngine)();
}

// The two libraries' names inside the engine directory.
constexpr const char* ENGINE_LIBRARY = "libIAEngineShared.so";
constexpr const char* READER_LIBRARY = "libIAImageReaderShared.so";
