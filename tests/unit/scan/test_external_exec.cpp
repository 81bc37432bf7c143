// Running external programs: input, output, environment, temporary-file
// mode and exit status.
#include <gtest/gtest.h>

#include <string>

#include "config/general.h"
#include "core/filebuf.h"
#include "scan/external.h"
#include "support/section_test_support.h"

using sectiontest::Connection;

namespace {

class ExternalExecTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        sectiontest::load(*general_section, "<general><tempdir>" + dir + "</tempdir></general>");
    }
    // Runs the command; returns its output ("(none)" when it could not run).
    std::string run(const char* command, const std::string& input, int mode, int* status,
                    CONNECTION_T* connection = nullptr) {
        Filebuf in;
        if (!input.empty())
            in.Add(input.data(), static_cast<unsigned>(input.size()));
        Filebuf* out = external_exec(connection, command, &in, mode, status);
        if (out == nullptr)
            return "(none)";
        std::string text = out->size == 0 ? "" : std::string(out->data, out->size);
        delete out;
        return text;
    }
};

TEST_F(ExternalExecTest, InputThroughThePipeAndExitStatus) {
    int status = -1;
    std::string big(300000, 'z'); // more than a pipe holds at once
    EXPECT_EQ(run("/bin/cat", big, 0, &status), big);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run("/bin/sh -c 'echo out; exit 3'", "", 0, &status), "out\n");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(run("/nonexistent/program", "", 0, &status), "");
    EXPECT_EQ(status, 1);
}

TEST_F(ExternalExecTest, EnvironmentIsTheTemplateVariablesOnly) {
    Connection connection;
    connection->variables["URL"] = "http://h/a b";
    connection->variables["IP"] = "10.1.2.3";
    int status = -1;
    EXPECT_EQ(run("/usr/bin/env", "", 0, &status, connection.get()),
              "IP=10.1.2.3\nURL=http://h/a b\n");
    EXPECT_EQ(run("/usr/bin/env", "", 0, &status), "");
}

TEST_F(ExternalExecTest, TemporaryFileModePassesAndRemovesTheFile) {
    int status = -1;
    std::string output = run("/bin/sh -c 'cat \"$0\"; echo \" $0\"'", "body", 1, &status);
    ASSERT_EQ(output.rfind("body " + dir + "/", 0), 0u) << output;
    std::string path = output.substr(5, output.size() - 6);
    EXPECT_FALSE(logtest::exists(path)) << path;
}

} // namespace
