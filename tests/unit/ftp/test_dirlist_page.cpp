// The FTP listing page's content and the decoding of FTP URL paths: file
// names can neither add markup nor redirect links, and encoded line breaks
// reach the command refusal.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "core/filebuf.h"
#include "ftp/dirlist_page.h"
#include "ftp/ftp_list.h"
#include "ftp/proto_ftp.h"

namespace {

std::string page_of(dir_t* list, const char* path) {
    Filebuf page;
    dirlist_page_build(&page, path, "kestrivan", list, "12.ab\"<cd");
    return std::string(page.data, page.size);
}

struct tm date_of(int year, int month, int day) {
    struct tm date = {};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    return date;
}

} // namespace

TEST(DirlistPage, NamesAreEscapedInTextAndAttributesAndEncodedInLinks) {
    dir_t* list = dir_list_add(nullptr, 0, 0644, "o", "g", 5, date_of(2020, 1, 2),
                               "a<b>&\"q?#.txt");
    dir_list_add(list, 1, 0755, "o", "g", 4096, date_of(2021, 3, 4), "sub dir");
    std::string page = page_of(list, "/pub/<x>/");
    dir_list_free(list);

    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_EQ(page.find("<x>"), std::string::npos);
    EXPECT_NE(page.find("name=\"filename\" value=\"a&lt;b&gt;&amp;&quot;q?#.txt\""),
              std::string::npos);
    EXPECT_NE(page.find("<a href=\"a%3Cb%3E%26%22q%3F%23.txt\">a&lt;b&gt;&amp;&quot;q?#.txt</a>"),
              std::string::npos);
    // A directory: "DIR" in the size column, its final "/" kept in the link.
    EXPECT_NE(page.find("<a href=\"sub%20dir/\">sub dir/</a></td><td>DIR</td>"),
              std::string::npos);
    EXPECT_NE(page.find("<td>5.0 B</td><td>Thu, 02 Jan 2020 00:00:00 GMT</td>"),
              std::string::npos);
    // The form is posted with the listing's token, escaped like any value.
    EXPECT_NE(page.find("<form action=\"/pub/&lt;x&gt;/\" method=\"POST\">\n"
                        "<input type=\"hidden\" name=\"token\" value=\"12.ab&quot;&lt;cd\">"),
              std::string::npos);
    for (const char* field : {"name", "size", "date"})
        EXPECT_NE(page.find(std::string("?order=descending&amp;field=") + field),
                  std::string::npos)
            << field;
    EXPECT_NE(page.find("src=\"http://kestrivan/template/uparrow\""), std::string::npos);
    for (const char* action : {"delete", "rename", "mkdir", "rmdir", "rematch", "raw"})
        EXPECT_NE(page.find(std::string("name=\"action\" value=\"") + action + "\""),
                  std::string::npos)
            << action;
    EXPECT_NE(page.find("name=\"argument\""), std::string::npos);
}

TEST(DirlistPage, RowsAlternateAndAnEmptyListingStillHasItsForm) {
    dir_t* list = nullptr;
    for (const char* name : {"a", "b", "c"}) {
        dir_t* added = dir_list_add(list, 0, 0644, "o", "g", 1, date_of(2020, 1, 1), name);
        if (list == nullptr)
            list = added;
    }
    std::string page = page_of(list, "/");
    dir_list_free(list);
    size_t even = page.find("<tr class=\"listeven\">");
    size_t odd = page.find("<tr class=\"listodd\">");
    ASSERT_NE(even, std::string::npos);
    ASSERT_NE(odd, std::string::npos);
    EXPECT_LT(even, odd);
    EXPECT_NE(page.find("<tr class=\"listeven\">", odd), std::string::npos);

    std::string empty = page_of(nullptr, "/");
    EXPECT_EQ(empty.find("listeven"), std::string::npos);
    EXPECT_NE(empty.find("</form>"), std::string::npos);
}

TEST(FtpPathDecode, EncodedBytesAreDecodedAndLineBreaksReachTheRefusal) {
    struct {
        const char* path;
        bool decodes;
        const char* decoded;
        bool sendable;
    } cases[] = {
        {"/pub/a%20b.txt", true, "/pub/a b.txt", true},
        {"/a+b", true, "/a+b", true}, // '+' is no blank in a path
        {"/x%0d%0aDELE%20y", true, "/x\r\nDELE y", false},
        {"/x%0Ay", true, "/x\ny", false},
        {"/x%00y", false, "", false},
        {"/100%", true, "/100%", true}, // broken escapes stay as they are
        {"/%zz%4", true, "/%zz%4", true},
        {"/%C3%A9", true, "/\xc3\xa9", true},
    };
    for (const auto& c : cases) {
        std::string decoded;
        ASSERT_EQ(ftp_path_decode(c.path, &decoded), c.decodes) << c.path;
        if (!c.decodes)
            continue;
        EXPECT_EQ(decoded, c.decoded) << c.path;
        std::string command;
        EXPECT_EQ(ftp_command_build(&command, "CWD", decoded), c.sendable) << c.path;
    }
}
