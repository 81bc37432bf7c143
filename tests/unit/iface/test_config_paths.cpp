// Where the load and save pages may read and write: files under the
// configuration's directory, the configuration URL, the configuration file.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "iface/config_paths.h"

namespace {

class ConfigPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/config-paths-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        ASSERT_EQ(mkdir((root + "/etc").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/etc/more").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/etcetera").c_str(), 0755), 0);
        for (const char* file : {"/etc/kestrivan.xml", "/etc/other.xml", "/etc/more/deep.xml",
                                 "/etcetera/beside.xml", "/outside.xml"})
            std::ofstream(root + file) << "<kestrivan/>";
        ASSERT_EQ(symlink((root + "/outside.xml").c_str(), (root + "/etc/escape.xml").c_str()), 0);
        ASSERT_EQ(symlink((root + "/etc/kestrivan.xml").c_str(), (root + "/etc/alias.xml").c_str()),
                  0);
        config = root + "/etc/kestrivan.xml";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + root + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    std::string root;
    std::string config;
};

TEST_F(ConfigPathsTest, LoadReadsOnlyFilesUnderTheConfigurationDirectory) {
    struct Case {
        std::string requested;
        std::string source; // "" when refused
    };
    const Case cases[] = {
        {config, config},
        {root + "/etc/other.xml", root + "/etc/other.xml"},
        {"other.xml", root + "/etc/other.xml"},               // relative to the directory
        {"more/deep.xml", root + "/etc/more/deep.xml"},
        {root + "/etc/more/../other.xml", root + "/etc/other.xml"},
        {root + "/etc/../outside.xml", ""},                   // climbs out
        {"../outside.xml", ""},
        {root + "/etc/escape.xml", ""},                       // a link out of it
        {root + "/etcetera/beside.xml", ""},                  // a name sharing the prefix
        {"/etc/passwd", ""},
        {root + "/etc/missing.xml", ""},
        {root + "/etc/more", ""},                             // a directory
        {"http://127.0.0.1:1/steal.xml", ""},                 // no URL is fetched
        {"127.0.0.1:80", ""},                                 // what the loader takes for a URL
        {"other:x.xml", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        std::string source, why;
        bool allowed = config_load_source(c.requested, config, &source, &why);
        EXPECT_EQ(allowed, !c.source.empty()) << c.requested;
        if (allowed)
            EXPECT_EQ(source, c.source) << c.requested;
        else
            EXPECT_FALSE(why.empty()) << c.requested;
    }
}

TEST_F(ConfigPathsTest, AConfigurationUrlIsTheOnlyUrlLoadedAndNoFile) {
    const std::string url = "http://127.0.0.1:8080/kestrivan.xml";
    std::string source, why;
    EXPECT_TRUE(config_load_source(url, url, &source, &why));
    EXPECT_EQ(source, url);
    EXPECT_FALSE(config_load_source("http://127.0.0.1:8080/other.xml", url, &source, &why));
    EXPECT_FALSE(config_load_source(config, url, &source, &why));
    EXPECT_FALSE(config_load_source(config, "", &source, &why));
}

TEST_F(ConfigPathsTest, SaveWritesOnlyTheConfigurationFile) {
    std::string target, why;
    EXPECT_TRUE(config_save_target(config, config, &target, &why));
    EXPECT_EQ(target, config);
    EXPECT_TRUE(config_save_target(root + "/etc/alias.xml", config, &target, &why));
    EXPECT_EQ(target, config);
    for (const std::string& other :
         {root + "/etc/other.xml", root + "/etc/new.xml", std::string("/tmp/x.xml"),
          root + "/outside.xml", std::string("http://127.0.0.1/x")}) {
        EXPECT_FALSE(config_save_target(other, config, &target, &why)) << other;
        EXPECT_NE(why.find(config), std::string::npos) << why;
    }
    EXPECT_FALSE(config_save_target("http://h/x.xml", "http://h/x.xml", &target, &why));
    EXPECT_FALSE(config_save_target(config, "", &target, &why));
}

} // namespace
