// A fixture with a private temporary directory (kept and named when the
// test failed), and a way to ask a command-line tool about some bytes.
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/log_test_support.h"

namespace tooltest {

class TempDirTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        char pattern[] = "/tmp/kestrivan-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override {
        if (dir.empty())
            return;
        if (HasFailure())
            fprintf(stderr, "kept %s\n", dir.c_str());
        else
            std::filesystem::remove_all(dir);
    }

    // What `command <file>` prints, the file holding exactly `bytes`.
    std::string tool_output(const std::string& command, const std::string& bytes) {
        std::string path = dir + "/tool-input";
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr)
            return "<cannot write " + path + ">";
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return logtest::run(command + " " + path);
    }
};

} // namespace tooltest
