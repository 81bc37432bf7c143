// The configuration document: loading files (all or nothing per section,
// bad input reported), the start-up rule, saving, and the shipped files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/configfile.h"
#include "config/section.h"
#include "core/daemon.h"
#include "support/config_test_support.h"

using configtest::log_has;
using configtest::ProbeSection;
using configtest::write_file;

namespace {

class ConfigFileTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        configtest::use_definition(configtest::demo_definition());
        path = dir + "/k.xml";
        delete document; // every test starts without a configuration document
        document = nullptr;
        documentsynctime = 0;
        slave = 0;
    }

    // Writes the configuration file `path` holding `sections`.
    void write_config(const std::string& sections) {
        write_file(path, "<?xml version=\"1.0\"?>\n<kestrivan>" + sections + "</kestrivan>\n");
    }

    // Every field text of every registered section, with its place.
    static std::vector<std::string> all_texts() {
        std::vector<std::string> texts;
        for (const auto& entry : Section::map) {
            const Section& s = *entry.second;
            for (const Field& f : s.globals)
                texts.push_back(entry.first + "/" + f.name + (f.active ? "+" : "-") + "=" + f.text);
            for (const Subsection& sub : s.subsections)
                for (const Item& item : sub.items)
                    for (const Field& f : item.fields)
                        texts.push_back(entry.first + "/" + sub.name + "/" + f.name +
                                        (f.active ? "+" : "-") + "=" + f.text);
        }
        return texts;
    }

    std::string path;
};

const char* const DEMO =
    "<demo><enabled>true</enabled><count>9</count><size>2M</size><ports>80</ports>"
    "<colour>blue</colour><limit active=\"false\">4</limit><title>T</title>"
    "<rules><enabled>true</enabled><level>1</level><notes>two\nlines</notes></rules>"
    "<rules><enabled>false</enabled><level>2</level><window>2,3</window></rules>"
    "<extra><level>7</level><span>red,green</span></extra></demo>";
const char* const OTHER = "<other><number>5</number></other>";

} // namespace

TEST_F(ConfigFileTest, AFileLoadsEverySectionAndStampsTheTime) {
    ProbeSection demo("demo");
    ProbeSection other("other");
    write_config(std::string(DEMO) + OTHER);
    StringList errors;
    time_t before = time(nullptr);
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, path, &errors), 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(demo.globals[1].value, 9);
    EXPECT_EQ(demo.subsections[0].items.size(), 2u);
    EXPECT_EQ(other.globals[0].value, 5);
    EXPECT_GE(documentsynctime, before);
    ASSERT_NE(document, nullptr);
    EXPECT_STREQ(document->RootElement()->Name(), "kestrivan");
    EXPECT_TRUE(logtest::file_lines(log_path).empty()) << logtest::read_file(log_path);

    slave = 1; // a slave takes its stamp from the master only
    documentsynctime = 7;
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    EXPECT_EQ(documentsynctime, 7);
}

TEST_F(ConfigFileTest, LoadModesAppendOrReplaceEntries) {
    ProbeSection demo("demo");
    write_config(DEMO);
    EXPECT_EQ(config_load(CONFIG_LOAD_APPEND, path), 1);
    EXPECT_EQ(config_load(CONFIG_LOAD_APPEND, path), 1);
    EXPECT_EQ(demo.subsections[0].items.size(), 4u);
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    EXPECT_EQ(demo.subsections[0].items.size(), 2u);
    EXPECT_EQ(config_load(CONFIG_LOAD_STARTUP, path), 1);
    EXPECT_EQ(demo.subsections[0].items.size(), 2u);
}

TEST_F(ConfigFileTest, BadFilesApplyNothingAndSayWhy) {
    ProbeSection demo("demo");
    ProbeSection other("other");
    write_config(std::string(DEMO) + OTHER);
    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    std::vector<std::string> before = all_texts();
    tinyxml2::XMLDocument* loaded = document;
    documentsynctime = 0;

    const struct {
        const char* what;
        const char* content; // NULL: no file at all
        const char* reason;
    } cases[] = {
        {"truncated", "<kestrivan><demo><count>3</count>", "cannot be loaded: "},
        {"not XML", "count = 3\n", "cannot be loaded: "},
        {"wrongly nested", "<kestrivan><demo><count>3</demo></count></kestrivan>", "cannot be loaded: "},
        {"empty", "", "cannot be loaded: "},
        {"another root", "<config><demo><count>3</count></demo></config>",
         "cannot be loaded: its root element is not kestrivan"},
        {"missing", nullptr, "cannot be loaded: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = dir + "/bad.xml";
        unlink(bad.c_str());
        if (c.content != nullptr)
            write_file(bad, c.content);
        StringList errors;
        EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, bad, &errors), 0);
        ASSERT_EQ(errors.size(), 1u);
        std::string expected = "configuration file " + bad + " " + c.reason;
        EXPECT_EQ(errors.front().rfind(expected, 0), 0u) << errors.front();
        EXPECT_TRUE(log_has(log_path, "error: " + errors.front()));
        EXPECT_EQ(document, loaded);
        EXPECT_EQ(all_texts(), before);
        EXPECT_EQ(documentsynctime, 0);
    }
}

TEST_F(ConfigFileTest, AWrongValueKeepsThatSectionAndLoadsTheOthers) {
    ProbeSection demo("demo");
    ProbeSection other("other");
    write_config(std::string(DEMO) + OTHER);
    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    std::vector<std::string> demo_before;
    for (const std::string& t : all_texts())
        if (t.rfind("demo/", 0) == 0)
            demo_before.push_back(t);

    write_config("<demo><count>10</count><rules><level>3</level><window>0,4</window></rules></demo>"
                 "<other><number>6</number></other>");
    StringList errors;
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, path, &errors), -1);
    const std::string flaw = "flawed XML file, section demo, element rules: window must be a "
                             "couple of integers between 1 and 10 inclusive, but it is given value 0,4";
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.front(), flaw);
    EXPECT_TRUE(log_has(log_path, "error: " + flaw));
    EXPECT_TRUE(log_has(log_path, "error: configuration file " + path +
                                      ": section demo was not loaded and keeps its previous values"));
    std::vector<std::string> demo_after;
    for (const std::string& t : all_texts())
        if (t.rfind("demo/", 0) == 0)
            demo_after.push_back(t);
    EXPECT_EQ(demo_after, demo_before);
    EXPECT_EQ(other.globals[0].value, 6);

    // When every section refuses, nothing was applied.
    write_config("<demo><count>x</count></demo>");
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 0);
    EXPECT_EQ(demo.globals[1].value, 9);
}

TEST_F(ConfigFileTest, AnUnknownSectionIsReportedAndKeptInTheDocument) {
    ProbeSection demo("demo");
    write_config(std::string("<bogus><x>1</x></bogus>") + DEMO);
    StringList errors;
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, path, &errors), -1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.front(), "configuration file " + path + ": unknown section bogus is ignored");
    EXPECT_EQ(demo.globals[1].value, 9);
    std::string saved = dir + "/saved.xml";
    ASSERT_EQ(config_save(saved), 1);
    EXPECT_NE(logtest::read_file(saved).find("<bogus>"), std::string::npos);
}

TEST_F(ConfigFileTest, ASectionMissingFromTheFileKeepsItsValues) {
    ProbeSection demo("demo");
    ProbeSection other("other");
    write_config(std::string(DEMO) + OTHER);
    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    write_config("<other><number>8</number></other>");
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    EXPECT_EQ(demo.globals[1].value, 9);
    EXPECT_EQ(demo.subsections[0].items.size(), 2u);
    EXPECT_EQ(other.globals[0].value, 8);
}

TEST_F(ConfigFileTest, AtStartUpEveryFaultStopsTheProgram) {
    const struct {
        const char* content;
        const char* logged;    // the line explaining the stop
        const char* assertion; // the assertion line
    } cases[] = {
        {"<kestrivan><demo><count>many</count></demo></kestrivan>",
         "error: flawed XML file, section demo, element : count must be an integer, but it is "
         "given value many",
         "advice: ASSERTION: src/section:402 in function error_log"},
        {"<kestrivan><demo><count>1</count>", "error: configuration file ",
         "advice: ASSERTION: src/main:1184 in function config_load"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        unlink(log_path.c_str());
        write_file(path, c.content);
        EXPECT_EXIT(
            {
                ProbeSection demo("demo");
                config_load(CONFIG_LOAD_STARTUP, path);
            },
            ::testing::ExitedWithCode(1), "");
        EXPECT_NE(logtest::read_file(log_path).find(c.logged), std::string::npos)
            << logtest::read_file(log_path);
        EXPECT_TRUE(log_has(log_path, c.assertion)) << logtest::read_file(log_path);
    }
}

TEST_F(ConfigFileTest, APathWithAColonBetweenTwoPiecesIsAUrl) {
    ProbeSection demo("demo");
    write_config(DEMO);
    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    tinyxml2::XMLDocument* loaded = document;

    StringList errors;
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, "http://127.0.0.1:9/config.xml", &errors), 0);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.front(), "configuration URL http://127.0.0.1:9/config.xml: no response");
    EXPECT_EQ(document, loaded);
    EXPECT_EQ(config_url_load("http://h/" + std::string(300, 'x'), CONFIG_LOAD_REPLACE), 0);
    EXPECT_EQ(document, loaded);

    // A colon only at the start or the end leaves a file name.
    write_file(dir + "/end.xml:", std::string("<kestrivan>") + DEMO + "</kestrivan>");
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, dir + "/end.xml:"), 1);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    write_file(dir + "/:start.xml", std::string("<kestrivan>") + DEMO + "</kestrivan>");
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, ":start.xml"), 1);
}

TEST_F(ConfigFileTest, SaveRoundTripsThroughATemporaryFile) {
    ProbeSection demo("demo");
    ProbeSection other("other");
    write_config(std::string(OTHER) + DEMO); // sections in another order than the map's
    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, path), 1);
    std::vector<std::string> loaded = all_texts();

    std::string saved = dir + "/saved.xml";
    write_file(saved, "old contents");
    chmod(saved.c_str(), 0600);
    ASSERT_EQ(config_save(saved), 1);
    struct stat st;
    ASSERT_EQ(stat(saved.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // the file keeps its permissions
    std::string text = logtest::read_file(saved);
    EXPECT_LT(text.find("<other>"), text.find("<demo>")); // the file's order is kept
    for (const std::string& name : logtest::list_dir(dir))
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name; // no temporary file is left

    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, saved), 1);
    EXPECT_EQ(all_texts(), loaded);
    std::string again = dir + "/again.xml";
    ASSERT_EQ(config_save(again), 1);
    EXPECT_EQ(logtest::read_file(again), text);
}

TEST_F(ConfigFileTest, SavingWithoutALoadedDocumentAndSavingFailures) {
    ProbeSection other("other");
    ProbeSection demo("demo");
    ASSERT_EQ(document, nullptr);
    std::string saved = dir + "/fresh.xml";
    ASSERT_EQ(config_save(saved), 1);
    std::unique_ptr<tinyxml2::XMLDocument> fresh(configtest::parse_document(logtest::read_file(saved)));
    std::vector<std::string> order;
    for (auto* e = fresh->RootElement()->FirstChildElement(); e; e = e->NextSiblingElement())
        order.push_back(e->Name());
    EXPECT_EQ(order, (std::vector<std::string>{"demo", "other"}));
    // The preselected choice is saved as the field's value and loads back.
    EXPECT_STREQ(fresh->RootElement()->FirstChildElement("demo")->FirstChildElement("colour")->GetText(),
                 "green");
    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, saved), 1);
    EXPECT_EQ(demo.globals[4].value, 1);

    EXPECT_EQ(config_save(dir + "/no/such/dir/k.xml"), 0);
    EXPECT_TRUE(log_has(log_path, "error: configuration file " + dir +
                                      "/no/such/dir/k.xml could not be written"));
}

// ---- The shipped files ---------------------------------------------------------

namespace {

// Expected field types by position, as the sections' classes read them.
struct Layout {
    std::string section;
    int lockmode;
    std::string globals;
    std::vector<std::pair<std::string, std::string>> subsections;
};

// The usual head of a rule entry: enabled, comment, user groups, profiles.
std::string with_head(const std::string& rest) {
    return "BOOL STRING STRING_LIST STRING_LIST " + rest;
}

std::vector<Layout> shipped_layouts() {
    return {
        {"access", SECTION_RWLOCK, "BOOL BOOL IP_RANGE_LIST",
         {{"allow", "BOOL STRING BOOL STRING_LIST STRING_LIST IP_RANGE_LIST BOOL STRING STRING "
                    "STRING_SELECT_MANY STRING_SELECT_MANY STRING STRING STRING_LIST"},
          {"deny", "BOOL STRING BOOL STRING_LIST STRING_LIST IP_RANGE_LIST BOOL STRING STRING "
                   "STRING_SELECT_MANY STRING_SELECT_MANY STRING STRING STRING_LIST"}}},
        {"url-filtering", SECTION_RWLOCK, "BOOL STRING_SELECT_ONE STRING",
         {{"allow", with_head("STRING STRING IP_RANGE_LIST STRING")},
          {"deny", with_head("STRING STRING IP_RANGE_LIST STRING")}}},
        {"prefetch", SECTION_MUTEX, "BOOL INT INT INT",
         {{"prefetch", "BOOL STRING STRING_LIST STRING STRING STRING FILE_SIZE INT"}}},
        {"cache", SECTION_MUTEX,
         "BOOL BOOL LONG_FILE_SIZE FILE_SIZE FILE_SIZE FILE_SIZE INT INT INT INT UINT UINT",
         {{"store", "BOOL STRING STRING_LIST STRING LONG_FILE_SIZE FILE_SIZE BOOL"},
          {"refresh", "BOOL STRING STRING_LIST BOOL UINT UINT UINT UINT"}}},
        {"general", SECTION_RWLOCK, "STRING STRING INT INT INT",
         {{"general", with_head("INT INT INT FILE_SIZE FILE_SIZE INT PORT_RANGE_LIST STRING BOOL "
                                "BOOL BOOL BOOL")}}},
        {"dnsbl", SECTION_RWLOCK, "BOOL STRING STRING IP_RANGE_LIST", {}},
        {"network", SECTION_RWLOCK, "",
         {{"listen", "BOOL STRING INT STRING"}, {"interface", with_head("STRING")}}},
        {"header-filtering", SECTION_RWLOCK, "BOOL STRING_SELECT_ONE",
         {{"allow", with_head("STRING STRING STRING_SELECT_MANY")},
          {"deny", with_head("STRING STRING STRING_SELECT_MANY")},
          {"insert", with_head("STRING STRING STRING_SELECT_MANY")}}},
        {"templates", SECTION_RWLOCK, "STRING",
         {{"template", with_head("STRING STRING STRING INT STRING_SELECT_ONE BOOL")}}},
        {"cookies-filtering", SECTION_RWLOCK, "BOOL STRING_SELECT_ONE",
         {{"allow", with_head("INT_RANGE STRING_RANGE INT_RANGE STRING_RANGE INT_RANGE INT_RANGE "
                              "STRING STRING STRING_SELECT_ONE STRING_SELECT_ONE")},
          {"deny", with_head("INT_RANGE STRING_RANGE INT_RANGE STRING_RANGE INT_RANGE INT_RANGE "
                             "STRING STRING STRING_SELECT_ONE STRING_SELECT_ONE")}}},
        {"ldap", SECTION_RWLOCK, "BOOL",
         {{"servers", "BOOL STRING STRING STRING INT STRING_SELECT_ONE STRING_SELECT_ONE INT "
                      "STRING STRING STRING STRING STRING STRING"}}},
        {"rewrite", SECTION_RWLOCK, "BOOL",
         {{"rules", "BOOL STRING STRING_LIST STRING STRING STRING STRING_SELECT_MANY"}}},
        {"icap", SECTION_RWLOCK, "BOOL",
         {{"servers", "BOOL STRING STRING_LIST STRING STRING INT STRING_SELECT_MANY"}}},
        {"fprot", SECTION_RWLOCK, "BOOL STRING",
         {{"rules", "BOOL STRING STRING_LIST STRING INT STRING_SELECT_MANY"}}},
        {"kaspersky", SECTION_RWLOCK, "BOOL STRING STRING", {{"rules", "BOOL STRING STRING_LIST STRING"}}},
        {"sophie", SECTION_RWLOCK, "BOOL STRING STRING INT STRING",
         {{"rules", "BOOL STRING STRING_LIST STRING"}}},
        {"vantori", SECTION_RWLOCK, "BOOL STRING",
         {{"rules", "BOOL STRING BOOL STRING_LIST STRING_LIST STRING_LIST STRING STRING_LIST "
                    "STRING_LIST"}}},
        {"external", SECTION_RWLOCK, "BOOL",
         {{"programs", with_head("STRING BOOL STRING_SELECT_MANY BOOL STRING_SELECT_MANY")}}},
        {"ftp", SECTION_RWLOCK, "BOOL INT STRING STRING STRING_SELECT_ONE STRING_SELECT_ONE", {}},
        {"profiles", SECTION_RWLOCK, "",
         {{"profile", "BOOL STRING BOOL STRING_LIST STRING_LIST STRING STRING STRING STRING "
                      "PORT_RANGE_LIST STRING_LIST STRING STRING STRING STRING_RANGE INT_RANGE "
                      "STRING_RANGE INT_RANGE INT_RANGE BOOL STRING_LIST STRING_LIST"}}},
        {"mime-filtering", SECTION_RWLOCK, "BOOL STRING_SELECT_ONE STRING",
         {{"allow", with_head("STRING STRING STRING STRING")},
          {"deny", with_head("STRING STRING STRING STRING")}}},
        {"redirect", SECTION_RWLOCK, "BOOL",
         {{"rules", with_head("STRING STRING INT STRING_SELECT_ONE STRING_SELECT_MANY "
                              "STRING_SELECT_ONE")}}},
        {"keywords-filtering", SECTION_RWLOCK, "BOOL INT STRING",
         {{"rules", with_head("STRING STRING INT")}}},
        {"forward", SECTION_RWLOCK, "BOOL BOOL UINT",
         {{"parent", with_head("STRING STRING STRING STRING INT STRING_SELECT_ONE INT "
                               "STRING_SELECT_ONE STRING_SELECT_MANY")}}},
        {"limits", SECTION_RWLOCK, "BOOL",
         {{"rules", with_head("BOOL STRING STRING_RANGE INT_RANGE STRING_RANGE INT_RANGE "
                              "INT_RANGE FILE_SIZE FILE_SIZE UINT FILE_SIZE STRING_SELECT_ONE "
                              "STRING_SELECT_MANY")}}},
        {"clamav", SECTION_RWLOCK, "BOOL STRING INT STRING", {{"rules", with_head("STRING")}}},
        {"urlblacklist", SECTION_RWLOCK, "BOOL STRING_SELECT_ONE STRING STRING",
         {{"allow", with_head("STRING_LIST STRING")}, {"deny", with_head("STRING_LIST STRING")}}},
    };
}

std::string type_words(const FieldVector& fields) {
    const char* const words[] = {"INT", "UINT", "BOOL", "STRING", "STRING_SELECT_ONE",
                                 "STRING_SELECT_MANY", "STRING_LIST", "IP_RANGE_LIST",
                                 "PORT_RANGE_LIST", "?", "STRING_RANGE", "INT_RANGE", "FILE_SIZE",
                                 "MULTILINE_STRING", "LONG_FILE_SIZE", "DOUBLE"};
    std::string text;
    for (const Field& f : fields)
        text += (text.empty() ? "" : " ") + std::string(words[f.type]);
    return text;
}

class ShippedFiles : public ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        sectionxml = new tinyxml2::XMLDocument();
        ASSERT_EQ(sectionxml->LoadFile((configtest::source_dir() + "/etc/sections.xml").c_str()),
                  tinyxml2::XML_SUCCESS);
        for (const Layout& layout : shipped_layouts())
            sections.emplace_back(new ProbeSection(layout.section, layout.lockmode));
    }

    std::vector<std::unique_ptr<ProbeSection>> sections;
};

} // namespace

TEST_F(ShippedFiles, EverySectionBuildsWithTheFieldsItsClassReads) {
    ASSERT_EQ(Section::map.size(), 27u);
    for (const Layout& layout : shipped_layouts()) {
        SCOPED_TRACE(layout.section);
        Section& s = *Section::map.at(layout.section);
        EXPECT_FALSE(s.comment.empty());
        EXPECT_EQ(type_words(s.globals), layout.globals);
        ASSERT_EQ(s.subsections.size(), layout.subsections.size());
        for (size_t k = 0; k < layout.subsections.size(); ++k) {
            EXPECT_EQ(s.subsections[k].name, layout.subsections[k].first);
            EXPECT_EQ(type_words(s.subsections[k].fields), layout.subsections[k].second)
                << s.subsections[k].name;
        }
        // Every choice list a field names exists, and every window is optional.
        std::vector<const FieldVector*> lists{&s.globals};
        for (const Subsection& sub : s.subsections)
            lists.push_back(&sub.fields);
        for (const FieldVector* fields : lists)
            for (const Field& f : *fields) {
                if (f.type == FIELD_STRING_SELECT_ONE || f.type == FIELD_STRING_SELECT_MANY ||
                    f.type == FIELD_STRING_RANGE) {
                    EXPECT_FALSE(f.choices.empty()) << f.name;
                }
                if (f.type == FIELD_STRING_RANGE || f.type == FIELD_INT_RANGE) {
                    EXPECT_TRUE(f.optional) << f.name;
                }
            }
    }
    EXPECT_EQ(Section::map.at("limits")->subsections[0].fields[6].choices.size(), 12u);
    EXPECT_EQ(Section::map.at("profiles")->subsections[0].fields[16].choices.size(), 7u);
    EXPECT_EQ(Section::map.at("access")->subsections[0].fields[10].choices.size(), 14u);
}

TEST_F(ShippedFiles, TheDefaultConfigurationLoadsAndRoundTrips) {
    std::string shipped = configtest::source_dir() + "/etc/kestrivan.xml";
    StringList errors;
    ASSERT_EQ(config_load(CONFIG_LOAD_STARTUP, shipped, &errors), 1);
    EXPECT_TRUE(errors.empty());

    const Item& rule = Section::map.at("access")->subsections[0].items.front();
    EXPECT_EQ(rule.fields[0].value, 1);
    EXPECT_EQ(rule.fields[5].iplist.has("127.0.0.1"), 1);
    EXPECT_EQ(rule.fields[5].iplist.has("127.255.0.9"), 1);
    EXPECT_EQ(rule.fields[5].iplist.has("10.0.0.1"), 0);
    EXPECT_EQ(rule.fields[9].value, 0x1 | 0x2); // interface and proxy
    const Item& listener = Section::map.at("network")->subsections[0].items.front();
    EXPECT_EQ(listener.fields[0].value, 1);
    EXPECT_EQ(listener.fields[2].value, 8080);
    EXPECT_EQ(listener.fields[3].text, "127.0.0.1");
    const Subsection& general = Section::map.at("general")->subsections[0];
    ASSERT_EQ(general.items.size(), 1u);
    EXPECT_GT(general.items.front().fields[7].uvalue, 0u);
    EXPECT_GT(general.items.front().fields[8].uvalue, 0u);

    std::vector<std::string> loaded = all_texts();
    std::string saved = dir + "/saved.xml";
    ASSERT_EQ(config_save(saved), 1);
    ASSERT_EQ(config_load(CONFIG_LOAD_REPLACE, saved), 1);
    EXPECT_EQ(all_texts(), loaded);
    std::string again = dir + "/again.xml";
    ASSERT_EQ(config_save(again), 1);
    EXPECT_EQ(logtest::read_file(again), logtest::read_file(saved));
    EXPECT_TRUE(logtest::file_lines(log_path).empty()) << logtest::read_file(log_path);
}

TEST_F(ShippedFiles, EveryDefaultSurvivesASaveAndALoad) {
    // A configuration written from the definition's defaults alone, with one
    // entry of every subsection, loads back without a fault.
    for (auto& s : sections)
        for (Subsection& sub : s->subsections)
            sub.items.push_back(Item(sub, nullptr));
    std::vector<std::string> defaults = all_texts();
    std::string saved = dir + "/defaults.xml";
    ASSERT_EQ(config_save(saved), 1);
    StringList errors;
    EXPECT_EQ(config_load(CONFIG_LOAD_REPLACE, saved, &errors), 1);
    EXPECT_TRUE(errors.empty()) << errors.front();
    EXPECT_EQ(all_texts(), defaults);
}
