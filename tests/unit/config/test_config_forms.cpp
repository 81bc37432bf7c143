// Web configuration forms: the posted actions on a section (global fields,
// add, edit, delete, clone, moves), their refusals, the section page with
// its search and the entry dialog.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/config_forms.h"
#include "config/configfile.h"
#include "config/section.h"
#include "core/filebuf.h"
#include "iface/cgimap.h"
#include "iface/form_token.h"
#include "net/connection.h"
#include "support/config_test_support.h"

using configtest::ProbeSection;

namespace {

std::string text_of(const Filebuf& page) {
    return page.data == nullptr ? std::string() : std::string(page.data, page.size);
}

std::vector<std::string> as_vector(const StringList& list) {
    return std::vector<std::string>(list.begin(), list.end());
}

class ConfigFormsTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        configtest::use_definition(configtest::demo_definition());
        // Entry field 5 ("pattern") must compile, as a filter's would.
        demo = std::make_unique<ProbeSection>("demo", SECTION_RWLOCK, 5);
        for (const char* comment : {"first", "second", "third"})
            add("rules", comment);
        documentsynctime = 0;
        demo->updates = 0;
    }

    StringList act(const std::string& query) {
        CGIMap args(query.c_str());
        Filebuf page;
        return demo->interface_action(&page, args, nullptr);
    }

    void add(const std::string& subsection, const std::string& comment) {
        ASSERT_TRUE(act("section=demo&subsection=" + subsection +
                        "&action=add&F0=true&F2=1&F8=1g&F9=1&F1=" + comment)
                        .empty());
    }

    // The comments of the entries of a subsection, in order.
    std::vector<std::string> comments(size_t subsection = 0) const {
        std::vector<std::string> all;
        for (const Item& item : demo->subsections[subsection].items)
            all.push_back(item.fields[1].text);
        return all;
    }

    int id_of(size_t index, size_t subsection = 0) const {
        auto it = demo->subsections[subsection].items.begin();
        std::advance(it, index);
        return it->id;
    }

    std::string page(const std::string& query, bool dialog = false,
                     const StringList& errors = StringList()) {
        // A page for a rule without interface login: its forms carry the
        // process's form token.
        CGIMap args(query.c_str());
        Filebuf out;
        CONNECTION_T* connection = connection_new();
        if (dialog)
            demo->interface_dialog(&out, args, connection, errors);
        else
            demo->interface(&out, args, connection, errors);
        connection_free(connection);
        return text_of(out);
    }

    // A connection whose rule asks for no login.
    CONNECTION_T* connection_for_token() {
        if (token_connection == nullptr)
            token_connection = connection_new();
        return token_connection;
    }
    void TearDown() override {
        if (token_connection != nullptr)
            connection_free(token_connection);
        LogDirTest::TearDown();
    }

    std::unique_ptr<ProbeSection> demo;
    CONNECTION_T* token_connection = nullptr;
};

} // namespace

TEST_F(ConfigFormsTest, AddAppendsAndStampsTheConfiguration) {
    EXPECT_EQ(comments(), (std::vector<std::string>{"first", "second", "third"}));
    add("extra", "elsewhere");
    EXPECT_EQ(comments(1), (std::vector<std::string>{"elsewhere"}));
    EXPECT_EQ(demo->updates, 1);
    EXPECT_NE(documentsynctime, 0);
    EXPECT_EQ(demo->subsections[1].items.front().subsection, "extra");
}

TEST_F(ConfigFormsTest, AnEditWithAFlawedFieldChangesNothingOfTheEntry) {
    int id = id_of(1);
    StringList errors =
        act("section=demo&subsection=rules&action=edit&id=" + std::to_string(id) +
            "&F0=false&F1=renamed&F2=12ab&F8=1g&F9=1");
    EXPECT_EQ(as_vector(errors), (std::vector<std::string>{"level label must be an integer"}));
    EXPECT_EQ(comments(), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(id_of(1), id);
    EXPECT_EQ(demo->subsections[0].items.begin()->fields[0].text, "true");

    EXPECT_TRUE(act("section=demo&action=edit&id=" + std::to_string(id) +
                    "&F0=true&F1=renamed&F2=4&F8=1g&F9=1")
                    .empty());
    EXPECT_EQ(comments(), (std::vector<std::string>{"first", "renamed", "third"}));
    EXPECT_EQ(id_of(1), id); // an edited entry keeps its id
}

TEST_F(ConfigFormsTest, AnActionOnAMissingEntryIsRefusedAndRebuildsNothing) {
    int id = id_of(0);
    ASSERT_TRUE(act("section=demo&action=delete&id=" + std::to_string(id)).empty());
    demo->updates = 0;
    documentsynctime = 0;
    const std::string queries[] = {
        "section=demo&subsection=rules&action=edit&F1=x&id=" + std::to_string(id),
        "section=demo&action=clone&id=" + std::to_string(id),
        "section=demo&action=delete&id=abc",
        // Without an id no action but "global" may touch the global fields.
        "section=demo&action=delete&F1=0",
        "section=demo&action=edit&F1=0",
        "section=demo&action=shift&direction=up",
        "section=demo&action=whatever",
    };
    for (const std::string& query : queries) {
        SCOPED_TRACE(query);
        EXPECT_EQ(as_vector(act(query)), (std::vector<std::string>{ENTRY_ID_MISSING}));
    }
    EXPECT_EQ(demo->updates, 0);
    EXPECT_EQ(documentsynctime, 0);
    EXPECT_EQ(demo->globals[1].text, "5");
    EXPECT_EQ(demo->globals[6].text, "hello");
    EXPECT_EQ(comments(), (std::vector<std::string>{"second", "third"}));
}

TEST_F(ConfigFormsTest, OnlyTheGlobalActionEditsTheGlobalFields) {
    StringList errors = act("section=demo&action=global&F0=false&F1=seven&F2=2M&F4=red&F6=new");
    EXPECT_EQ(as_vector(errors), (std::vector<std::string>{"count label must be an integer"}));
    EXPECT_EQ(demo->globals[6].text, "hello");
    EXPECT_EQ(demo->globals[0].text, "true");
    EXPECT_EQ(demo->updates, 1); // rebuilt all the same

    Field* bound = &demo->globals[1];
    EXPECT_TRUE(act("section=demo&action=global&F0=false&F1=7&F2=2M&F4=red&F6=new").empty());
    EXPECT_EQ(bound, &demo->globals[1]); // pointers into the globals stay valid
    EXPECT_EQ(bound->value, 7);
    EXPECT_EQ(demo->globals[4].value, 0);
    EXPECT_EQ(demo->globals[6].text, "new");
    EXPECT_FALSE(demo->globals[5].active); // optional, posted without its switch
}

TEST_F(ConfigFormsTest, CloneAndMovesKeepEntriesInTheirSubsection) {
    int second = id_of(1);
    ASSERT_TRUE(act("section=demo&action=clone&id=" + std::to_string(second)).empty());
    EXPECT_EQ(comments(), (std::vector<std::string>{"first", "second", "second", "third"}));
    EXPECT_EQ(id_of(2), second);      // the original sits below its copy
    EXPECT_NE(id_of(1), second);

    struct Move {
        size_t from;
        const char* direction;
        std::vector<std::string> after;
    };
    // Back to distinct entries: first second third fourth.
    ASSERT_TRUE(act("section=demo&action=delete&id=" + std::to_string(id_of(2))).empty());
    add("rules", "fourth");
    const Move moves[] = {
        {0, "up", {"first", "second", "third", "fourth"}},     // already first
        {3, "down", {"first", "second", "third", "fourth"}},   // already last
        {0, "top", {"first", "second", "third", "fourth"}},
        {3, "bottom", {"first", "second", "third", "fourth"}},
        {2, "sideways", {"first", "second", "third", "fourth"}},
        {2, "up", {"first", "third", "second", "fourth"}},
        {1, "down", {"first", "second", "third", "fourth"}},
        {3, "top", {"fourth", "first", "second", "third"}},
        {0, "bottom", {"first", "second", "third", "fourth"}},
    };
    for (const Move& move : moves) {
        SCOPED_TRACE(std::string(move.direction) + " from " + std::to_string(move.from));
        int moved = id_of(move.from);
        std::vector<std::string> before = comments();
        ASSERT_TRUE(act("section=demo&subsection=rules&action=shift&direction=" +
                        std::string(move.direction) + "&id=" + std::to_string(moved))
                        .empty());
        EXPECT_EQ(comments(), move.after);
        if (before != move.after) {
            for (size_t i = 0; i < comments().size(); ++i)
                EXPECT_NE(id_of(i), moved); // the moved contents took a fresh id
        }
    }
    EXPECT_TRUE(demo->subsections[1].items.empty());
}

TEST_F(ConfigFormsTest, ASubsectionThatDoesNotExistIsAnError) {
    EXPECT_EQ(as_vector(act("section=demo&subsection=nosuch&action=add&F1=x")),
              (std::vector<std::string>{subsection_missing("nosuch")}));
    EXPECT_EQ(as_vector(act("section=demo&action=add&F1=x")),
              (std::vector<std::string>{subsection_missing("")}));
    EXPECT_EQ(as_vector(act("section=demo&subsection=nosuch&action=delete&id=" +
                            std::to_string(id_of(0)))),
              (std::vector<std::string>{subsection_missing("nosuch")}));
    EXPECT_EQ(comments().size(), 3u);
    std::string dialog = page("section=demo&subsection=nosuch&dialog=show", true);
    EXPECT_NE(dialog.find("Subsection &quot;nosuch&quot; doesn't exist"), std::string::npos);
    EXPECT_EQ(dialog.find("<form"), std::string::npos);
}

TEST_F(ConfigFormsTest, ADisabledSubsectionIsLeftAlone) {
    demo->subsections[1].enabled = false;
    EXPECT_TRUE(act("section=demo&subsection=extra&action=add&F1=x&F2=1&F8=1&F9=1").empty());
    EXPECT_TRUE(demo->subsections[1].items.empty());
    EXPECT_EQ(demo->updates, 0);
    EXPECT_EQ(page("section=demo&subsection=extra&dialog=show", true), "");
    EXPECT_EQ(page("section=demo").find("subsection=extra"), std::string::npos);
}

TEST_F(ConfigFormsTest, AValueTheRulesRefuseIsUndoneAndReported) {
    int id = id_of(0);
    StringList errors = act("section=demo&action=edit&id=" + std::to_string(id) +
                            "&F0=true&F1=broken&F2=1&F5=(unclosed&F8=1g&F9=1");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors.front().find("pattern must be a regular expression, but it is given value "
                                  "(unclosed"),
              std::string::npos);
    EXPECT_EQ(comments(), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(id_of(0), id);
    EXPECT_EQ(demo->entries_seen, 3u); // rebuilt from the restored entries
}

TEST_F(ConfigFormsTest, TheSectionPageShowsGlobalsEntriesAndErrors) {
    std::string html = page("section=demo", false, StringList("Bad <thing>", '|'));
    EXPECT_NE(html.find("<div class=\"sectiondesc\"><b>demo section</b><br>For tests</div>"),
              std::string::npos);
    EXPECT_NE(html.find("<input type=\"hidden\" name=\"action\" value=\"global\">"),
              std::string::npos);
    EXPECT_NE(html.find("<li>Bad &lt;thing&gt;</li>"), std::string::npos);
    EXPECT_NE(html.find("style=\"color: rgb(102, 0, 0)\""), std::string::npos);
    EXPECT_NE(html.find("<a href=\"config?section=demo&amp;subsection=rules&amp;dialog=show\">"
                        "Add</a>"),
              std::string::npos);
    EXPECT_NE(html.find("name=\"direction\" value=\"bottom\">"), std::string::npos);
    // Every form that changes something carries the token.
    const std::string token_field = "<input type=\"hidden\" name=\"token\" value=\"" +
                                    interface_form_token(connection_for_token()) + "\">";
    size_t forms = 0, tokens = 0;
    for (size_t at = html.find("<form"); at != std::string::npos; at = html.find("<form", at + 1)) {
        ++forms;
        size_t end = html.find("</form>", at);
        tokens += html.substr(at, end - at).find(token_field) != std::string::npos;
    }
    EXPECT_GT(forms, 6u);
    EXPECT_EQ(tokens, forms);
    size_t first = html.find(">first<"), third = html.find(">third<");
    EXPECT_TRUE(first != std::string::npos && third != std::string::npos && first < third);

    ProbeSection other("other");
    other.globals.clear();
    CGIMap args;
    Filebuf out;
    other.interface(&out, args, nullptr, StringList());
    EXPECT_EQ(text_of(out).find("<form"), std::string::npos);
}

TEST_F(ConfigFormsTest, ASearchListsMatchingEntriesWithoutTheGlobalForm) {
    std::string html = page("matchvalue=^th");
    EXPECT_EQ(html.find("action\" value=\"global"), std::string::npos);
    EXPECT_NE(html.find(">third<"), std::string::npos);
    EXPECT_EQ(html.find(">first<"), std::string::npos);

    html = page("matchname=comment&matchvalue=ir");
    EXPECT_NE(html.find(">first<"), std::string::npos);
    EXPECT_NE(html.find(">third<"), std::string::npos);
    EXPECT_EQ(html.find(">second<"), std::string::npos);

    // An invalid pattern is logged and left out of the search.
    html = page("matchvalue=(broken");
    EXPECT_NE(html.find(">second<"), std::string::npos);
    EXPECT_NE(logtest::read_file(log_path).find("failed to compile regular expression"),
              std::string::npos);
}

TEST_F(ConfigFormsTest, TheDialogAddsOrEditsOrShowsTheErrors) {
    std::string add = page("section=demo&subsection=rules&dialog=show", true);
    EXPECT_NE(add.find("<input type=\"hidden\" name=\"action\" value=\"add\">"), std::string::npos);
    EXPECT_EQ(add.find("name=\"id\""), std::string::npos);
    EXPECT_NE(add.find("name=\"F12\""), std::string::npos);

    int id = id_of(2);
    std::string edit =
        page("section=demo&subsection=rules&dialog=show&id=" + std::to_string(id), true);
    EXPECT_NE(edit.find("<input type=\"hidden\" name=\"action\" value=\"edit\">"),
              std::string::npos);
    EXPECT_NE(edit.find("<input type=\"hidden\" name=\"id\" value=\"" + std::to_string(id) + "\">"),
              std::string::npos);
    EXPECT_NE(edit.find("value=\"third\""), std::string::npos);

    std::string failed = page("section=demo&subsection=rules&dialog=show", true,
                              StringList("level label must be an integer", '|'));
    EXPECT_NE(failed.find("<li>level label must be an integer</li>"), std::string::npos);
    EXPECT_EQ(failed.find("<form"), std::string::npos);

    std::string gone = page("section=demo&subsection=rules&dialog=show&id=99999", true);
    EXPECT_NE(gone.find(ENTRY_ID_MISSING), std::string::npos);
}
