// Configuration section "templates" and the built-in pages. Every answer
// the proxy gives by itself (block and error pages, limit pages, the proxy
// auto-configuration script, the interface's images and style sheet) is a
// named page. Per connection the page named N comes from the first enabled
// Template entry for N whose name lists match (a file, or the output of a
// program), or else from the built-in table PAGES.
//
// Contract:
// - get() returns a new Filebuf owned by the caller (content type set), or
//   NULL when there is no such page. insert() appends a page to a buffer;
//   send() answers the client with a complete response and fills the
//   connection's access-log record.
// - @NAME@ placeholders of parsed pages are filled from
//   CONNECTION_T::variables. In an HTML page the values are HTML-escaped, so
//   a request's URL, host or path cannot add markup or scripts to a page.
// - A program page's own header (its first lines) is read into a header of
//   its own, of which only the Content-Type is used; the connection's
//   response header is never touched by get().
// - A template file that cannot be read is logged and the built-in page of
//   the same name is used in its place (no page when there is none).
// - Locks: the section's read lock is held only while the matching entry is
//   looked up and copied; files are read and programs run without it, and
//   send() writes to the network without it. update() runs with the write
//   lock held by the configuration framework.
#pragma once

#include <string>

#include "config/config_lists.h"
#include "config/section.h"

struct CONNECTION_T;
struct HEADER;
class Filebuf;

// One row of the built-in page table.
struct template_page_t {
    const char* name;      // compared ignoring case; NULL ends the table
    const char* data;
    const char* mime_type;
    int length;            // bytes of data; -1: NUL-terminated text
    int parse;             // 1: substitute template variables
};

extern const template_page_t PAGES[];

// The first row whose name equals name ignoring case, or NULL.
const template_page_t* template_page_find(const char* name);

// Template kinds (field "type").
enum {
    TEMPLATE_FILE = 0,
    TEMPLATE_PROGRAM = 1,
};

// One configured page, built from an entry by field position.
class Template {
public:
    explicit Template(const Item& item);

    int enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string name;
    std::string file; // file name, or command line of a program
    std::string mime_type;
    int status;
    int kind;  // TEMPLATE_FILE, TEMPLATE_PROGRAM; anything else: no page
    int parse; // 1: substitute template variables
};

class TemplateSection : public Section {
public:
    TemplateSection();
    ~TemplateSection() override;

    // Rebuilds the Template list from the entries of the first subsection.
    void update() override;

    // The page named name for the connection, or NULL. When an entry
    // provided it, names a status (100 to 599) and status is not NULL,
    // *status receives the entry's status; otherwise *status is left alone.
    Filebuf* get(CONNECTION_T* connection, const char* name, int* status);
    // Appends the page to out; 1, or 0 when there is no such page.
    int insert(CONNECTION_T* connection, Filebuf* out, const char* name);
    // Answers the client with the page (status: when no entry gives one).
    // 1 when sent; 0 when the connection has no client or must not write to
    // it, or there is no such page (nothing is sent then).
    int send(const char* name, CONNECTION_T* connection, int status);

    std::string* templatedir; // the global field's text
    std::list<Template> templates;
};

extern TemplateSection* template_section;

// Answers the client with a page the proxy made itself: the status,
// Content-Type, Cache-Control "no-cache", Last-Modified when given,
// Content-Length and the body (a HEAD request gets the header only), and
// fills the access-log record as a direct miss served by "kestrivan". The
// body stays the caller's. false when the connection has no client or must
// not write to it (nothing is sent then).
bool send_own_page(CONNECTION_T* connection, int status, const char* content_type,
                   const char* last_modified, Filebuf* body);

// The same with a response header the caller made (type RESPONSE_HTTP,
// status, Content-Type, Cache-Control, further lines); Content-Length is set
// here from the body. The header stays the caller's.
bool send_own_answer(CONNECTION_T* connection, HEADER* header, Filebuf* body);
