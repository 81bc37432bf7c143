// Page templates: the built-in pages, configured file and program pages,
// and the complete answers sent to the client.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "auth/profiles.h"
#include "config/general.h"
#include "core/access_log.h"
#include "core/filebuf.h"
#include "http/header.h"
#include "iface/templates.h"
#include "support/section_test_support.h"

using sectiontest::Connection;
using sectiontest::elements;

namespace {

std::string text_of(const Filebuf* page) {
    return page->size == 0 ? std::string() : std::string(page->data, page->size);
}

const template_page_t& row(const char* name) {
    const template_page_t* found = template_page_find(name);
    EXPECT_NE(found, nullptr) << name;
    return *found;
}

std::string row_text(const char* name) {
    const template_page_t& page = row(name);
    return std::string(page.data, page.length == -1 ? strlen(page.data) : (size_t)page.length);
}

// A Template entry.
std::string entry(const std::string& name, const std::string& file, int status,
                  const std::string& kind = "file", const std::string& mime = "",
                  const std::string& parse = "true") {
    return "<template>" +
           elements({{"enabled", "true"}, {"name", name}, {"file", file}, {"mimetype", mime},
                     {"status", std::to_string(status)}, {"type", kind}, {"parse", parse}}) +
           "</template>";
}

class TemplateTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        general_section = new GeneralSection();
        section = new TemplateSection();
        template_section = section;
        connection = new Connection("GET http://www.example.com/page HTTP/1.1\r\n\r\n");
        (*connection)->client_ip = strdup("127.0.0.1");
        (*connection)->variables["VERSION"] = "9.9";
        (*connection)->variables["URL"] = "http://www.example.com/page";
    }
    void TearDown() override {
        free((*connection)->client_ip);
        delete connection;
        ShippedSectionTest::TearDown();
    }
    void load(const std::string& directory, const std::string& entries) {
        sectiontest::load(*section, "<templates><templatedir>" + directory + "</templatedir>" +
                                        entries + "</templates>");
    }
    void attach_client() { connection->attach_client(); }
    std::string sent() { return connection->sent(); }
    std::string page(const char* name, int* status = nullptr) {
        Filebuf* got = section->get(conn(), name, status);
        EXPECT_NE(got, nullptr) << name;
        if (got == nullptr)
            return "";
        std::string text = text_of(got);
        content_type = got->content_type != nullptr ? got->content_type : "(none)";
        delete got;
        return text;
    }
    CONNECTION_T* conn() { return connection->get(); }

    TemplateSection* section = nullptr;
    Connection* connection = nullptr;
    std::string content_type;
};

TEST_F(TemplateTest, BuiltInHtmlPageHasStyleSheetVariablesAndType) {
    load("", "");
    std::string text = page("NOACCESS");
    EXPECT_EQ(content_type, "text/html");
    EXPECT_EQ(text.rfind(row_text("interface.css"), 0), 0u); // style sheet first
    EXPECT_NE(text.find("<title>Access denied</title>"), std::string::npos);
    EXPECT_NE(text.find("Kestrivan 9.9"), std::string::npos);
    EXPECT_NE(text.find("src=\"/template/logo\""), std::string::npos);
    EXPECT_EQ(text.find('@'), std::string::npos);
}

TEST_F(TemplateTest, StyleSheetImagesAndUnknownNames) {
    load("", "");
    EXPECT_EQ(page("interface.css"), row_text("interface.css"));
    EXPECT_EQ(content_type, "text/plain");
    std::string logo = page("logo");
    EXPECT_EQ(logo, row_text("logo"));
    EXPECT_EQ(content_type, "image/gif");
    EXPECT_EQ(page("empty"), "");
    EXPECT_EQ(section->get(conn(), "no-such-page", nullptr), nullptr);
    Filebuf out;
    EXPECT_EQ(section->insert(conn(), &out, "no-such-page"), 0);
    EXPECT_EQ(section->insert(conn(), &out, "tinygif"), 1);
    EXPECT_EQ(text_of(&out), row_text("tinygif"));
}

TEST_F(TemplateTest, ProxyAutoConfigurationNamesTheListener) {
    load("", "");
    (*connection)->variables["INTERFACE"] = "10.0.0.1";
    (*connection)->variables["PORT"] = "8080";
    std::string script = page("proxy.pac");
    EXPECT_EQ(content_type, "application/x-ns-proxy-autoconfig");
    EXPECT_NE(script.find("function FindProxyForURL(url, host)"), std::string::npos);
    EXPECT_NE(script.find("\"PROXY 10.0.0.1:8080;DIRECT\""), std::string::npos);
}

TEST_F(TemplateTest, SendAnswersWithHeaderBodyAndAccessRecord) {
    load("", "");
    attach_client();
    HEADER* kept = header_new();
    conn()->response = kept;
    EXPECT_EQ(section->send("noaccess", conn(), 200), 1);
    EXPECT_EQ(conn()->response, kept);
    std::string reply = sent();
    size_t end = reply.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << reply;
    std::string head = reply.substr(0, end + 2);
    std::string body = reply.substr(end + 4);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: text/html\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos)
        << head;
    EXPECT_NE(head.find("Cache-Control: no-cache\r\n"), std::string::npos) << head;
    EXPECT_NE(body.find("<title>Access denied</title>"), std::string::npos);

    const LogEntry& record = conn()->log;
    EXPECT_EQ(record.cachecode(), "TCP_MISS");
    EXPECT_EQ(record.peercode(), "DIRECT");
    EXPECT_EQ(record.peer, "kestrivan");
    EXPECT_EQ(record.status, 200);
    EXPECT_EQ(record.size, (int64_t)body.size());
    EXPECT_EQ(record.mime, "text/html");
    EXPECT_TRUE(logged("[IP:127.0.0.1] sent noaccess"));
}

// A HEAD request gets the header with the page's length and no body.
TEST_F(TemplateTest, HeadRequestGetsTheHeaderOnly) {
    load("", "");
    attach_client();
    conn()->flags |= CONN_HEAD;
    EXPECT_EQ(section->send("tinygif", conn(), 200), 1);
    std::string reply = sent();
    EXPECT_NE(reply.find("Content-Length: 43\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Content-Type: image/gif\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.substr(reply.size() - 4), "\r\n\r\n");
}

TEST_F(TemplateTest, SendWithoutClientOrPageSendsNothing) {
    load("", entry("blocked", "whatever", 403, "program") + "");
    EXPECT_EQ(section->send("noaccess", conn(), 200), 0); // no client socket
    attach_client();
    conn()->flags |= CONN_NO_CLIENT;
    EXPECT_EQ(section->send("noaccess", conn(), 200), 0);
    conn()->flags = 0;
    EXPECT_EQ(section->send("no-such-page", conn(), 200), 0);
    // An entry of an unknown kind provides no page, the built-in one neither.
    sectiontest::load(*section, "<templates>" + entry("blocked", "x", 403) + "</templates>");
    section->templates.front().kind = 7;
    EXPECT_EQ(section->send("blocked", conn(), 200), 0);
    EXPECT_EQ(sent(), "");
}

TEST_F(TemplateTest, EntryWithoutFileGivesBuiltInPageWithItsStatus) {
    load("", entry("NoAccess", "", 403));
    attach_client();
    EXPECT_EQ(section->send("noaccess", conn(), 200), 1);
    std::string reply = sent();
    EXPECT_EQ(reply.rfind("HTTP/1.1 403 ", 0), 0u) << reply.substr(0, 40);
    EXPECT_NE(reply.find("<title>Access denied</title>"), std::string::npos);
    int status = -1;
    page("blocked", &status);
    EXPECT_EQ(status, -1); // no entry for that page: left alone
}

TEST_F(TemplateTest, EntriesAreScopedByProfiles) {
    load("", "<template>" +
                 elements({{"enabled", "true"}, {"profiles", "staff"}, {"name", "noaccess"},
                           {"status", "401"}}) +
                 "</template>");
    int status = -1;
    page("noaccess", &status);
    EXPECT_EQ(status, -1);
    conn()->profiles.push_back("staff");
    page("noaccess", &status);
    EXPECT_EQ(status, 401);
}

// An entry whose status field holds no HTTP status (left out, it reads 0)
// names none: the caller's status stands.
TEST_F(TemplateTest, EntryWithoutStatusLeavesTheCallersStatus) {
    struct Case {
        const char* status_element; // nullptr: no element at all
        int expected;
    };
    const Case cases[] = {{nullptr, 503}, {"0", 503},   {"-404", 503},
                          {"600", 503},   {"100", 100}, {"599", 599}};
    attach_client();
    for (const Case& c : cases) {
        std::string status_element =
            c.status_element != nullptr ? elements({{"status", c.status_element}}) : "";
        load("", "<template>" + elements({{"enabled", "true"}, {"name", "noconnect"}}) +
                     status_element + "</template>");
        const char* shown = c.status_element != nullptr ? c.status_element : "(none)";
        int status = 503;
        page("noconnect", &status);
        EXPECT_EQ(status, c.expected) << shown;
        EXPECT_EQ(section->send("noconnect", conn(), 503), 1);
        std::string reply = sent();
        std::string status_line = "HTTP/1.1 " + std::to_string(c.expected) + " ";
        EXPECT_EQ(reply.rfind(status_line, 0), 0u) << shown << ": " << reply.substr(0, 40);
    }
}

TEST_F(TemplateTest, FilePagesByPath) {
    configtest::write_file(dir + "/page.html", "<p>@URL@</p>");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    struct Case {
        std::string directory;
        std::string file;
    } cases[] = {
        {dir, "page.html"},        // relative to the template directory
        {"", "page.html"},         // relative to the working directory
        {"/nonexistent", dir + "/page.html"}, // absolute: the directory is not used
    };
    for (const Case& c : cases) {
        load(c.directory, entry("blocked", c.file, 403, "file", "text/html"));
        int status = 0;
        EXPECT_EQ(page("blocked", &status), "<p>http://www.example.com/page</p>") << c.file;
        EXPECT_EQ(content_type, "text/html");
        EXPECT_EQ(status, 403);
    }
    load(dir, entry("blocked", "page.html", 403, "file", "", "false"));
    EXPECT_EQ(page("blocked"), "<p>@URL@</p>"); // not parsed
    EXPECT_EQ(content_type, "(none)");
    ASSERT_EQ(chdir(cwd), 0);
}

// Values from the request are escaped in HTML pages only.
TEST_F(TemplateTest, RequestValuesCannotAddMarkupToHtmlPages) {
    load("", "");
    (*connection)->variables["URL"] = "http://evil.example/<script>alert('x')</script>&\"";
    std::string blocked = page("blocked");
    EXPECT_EQ(blocked.find("<script>"), std::string::npos);
    EXPECT_NE(blocked.find("http://evil.example/&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"
                           "&amp;&quot;"),
              std::string::npos);
    std::string reconnect = page("reconnect");
    EXPECT_EQ(reconnect, "Location: http://evil.example/<script>alert('x')</script>&\"\r\n");
    EXPECT_EQ((*connection)->variables["URL"],
              "http://evil.example/<script>alert('x')</script>&\"");
}

TEST_F(TemplateTest, UnreadableFileFallsBackToTheBuiltInPage) {
    load(dir, entry("blocked", "missing.html", 403, "file", "text/x-mine"));
    int status = 0;
    std::string text = page("blocked", &status);
    EXPECT_NE(text.find("<title>Page Blocked</title>"), std::string::npos);
    EXPECT_EQ(content_type, "text/html");
    EXPECT_EQ(status, 403);
    EXPECT_TRUE(logged("failed to read template file " + dir + "/missing.html for blocked"));
    EXPECT_TRUE(logged("template blocked: sending the built-in page instead"));

    load(dir, entry("custom", "missing.html", 403));
    EXPECT_EQ(section->get(conn(), "custom", nullptr), nullptr);
}

TEST_F(TemplateTest, ProgramPageUsesItsOwnHeaderAndKeepsTheConnections) {
    std::string script = dir + "/page.sh";
    configtest::write_file(script, "#!/bin/sh\n"
                                   "printf 'HTTP/1.1 200 OK\\r\\nContent-Type: text/html\\r\\n"
                                   "X-Extra: 1\\r\\n\\r\\n'\n"
                                   "printf '<p>%s @URL@</p>' \"$HOST_SEEN\"\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    configtest::write_file(dir + "/silent.sh", "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(chmod((dir + "/silent.sh").c_str(), 0755), 0);
    load("", entry("blocked", script, 403, "program") +
                 entry("quiet", dir + "/silent.sh", 200, "program"));
    (*connection)->variables["HOST_SEEN"] = "<b>";
    HEADER* kept = header_new();
    conn()->response = kept;

    EXPECT_EQ(page("blocked"), "<p><b> http://www.example.com/page</p>");
    EXPECT_EQ(content_type, "text/html");
    EXPECT_EQ(conn()->response, kept);
    EXPECT_EQ(page("quiet"), "");
    EXPECT_EQ(content_type, "(none)");
    EXPECT_EQ(conn()->response, kept);

    attach_client();
    EXPECT_EQ(section->send("blocked", conn(), 200), 1);
    std::string reply = sent();
    EXPECT_EQ(reply.rfind("HTTP/1.1 403 ", 0), 0u);
    EXPECT_EQ(reply.find("X-Extra"), std::string::npos);
    EXPECT_EQ(conn()->response, kept);
}

TEST(TemplatePages, TableRowsAreWhatTheyClaim) {
    const std::vector<std::string> names = {
        "unknown", "badrequest", "badresponse", "nodns", "nofile", "nocache", "noconnect",
        "reconnect", "blocked", "blacklisted", "virus", "badprotocol", "noaccess", "badauth",
        "downloadlimit", "uploadlimit", "maxrequests", "quorvelin", "downloading", "proxy.pac",
        "interfacehead", "tinygif", "logo1", "logo", "checkeredgif", "tinyswf", "empty",
        "uparrow", "downarrow", "interface.css", "tooltip"};
    std::vector<std::string> listed;
    for (const template_page_t* page = PAGES; page->name != nullptr; page++)
        listed.push_back(page->name);
    EXPECT_EQ(listed, names);

    struct Image {
        const char* name;
        int length;
        int width;
        int height;
    } images[] = {{"tinygif", 43, 1, 1},     {"logo", 2768, 195, 42},
                  {"logo1", 4554, 0, 0},     {"checkeredgif", 64, 0, 0},
                  {"uparrow", 96, 0, 0},     {"downarrow", 97, 0, 0}};
    for (const Image& image : images) {
        const template_page_t& page = row(image.name);
        EXPECT_EQ(page.length, image.length) << image.name;
        EXPECT_EQ(page.parse, 0) << image.name;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(page.data);
        EXPECT_EQ(memcmp(bytes, "GIF89a", 6), 0) << image.name;
        EXPECT_EQ(bytes[page.length - 1], 0x3b) << image.name; // GIF trailer
        if (image.width != 0) {
            EXPECT_EQ(bytes[6] | bytes[7] << 8, image.width) << image.name;
            EXPECT_EQ(bytes[8] | bytes[9] << 8, image.height) << image.name;
        }
    }
    const template_page_t& movie = row("tinyswf");
    EXPECT_EQ(memcmp(movie.data, "FWS", 3), 0);
    const unsigned char* size = reinterpret_cast<const unsigned char*>(movie.data) + 4;
    EXPECT_EQ(size[0] | size[1] << 8 | size[2] << 16 | size[3] << 24, 327);

    const std::string css = row_text("interface.css");
    for (const char* name : {".header", ".centerdialog", ".bigdialog", ".dialoghead",
                             ".entryeditdialogfoot", ".listodd", ".warning", ".ftphead",
                             "#ToolTip"})
        EXPECT_NE(css.find(name), std::string::npos) << name;
    const std::string tooltip = row_text("tooltip");
    for (const char* name : {"overhere", "MoveToolTip", "ReplaceContent", "Activate",
                             "deActivate", "EnterContent"})
        EXPECT_NE(tooltip.find("function " + std::string(name) + "("), std::string::npos) << name;

    struct Html {
        const char* name;
        const char* title;
        const char* placeholder;
    } pages[] = {{"unknown", "Error", nullptr},
                 {"nodns", "DNS Lookup failed", "@HTTP_HOST@"},
                 {"nofile", "File not found", "@HTTP_FILE@"},
                 {"nocache", "Cache file not found", "@URL@"},
                 {"noconnect", "Connection failed", "@HTTP_PORT@"},
                 {"blocked", "Page Blocked", "@URL@"},
                 {"blacklisted", "Page blacklisted", "@CATEGORY@"},
                 {"virus", "Virus", "@VIRUSNAME@"},
                 {"downloadlimit", "Download transfer limit exceeded", "@DOWNLOADLIMIT@"},
                 {"uploadlimit", "Upload transfer limit exceeded", "@UPLOADLIMIT@"},
                 {"quorvelin", "Possible pornographic image", "@IMAGETHRESHOLD@"},
                 {"downloading", "Download in progress", "@TRANSFERRED@"}};
    for (const Html& html : pages) {
        const std::string text = row_text(html.name);
        EXPECT_EQ(text.rfind("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\"", 0),
                  0u)
            << html.name;
        EXPECT_NE(text.find("<title>" + std::string(html.title) + "</title>"), std::string::npos)
            << html.name;
        EXPECT_NE(text.find("class=\"centerdialog\""), std::string::npos) << html.name;
        if (html.placeholder != nullptr) {
            EXPECT_NE(text.find(html.placeholder), std::string::npos) << html.name;
        }
    }
}

} // namespace
