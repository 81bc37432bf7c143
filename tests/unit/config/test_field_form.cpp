// Field forms: reading posted values back into fields (and refusing what
// the configuration file could not load again), drawing read-only and input
// rows, entry blocks and the entry search; the argument map they read.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/section.h"
#include "config/xml.h"
#include "core/filebuf.h"
#include "core/regexp.h"
#include "iface/cgimap.h"
#include "support/config_test_support.h"

using configtest::field;
using configtest::ProbeSection;

namespace {

std::string text_of(const Filebuf& page) {
    return page.data == nullptr ? std::string() : std::string(page.data, page.size);
}

class FieldFormTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        configtest::use_definition(configtest::demo_definition());
        demo = std::make_unique<ProbeSection>("demo");
    }

    // A copy of the entry template's field at `position`.
    Field rule_field(size_t position) const { return demo->subsections[0].fields.at(position); }

    std::unique_ptr<ProbeSection> demo;
};

// Template positions of the demo entry (see config_test_support.h).
enum {
    RULE_ENABLED = 0, RULE_LEVEL = 2, RULE_ADDRESSES = 3, RULE_WINDOW = 4, RULE_COLOURS = 6,
    RULE_SPAN = 7, RULE_BIG = 8, RULE_RATIO = 9, RULE_NAMES = 11, RULE_USES = 12,
};

} // namespace

TEST(CGIMapTest, PairsEndAtEveryAmpersandSplitAtTheFirstEqualsAndAreDecoded) {
    struct Case {
        const char* query;
        std::vector<std::pair<std::string, std::string>> pairs;
    };
    const Case cases[] = {
        {"section=general&action=global", {{"action", "global"}, {"section", "general"}}},
        {"F1=a+b%2Cc%3d&F2=", {{"F1", "a b,c="}, {"F2", ""}}},
        {"a=1&a=2", {{"a", "2"}}},                  // a later key replaces an earlier one
        {"a=b=c&d=e", {{"a", "b=c"}, {"d", "e"}}},  // the first '=' splits
        {"filename=/tmp/a=b&flag&x=1", {{"filename", "/tmp/a=b"}, {"flag", ""}, {"x", "1"}}},
        {"x&y=1", {{"x", ""}, {"y", "1"}}},         // every '&' ends a pair
        {"a=1&tail", {{"a", "1"}, {"tail", ""}}},   // a name alone has an empty value
        {"a=1&&=v", {{"", "v"}, {"a", "1"}}},       // an empty pair adds nothing
        {"k%3Dx=v%26w", {{"k=x", "v&w"}}},          // encoded '=' and '&' are text
        {"p=%zz%4", {{"p", "%zz%4"}}},              // bad escapes stay as they are
        {"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        CGIMap args(c.query);
        std::vector<std::pair<std::string, std::string>> got(args.begin(), args.end());
        EXPECT_EQ(got, c.pairs);
    }
    CGIMap none(nullptr);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none["missing"], ""); // an absent name reads as empty
}

TEST_F(FieldFormTest, EachTypeReadsItsValueOrRefusesIt) {
    struct Case {
        const char* what;
        size_t position;
        const char* query;
        bool refused;
        const char* text; // the field's text afterwards (when accepted)
    };
    const Case cases[] = {
        {"int", RULE_LEVEL, "F2=-12", false, "-12"},
        {"int with letters", RULE_LEVEL, "F2=12ab", true, ""},
        {"uint negative", RULE_USES, "F12=-1", true, ""},
        {"ip list", RULE_ADDRESSES, "F3=10.0.0.1-10.0.0.9", false, "10.0.0.1-10.0.0.9"},
        {"ip list malformed", RULE_ADDRESSES, "F3=10.0.0.300", true, ""},
        {"int range", RULE_WINDOW, "F4_active=on&F4=2&F4_2=10", false, "2,10"},
        {"int range out of bounds", RULE_WINDOW, "F4_active=on&F4=5&F4_2=11", true, ""},
        {"string range", RULE_SPAN, "F7_active=on&F7=red&F7_2=blue", false, "red,blue"},
        {"string range not a choice", RULE_SPAN, "F7_active=on&F7=red&F7_2=pink", true, ""},
        {"string range wrong case", RULE_SPAN, "F7_active=on&F7=RED&F7_2=blue", true, ""},
        {"long size", RULE_BIG, "F8=3 GB", false, "3 GB"},
        {"long size malformed", RULE_BIG, "F8=lots", true, ""},
        {"double", RULE_RATIO, "F9=0.25", false, "0.25"},
        {"double malformed", RULE_RATIO, "F9=1/4", true, ""},
        {"bool true", RULE_ENABLED, "F0=true", false, "true"},
        {"bool other text", RULE_ENABLED, "F0=yes", false, "false"},
        {"bool missing", RULE_ENABLED, "", false, "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Field f = rule_field(c.position);
        CGIMap args(c.query);
        if (c.refused) {
            EXPECT_THROW(f.read(args, static_cast<int>(c.position)), ConfigError);
            continue;
        }
        EXPECT_NO_THROW(f.read(args, static_cast<int>(c.position)));
        EXPECT_EQ(f.text, c.text);
    }

    Field span = rule_field(RULE_SPAN);
    CGIMap args("F7_active=on&F7=blue&F7_2=red");
    span.read(args, RULE_SPAN);
    EXPECT_EQ(span.value, 2);
    EXPECT_EQ(span.value2, 0);
    Field enabled = rule_field(RULE_ENABLED);
    CGIMap yes("F0=yes");
    enabled.read(yes, RULE_ENABLED);
    EXPECT_EQ(enabled.value, 0);
}

TEST_F(FieldFormTest, WhatAFormAcceptsTheConfigurationLoadsAgain) {
    // Every value a form accepted is saved and loaded back unchanged.
    FieldVector fields = demo->subsections[0].fields;
    CGIMap args("F0=on&F1=note&F2=7&F3=10.0.0.0-10.0.0.5&F4_active=on&F4=1&F4_2=3&F5=^a"
                "&F6_red=on&F6_blue=on&F7_active=on&F7=green&F7_2=red&F8=2g&F9=1.5"
                "&F10=two%0Alines&F11=x,y&F12=4");
    ASSERT_TRUE(fields.read(args).empty());

    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewElement("kestrivan"));
    tinyxml2::XMLElement* section = doc.NewElement("demo");
    doc.RootElement()->InsertEndChild(section);
    tinyxml2::XMLElement* entry = doc.NewElement("rules");
    section->InsertEndChild(entry);
    fields.save(entry);

    XmlElement cursor(&doc, "demo", "rules");
    FieldVector loaded = demo->subsections[0].fields;
    for (Field& f : loaded)
        ASSERT_NO_THROW(f.load(cursor)) << f.name;
    for (size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(loaded[i].text, fields[i].text) << fields[i].name;
        EXPECT_EQ(loaded[i].value, fields[i].value) << fields[i].name;
        EXPECT_EQ(loaded[i].value2, fields[i].value2) << fields[i].name;
    }
    EXPECT_EQ(fields[RULE_ENABLED].text, "false"); // "on" is no "true"
    EXPECT_EQ(fields[RULE_COLOURS].text, "red,blue");
    EXPECT_EQ(fields[RULE_COLOURS].value, 0x5);
}

TEST_F(FieldFormTest, AFailingFieldIsNamedAndTheOthersAreStillRead) {
    FieldVector fields = demo->subsections[0].fields;
    CGIMap args("F2=12ab&F4_active=on&F4=5&F4_2=11&F8=1g&F9=0.75&F11=p,q");
    StringList messages = fields.read(args);
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.end()),
              (std::vector<std::string>{
                  "level label must be an integer",
                  "window label must be a couple of integers between 1 and 10 inclusive"}));
    EXPECT_EQ(fields[RULE_RATIO].dvalue, 0.75);
    EXPECT_EQ(fields[RULE_NAMES].list, StringList("p,q", ','));
}

TEST_F(FieldFormTest, AnOptionalFieldWithoutItsSwitchIsOffAndKeepsItsValue) {
    Field window = rule_field(RULE_WINDOW);
    CGIMap on("F4_active=on&F4=2&F4_2=4");
    window.read(on, RULE_WINDOW);
    ASSERT_TRUE(window.active);
    CGIMap off("F4=7&F4_2=8");
    window.read(off, RULE_WINDOW);
    EXPECT_FALSE(window.active);
    EXPECT_EQ(window.text, "2,4");
    EXPECT_EQ(window.value, 2);
}

TEST_F(FieldFormTest, MultipleChoiceTakesTheCheckedBoxesOnly) {
    Field colours = rule_field(RULE_COLOURS);
    CGIMap none("");
    colours.read(none, RULE_COLOURS);
    EXPECT_EQ(colours.text, "");
    EXPECT_EQ(colours.value, 0);
    EXPECT_TRUE(colours.list.empty());
    CGIMap two("F6_green=on&F6_blue=on&F6_red=off");
    colours.read(two, RULE_COLOURS);
    EXPECT_EQ(colours.text, "green,blue");
    EXPECT_EQ(colours.value, 0x6);
    EXPECT_FALSE(colours.choices[0].selected);
    EXPECT_TRUE(colours.choices[2].selected);
}

TEST_F(FieldFormTest, KeysOfAnyPositionAreRead) {
    Field level = rule_field(RULE_LEVEL);
    CGIMap args("F1234=17&F123=5");
    level.read(args, 1234);
    EXPECT_EQ(level.value, 17);
}

TEST_F(FieldFormTest, MoreThan32ChoicesInAMultipleChoiceStopStartUp) {
    std::string choices;
    for (int i = 0; i < 33; ++i)
        choices += "<c" + std::to_string(i) + "/>";
    configtest::use_definition("<section><wide><comment>C</comment><desc>D</desc><select><many>" +
                               choices + "</many></select><global>" +
                               field("pick", 0, "STRING_SELECT_ONE", "many") +
                               field("picks", 1, "STRING_SELECT_MANY", "many") +
                               "</global></wide></section>");
    EXPECT_EXIT(ProbeSection("wide"), ::testing::ExitedWithCode(1), "");
    EXPECT_TRUE(configtest::log_has(
        log_path, "error: section-definition file, section wide, global, field 1 (picks): choice "
                  "list many has 33 choices, a multiple choice allows at most 32"))
        << logtest::read_file(log_path);
}

TEST_F(FieldFormTest, ReadOnlyRowsShowWhatIsSetAndAlternate) {
    FieldVector fields = demo->subsections[0].fields;
    fields[1].text = "a <b> & \"c\"\nnext";
    fields[RULE_WINDOW].active = false;   // optional and off: hidden
    fields[RULE_SPAN].active = true;      // optional and on: shown even without text
    fields[RULE_NAMES].text = "";         // empty: hidden
    Filebuf page;
    fields.display(&page);
    std::string html = text_of(page);
    EXPECT_NE(html.find("<tr class=\"entryfieldeven\"><td>enabled label</td><td>true</td></tr>"),
              std::string::npos);
    EXPECT_NE(html.find("<tr class=\"entryfieldodd\"><td>comment label</td>"
                        "<td>a &lt;b&gt; &amp; &quot;c&quot;<br>next</td></tr>"),
              std::string::npos);
    EXPECT_EQ(html.find("window label"), std::string::npos);
    EXPECT_NE(html.find("span label"), std::string::npos);
    EXPECT_EQ(html.find("names label"), std::string::npos);
    EXPECT_EQ(html.find("pattern label"), std::string::npos);
}

TEST_F(FieldFormTest, InputRowsCarryTheFormKeysOfEachType) {
    FieldVector fields = demo->subsections[0].fields;
    fields[RULE_WINDOW].active = true;
    fields[RULE_WINDOW].value = 2;
    fields[RULE_WINDOW].value2 = 9;
    fields[5].text = "x\"><script>";
    Filebuf page;
    CGIMap args;
    fields.dialog_display(&page, args);
    std::string html = text_of(page);
    const char* const expected[] = {
        "<tr class=\"entryfieldeven\"><td onmouseover=\"EnterContent('ToolTip','enabled label',"
        "'enabled text'); Activate();\" onmouseout=\"deActivate()\">enabled label</td>",
        "Yes:<input type=\"radio\" name=\"F0\" value=\"true\" checked> "
        "No:<input type=\"radio\" name=\"F0\" value=\"false\">",
        "<tr class=\"entryfieldodd\">",
        "<input type=\"text\" name=\"F2\" size=\"20\" value=\"3\">",
        "<input type=\"text\" name=\"F3\" size=\"80\" value=\"\">",
        "<input type=\"checkbox\" name=\"F4_active\" checked> active "
        "<input type=\"text\" name=\"F4\" size=\"20\" value=\"2\"> to "
        "<input type=\"text\" name=\"F4_2\" size=\"20\" value=\"9\">",
        "value=\"x&quot;&gt;&lt;script&gt;\"",
        "<table class=\"checklist\"><tr><td>Red</td><td><input type=\"checkbox\" name=\"F6_red\">"
        "</td></tr><tr><td>Green</td><td><input type=\"checkbox\" name=\"F6_green\" checked>",
        "<input type=\"checkbox\" name=\"F7_active\"> active <select name=\"F7\">"
        "<option value=\"red\" selected>Red</option>",
        "</select> to <select name=\"F7_2\">",
        "<textarea name=\"F10\" cols=\"80\" rows=\"8\" wrap=\"soft\"></textarea>",
    };
    for (const char* piece : expected)
        EXPECT_NE(html.find(piece), std::string::npos) << piece << "\n" << html;

    Field colour = demo->globals[4];
    Filebuf one;
    bool odd = true;
    colour.dialog_display(&one, args, 4, odd);
    EXPECT_FALSE(odd);
    EXPECT_NE(text_of(one).find("<input type=\"radio\" name=\"F4\" value=\"green\" checked>"),
              std::string::npos);

    Field disabled = colour;
    disabled.enabled = false;
    Filebuf nothing;
    disabled.dialog_display(&nothing, args, 4, odd);
    disabled.display(&nothing, odd);
    EXPECT_EQ(nothing.size, 0u);
}

TEST_F(FieldFormTest, AnEntryLinksOnlyToItsFormAndPostsEveryChangeWithTheToken) {
    Item item(demo->subsections[0], nullptr);
    Filebuf with_moves, without, no_token;
    item.display(&with_moves, 1, "tok<en");
    item.display(&without, 0, "tok<en");
    item.display(&no_token, 1);
    std::string id = std::to_string(item.id);
    const std::string edit =
        "<a href=\"config?section=demo&amp;subsection=rules&amp;dialog=show&amp;id=" + id +
        "\">Edit</a>";
    auto button = [&](const std::string& action, const std::string& extra,
                      const std::string& label) {
        return "<form action=\"config\" method=\"POST\" style=\"display: inline\">"
               "<input type=\"hidden\" name=\"section\" value=\"demo\">"
               "<input type=\"hidden\" name=\"subsection\" value=\"rules\">"
               "<input type=\"hidden\" name=\"action\" value=\"" + action + "\">"
               "<input type=\"hidden\" name=\"id\" value=\"" + id + "\">" + extra +
               "<input type=\"hidden\" name=\"token\" value=\"tok&lt;en\">"
               "<input type=\"submit\" value=\"" + label + "\"></form>";
    };
    for (const Filebuf* page : {&with_moves, &without, &no_token}) {
        EXPECT_NE(text_of(*page).find(edit), std::string::npos);
        // No link may change anything: a GET of it would.
        EXPECT_EQ(text_of(*page).find("&amp;action="), std::string::npos);
    }
    for (const Filebuf* page : {&with_moves, &without}) {
        EXPECT_NE(text_of(*page).find(button("delete", "", "Delete")), std::string::npos);
        EXPECT_NE(text_of(*page).find(button("clone", "", "Clone")), std::string::npos);
    }
    const std::string down =
        button("shift", "<input type=\"hidden\" name=\"direction\" value=\"down\">", "Down");
    EXPECT_NE(text_of(with_moves).find(down), std::string::npos);
    EXPECT_EQ(text_of(without).find("value=\"shift\""), std::string::npos);
    // Without a token there is nothing that could be posted.
    EXPECT_EQ(text_of(no_token).find("<form"), std::string::npos);
}

TEST_F(FieldFormTest, ASearchNeedsOneFieldMatchingBothPatterns) {
    Item item(demo->subsections[0], nullptr);
    item.fields[1].text = "Office printers";
    item.fields[5].text = "^ads\\.";
    struct Case {
        const char* name;
        const char* value;
        bool matches;
    };
    const Case cases[] = {
        {nullptr, nullptr, true},
        {"comm", nullptr, true},
        {nullptr, "PRINTER", true},      // case-insensitive
        {"comment", "printer", true},
        {"pattern", "printer", false},   // each pattern matched by another field
        {"nosuchfield", nullptr, false},
        {nullptr, "nowhere", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name ? c.name : "-") + "/" + (c.value ? c.value : "-"));
        reg_pattern_t* name = c.name ? reg_compile(c.name, REGEXP_ICASE) : nullptr;
        reg_pattern_t* value = c.value ? reg_compile(c.value, REGEXP_ICASE) : nullptr;
        EXPECT_EQ(item.match(name, value), c.matches);
        if (name)
            reg_free(name);
        if (value)
            reg_free(value);
    }
    Item empty(demo->subsections[0], nullptr);
    empty.fields.clear();
    EXPECT_FALSE(empty.match(nullptr, nullptr));
}
