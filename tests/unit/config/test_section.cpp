// The section model: reading definitions, locks, the registry, entries,
// loading a section (atomically) and saving it.
#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "config/section.h"
#include "core/filebuf.h"
#include "support/config_test_support.h"

using configtest::field;
using configtest::log_has;
using configtest::ProbeSection;

namespace {

class SectionTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        configtest::use_definition(configtest::demo_definition());
    }

    // Loads `body` as the demo section's element of a new document.
    void load(Section& section, const std::string& body, int mode) {
        doc.reset(configtest::parse_document("<kestrivan><demo>" + body + "</demo></kestrivan>"));
        section.load(doc.get(), mode);
    }

    // The texts of every global and entry field, to compare whole states.
    static std::vector<std::string> texts(const Section& section) {
        std::vector<std::string> all;
        for (const Field& f : section.globals)
            all.push_back(f.name + "=" + f.text);
        for (const Subsection& sub : section.subsections)
            for (const Item& item : sub.items)
                for (const Field& f : item.fields)
                    all.push_back(sub.name + "." + f.name + "=" + f.text);
        return all;
    }

    std::unique_ptr<tinyxml2::XMLDocument> doc;
};

const char* const GOOD_BODY =
    "<enabled>false</enabled><count>9</count><size>2M</size><ports>80,443</ports>"
    "<colour>red</colour><limit>4</limit><title>T</title>"
    "<rules><enabled>true</enabled><level>1</level><pattern>^a.*</pattern></rules>"
    "<rules><enabled>false</enabled><level>2</level></rules>"
    "<extra><enabled>true</enabled><level>7</level></extra>";

} // namespace

TEST_F(SectionTest, TheDefinitionIsReadInDefinitionOrder) {
    ProbeSection demo("demo");
    EXPECT_EQ(demo.comment, "Demo section");
    EXPECT_EQ(demo.desc, "For tests");
    std::vector<std::string> names;
    for (const Field& f : demo.globals)
        names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"enabled", "count", "size", "ports", "colour",
                                                "limit", "title"}));
    const Field& colour = demo.globals[4];
    EXPECT_EQ(colour.value, 1); // green is preselected
    EXPECT_EQ(colour.choices[0].comment, "Red");
    EXPECT_EQ(colour.choices[2].comment, "blue"); // no label: the value
    EXPECT_TRUE(demo.globals[5].optional);
    EXPECT_EQ(demo.globals[1].comment, "count label");
    EXPECT_EQ(demo.globals[1].desc, "count text");

    ASSERT_EQ(demo.subsections.size(), 2u);
    EXPECT_EQ(demo.subsections[0].name, "rules");
    EXPECT_EQ(demo.subsections[1].name, "extra");
    EXPECT_EQ(demo.subsections[0].fields.size(), 13u);
    // Two subsections of one template get their own copies.
    demo.subsections[0].fields[2].value = 99;
    EXPECT_EQ(demo.subsections[1].fields[2].value, 3);

    ProbeSection other("other");
    EXPECT_EQ(other.globals.size(), 1u);
    EXPECT_TRUE(other.subsections.empty());
}

TEST_F(SectionTest, FlagsCountOnlyForTheWordTrue) {
    configtest::use_definition(
        "<section><s><comment>S</comment><desc>D</desc>"
        "<select><list><a><value>TRUE</value></a><b><value>yes</value></b></list></select><global>" +
        field("x", 0, "INT", "1", "<optional>Yes</optional><enabled>FALSE</enabled>") +
        field("y", 1, "STRING_SELECT_MANY", "list") + field("z", 2, "STRING_SELECT_ONE", "nolist") +
        "</global><template><t/></template><subsection><u><comment>U</comment><template>missing"
        "</template><desc>D</desc><enabled>false</enabled></u></subsection></s></section>");
    ProbeSection s("s");
    EXPECT_FALSE(s.globals[0].optional);
    EXPECT_FALSE(s.globals[0].enabled);
    EXPECT_EQ(s.globals[1].value, 1);          // only a is preselected
    EXPECT_TRUE(s.globals[2].choices.empty()); // a list nobody declared
    ASSERT_EQ(s.subsections.size(), 1u);
    EXPECT_FALSE(s.subsections[0].enabled);
    EXPECT_TRUE(s.subsections[0].fields.empty()); // a template nobody declared
}

namespace {

struct DefinitionFault {
    const char* what;
    std::string xml;
    std::string message; // the clear line, after "error: "
    std::string assertion; // "src/section:<line> in function <name>"
};

std::string demo_with_globals(const std::string& globals) {
    return "<section><demo><comment>C</comment><desc>D</desc><global>" + globals +
           "</global></demo></section>";
}

} // namespace

TEST_F(SectionTest, EveryDefinitionFaultStopsStartUpNamingSectionAndField) {
    const DefinitionFault faults[] = {
        {"no section element", "<sections/>",
         "section-definition file, section demo: the document has no element section",
         "src/section:986 in function Section"},
        {"section missing", "<section><other/></section>",
         "section-definition file, section demo: the file has no element for this section",
         "src/section:987 in function Section"},
        {"comment missing", "<section><demo><desc>D</desc><global/></demo></section>",
         "section-definition file, section demo: element comment is missing",
         "src/section:990 in function Section"},
        {"global missing", "<section><demo><comment>C</comment><desc>D</desc></demo></section>",
         "section-definition file, section demo: element global is missing",
         "src/section:1045 in function Section"},
        {"position skipped", demo_with_globals(field("a", 0, "INT", "1") + field("b", 1, "INT", "1") +
                                               field("c", 3, "INT", "1")),
         "section-definition file, section demo, global, field 2 (c): attribute n is 3 but the "
         "field stands at position 2",
         "src/section:866 in function parse"},
        {"n missing", demo_with_globals("<a><comment>A</comment><value/><type>INT</type><desc/></a>"),
         "section-definition file, section demo, global, field 0 (a): attribute n is missing",
         "src/section:865 in function parse"},
        {"unknown type", demo_with_globals(field("speed", 0, "NUMBER", "1")),
         "section-definition file, section demo, global, field 0 (speed): type NUMBER is unknown",
         "src/section:347 in function type_get"},
        {"bad default", demo_with_globals(field("speed", 0, "INT", "fast")),
         "section-definition file, section demo, global, field 0 (speed): default fast is not an "
         "integer",
         "src/section:[0-9]+ in function parse"},
        {"bad bounds", demo_with_globals(field("w", 0, "INT_RANGE", "1")),
         "section-definition file, section demo, global, field 0 (w): default 1 is not two "
         "integers joined by a comma (the bounds)",
         "src/section:[0-9]+ in function parse"},
        {"field comment missing",
         demo_with_globals("<a n=\"0\"><value/><type>INT</type><desc/></a>"),
         "section-definition file, section demo, global, field 0 (a): element comment is missing",
         "src/section:870 in function parse"},
        {"template field fault",
         "<section><demo><comment>C</comment><desc>D</desc><global/><template><rule>" +
             field("x", 0, "BOOLEAN", "true") + "</rule></template></demo></section>",
         "section-definition file, section demo, template rule, field 0 (x): type BOOLEAN is unknown",
         "src/section:347 in function type_get"},
        {"subsection template missing",
         "<section><demo><comment>C</comment><desc>D</desc><global/><subsection><rules>"
         "<comment>R</comment><desc>D</desc></rules></subsection></demo></section>",
         "section-definition file, section demo: subsection rules: element template is missing",
         "src/section:1074 in function Section"},
    };
    for (const DefinitionFault& fault : faults) {
        SCOPED_TRACE(fault.what);
        unlink(log_path.c_str());
        configtest::use_definition(fault.xml);
        EXPECT_EXIT(ProbeSection("demo"), ::testing::ExitedWithCode(1), "");
        EXPECT_TRUE(log_has(log_path, "error: " + fault.message)) << logtest::read_file(log_path);
        bool asserted = false;
        for (const std::string& line : logtest::file_lines(log_path))
            asserted |= std::regex_search(line, std::regex("advice: ASSERTION: " + fault.assertion + "$"));
        EXPECT_TRUE(asserted) << logtest::read_file(log_path);
    }
}

TEST_F(SectionTest, LocksFollowTheMode) {
    ProbeSection rw("demo");
    ASSERT_EQ(rw.read_lock(), 0);
    ASSERT_EQ(rw.read_lock(), 0); // readers share
    EXPECT_EQ(rw.rwlock.try_write_lock(), EBUSY);
    rw.unlock();
    rw.unlock();
    ASSERT_EQ(rw.write_lock(), 0);
    EXPECT_EQ(rw.rwlock.try_read_lock(), EBUSY);
    rw.unlock();

    ProbeSection mutexed("other", SECTION_MUTEX);
    ASSERT_EQ(mutexed.mutex_lock(), 0);
    EXPECT_EQ(pthread_mutex_trylock(&mutexed.mutex), EBUSY);
    mutexed.unlock();
    ASSERT_EQ(mutexed.read_lock(), 0); // the same mutex
    EXPECT_EQ(pthread_mutex_trylock(&mutexed.mutex), EBUSY);
    mutexed.unlock();
    int number = 42;
    EXPECT_EQ(mutexed.atomic_read(&number), 42);
    EXPECT_EQ(mutexed.name_get(), "other");
    EXPECT_EQ(mutexed.comment_get(), "Other");
}

TEST_F(SectionTest, MutexOperationsOnAReadWriteSectionAreFatal) {
    const struct {
        void (*act)(ProbeSection&);
        const char* assertion;
    } cases[] = {
        {[](ProbeSection& s) { s.mutex_lock(); }, "src/section:1117 in function mutex_lock"},
        {[](ProbeSection& s) {
             pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
             s.cond_wait(&cond);
         },
         "src/section:1163 in function cond_wait"},
        {[](ProbeSection& s) {
             pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
             timespec deadline = {0, 0};
             s.cond_timedwait(&cond, &deadline);
         },
         "src/section:1169 in function cond_timedwait"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.assertion);
        unlink(log_path.c_str());
        EXPECT_EXIT(
            {
                ProbeSection rw("demo");
                c.act(rw);
            },
            ::testing::ExitedWithCode(1), "");
        EXPECT_TRUE(log_has(log_path, std::string("advice: ASSERTION: ") + c.assertion));
    }
}

TEST_F(SectionTest, TheRegistryHoldsTheLatestSectionOfANameInByteOrder) {
    ProbeSection first("demo");
    {
        ProbeSection second("demo");
        EXPECT_EQ(Section::map["demo"], &second);
        ProbeSection other("other");
        std::vector<std::string> order;
        for (const auto& entry : Section::map)
            order.push_back(entry.first);
        EXPECT_EQ(order, (std::vector<std::string>{"demo", "other"}));
    }
    // A destroyed section is no longer reached through the registry.
    EXPECT_EQ(Section::map.count("demo"), 0u);
    EXPECT_EQ(Section::map.count("other"), 0u);
}

TEST_F(SectionTest, EntriesAndIds) {
    ProbeSection demo("demo");
    EXPECT_EQ(demo.subsection_get("rules"), &demo.subsections[0]);
    EXPECT_EQ(demo.subsection_get("Rules"), nullptr);
    load(demo, GOOD_BODY, 1);
    std::vector<int> ids;
    for (const Subsection& sub : demo.subsections)
        for (const Item& item : sub.items)
            ids.push_back(item.id_get());
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_LT(ids[0], ids[1]);
    EXPECT_LT(ids[1], ids[2]);
    EXPECT_EQ(demo.item_get(ids[2]), &demo.subsections[1].items.front());
    EXPECT_EQ(demo.item_get(-5), nullptr);
    int found = 1;
    demo.item_iterator_get(123456, found);
    EXPECT_EQ(found, 0);

    Item copy(demo.subsections[0].items.front());
    EXPECT_GT(copy.id_get(), ids[2]); // a copy takes a new id
    load(demo, GOOD_BODY, 1);
    EXPECT_GT(demo.subsections[0].items.front().id_get(), copy.id_get());
    EXPECT_EQ(demo.item_get(ids[0]), nullptr); // replaced entries are gone
}

TEST_F(SectionTest, LoadModesAppendOrReplaceAndGlobalsChangeInPlace) {
    ProbeSection demo("demo");
    int* count = &demo.global_field(1, FIELD_INT).value;
    load(demo, GOOD_BODY, 0);
    EXPECT_EQ(*count, 9);
    EXPECT_EQ(demo.globals[2].uvalue, 2u << 20);
    EXPECT_EQ(demo.globals[4].value, 0); // red
    EXPECT_EQ(demo.updates, 1);
    EXPECT_EQ(demo.subsections[0].items.size(), 2u);

    load(demo, GOOD_BODY, 0);
    EXPECT_EQ(demo.subsections[0].items.size(), 4u); // appended
    EXPECT_EQ(demo.subsections[1].items.size(), 2u);
    load(demo, GOOD_BODY, 1);
    EXPECT_EQ(demo.subsections[0].items.size(), 2u); // replaced
    EXPECT_EQ(demo.entries_seen, 2u);
    EXPECT_EQ(demo.updates, 3);

    // An entry without the element of an INT field holds 0, not the
    // template's default 3; its BOOL keeps the default.
    load(demo, "<rules><comment>bare</comment></rules>", 1);
    const Item& bare = demo.subsections[0].items.front();
    EXPECT_EQ(bare.fields[2].value, 0);
    EXPECT_EQ(bare.fields[0].value, 1);
    EXPECT_EQ(bare.fields[11].list.size(), 0u); // STRING_LIST: empty text
    EXPECT_TRUE(demo.subsections[1].items.empty());
    // Globals without element: an INT reads the empty text, 0; a BOOL and a
    // FILE_SIZE keep what they had.
    EXPECT_EQ(*count, 0);
    EXPECT_EQ(demo.globals[0].value, 0);
    EXPECT_EQ(demo.globals[2].uvalue, 2u << 20);
}

TEST_F(SectionTest, AMalformedValueLeavesTheWholeSectionAsItWas) {
    ProbeSection demo("demo");
    load(demo, GOOD_BODY, 1);
    std::vector<std::string> before = texts(demo);
    int updates = demo.updates;
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        std::string flawed =
            std::string(GOOD_BODY) + "<rules><enabled>true</enabled><level>x</level></rules>";
        flawed.replace(flawed.find("<count>9</count>"), 16, "<count>12</count>"); // a changed global
        try {
            load(demo, flawed, mode);
            ADD_FAILURE() << "no error";
        } catch (const ConfigError& error) {
            EXPECT_EQ(error.message, "flawed XML file, section demo, element rules: level must be "
                                     "an integer, but it is given value x");
        }
        EXPECT_EQ(texts(demo), before);
        EXPECT_EQ(demo.globals[1].value, 9);
        EXPECT_EQ(demo.updates, updates);
        EXPECT_EQ(demo.rwlock.try_write_lock(), 0); // the lock is free
        demo.unlock();
    }
    EXPECT_TRUE(log_has(log_path, "error: flawed XML file, section demo, element rules: level "
                                  "must be an integer, but it is given value x"));
}

TEST_F(SectionTest, ASectionWithoutElementIsLeftAlone) {
    ProbeSection demo("demo");
    load(demo, GOOD_BODY, 1);
    std::unique_ptr<tinyxml2::XMLDocument> other(configtest::parse_document("<kestrivan><other/></kestrivan>"));
    EXPECT_THROW(demo.load(other.get(), 1), ConfigError);
    EXPECT_EQ(demo.subsections[0].items.size(), 2u);
    EXPECT_EQ(demo.updates, 1);
}

TEST_F(SectionTest, ARulePatternThatDoesNotCompileIsRefusedAndThePreviousRulesStay) {
    ProbeSection demo("demo", SECTION_RWLOCK, 5);
    load(demo, GOOD_BODY, 1);
    std::vector<std::string> before = texts(demo);
    const std::string broken = std::string(GOOD_BODY) +
                               "<rules><enabled>true</enabled><pattern>(unclosed</pattern></rules>";
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        int updates = demo.updates;
        try {
            load(demo, broken, mode);
            ADD_FAILURE() << "no error";
        } catch (const ConfigError& error) {
            EXPECT_EQ(error.message.rfind("section demo, element rules: pattern must be a regular "
                                          "expression, but it is given value (unclosed (",
                                          0),
                      0u)
                << error.message;
        }
        EXPECT_EQ(texts(demo), before);
        EXPECT_EQ(demo.updates, updates + 2); // refused, then rebuilt from the old rules
        EXPECT_EQ(demo.entries_seen, 2u);
    }
    bool logged = false;
    for (const std::string& line : logtest::file_lines(log_path))
        logged |= line.find("error: section demo, element rules: pattern must be a regular "
                            "expression, but it is given value (unclosed") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_F(SectionTest, SaveRewritesTheElementInPlaceOrAppendsIt) {
    ProbeSection demo("demo");
    ProbeSection other("other");
    load(demo, GOOD_BODY, 1);

    std::unique_ptr<tinyxml2::XMLDocument> target(configtest::parse_document(
        "<kestrivan><zzz keep=\"1\"/><other><number>4</number><junk/></other></kestrivan>"));
    demo.save(target.get());
    other.save(target.get());
    std::vector<std::string> order;
    for (auto* e = target->RootElement()->FirstChildElement(); e; e = e->NextSiblingElement())
        order.push_back(e->Name());
    EXPECT_EQ(order, (std::vector<std::string>{"zzz", "other", "demo"}));
    EXPECT_EQ(target->RootElement()->FirstChildElement("other")->FirstChildElement("junk"), nullptr);

    tinyxml2::XMLPrinter once;
    target->Print(&once);
    demo.save(target.get());
    other.save(target.get());
    tinyxml2::XMLPrinter twice;
    target->Print(&twice);
    EXPECT_STREQ(once.CStr(), twice.CStr());

    // What was saved loads back to the same texts.
    std::vector<std::string> saved = texts(demo);
    ProbeSection copy("demo");
    copy.load(target.get(), 1);
    EXPECT_EQ(texts(copy), saved);
    EXPECT_EQ(copy.globals[5].uvalue, 4u);
    EXPECT_TRUE(copy.globals[5].active);
}

TEST_F(SectionTest, BindingChecksNameTheFieldThatDoesNotFit) {
    ProbeSection demo("demo");
    EXPECT_EQ(&demo.global_field(1, FIELD_INT), &demo.globals[1]);
    EXPECT_EQ(&demo.subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_INT}), &demo.subsections[0]);

    const struct {
        void (*act)(ProbeSection&);
        const char* message;
    } cases[] = {
        {[](ProbeSection& s) { s.global_field(1, FIELD_BOOL); },
         "section-definition file, section demo, global: field 1 (count) must be of type BOOL, but "
         "it is declared INT"},
        {[](ProbeSection& s) { s.global_field(9, FIELD_INT); },
         "section-definition file, section demo, global: field 9 of type INT is missing (7 fields "
         "declared)"},
        {[](ProbeSection& s) { s.subsection_at(1, {FIELD_BOOL, FIELD_INT}); },
         "section-definition file, section demo, subsection extra: field 1 (comment) must be of "
         "type INT, but it is declared STRING"},
        {[](ProbeSection& s) { s.subsection_at(2, {}); },
         "section-definition file, section demo: subsection 2 is missing (2 declared)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        unlink(log_path.c_str());
        EXPECT_EXIT(
            {
                ProbeSection s("demo");
                c.act(s);
            },
            ::testing::ExitedWithCode(1), "");
        EXPECT_TRUE(log_has(log_path, std::string("error: ") + c.message)) << logtest::read_file(log_path);
    }
}

TEST_F(SectionTest, DisplayEnabledShowsTheSwitchOfSectionsThatHaveOne) {
    ProbeSection demo("demo");
    ProbeSection other("other");
    Filebuf page;
    EXPECT_EQ(demo.display_enabled(&page), 1);
    std::string html(page.data, page.size);
    EXPECT_NE(html.find("Demo section"), std::string::npos);
    EXPECT_NE(html.find("value=\"on\" checked"), std::string::npos);
    EXPECT_EQ(html.find("value=\"off\" checked"), std::string::npos);
    EXPECT_EQ(other.display_enabled(&page), 0);
}

TEST_F(SectionTest, ReadersSeeEitherTheOldOrTheNewValuesNeverAMixture) {
    ProbeSection demo("demo");
    std::unique_ptr<tinyxml2::XMLDocument> first(configtest::parse_document(
        "<kestrivan><demo><count>1</count><title>one</title><rules><level>1</level></rules>"
        "</demo></kestrivan>"));
    std::unique_ptr<tinyxml2::XMLDocument> second(configtest::parse_document(
        "<kestrivan><demo><count>2</count><title>two</title><rules><level>2</level></rules>"
        "<rules><level>2</level></rules></demo></kestrivan>"));
    demo.load(first.get(), 1);
    const int* count = &demo.globals[1].value;
    const std::string* title = &demo.globals[6].text;

    std::atomic<bool> done{false};
    std::thread loader([&] {
        for (int i = 0; i < 300; ++i)
            demo.load(i % 2 ? first.get() : second.get(), 1);
        done = true;
    });
    int mixtures = 0;
    for (int reads = 0; reads < 100000 && !done; ++reads) {
        demo.read_lock();
        size_t entries = demo.subsections[0].items.size();
        bool one = *count == 1 && *title == "one" && entries == 1;
        bool two = *count == 2 && *title == "two" && entries == 2;
        mixtures += !(one || two);
        demo.unlock();
        int copied = demo.atomic_read(&demo.globals[1].value);
        EXPECT_TRUE(copied == 1 || copied == 2) << copied;
    }
    loader.join();
    EXPECT_EQ(mixtures, 0);
}
