// Reading the format and the declared size of an image before decoding it.
#include <gtest/gtest.h>

#include <string>

#include "support/quorvelin_test_support.h"

namespace {

using quorveltest::picture;

ImageFormat read(const std::string& bytes, uint32_t* width, uint32_t* height) {
    return image_header_read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), width,
                             height);
}

TEST(ImageHeader, FormatsAndSizesOfEncodedPictures) {
    struct Case {
        ImageFormat format;
        int width, height;
    } cases[] = {
        {IMAGE_GIF, 1, 1}, {IMAGE_GIF, 640, 17}, {IMAGE_PNG, 3, 4000}, {IMAGE_PNG, 300, 200},
        {IMAGE_JPEG, 8, 9}, {IMAGE_JPEG, 1024, 77},
    };
    for (const Case& c : cases) {
        uint32_t width = 0, height = 0;
        std::string bytes = picture(c.format, c.width, c.height);
        EXPECT_EQ(read(bytes, &width, &height), c.format);
        EXPECT_EQ(width, static_cast<uint32_t>(c.width));
        EXPECT_EQ(height, static_cast<uint32_t>(c.height));
        // Cut inside the header: nothing is read past the end.
        for (size_t cut : {size_t(0), size_t(3), size_t(9), size_t(23)}) {
            uint32_t w = 7, h = 7;
            ImageFormat format = read(bytes.substr(0, cut), &w, &h);
            if (format == IMAGE_UNKNOWN) {
                EXPECT_TRUE(w == 7 && h == 7);
            }
        }
    }
}

TEST(ImageHeader, JpegSegmentsBeforeTheFrameAreWalked) {
    std::string jpeg = picture(IMAGE_JPEG, 123, 45);
    // Fill bytes and an application segment inserted after SOI, and a
    // progressive frame marker instead of the baseline one.
    std::string app("\xFF\xFF\xFF\xE1\x00\x06" "abcd", 10);
    std::string walked = jpeg.substr(0, 2) + app + jpeg.substr(2);
    size_t frame = walked.find("\xFF\xC0");
    ASSERT_NE(frame, std::string::npos);
    walked[frame + 1] = '\xC2';
    uint32_t width = 0, height = 0;
    EXPECT_EQ(read(walked, &width, &height), IMAGE_JPEG);
    EXPECT_EQ(width, 123u);
    EXPECT_EQ(height, 45u);

    // Scan data before any frame, a segment running past the end, a length
    // below 2: no size can be told.
    for (std::string bytes : {std::string("\xFF\xD8\xFF\xDA\x00\x02", 6),
                              std::string("\xFF\xD8\xFF\xE0\x7F\xFF" "ab", 8),
                              std::string("\xFF\xD8\xFF\xE0\x00\x01\xFF\xC0", 8),
                              std::string("\xFF\xD8\xFF\xC0\x00\x04\x08\x00", 8)})
        EXPECT_EQ(read(bytes, &width, &height), IMAGE_UNKNOWN);
}

TEST(ImageHeader, OtherBytesAreNoKnownImage) {
    uint32_t width = 0, height = 0;
    for (std::string bytes : {std::string("<html><body>not an image</body></html>"),
                              std::string("GIF87"), std::string("BM\x36\x00\x00\x00", 6),
                              std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIDAT\x00\x00\x00\x01\x00\x00\x00\x01", 24)})
        EXPECT_EQ(read(bytes, &width, &height), IMAGE_UNKNOWN) << bytes;
    EXPECT_EQ(image_header_read(nullptr, 10, &width, &height), IMAGE_UNKNOWN);
}

TEST(ImageHeader, HugeDeclaredSizesAreReadAsDeclared) {
    uint32_t width = 0, height = 0;
    EXPECT_EQ(read(quorveltest::png_declaring(0x7FFFFFFF, 0x7FFFFFFF), &width, &height), IMAGE_PNG);
    EXPECT_EQ(width, 0x7FFFFFFFu);
    EXPECT_FALSE(image_pixels_allowed(width, height, 4294967295u));
    EXPECT_FALSE(image_pixels_allowed(65536, 65536, 4294967295u));
    EXPECT_TRUE(image_pixels_allowed(65535, 65535, 4294967295u));
    EXPECT_TRUE(image_pixels_allowed(4096, 4096, 16777216));
    EXPECT_FALSE(image_pixels_allowed(4097, 4096, 16777216));
}

} // namespace
