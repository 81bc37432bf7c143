// CGIMap's debug line hides secrets; xatoi reads absent arguments as -1.
#include <gtest/gtest.h>

#include <string>

#include "iface/cgimap.h"
#include "support/log_test_support.h"

class CGIMapLogTest : public logtest::LogDirTest {};

TEST_F(CGIMapLogTest, SecretValuesNeverReachTheLog) {
    loglevel = 0x0FFFFFFF;
    CGIMap arguments("username=admin&password=S3cret%21&scode1=Key&F3=bindpw&section=access"
                     "&Pass%77ord=x&a=b=c&token");
    EXPECT_EQ(arguments["password"], "S3cret!");
    EXPECT_EQ(arguments["F3"], "bindpw");
    std::string log = logtest::read_file(log_path);
    EXPECT_NE(log.find("cgi arguments: username=admin&password=***&scode1=***&F3=***"
                       "&section=access&Pass%77ord=***&a=b=c&token"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("S3cret"), std::string::npos);
    EXPECT_EQ(log.find("bindpw"), std::string::npos);
}

TEST(CGIMapTest, XatoiReadsAbsentAsMinusOne) {
    CGIMap arguments("id=12&empty=");
    EXPECT_EQ(xatoi(arguments["id"]), 12);
    EXPECT_EQ(xatoi(arguments["empty"]), -1);
    EXPECT_EQ(xatoi(arguments["missing"]), -1);
    EXPECT_EQ(xatoi("x"), 0);
}
