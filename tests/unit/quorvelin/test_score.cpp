// Scoring images with the (stand-in) engine, the rule search and the
// response check.
#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "net/connection.h"
#include "support/quorvelin_test_support.h"
#include "support/section_test_support.h"

namespace {

using quorveltest::buffer_of;
using quorveltest::picture;

const char* const REQUEST = "GET http://example.test/a.png HTTP/1.1\r\nHost: example.test\r\n\r\n";

class ScoreTest : public quorveltest::QuorvelinTest {
protected:
    float scan(const std::string& bytes, float threshold = 2) {
        Filebuf* body = buffer_of(bytes);
        float score = section->scan_image(connection.get(), body, threshold);
        delete body;
        return score;
    }
    std::string variable(const char* name) { return connection->variables[name]; }
    int quorvelin_lines() {
        int count = 0;
        for (const std::string& line : logtest::file_lines(log_path))
            count += line.find("quorvelin") != std::string::npos;
        return count;
    }

    sectiontest::Connection connection{REQUEST};
};

TEST(ScoreMap, RawResultsMapOntoTheScoreScale) {
    struct Case {
        float raw;
        float score;
    } cases[] = {
        {-5, -10}, {0, -10}, {150, -6}, {300, -2}, {450, -1}, {600, 0},     {3300, 1},
        {6000, 2}, {8000, 6}, {9999, 9.998f}, {10000, 10}, {65535, 10},
    };
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(QuorvelinSection::score_map(c.raw), c.score) << c.raw;
}

TEST_F(ScoreTest, AnImageIsScoredAndItsFiguresKept) {
    bind();
    std::string png = picture(IMAGE_PNG, 60, 70, 8000);
    EXPECT_FLOAT_EQ(scan(png), 6);
    EXPECT_EQ(variable("ENGINE_SENSITIVITY"), "65");
    EXPECT_EQ(variable("SCAN_RESULT"), "8000");
    EXPECT_EQ(variable("IMAGE_DIM"), "60 x 70");
    EXPECT_EQ(variable("IMAGE_SIZE"), std::to_string(png.size()));
    EXPECT_TRUE(logged("quorvelin: block: URL:[http://example.test:80/a.png] EngineSensitivity:[65] "
                       "scan_result:[8000] score:[6.000000] threshold:[2.000000] image [w x h: 60 x 70], "
                       "size:[" + std::to_string(png.size()) + " bytes]"));

    // An image below the threshold is logged only with debugging on.
    loglevel |= LOG_DEBUG;
    EXPECT_FLOAT_EQ(scan(picture(IMAGE_GIF, 50, 50, 150), 5), -6);
    EXPECT_EQ(variable("ENGINE_SENSITIVITY"), "59");
    EXPECT_TRUE(logged("quorvelin: allow: URL:[http://example.test:80/a.png] EngineSensitivity:[59] "
                       "scan_result:[150] score:[-6.000000] threshold:[5.000000] image [w x h: 50 x 50], "
                       "size:[" + std::to_string(picture(IMAGE_GIF, 50, 50, 150).size()) + " bytes]"));
    EXPECT_NE(scan(picture(IMAGE_JPEG, 200, 100)), IMAGE_NOT_SCANNED);
}

TEST_F(ScoreTest, BodiesThatAreNotScored) {
    bind();
    int before = quorvelin_lines();
    EXPECT_EQ(scan(picture(IMAGE_PNG, 49, 100, 9000)), IMAGE_NOT_SCANNED);
    EXPECT_EQ(scan(picture(IMAGE_PNG, 100, 49, 9000)), IMAGE_NOT_SCANNED);
    EXPECT_EQ(quorvelin_lines(), before) << "a small image is passed over without a word";

    EXPECT_EQ(scan(""), IMAGE_NOT_SCANNED);
    EXPECT_EQ(section->scan_image(connection.get(), nullptr, 2), IMAGE_NOT_SCANNED);
    EXPECT_TRUE(logged("module: quorvelin: Data not avaialble."));

    std::string html = "<html><body>no picture</body></html>";
    EXPECT_EQ(scan(html), IMAGE_NOT_SCANNED);
    EXPECT_TRUE(logged("module: quorvelin: Image is not valid image."));
    EXPECT_TRUE(logged("quorvelin: image width x height: [0 x 0], size:[" + std::to_string(html.size()) +
                       " bytes], ImageBuffer_size[0]"));
    EXPECT_TRUE(variable("SCAN_RESULT").empty());
}

TEST_F(ScoreTest, AnImageTheReaderCannotDecodeScoresAsHarmless) {
    bind();
    EXPECT_FLOAT_EQ(scan(picture(IMAGE_PNG, 80, 80, 9000), 2), 8);
    EXPECT_FALSE(connection->flags & CONN_SCAN_INCOMPLETE);
    EXPECT_FLOAT_EQ(scan(picture(IMAGE_PNG, 80, 80, 9000, 255), -10), -10);
    EXPECT_TRUE(logged("module: quorvelin: Image is not able Decode into BGR Buffer Function"));
    EXPECT_EQ(variable("SCAN_RESULT"), "0");
    // Passed, but without the engine's verdict: the cached copy stays
    // unchecked.
    EXPECT_TRUE(connection->flags & CONN_SCAN_INCOMPLETE);
}

// Stand-ins for the reader, counting their calls and reporting what the
// test says.
int valid_calls, decode_calls, reported_size;
bool counting_valid(const unsigned char*, int, int* width, int* height, int* buffer_size) {
    valid_calls++;
    *width = 100;
    *height = 100;
    *buffer_size = reported_size;
    return true;
}
bool counting_decode(const unsigned char*, int, unsigned char*, int) {
    decode_calls++;
    return false;
}

TEST_F(ScoreTest, DeclaredAndReportedSizesAreBoundedBeforeAnyDecoding) {
    bind();
    CheckIfImageIsValid = counting_valid;
    DecodeImageIntoBGRBuffer = counting_decode;
    valid_calls = decode_calls = 0;

    // A header declaring more pixels than allowed never reaches the reader.
    EXPECT_EQ(scan(quorveltest::png_declaring(100000, 100000)), IMAGE_NOT_SCANNED);
    EXPECT_EQ(valid_calls, 0);
    EXPECT_TRUE(connection->flags & CONN_SCAN_INCOMPLETE);
    EXPECT_TRUE(logged("quorvelin: image declares 100000 x 100000 pixels, more than 16777216: not scanned"));

    // A buffer size the reader reports that is none, negative or more than
    // the pixels need is refused before the buffer is allocated.
    for (int size : {0, -1, 100 * 100 * 4 + 1, 2147483647}) {
        reported_size = size;
        EXPECT_EQ(scan("BM-a-format-only-the-reader-knows"), IMAGE_NOT_SCANNED) << size;
        EXPECT_TRUE(logged("quorvelin: image reader reported 100 x 100 pixels in a buffer of " +
                           std::to_string(size) + " bytes: not scanned"));
    }
    EXPECT_EQ(decode_calls, 0);
    reported_size = 100 * 100 * 3;
    EXPECT_FLOAT_EQ(scan("BM-a-format-only-the-reader-knows"), -10);
    EXPECT_EQ(decode_calls, 1);

    // The limit is the section's.
    *section->max_pixels = 9999;
    EXPECT_EQ(scan("BM-a-format-only-the-reader-knows"), IMAGE_NOT_SCANNED);
    EXPECT_EQ(decode_calls, 1);
}

TEST_F(ScoreTest, TheRuleThatApplies) {
    bind("ready", "kids,!staff", "1");
    section->rules.emplace_back(section->rules.front());
    section->rules.back().profiles = StringList();
    section->rules.back().threshold = 7;
    struct Case {
        const char* profiles;
        unsigned bypass;
        double threshold; // -99: no rule
    } cases[] = {
        // A list with a negated name matches a connection without any of its names.
        {"kids", 0, 1},       {"staff", 0, 7}, {"kids,staff", 0, 1}, {"", 0, 1}, {"adults", 0, 1},
        {"kids", BYPASS_ANTIVIRUS, -99}, {"kids", BYPASS_URL_FILTER, 1},
    };
    for (const Case& c : cases) {
        connection->profiles = StringList(c.profiles, ',');
        connection->bypass = c.bypass;
        section->read_lock();
        const Quorvelin* rule = section->find(connection.get());
        section->unlock();
        EXPECT_EQ(rule != nullptr ? rule->threshold : -99, c.threshold) << c.profiles;
        EXPECT_EQ(quorvelin_buffcheck(connection.get(), nullptr), rule != nullptr ? 1 : 0);
    }
    connection->profiles = StringList();
    connection->bypass = 0;
    section->rules.front().enabled = 0;
    section->rules.back().enabled = 0;
    EXPECT_FALSE(section->check_match(connection.get()));
    section->rules.back().enabled = 1;
    EXPECT_TRUE(section->check_match(connection.get()));
    // Off, or without an engine, nothing applies.
    section->ready = false;
    EXPECT_FALSE(section->check_match(connection.get()));
    section->ready = true;
    *section->enabled = 0;
    EXPECT_FALSE(section->check_match(connection.get()));
    EXPECT_EQ(quorvelin_respcheck(connection.get(), nullptr), SCAN_PASS);
}

TEST_F(ScoreTest, AnImageAtOrOverTheThresholdIsBlocked) {
    struct Case {
        int raw;
        const char* threshold;
        int result;
    } cases[] = {
        {8000, "2", SCAN_BLOCKED}, {600, "0", SCAN_BLOCKED}, {599, "0", SCAN_PASS},
        {0, "-10", SCAN_BLOCKED},  {150, "2", SCAN_PASS},    {65535, "10", SCAN_BLOCKED},
    };
    for (const Case& c : cases) {
        bind("ready", "", c.threshold);
        connection->log.Reset();
        Filebuf* body = buffer_of(picture(IMAGE_PNG, 64, 64, c.raw));
        EXPECT_EQ(quorvelin_respcheck(connection.get(), body), c.result) << c.raw;
        delete body;
        if (c.result == SCAN_PASS)
            continue;
        char score[32];
        snprintf(score, sizeof score, "%.6f", QuorvelinSection::score_map(c.raw));
        EXPECT_EQ(connection->log.filter_name, "image-filter");
        EXPECT_EQ(connection->log.filtering_reason, score);
        EXPECT_EQ(connection->log.status, 403);
        EXPECT_EQ(connection->log.cachecode(), "TCP_DENIED");
        EXPECT_EQ(connection->log.peer, "kestrivan");
        EXPECT_EQ(variable("IMAGESCORE"), score);
        EXPECT_EQ(variable("IMAGETHRESHOLD"), std::to_string(atof(c.threshold)));
    }
    // The block page: the rule's, else the section's, else the built-in.
    bind();
    EXPECT_EQ(section->block_page(section->rules.front()), "checkeredgif");
    *section->template_name = "ours";
    EXPECT_EQ(section->block_page(section->rules.front()), "ours");
    section->rules.front().template_name = "rules";
    EXPECT_EQ(section->block_page(section->rules.front()), "rules");
}

} // namespace
