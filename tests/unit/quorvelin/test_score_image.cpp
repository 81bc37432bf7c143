// The score image of "imgscore": drawing, sending, and what decides
// whether it is shown.
#include <gtest/gtest.h>

#include <string>

#include "core/extensions.h"
#include "core/mem.h"
#include "http/url_commands.h"
#include "quorvelin/score_image.h"
#include "support/quorvelin_test_support.h"
#include "support/section_test_support.h"

namespace {

using quorveltest::buffer_of;
using quorveltest::picture;

const char* const REQUEST =
    "GET http://xx--imgscore.example.test/a.png HTTP/1.1\r\nHost: example.test\r\n\r\n";

struct Colour {
    int red, green, blue;
};
const Colour DARK_BLUE = {0, 0, 127};
const Colour DARK_RED = {127, 0, 0};

// The rows [first, last) of the decoded image that hold the colour; -1
// when none does.
int first_row_with(gdImagePtr image, Colour colour, int from = 0, int to = -1) {
    if (to < 0)
        to = gdImageSY(image);
    for (int y = from; y < to; y++)
        for (int x = 0; x < gdImageSX(image); x++) {
            int pixel = gdImageGetPixel(image, x, y);
            if (gdImageRed(image, pixel) == colour.red && gdImageGreen(image, pixel) == colour.green &&
                gdImageBlue(image, pixel) == colour.blue)
                return y;
        }
    return -1;
}

gdImagePtr decoded(const Filebuf* image) {
    return gdImageCreateFromPngPtr(static_cast<int>(image->size), image->data);
}

class ScoreImageTest : public quorveltest::QuorvelinTest {
protected:
    void SetUp() override {
        QuorvelinTest::SetUp();
        connection->variables["IMAGESCORE"] = "+6.0000";
        connection->variables["IMAGETHRESHOLD"] = "+2.0000";
        connection->variables["ENGINE_SENSITIVITY"] = "65";
        connection->variables["SCAN_RESULT"] = "8000";
    }

    // The score image of a white PNG of the size, decoded again.
    gdImagePtr drawn(int width, int height, bool allowed) {
        Filebuf* body = buffer_of(picture(IMAGE_PNG, width, height));
        Filebuf* image = make_image(connection.get(), body, allowed, 16777216);
        delete body;
        EXPECT_NE(image, nullptr);
        gdImagePtr result = image != nullptr ? decoded(image) : nullptr;
        delete image;
        return result;
    }

    sectiontest::Connection connection{REQUEST};
};

TEST_F(ScoreImageTest, EachFormatComesBackInItsOwnFormat) {
    struct Case {
        ImageFormat format;
        const char* content_type;
    } cases[] = {{IMAGE_GIF, "image/gif"}, {IMAGE_PNG, "image/png"}, {IMAGE_JPEG, "image/jpeg"}};
    for (const Case& c : cases) {
        Filebuf* body = buffer_of(picture(c.format, 210, 160));
        Filebuf* image = make_image(connection.get(), body, true, 16777216);
        ASSERT_NE(image, nullptr) << c.content_type;
        EXPECT_STREQ(image->content_type, c.content_type);
        uint32_t width = 0, height = 0;
        EXPECT_EQ(image_header_read(reinterpret_cast<unsigned char*>(image->data), image->size, &width,
                                    &height),
                  c.format);
        EXPECT_EQ(width, 210u);
        EXPECT_EQ(height, 160u);
        delete image;
        delete body;
    }
}

TEST_F(ScoreImageTest, TextColourFontAndTheBlockedMark) {
    // Below 150 pixels either way the tiny font (8 rows a line), from 150
    // on both the medium bold one (13 rows): the first line's text lies in
    // the second line's rows.
    struct Case {
        int width, height;
        int text_from, text_to;
    } fonts[] = {{149, 149, 8, 16}, {149, 400, 8, 16}, {400, 149, 8, 16}, {150, 150, 13, 26},
                 {600, 300, 13, 26}};
    for (const Case& c : fonts) {
        gdImagePtr image = drawn(c.width, c.height, true);
        int first = first_row_with(image, DARK_BLUE);
        EXPECT_GE(first, c.text_from) << c.width << "x" << c.height;
        EXPECT_LT(first, c.text_to) << c.width << "x" << c.height;
        EXPECT_EQ(first_row_with(image, DARK_RED), -1);
        gdImageDestroy(image);
    }

    // Blocked: dark red, and "!! BLOCKED !!" in the giant font (15 rows)
    // below the middle: y = 300/2 - 15/2 + (4 lines x 13 rows)/2 = 169.
    gdImagePtr blocked = drawn(300, 300, false);
    EXPECT_EQ(first_row_with(blocked, DARK_BLUE), -1);
    EXPECT_GE(first_row_with(blocked, DARK_RED), 13);
    int mark = first_row_with(blocked, DARK_RED, 100);
    EXPECT_GE(mark, 169);
    EXPECT_LT(mark, 169 + 15);
    gdImageDestroy(blocked);

    // Too narrow for "Score +6.0000": no line, but the mark.
    gdImagePtr narrow = drawn(60, 300, false);
    int first_red = first_row_with(narrow, DARK_RED);
    EXPECT_GE(first_red, 300 / 2 - 15 / 2 + 8 / 2);
    gdImageDestroy(narrow);
}

TEST_F(ScoreImageTest, BodiesThatAreNotDrawn) {
    struct Case {
        std::string bytes;
        const char* message;
    } cases[] = {
        {quorveltest::png_declaring(70000, 70000),
         "quorvelin: image declares 70000 x 70000 pixels, more than 16777216: not drawn"},
        {"<html>no picture</html>", "im failed"},
        // A PNG header with nothing decodable after it.
        {picture(IMAGE_PNG, 60, 60).substr(0, 40), "im failed"},
    };
    for (const Case& c : cases) {
        Filebuf* body = buffer_of(c.bytes);
        EXPECT_EQ(make_image(connection.get(), body, true, 16777216), nullptr);
        EXPECT_TRUE(logged(c.message)) << c.message;
        delete body;
    }
}

TEST_F(ScoreImageTest, TheImageIsSentWhole) {
    connection.attach_client();
    Filebuf* image = buffer_of("PNGDATA");
    image->content_type = xstrdup("image/png");
    EXPECT_TRUE(send_image(connection.get(), image, false));
    std::string sent = connection.sent();
    EXPECT_EQ(sent.find("HTTP/1.1 200"), 0u) << sent;
    EXPECT_NE(sent.find("Content-Type: image/png\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("Cache-Control: no-cache\r\n"), std::string::npos) << sent;
    EXPECT_NE(sent.find("Content-Length: 7\r\n"), std::string::npos) << sent;
    EXPECT_EQ(sent.substr(sent.size() - 11), "\r\n\r\nPNGDATA");
    EXPECT_EQ(connection->log.status, 404);
    EXPECT_EQ(connection->log.cachecode(), "TCP_MISS");
    EXPECT_EQ(connection->log.peer, "kestrivan");
    EXPECT_EQ(connection->log.mime, "image/png");
    EXPECT_EQ(connection->log.size, 7);

    EXPECT_TRUE(send_image(connection.get(), image, true));
    EXPECT_EQ(connection->log.status, 200);
    connection->flags |= CONN_NO_CLIENT;
    EXPECT_FALSE(send_image(connection.get(), image, true));
    delete image;
}

int blocking_check_calls = 0;
int blocking_check(CONNECTION_T*, Filebuf*) {
    blocking_check_calls++;
    return 1;
}

class ShowScoreTest : public ScoreImageTest {
protected:
    // Asks for the score image of a PNG with the raw result, threshold 2.
    int ask(int raw, unsigned access = 0) {
        connection->access = access;
        connection->log.Reset();
        connection->variables.clear();
        Filebuf* body = buffer_of(picture(IMAGE_PNG, 200, 200, raw));
        int answered = quorvelin_prerespmod(connection.get(), body);
        delete body;
        return answered;
    }
};

TEST_F(ShowScoreTest, AnImageThatPassesIsShownWithItsScore) {
    bind();
    connection.attach_client();
    url_command_t** commands = url_command_parse(connection->request->host);
    ASSERT_EQ(ask(150), 0) << "the request has no imgscore command yet";
    connection->url_commands = commands;
    ASSERT_EQ(ask(150), 1);
    EXPECT_EQ(connection->variables["IMAGESCORE"], "-6.0000");
    EXPECT_EQ(connection->variables["IMAGETHRESHOLD"], "+2.0000");
    EXPECT_EQ(connection->log.status, 200);
    std::string sent = connection.sent();
    EXPECT_NE(sent.find("Content-Type: image/png\r\n"), std::string::npos);

    // Not an image, or no rule: the response goes its normal way.
    connection->variables.clear();
    Filebuf* html = buffer_of("<html></html>");
    EXPECT_EQ(quorvelin_prerespmod(connection.get(), html), 0);
    delete html;
    connection->bypass = BYPASS_ANTIVIRUS;
    EXPECT_EQ(ask(150), 0);
    connection->bypass = 0;
    EXPECT_TRUE(connection.sent().empty());
    url_command_free(commands);
    connection->url_commands = nullptr;
}

TEST_F(ShowScoreTest, AnImageThatWouldBeBlockedIsShownOnlyWithTheBypassRight) {
    bind();
    connection.attach_client();
    connection->url_commands = url_command_parse(connection->request->host);
    // Without the right: refused as without the command (the block page;
    // there is no template section here, so only the record shows it).
    ASSERT_EQ(ask(8000), 1);
    EXPECT_EQ(connection->log.status, 403);
    EXPECT_EQ(connection->log.filter_name, "image-filter");
    EXPECT_TRUE(connection.sent().empty());
    // With it: the score image, logged as 404.
    ASSERT_EQ(ask(8000, ACCESS_BYPASS), 1);
    EXPECT_EQ(connection->log.status, 404);
    EXPECT_NE(connection.sent().find("Content-Type: image/png\r\n"), std::string::npos);
    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;
}

TEST_F(ShowScoreTest, TheOtherResponseChecksStillDecide) {
    bind();
    connection.attach_client();
    connection->url_commands = url_command_parse(connection->request->host);
    ASSERT_EQ(processors.Add(blocking_check, PROCESSOR_RESPCHECK), 1);
    for (int raw : {150, 8000}) {
        blocking_check_calls = 0;
        EXPECT_EQ(ask(raw, ACCESS_BYPASS), 1);
        EXPECT_EQ(blocking_check_calls, 1);
        EXPECT_EQ(connection->log.status, 403);
        EXPECT_EQ(connection->log.cachecode(), "TCP_DENIED");
        EXPECT_TRUE(connection.sent().empty());
    }
    processors.Remove(blocking_check);
    // Without a client nothing is scored or drawn.
    connection->flags |= CONN_NO_CLIENT;
    EXPECT_EQ(ask(150), 0);
    EXPECT_TRUE(connection->variables.empty());
    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;
}

} // namespace
