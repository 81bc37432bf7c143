// The pages "/config", "/load" and "/save" (declared in config_pages.h).
#include "iface/config_pages.h"

#include <string>

#include "config/config_lists.h"
#include "config/configfile.h"
#include "config/section.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "iface/cgimap.h"
#include "iface/config_paths.h"
#include "iface/form_token.h"
#include "iface/html.h"
#include "net/connection.h"

namespace {

// The messages as a dark-red list (they may quote what was posted).
void message_list(Filebuf* page, const StringList& messages) {
    if (messages.empty())
        return;
    page->Addf("<ul style=\"color: rgb(102, 0, 0)\">\n");
    for (const std::string& message : messages) {
        page->Addf("<li>");
        html_add(page, message);
        page->Addf("</li>\n");
    }
    page->Addf("</ul>\n");
}

// The section of that exact name, or NULL; never adds to Section::map.
Section* section_named(const std::string& name) {
    auto found = Section::map.find(name);
    return found != Section::map.end() ? found->second : nullptr;
}

void section_chooser(Filebuf* page, const std::string& chosen) {
    page->Addf("<td align=\"left\"><table class=\"dialog\" width=\"100%%\">\n"
               "<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Select a Section to "
               "Configure</td></tr><tr><td align=\"center\">\n"
               "<form action=\"config\" method=\"POST\">\n<select name=\"section\">\n"
               "<option value=\"\">Select a section\n");
    for (const auto& entry : Section::map) {
        std::string name = entry.second->name_get();
        page->Addf("<option value=\"");
        html_add(page, name);
        page->Addf("\" %s>", name == chosen ? "selected" : "");
        html_add(page, entry.second->comment_get());
        page->Addf("\n");
    }
    page->Addf("</select></td>\n"
               "<td align=\"center\"><input type=\"submit\" value=\"Submit\"></form></td></tr>\n"
               "</table></td>\n");
}

void search_form(Filebuf* page, CGIMap& arguments) {
    page->Addf("<td align=\"right\"><table class=\"dialog\"><tr><td align=\"center\" "
               "class=\"dialoghead\" colspan=\"2\">Search entries</td></tr>\n"
               "<form action=\"config\" method=\"POST\">\n"
               "<input type=\"hidden\" name=\"section\" value=\"");
    html_add(page, arguments["section"]);
    page->Addf("\">\n<tr><td>Option: <input type=\"text\" name=\"matchname\" value=\"");
    html_add(page, arguments["matchname"]);
    page->Addf("\" size=\"20\"> Value: <input type=\"text\" name=\"matchvalue\" value=\"");
    html_add(page, arguments["matchvalue"]);
    page->Addf("\" size=\"20\"></td><td><input type=\"submit\" value=\"Submit\"></td></tr>\n"
               "</form></table></td></tr>\n"
               "<tr><td><br></td></tr><tr><td align=\"center\" colspan=\"2\">\n");
}

// The work area of "/config": the entry form, the section page after an
// action, or a search over every section.
void work_area(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection) {
    const std::string name = arguments["section"];
    Section* section = section_named(name);
    if (!name.empty() && section == nullptr) {
        page->Addf("<p>No section is named \"");
        html_add(page, name);
        page->Addf("\".</p>\n");
        return;
    }
    if (!arguments["dialog"].empty()) {
        if (section != nullptr)
            section->interface_dialog(page, arguments, connection, StringList());
        return;
    }
    if (section != nullptr) {
        StringList errors;
        if (!arguments["action"].empty()) {
            if (interface_form_posted(connection, arguments))
                errors = section->interface_action(page, arguments, connection);
            else
                errors.push_back(FORM_TOKEN_REFUSED);
        }
        if (!errors.empty() && !arguments["subsection"].empty())
            section->interface_dialog(page, arguments, connection, errors);
        else
            section->interface(page, arguments, connection, errors);
        return;
    }
    if (!arguments["matchname"].empty() || !arguments["matchvalue"].empty())
        for (const auto& entry : Section::map)
            entry.second->interface(page, arguments, connection, StringList());
}

void dialog_open(Filebuf* page) {
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr>"
               "<td align=\"center\">\n");
}

// The outcome of a load or save: the word, and the messages below it.
void outcome(Filebuf* page, const char* word, const StringList& messages) {
    page->Addf("<table class=\"bigdialog\">\n<tr><td align=\"center\">\n%s\n", word);
    message_list(page, messages);
    page->Addf("</td></tr></table></td></tr></table>\n");
}

// The form of "/load" or "/save", the configuration path filled in.
void file_form(Filebuf* page, CONNECTION_T* connection, const char* action, const char* title,
               bool overwrite_choice) {
    page->Addf("<table class=\"bigdialog\">\n"
               "<tr class=\"dialoghead\"><td colspan=\"2\">%s</td></tr>\n"
               "<form action=\"%s\" method=\"POST\">\n",
               title, action);
    interface_form_token_field(page, connection);
    page->Addf("<tr><td width=\"10%%\">Filename</td><td><input type=\"text\" name=\"filename\" "
               "value=\"");
    html_add(page, configfile);
    page->Addf("\" size=\"80\"></td></tr>\n");
    if (overwrite_choice)
        page->Addf("<tr><td width=\"10%%\">Overwrite</td><td align=\"center\">Yes: <input "
                   "type=\"radio\" name=\"overwrite\" value=\"yes\" checked> No: <input "
                   "type=\"radio\" name=\"overwrite\" value=\"no\"></td></tr>\n");
    page->Addf("<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" "
               "align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
               "</form></table>\n</td></tr></table>\n");
}

} // namespace

void interface_page_config(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection) {
    page->Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\"><tr>\n");
    section_chooser(page, arguments["section"]);
    search_form(page, arguments);
    work_area(page, arguments, connection);
    page->Addf("</td></tr></table>\n");
}

void interface_page_load(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection) {
    dialog_open(page);
    const std::string requested = arguments["filename"];
    if (requested.empty()) {
        file_form(page, connection, "load", "Load settings", true);
        return;
    }
    StringList messages;
    std::string source, why;
    int result = 0;
    if (!interface_form_posted(connection, arguments)) {
        messages.push_back(FORM_TOKEN_REFUSED);
    } else if (!config_load_source(requested, configfile, &source, &why)) {
        putlog(LOG_SECURITY, "[IP:%s] web interface load of %s refused: %s",
               connection->client_ip, requested.c_str(), why.c_str());
        messages.push_back(why);
    } else {
        int mode = arguments["overwrite"] == "yes" ? CONFIG_LOAD_REPLACE : CONFIG_LOAD_APPEND;
        result = config_load(mode, source, &messages);
        if (result != 1 && messages.empty())
            messages.push_back("the file was not applied");
        if (result == -1)
            messages.push_back("the other sections were loaded; the sections named keep their "
                               "previous values");
    }
    outcome(page, result == 1 ? "File loaded" : "Load failed", messages);
}

void interface_page_save(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection) {
    dialog_open(page);
    const std::string requested = arguments["filename"];
    if (requested.empty()) {
        file_form(page, connection, "save", "Save settings", false);
        return;
    }
    StringList messages;
    std::string target, why;
    int result = 0;
    if (!interface_form_posted(connection, arguments)) {
        messages.push_back(FORM_TOKEN_REFUSED);
    } else if (!config_save_target(requested, configfile, &target, &why)) {
        putlog(LOG_SECURITY, "[IP:%s] web interface save to %s refused: %s",
               connection->client_ip, requested.c_str(), why.c_str());
        messages.push_back(why);
    } else {
        result = config_save(target);
        if (result == 0)
            messages.push_back("the configuration file " + target +
                               " could not be written; see the error log");
    }
    outcome(page, result != 0 ? "File saved" : "Saved failed", messages);
}
