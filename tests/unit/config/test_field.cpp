// Field types: converters, defaults, reading values from the configuration
// document, saving, and what each type accepts.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/field.h"
#include "config/xml.h"
#include "support/config_test_support.h"

using configtest::log_has;

TEST(Converters, IntegersWithinTheirType) {
    EXPECT_EQ(string_to_int("12"), 12);
    EXPECT_EQ(string_to_int(" 12"), 12);
    EXPECT_EQ(string_to_int(""), 0);
    EXPECT_EQ(string_to_int("-5"), -5);
    EXPECT_EQ(string_to_int("2147483647"), 2147483647);
    for (const char* bad : {"12 ", "12a", "2147483648", "-2147483649", "99999999999999999999", " "}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(string_to_int(bad), ConfigError);
    }
    EXPECT_THROW(string_to_int(std::string("12\0" "3", 4)), ConfigError); // embedded NUL

    EXPECT_EQ(string_to_uint("4294967295"), 4294967295u);
    EXPECT_EQ(string_to_uint(""), 0u);
    for (const char* bad : {"4294967296", "-1", " -1", "1x", "18446744073709551616"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(string_to_uint(bad), ConfigError);
    }

    EXPECT_DOUBLE_EQ(string_to_double("0.5"), 0.5);
    EXPECT_DOUBLE_EQ(string_to_double(""), 0.0);
    EXPECT_THROW(string_to_double("1.5x"), ConfigError);
    EXPECT_THROW(string_to_double("1e999"), ConfigError);
}

TEST(Converters, FileSizesWithUnitsAndNoWrapAround) {
    struct {
        const char* text;
        uint32_t bytes;
    } good[] = {
        {"120", 120},          {"10K", 10240},        {"10 kb", 10240},   {"10KBIT", 10240},
        {"1M", 1048576},       {"2mbit", 2097152},    {"3g", 3u << 30},   {"10 k more words", 10240},
        {"4095m", 4095u << 20}, {"4294967295", 4294967295u},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(string_to_filesize(c.text), c.bytes);
    }
    // "5g" and "4096m" do not fit 32 bits: refused instead of reduced
    // modulo 2^32.
    for (const char* bad : {"1.5M", "", "  ", "k", "abc", "10 q", "-5", "5g", "4096m",
                            "4294967296", "99999999999999999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(string_to_filesize(bad), ConfigError);
    }
    EXPECT_EQ(string_to_longfilesize("8g"), 8ULL << 30);
    EXPECT_EQ(string_to_longfilesize("5g"), 5ULL << 30);
    EXPECT_THROW(string_to_longfilesize("17179869184g"), ConfigError); // 2^64
    EXPECT_THROW(string_to_longfilesize(""), ConfigError);
}

namespace {

Field plain(const std::string& value, int type, bool optional = false) {
    return Field(true, "f", "F label", "", value, type, optional);
}

StringSelectVector colours(bool preselect_green) {
    StringSelectVector list;
    list.emplace_back("red", "Red", "", false);
    list.emplace_back("green", "Green", "", preselect_green);
    list.emplace_back("blue", "Blue", "", preselect_green);
    return list;
}

} // namespace

TEST(FieldDefaults, AreParsedByType) {
    Field on = plain("True", FIELD_BOOL);
    EXPECT_EQ(on.value, 1);
    EXPECT_EQ(on.text, "true"); // written back as the loader reads it
    Field off = plain("yes", FIELD_BOOL);
    EXPECT_EQ(off.value, 0);
    EXPECT_EQ(off.text, "false");

    Field range = plain("1,100", FIELD_INT_RANGE);
    EXPECT_EQ(range.min, 1);
    EXPECT_EQ(range.max, 100);
    EXPECT_EQ(range.value, 0);
    EXPECT_EQ(range.value2, 0);

    EXPECT_EQ(plain("10K", FIELD_FILE_SIZE).uvalue, 10240u);
    EXPECT_EQ(plain("8g", FIELD_LONG_FILE_SIZE).lvalue, 8ULL << 30);
    EXPECT_DOUBLE_EQ(plain("2.5", FIELD_DOUBLE).dvalue, 2.5);
    EXPECT_EQ(plain("7", FIELD_INT).value, 7);

    // A list's default is in force from the start, not only its text.
    Field addresses = plain("10.0.0.1", FIELD_IP_RANGE_LIST);
    EXPECT_EQ(addresses.iplist.has("10.0.0.2"), 0);
    EXPECT_EQ(plain("443", FIELD_PORT_RANGE_LIST).portlist.has(80), 0);
    EXPECT_EQ(plain("a,b", FIELD_STRING_LIST).list.size(), 2u);

    EXPECT_EQ(plain("", FIELD_STRING).width, 80);
    EXPECT_EQ(plain("", FIELD_IP_RANGE_LIST).width, 80);
    EXPECT_EQ(plain("0", FIELD_INT).width, 20);

    for (auto bad : {std::make_pair("x", FIELD_INT), std::make_pair("1", FIELD_INT_RANGE),
                     std::make_pair("", FIELD_FILE_SIZE), std::make_pair("1,,2", FIELD_PORT_RANGE_LIST)}) {
        SCOPED_TRACE(bad.first);
        EXPECT_THROW(plain(bad.first, bad.second), ConfigError);
    }
}

TEST(FieldDefaults, PreselectedChoicesAreTheInitialValue) {
    Field one(true, "c", "C", "", colours(true), FIELD_STRING_SELECT_ONE, false);
    EXPECT_EQ(one.width, 0);
    EXPECT_EQ(one.value, 1);
    EXPECT_EQ(one.text, "green");
    Field many(true, "c", "C", "", colours(true), FIELD_STRING_SELECT_MANY, false);
    EXPECT_EQ(many.value, 6);
    EXPECT_EQ(many.text, "green,blue");
    EXPECT_EQ(many.list.size(), 2u);
    Field none(true, "c", "C", "", colours(false), FIELD_STRING_SELECT_ONE, false);
    EXPECT_EQ(none.value, 0);
    EXPECT_EQ(none.text, "");
}

TEST(FieldTypes, WordsAndNatures) {
    EXPECT_EQ(Field::type_find("INT"), FIELD_INT);
    EXPECT_EQ(Field::type_find("LONG_FILE_SIZE"), FIELD_LONG_FILE_SIZE);
    EXPECT_EQ(Field::type_find("int"), -1);
    EXPECT_EQ(Field::type_find(""), -1);
    EXPECT_EQ(plain("1,10", FIELD_INT_RANGE).nature(),
              "a couple of integers between 1 and 10 inclusive");
    Field one(true, "c", "C", "", colours(false), FIELD_STRING_SELECT_ONE, false);
    EXPECT_EQ(one.nature(), "a string among these values : red,green,blue");
    EXPECT_EQ(plain("", FIELD_PORT_RANGE_LIST).nature(), "a port range list (see manual)");
    EXPECT_EQ(plain("1", FIELD_FILE_SIZE).nature(), "a file size (for example 120, 10K, 1M)");
}

TEST(FieldTypesDeath, AnUnknownWordIsFatal) {
    EXPECT_EXIT(Field::type_get("NUMBER"), ::testing::ExitedWithCode(1), "");
}

// Reads fields from a one-section document.
class FieldLoad : public logtest::LogDirTest {
protected:
    // A cursor on section "demo" of <kestrivan><demo>body</demo></kestrivan>.
    XmlElement& cursor_on(const std::string& body) {
        doc.reset(configtest::parse_document("<kestrivan><demo>" + body + "</demo></kestrivan>"));
        cursor.reset(new XmlElement(doc.get(), "demo"));
        return *cursor;
    }

    std::unique_ptr<tinyxml2::XMLDocument> doc;
    std::unique_ptr<XmlElement> cursor;
};

TEST_F(FieldLoad, ValidTextsGiveTypedValues) {
    Field count = plain("5", FIELD_INT);
    count.name = "count";
    count.load(cursor_on("<count>-12</count>"));
    EXPECT_EQ(count.value, -12);
    EXPECT_EQ(count.text, "-12");

    Field on = plain("false", FIELD_BOOL);
    on.name = "on";
    on.load(cursor_on("<on>TRUE</on>"));
    EXPECT_EQ(on.value, 1);

    Field span(true, "span", "Span", "", colours(false), FIELD_STRING_RANGE, false);
    span.load(cursor_on("<span>RED,Blue</span>"));
    EXPECT_EQ(span.value, 0);
    EXPECT_EQ(span.value2, 2);

    Field window = plain("1,10", FIELD_INT_RANGE);
    window.name = "window";
    window.load(cursor_on("<window>1,10</window>"));
    EXPECT_EQ(window.value, 1);
    EXPECT_EQ(window.value2, 10);

    Field addresses = plain("", FIELD_IP_RANGE_LIST);
    addresses.name = "addresses";
    addresses.load(cursor_on("<addresses>10.0.0.0-10.0.0.255</addresses>"));
    EXPECT_EQ(addresses.iplist.has("10.0.0.7"), 1);
    EXPECT_EQ(addresses.iplist.has("10.0.1.7"), 0);
    EXPECT_EQ(addresses.iplist.text, "10.0.0.0-10.0.0.255");
}

TEST_F(FieldLoad, AMalformedValueIsLoggedOnceAndThrownNamingSectionFieldAndValue) {
    struct Case {
        Field field;
        const char* body;
        const char* message;
    } cases[] = {
        {plain("0", FIELD_INT), "<f>12a</f>", "f must be an integer, but it is given value 12a"},
        {plain("0", FIELD_INT), "<f>4294967296</f>", "f must be an integer, but it is given value 4294967296"},
        {plain("false", FIELD_BOOL), "<f>True</f>", "f must be true or false, but it is given value True"},
        {plain("false", FIELD_BOOL), "<f></f>", "f must be true or false, but it is given value "},
        {plain("1,10", FIELD_INT_RANGE), "<f>5,11</f>",
         "f must be a couple of integers between 1 and 10 inclusive, but it is given value 5,11"},
        {plain("1,10", FIELD_INT_RANGE), "<f>5</f>",
         "f must be a couple of integers between 1 and 10 inclusive, but it is given value 5"},
        {Field(true, "f", "F", "", colours(false), FIELD_STRING_RANGE, false), "<f>red,pink</f>",
         "f must be a couple of strings among these values : red,green,blue, but it is given value red,pink"},
        {plain("0", FIELD_FILE_SIZE), "<f>5g</f>",
         "f must be a file size (for example 120, 10K, 1M), but it is given value 5g"},
        {plain("", FIELD_IP_RANGE_LIST), "<f>10.0.0.1,,10.0.0.2</f>",
         "f must be an IP range list (see manual), but it is given value 10.0.0.1,,10.0.0.2"},
        {plain("", FIELD_PORT_RANGE_LIST), "<f>80-</f>",
         "f must be a port range list (see manual), but it is given value 80-"},
        {plain("0", FIELD_UINT, true), "<f active=\"maybe\">3</f>",
         "f, attribute active must be true or false, but it is given value maybe"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.body);
        std::string expected = std::string("flawed XML file, section demo, element : ") + c.message;
        try {
            c.field.load(cursor_on(c.body));
            ADD_FAILURE() << "no error";
        } catch (const ConfigError& error) {
            EXPECT_EQ(error.message, expected);
        }
        EXPECT_TRUE(log_has(log_path, "error: " + expected));
    }
}

TEST_F(FieldLoad, MissingElements) {
    // Empty is a value for INT and lists: a missing element reads as empty.
    Field count = plain("5", FIELD_INT);
    count.load(cursor_on(""));
    EXPECT_EQ(count.value, 0);
    Field addresses = plain("10.0.0.1", FIELD_IP_RANGE_LIST);
    addresses.load(cursor_on(""));
    EXPECT_EQ(addresses.iplist.has("1.2.3.4"), 1);

    // Where empty is no value, the field keeps what it has, so a file
    // written before the field existed still loads.
    Field on = plain("true", FIELD_BOOL);
    Field size = plain("1M", FIELD_FILE_SIZE);
    Field big = plain("2g", FIELD_LONG_FILE_SIZE);
    Field window = plain("1,10", FIELD_INT_RANGE);
    for (Field* f : {&on, &size, &big, &window})
        EXPECT_NO_THROW(f->load(cursor_on("<other>x</other>")));
    EXPECT_EQ(on.value, 1);
    EXPECT_EQ(on.text, "true");
    EXPECT_EQ(size.uvalue, 1048576u);
    EXPECT_EQ(big.lvalue, 2ULL << 30);

    Field limit = plain("7", FIELD_UINT, true);
    limit.active = true;
    limit.load(cursor_on(""));
    EXPECT_TRUE(limit.active);
    EXPECT_EQ(limit.uvalue, 7u);
    EXPECT_TRUE(logtest::file_lines(log_path).empty()); // nothing was reported
}

TEST_F(FieldLoad, AnInactiveOptionalFieldKeepsItsValueButTakesTheText) {
    Field limit = plain("7", FIELD_UINT, true);
    limit.load(cursor_on("<f active=\"FALSE\">not a number</f>"));
    EXPECT_FALSE(limit.active);
    EXPECT_EQ(limit.text, "not a number");
    EXPECT_EQ(limit.uvalue, 7u);
    limit.load(cursor_on("<f>9</f>")); // no attribute: active
    EXPECT_TRUE(limit.active);
    EXPECT_EQ(limit.uvalue, 9u);
}

TEST_F(FieldLoad, SelectFields) {
    Field many(true, "f", "F", "", colours(false), FIELD_STRING_SELECT_MANY, false);
    many.load(cursor_on("<f>red,green,pink</f>"));
    EXPECT_EQ(many.value, 3);
    EXPECT_EQ(many.list.size(), 3u); // unknown values stay in the list
    many.load(cursor_on("<f>red</f>"));
    EXPECT_EQ(many.value, 1);
    EXPECT_TRUE(many.choices[0].selected);
    EXPECT_FALSE(many.choices[1].selected);

    Field one(true, "f", "F", "", colours(true), FIELD_STRING_SELECT_ONE, false);
    one.load(cursor_on("<f>blue</f>"));
    EXPECT_EQ(one.value, 2);
    one.load(cursor_on("<f>Blue</f>")); // case matters here: no choice, no error
    EXPECT_EQ(one.value, 2);
    for (const StringSelect& choice : one.choices)
        EXPECT_FALSE(choice.selected);
}

TEST_F(FieldLoad, ADisabledFieldIsNotLoaded) {
    Field count(false, "f", "F", "", "5", FIELD_INT, false);
    count.load(cursor_on("<f>x</f>"));
    EXPECT_EQ(count.value, 5);
    EXPECT_EQ(count.text, "5");
}

TEST(FieldSave, WritesTextAndSwitchAndReadsBack) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* root = doc.NewElement("kestrivan");
    doc.InsertEndChild(root);
    tinyxml2::XMLElement* demo = doc.NewElement("demo");
    root->InsertEndChild(demo);

    FieldVector fields;
    fields.push_back(plain("1,10", FIELD_INT_RANGE, true));
    fields.back().name = "window";
    fields.push_back(plain("", FIELD_MULTILINE_STRING));
    fields.back().name = "notes";
    fields.back().text = "  two\nlines <&> \"quoted\"  ";
    fields.push_back(plain("", FIELD_STRING));
    fields.back().name = "empty";
    fields.save(demo);

    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    tinyxml2::XMLDocument again;
    ASSERT_EQ(again.Parse(printer.CStr()), tinyxml2::XML_SUCCESS);
    XmlElement cursor(&again, "demo");
    EXPECT_STREQ(cursor.child("window")->Attribute("active"), "false");
    EXPECT_EQ(cursor.string_read("window"), "1,10");
    EXPECT_EQ(cursor.string_read("notes"), "  two\nlines <&> \"quoted\"  ");
    ASSERT_NE(cursor.child("empty"), nullptr);
    EXPECT_EQ(cursor.string_read("empty"), "");
}
