// The FTP section: its fields as the shipped definition declares them, and
// getters that see loads without rebinding.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ftp/ftp_section.h"
#include "support/config_test_support.h"

namespace {

class FtpSectionTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        sectionxml = new tinyxml2::XMLDocument();
        ASSERT_EQ(sectionxml->LoadFile((configtest::source_dir() + "/etc/sections.xml").c_str()),
                  tinyxml2::XML_SUCCESS);
        section.reset(new FtpSection());
    }

    void TearDown() override {
        section.reset();
        delete sectionxml;
        sectionxml = nullptr;
        LogDirTest::TearDown();
    }

    void load(const std::string& body) {
        doc.reset(configtest::parse_document("<kestrivan><ftp>" + body + "</ftp></kestrivan>"));
        section->load(doc.get(), 1);
    }

    std::unique_ptr<FtpSection> section;
    std::unique_ptr<tinyxml2::XMLDocument> doc;
};

} // namespace

TEST_F(FtpSectionTest, DefaultsArePassiveAnonymousAndUnsorted) {
    EXPECT_EQ(section->passive_get(), 1);
    EXPECT_EQ(section->timeout_get(), 60);
    EXPECT_EQ(*section->user, "anonymous");
    EXPECT_FALSE(section->password->empty());
    EXPECT_EQ(section->sortorder_get(), 0);
    EXPECT_EQ(section->sortfield_get(), 0);
}

TEST_F(FtpSectionTest, LoadsAreSeenThroughTheBoundFields) {
    load("<passive>false</passive><timeout>7</timeout><user>bob</user><password>s3cret</password>"
         "<sortorder>descending</sortorder><sortfield>date</sortfield>");
    EXPECT_EQ(section->passive_get(), 0);
    EXPECT_EQ(section->timeout_get(), 7);
    section->read_lock();
    EXPECT_EQ(*section->user, "bob");
    EXPECT_EQ(*section->password, "s3cret");
    section->unlock();
    EXPECT_EQ(section->sortorder_get(), 1);
    EXPECT_EQ(section->sortfield_get(), 3);

    const struct {
        const char* choice;
        int value;
    } fields[] = {{"none", 0}, {"name", 1}, {"size", 2}, {"date", 3}};
    for (const auto& f : fields) {
        load(std::string("<sortfield>") + f.choice + "</sortfield>");
        EXPECT_EQ(section->sortfield_get(), f.value) << f.choice;
    }
}

TEST_F(FtpSectionTest, ABadValueKeepsThePreviousSettings) {
    load("<timeout>9</timeout>");
    EXPECT_THROW(load("<timeout>soon</timeout>"), ConfigError);
    EXPECT_EQ(section->timeout_get(), 9);
}
