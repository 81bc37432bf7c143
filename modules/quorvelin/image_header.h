// The format and the pixel size an encoded image declares in its header,
// read without decoding it, so that an image declaring more pixels than the
// configured limit is refused before any decoder allocates for it.
//
// Recognised: GIF (87a and 89a: the logical screen, which every frame of a
// GIF that libgd decodes lies within), PNG (the IHDR chunk, which must come
// first) and JPEG (the first start-of-frame segment, found by walking the
// segments from the start-of-image marker). Pure function of its input; it
// never reads beyond `size` bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum ImageFormat {
    IMAGE_UNKNOWN = 0,
    IMAGE_GIF = 1,
    IMAGE_PNG = 2,
    IMAGE_JPEG = 3,
};

// The format of the bytes, with the declared width and height in pixels;
// IMAGE_UNKNOWN (width and height untouched) when the bytes begin with none
// of the three signatures or end before the dimensions.
ImageFormat image_header_read(const unsigned char* data, size_t size, uint32_t* width,
                              uint32_t* height);

// Whether width x height stays within max_pixels (computed without
// overflow).
bool image_pixels_allowed(uint32_t width, uint32_t height, uint32_t max_pixels);
