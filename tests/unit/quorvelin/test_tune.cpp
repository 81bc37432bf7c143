// The tune table: reading tune texts and files, and the sensitivity a
// threshold asks for.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "quorvelin/tune.h"
#include "support/config_test_support.h"
#include "support/log_test_support.h"

namespace {

class TuneTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        table.set_default();
    }

    int parse(const std::string& text) {
        return tune_parse(text.data(), text.size(), "/t/quorvelin.tune", &table);
    }

    bool logged(const std::string& text) { return configtest::log_has(log_path, text); }

    std::vector<int> thresholds() const {
        return std::vector<int>(table.thresholds, table.thresholds + table.count);
    }
    std::vector<int> sensitivities() const {
        return std::vector<int>(table.sensitivities, table.sensitivities + table.count);
    }

    TuneTable table;
};

const std::vector<int> DEFAULT_T = {-10, -2, 0, 2, 10};
const std::vector<int> DEFAULT_E = {100, 85, 75, 65, 50};

// A list of n values: start, start + step, ...
std::string values(int n, int start, int step) {
    std::string text;
    for (int i = 0; i < n; i++)
        text += (i ? ":" : "") + std::to_string(start + i * step);
    return text;
}

TEST_F(TuneTest, TextsThatAreTakenReplaceTheTable) {
    struct Case {
        const char* text;
        std::vector<int> thresholds;
        std::vector<int> sensitivities;
    } cases[] = {
        {"T=-10:-2:0:2:10\nE=100:85:75:65:50\n", DEFAULT_T, DEFAULT_E},
        // Comments, blank lines, a second T line (the last counts), no
        // final newline, CRLF line ends, runs of ":" and blanks before values.
        {"# tuned for the office\n\nT=1:2:3\nE=9:8:7\r\nT=-5::0:: 5\nE=90:  60:30", {-5, 0, 5}, {90, 60, 30}},
        // Lines that are not T or E lines are ignored, also when they hold "=".
        {"X=1:2\nTE\nT=3:4\nE=2:1\nthresholds=9:8", {3, 4}, {2, 1}},
        // atoi's reading: trailing text ignored.
        {"T=1x:2y\nE=5 apples:4\n", {1, 2}, {5, 4}},
        // One entry is a table too.
        {"T=0\nE=70\n", {0}, {70}},
    };
    for (const Case& c : cases) {
        table.set_default();
        EXPECT_EQ(parse(c.text), 0) << c.text;
        EXPECT_EQ(thresholds(), c.thresholds) << c.text;
        EXPECT_EQ(sensitivities(), c.sensitivities) << c.text;
    }
    EXPECT_TRUE(logged("modules: quorvelin: tuned from file [/t/quorvelin.tune]"));
}

TEST_F(TuneTest, RefusedTextsLeaveTheDefaultAndSayWhy) {
    struct Case {
        std::string text;
        const char* message;
    } cases[] = {
        {"", "modules: quorvelin: bad tune file [/t/quorvelin.tune]"},
        {"T=1:2:3\n", "modules: quorvelin: bad tune file [/t/quorvelin.tune]"},
        {"T=-10:-2:2:10\nE=100:85:75:65:50\n", "modules: quorvelin: bad tune file [/t/quorvelin.tune]"},
        {"T=-10:0:0:10\nE=90:80:70:60\n",
         "modules: quorvelin: threshhold data should be in ascending order 1[0:0]"},
        {"T=1:2:3\nE=9:9:7\n", "modules: quorvelin: engine sensitivity data should be in decending order"},
        // More values than the table holds are refused, never written past it.
        {"T=" + values(51, 0, 1) + "\nE=" + values(51, 1000, -1) + "\n",
         "modules: quorvelin: tune file [/t/quorvelin.tune] lists 51 values, at most 50 are allowed"},
    };
    for (const Case& c : cases) {
        table.set_default();
        EXPECT_EQ(parse(c.text), -1) << c.text;
        EXPECT_TRUE(logged(c.message)) << c.message;
        EXPECT_EQ(thresholds(), DEFAULT_T) << c.text;
        EXPECT_EQ(sensitivities(), DEFAULT_E) << c.text;
    }
}

TEST_F(TuneTest, FiftyValuesFillTheTable) {
    EXPECT_EQ(parse("T=" + values(50, -25, 1) + "\nE=" + values(50, 500, -3) + "\n"), 0);
    ASSERT_EQ(table.count, 50);
    EXPECT_EQ(table.thresholds[49], 24);
    EXPECT_EQ(table.sensitivities[49], 500 - 49 * 3);
}

TEST_F(TuneTest, SensitivityOfAThresholdWithTheDefaultTable) {
    struct Case {
        float threshold;
        int sensitivity;
    } cases[] = {
        {-11, 100}, {-10, 100}, {-5, 90}, {-2, 85}, {0, 75}, {1, 70}, {2, 65},
        {3, 63},    {5, 59},    {10, 50}, {11, 50}, {1.5f, 67},
    };
    for (const Case& c : cases)
        EXPECT_EQ(table.sensitivity(c.threshold), c.sensitivity) << c.threshold;
}

TEST_F(TuneTest, SensitivityWithTheExtremesOfInt) {
    ASSERT_EQ(parse("T=-2147483648:2147483647\nE=2147483647:-2147483648\n"), 0);
    EXPECT_EQ(table.sensitivity(-3e9f), 2147483647);
    EXPECT_EQ(table.sensitivity(3e9f), -2147483647 - 1);
    int middle = table.sensitivity(0);
    EXPECT_GE(middle, -2);
    EXPECT_LE(middle, 2);
}

TEST_F(TuneTest, FilesThatCannotBeTaken) {
    std::string missing = dir + "/absent.tune";
    EXPECT_EQ(tune_read(missing.c_str(), &table), -1);
    EXPECT_TRUE(logged("modules: quorvelin: tunefile not found: " + missing));

    std::string large = dir + "/large.tune";
    configtest::write_file(large, "T=1:2\nE=2:1\n" + std::string(TUNE_FILE_MAX, '#'));
    EXPECT_EQ(tune_read(large.c_str(), &table), -1);
    EXPECT_TRUE(logged("modules: quorvelin: tune file [" + large + "] is larger than 65536 bytes"));

    // A directory opens but does not read.
    std::string folder = dir + "/folder.tune";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    EXPECT_EQ(tune_read(folder.c_str(), &table), -1);
    EXPECT_TRUE(logged("failed to read tunefile: " + folder));

    EXPECT_EQ(thresholds(), DEFAULT_T);
    EXPECT_EQ(sensitivities(), DEFAULT_E);

    std::string good = dir + "/good.tune";
    configtest::write_file(good, "T=0:10\nE=90:10\n");
    EXPECT_EQ(tune_read(good.c_str(), &table), 0);
    EXPECT_EQ(table.sensitivity(5), 50);
}

} // namespace
