#include "quorvelin/image_header.h"

#include <string.h>

namespace {

uint32_t big_endian16(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

uint32_t big_endian32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint32_t little_endian16(const unsigned char* p) {
    return static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// Start-of-frame markers: C0 to CF except C4 (Huffman tables), C8
// (reserved) and CC (arithmetic coding conditioning).
bool start_of_frame(unsigned char marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Walks the JPEG segments after the start-of-image marker to the first
// start-of-frame. False when the scan data or the end of the image comes
// first, or the bytes end.
bool jpeg_dimensions(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height) {
    size_t at = 2;
    for (;;) {
        // Markers may be preceded by any number of fill bytes 0xFF.
        if (at >= size || data[at] != 0xFF)
            return false;
        while (at < size && data[at] == 0xFF)
            at++;
        if (at >= size)
            return false;
        unsigned char marker = data[at++];
        // Markers without a length: TEM, the restart markers and SOI.
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8))
            continue;
        if (marker == 0xD9 || marker == 0xDA || marker == 0x00)
            return false;
        if (size - at < 2)
            return false;
        size_t length = big_endian16(data + at);
        if (length < 2 || size - at < length)
            return false;
        if (start_of_frame(marker)) {
            // Precision, then height and width.
            if (length < 7)
                return false;
            *height = big_endian16(data + at + 3);
            *width = big_endian16(data + at + 5);
            return true;
        }
        at += length;
    }
}

} // namespace

ImageFormat image_header_read(const unsigned char* data, size_t size, uint32_t* width,
                              uint32_t* height) {
    if (data == nullptr)
        return IMAGE_UNKNOWN;
    if (size >= 10 && (memcmp(data, "GIF87a", 6) == 0 || memcmp(data, "GIF89a", 6) == 0)) {
        *width = little_endian16(data + 6);
        *height = little_endian16(data + 8);
        return IMAGE_GIF;
    }
    if (size >= 24 && memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0 && memcmp(data + 12, "IHDR", 4) == 0) {
        *width = big_endian32(data + 16);
        *height = big_endian32(data + 20);
        return IMAGE_PNG;
    }
    if (size >= 4 && data[0] == 0xFF && data[1] == 0xD8) {
        uint32_t w, h;
        if (!jpeg_dimensions(data, size, &w, &h))
            return IMAGE_UNKNOWN;
        *width = w;
        *height = h;
        return IMAGE_JPEG;
    }
    return IMAGE_UNKNOWN;
}

bool image_pixels_allowed(uint32_t width, uint32_t height, uint32_t max_pixels) {
    return static_cast<uint64_t>(width) * height <= max_pixels;
}
