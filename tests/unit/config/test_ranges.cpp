// Address and port range lists and the address converter.
#include <gtest/gtest.h>

#include <stdint.h>

#include "config/ranges.h"

TEST(AddressToInt, ReadsDottedQuadsAndRefusesEverythingElse) {
    struct {
        const char* text;
        uint32_t value;
    } good[] = {
        {"192.168.1.1", (192u << 24) + (168u << 16) + (1u << 8) + 1u},
        {"  10.0.0.1", (10u << 24) + 1u}, // leading blanks are skipped
        {"10..1.1", (10u << 24) + (1u << 8) + 1u}, // an empty piece reads as 0
        {"0.0.0.0", 0u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"1.2.3.4.", (1u << 24) + (2u << 16) + (3u << 8) + 4u}, // a final '.' adds no piece
        // A piece longer than the stack copy: strtol skips its blanks.
        {"1.                                        2.3.4", (1u << 24) + (2u << 16) + (3u << 8) + 4u},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(address_to_int(c.text), c.value);
    }
    for (const char* bad : {"1.2.3", "1.2.3.", "1.2.3.4.5", "1.2.3.4..", "256.1.1.1", "1.2.3.4 ",
                            "a.b.c.d", "1.2.3.-1", "", "   ", "99999999999999999999.1.1.1",
                            "1.                                        2x.3.4"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(address_to_int(bad), ConfigError);
    }
}

TEST(IpRangeList, MatchesRangesSingleAddressesAndOpenEnds) {
    IpRangeList empty{std::string()};
    EXPECT_EQ(empty.has("1.2.3.4"), 1);

    IpRangeList list("10.0.0.0-10.255.255.255, 192.168.1.5");
    EXPECT_EQ(list.text, "10.0.0.0-10.255.255.255, 192.168.1.5");
    EXPECT_EQ(list.has("10.1.2.3"), 1);
    EXPECT_EQ(list.has("192.168.1.5"), 1);
    EXPECT_EQ(list.has("192.168.1.6"), 0);

    EXPECT_EQ(IpRangeList("10.0.0.9-10.0.0.1").has("10.0.0.5"), 0); // reversed: nothing
    EXPECT_EQ(IpRangeList("10.0.0.5-").has("255.1.1.1"), 1);
    EXPECT_EQ(IpRangeList("10.0.0.5-").has("10.0.0.4"), 0);
    EXPECT_EQ(IpRangeList("-10.0.0.5").has("0.0.0.1"), 1);
    EXPECT_EQ(IpRangeList("-10.0.0.5").has("10.0.0.6"), 0);
    EXPECT_EQ(IpRangeList("-").has("8.8.8.8"), 1);
    EXPECT_EQ(IpRangeList("127.0.0.1,").size(), 1u); // a trailing comma adds nothing
}

TEST(IpRangeList, AnEmptyPieceIsAnErrorNotEveryAddress) {
    for (const char* bad : {"10.0.0.1,,10.0.0.2", ",10.0.0.1", ",", "10.0.0.1, ,10.0.0.2",
                            "10.0.0.1-10.0.0.x", "10.0.0.1 -10.0.0.2"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(IpRangeList{bad}, ConfigError);
    }
}

TEST(IpRangeList, AFailedParseLeavesTheListAsItWas) {
    IpRangeList list("10.0.0.1");
    EXPECT_THROW(list.parse("10.0.0.2,bad"), ConfigError);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(list.text, "10.0.0.1");
    EXPECT_EQ(list.has("10.0.0.2"), 0);
}

TEST(IpRangeList, AMalformedAddressToTestThrows) {
    IpRangeList list("10.0.0.1");
    EXPECT_THROW(list.has("not an address"), ConfigError);
    EXPECT_THROW(list.has(nullptr), ConfigError);
}

TEST(PortRangeList, MatchesPortsAndRanges) {
    PortRangeList list("80,443,8000-8080");
    EXPECT_EQ(list.has(80), 1);
    EXPECT_EQ(list.has(8080), 1);
    EXPECT_EQ(list.has(8081), 0);
    EXPECT_EQ(list.has(81), 0);
    EXPECT_EQ(PortRangeList(std::string()).has(12345), 1);
    EXPECT_EQ(PortRangeList("90-80").has(85), 0); // reversed: nothing
    for (const char* bad : {"0", "65536", "80-", "-80", "80,,443", ",80", "http", "80 ", "1-2-3"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(PortRangeList{bad}, ConfigError);
    }
    PortRangeList kept("22");
    EXPECT_THROW(kept.parse("23,x"), ConfigError);
    EXPECT_EQ(kept.size(), 1u);
}
