// The status page "/log": the newest error-log lines, searched by a regular
// expression, with the buffer's size and a way to empty it.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

#include <string>

#include "core/filebuf.h"
#include "core/misc.h"
#include "core/log.h"
#include "core/regexp.h"
#include "iface/cgimap.h"
#include "iface/form_token.h"
#include "iface/html.h"
#include "iface/status_pages.h"

namespace {

// The most lines the page lets the buffer keep: each holds a line of up
// to 8 KB in memory.
const long LOGBUFFER_MAX_CAPACITY = 100000;

// The capacity asked for: -1 (no change) or 0 to the maximum, written in
// decimal digits; else false with the reason.
bool parse_capacity(const std::string& text, int* capacity, std::string* reason) {
    if (text == "-1") {
        *capacity = -1;
        return true;
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        *reason = "the log buffer size \"" + text + "\" is not a number of lines";
        return false;
    }
    errno = 0;
    long value = strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value > LOGBUFFER_MAX_CAPACITY) {
        *reason = "the log buffer size is limited to " + std::to_string(LOGBUFFER_MAX_CAPACITY) +
                  " lines";
        return false;
    }
    *capacity = static_cast<int>(value);
    return true;
}

// Clearing and resizing change the buffer: only through the posted form.
void apply_changes(Filebuf* page, LOGBUFFER* buffer, CGIMap& arguments,
                   const CONNECTION_T* connection) {
    if (arguments["clear"] != "on" && arguments["size"].empty())
        return;
    if (!interface_form_posted(connection, arguments)) {
        html_error(page, FORM_TOKEN_REFUSED);
        return;
    }
    if (arguments["clear"] == "on")
        logbuffer_clear(buffer);
    const std::string& size = arguments["size"];
    if (size.empty())
        return;
    int capacity;
    std::string reason;
    if (!parse_capacity(size, &capacity, &reason))
        html_error(page, reason);
    else if (capacity != -1)
        logbuffer_resize(buffer, capacity);
}

void search_form(Filebuf* page, LOGBUFFER* buffer, const std::string& pattern,
                 const CONNECTION_T* connection) {
    pthread_mutex_lock(&buffer->lock);
    int capacity = buffer->capacity;
    pthread_mutex_unlock(&buffer->lock);
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Regular expression match</td></tr>\n");
    page->Addf("<form action=\"log\" method=\"POST\">\n");
    interface_form_token_field(page, connection);
    page->Addf("<tr><td align=\"center\" colspan=\"2\"><input type=\"text\" name=\"pattern\" "
               "value=\"");
    html_add(page, pattern);
    page->Addf("\" size=\"80\"></td></tr>\n");
    page->Addf("<tr><td align=\"center\">Log buffer size: <input type=\"text\" name=\"size\" "
               "value=\"%d\" size=\"10\"></td>\n",
               capacity);
    page->Addf("<td align=\"center\">Clear: <input type=\"checkbox\" name=\"clear\"></td></tr>");
    page->Addf("<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input "
               "type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form></table>\n");
}

} // namespace

void interface_page_log(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection) {
    LOGBUFFER* buffer = log_buffer;
    if (buffer == nullptr)
        return;
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td "
               "align=\"center\">\n");
    apply_changes(page, buffer, arguments, connection);
    const std::string& pattern = arguments["pattern"];

    // Compiled before the buffer is read: a pattern that does not compile
    // is logged, which writes into the buffer. It then filters nothing and
    // the page says why.
    reg_pattern_t* compiled = nullptr;
    if (!pattern.empty()) {
        std::string reason;
        if (reg_check(pattern.c_str(), REGEXP_ICASE, &reason))
            compiled = reg_compile(pattern.c_str(), REGEXP_ICASE);
        else
            html_error(page, "the pattern does not compile: " + reason);
    }
    search_form(page, buffer, pattern, connection);

    page->Addf("</td></tr><tr><td><br></td></tr><tr><td>\n<table class=\"list\">\n");
    unsigned row = 0;
    logbuffer_settle(buffer);
    pthread_mutex_lock(&buffer->lock);
    for (const LOGBUFFER_ENTRY* line = buffer->newest; line != nullptr; line = line->older) {
        if (compiled != nullptr && reg_exec(compiled, line->text) != 0)
            continue;
        page->Addf("<tr class=\"%s\"><td>", html_row_class(row++));
        html_add(page, line->text, HTML_NEWLINE_BREAK);
        page->Addf("</td></tr>\n");
    }
    pthread_mutex_unlock(&buffer->lock);
    page->Addf("</table></td></tr></table>\n");
    if (compiled != nullptr)
        reg_free(compiled);
}
