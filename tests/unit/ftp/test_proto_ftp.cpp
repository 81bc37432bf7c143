// The FTP control-connection protocol against a scripted server: reply
// reading (multi-line, plain text, preliminary replies), command building
// that refuses CR, LF and NUL, login paths, the listing actions with their
// replies awaited, passive-mode replies and data-connection address checks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "ftp/ftp_list.h"
#include "ftp/proto_ftp.h"

namespace {

// A server that answers from a script: each command written pops the next
// batch of reply lines; lines given up front form the greeting or leftovers.
class ScriptedControl : public FtpControl {
public:
    int GetLine(char* dst, int max, int) override {
        if (pending.empty())
            return 0;
        std::string line = pending.front();
        pending.pop_front();
        int copied = static_cast<int>(line.size()) < max ? static_cast<int>(line.size()) : max;
        memcpy(dst, line.data(), static_cast<size_t>(copied));
        if (copied == max)
            dst[copied - 1] = '\0';
        else
            dst[copied] = '\0';
        return copied;
    }
    int Write(const char* data, int length) override {
        written.emplace_back(data, static_cast<size_t>(length));
        if (!answers.empty()) {
            for (const std::string& line : answers.front())
                pending.push_back(line);
            answers.pop_front();
        }
        return length;
    }

    std::deque<std::string> pending;
    std::deque<std::vector<std::string>> answers;
    std::vector<std::string> written;
};

sockaddr_storage ipv4(const char* address, int port) {
    sockaddr_storage storage = {};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &in->sin_addr);
    return storage;
}

sockaddr_storage ipv6(const char* address, int port) {
    sockaddr_storage storage = {};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address, &in6->sin6_addr);
    return storage;
}

} // namespace

TEST(FtpReply, RepliesEndWhereTheProtocolSays) {
    const struct {
        const char* why;
        std::vector<std::string> lines;
        size_t used; // lines that make up the first reply
        int code;
        const char* first;
        const char* last;
    } cases[] = {
        {"one line", {"220 ready\r\n", "331 next\r\n"}, 1, 220, "220 ready", "220 ready"},
        {"code alone", {"200\r\n"}, 1, 200, "200", "200"},
        {"multi-line with text lines that look like codes",
         {"230-Welcome\r\n", "200 not the end\r\n", "230-still text\r\n", " 230 indented\r\n",
          "230 Login successful.\r\n", "200 next reply\r\n"},
         5, 230, "230-Welcome", "230 Login successful."},
        {"multi-line ended by the code alone", {"220-a\n", "b\n", "220\n"}, 3, 220, "220-a", "220"},
        {"plain text outside a reply", {"hello there\r\n"}, 1, 0, "hello there", "hello there"},
        {"line without line end", {"227 Entering Passive Mode (1,2,3,4,5,6)"}, 1, 227,
         "227 Entering Passive Mode (1,2,3,4,5,6)", "227 Entering Passive Mode (1,2,3,4,5,6)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        ScriptedControl control;
        control.pending.assign(c.lines.begin(), c.lines.end());
        ftp_reply_t reply;
        EXPECT_EQ(ftp_reply_read(&control, 5, &reply), c.code);
        EXPECT_EQ(control.pending.size(), c.lines.size() - c.used);
        EXPECT_STREQ(reply.first, c.first);
        EXPECT_STREQ(reply.last, c.last);
    }
    EXPECT_EQ(ftp_line_code("550 no"), 550);
    EXPECT_EQ(ftp_line_code("x550"), 0);
    ScriptedControl silent;
    ftp_reply_t reply;
    EXPECT_EQ(ftp_reply_read(&silent, 5, &reply), -1);
}

TEST(FtpReply, LongLinesAreCutButKeepTheirCode) {
    ScriptedControl control;
    control.pending.push_back("250-" + std::string(3000, 'x') + "\r\n");
    control.pending.push_back("250 done\r\n");
    ftp_reply_t reply;
    EXPECT_EQ(ftp_reply_read(&control, 5, &reply), 250);
    EXPECT_EQ(strlen(reply.first), static_cast<size_t>(FTP_LINE_MAX - 1));
    EXPECT_TRUE(control.pending.empty());
}

TEST(FtpReply, CodeWaitSkipsPreliminaryRepliesAndNamesTheUnexpected) {
    const struct {
        const char* why;
        std::vector<std::string> lines;
        int code;
        int other;
        int result;
    } cases[] = {
        {"preliminary then final", {"150 opening\r\n", "226 done\r\n"}, 226, 426, 226},
        {"the other code", {"550 no such file\r\n"}, 250, 550, 550},
        {"preliminary waited for", {"150 opening\r\n", "226 done\r\n"}, 150, 125, 150},
        {"text line accepted as other 0", {"type set\r\n"}, 200, 0, 0},
        {"another final reply is not skipped", {"421 closing\r\n", "250 late\r\n"}, 250, 550,
         FTP_UNEXPECTED},
        {"silence", {}, 200, 0, FTP_NO_REPLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        ScriptedControl control;
        control.pending.assign(c.lines.begin(), c.lines.end());
        ftp_reply_t reply;
        EXPECT_EQ(ftp_code_wait(&control, 5, c.code, c.other, &reply), c.result);
    }
}

TEST(FtpCommand, LineBreaksAndNulNeverReachTheServer) {
    const struct {
        const char* verb;
        std::string argument;
        const char* built; // NULL: refused
    } cases[] = {
        {"CWD", "/pub/dir with blanks/", "CWD /pub/dir with blanks/\r\n"},
        {"PASV", "", "PASV\r\n"},
        {nullptr, "SITE CHMOD 644 x", "SITE CHMOD 644 x\r\n"},
        {"RETR", "/a\r\nDELE /b", nullptr},
        {"RETR", "/a\nDELE /b", nullptr},
        {"RETR", "/a\rDELE /b", nullptr},
        {"RETR", std::string("/a\0DELE /b", 10), nullptr},
        {"CWD\r\nDELE", "/x", nullptr},
        {nullptr, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        std::string command = "untouched";
        bool built = ftp_command_build(&command, c.verb, c.argument);
        EXPECT_EQ(built, c.built != nullptr);
        EXPECT_EQ(command, c.built != nullptr ? c.built : "untouched");

        ScriptedControl control;
        EXPECT_EQ(ftp_command_send(&control, c.verb, c.argument), c.built != nullptr ? 0 : -2);
        EXPECT_EQ(control.written.size(), c.built != nullptr ? 1u : 0u);
    }
}

TEST(FtpLogin, EveryAnswerOfTheServerLeadsWhereItShould) {
    const struct {
        const char* why;
        std::vector<std::vector<std::string>> answers;
        std::string user;
        int result;
        std::vector<std::string> written;
    } cases[] = {
        {"user and password",
         {{"331 Please specify the password.\r\n"},
          {"230-Welcome\r\n", "230 Login successful.\r\n"},
          {"200 Switching to Binary mode.\r\n"}},
         "alice",
         FTP_LOGIN_OK,
         {"USER alice\r\n", "PASS pw\r\n", "TYPE I\r\n"}},
        {"230 to USER needs no password",
         {{"230 Already in.\r\n"}, {"200 ok\r\n"}},
         "alice",
         FTP_LOGIN_OK,
         {"USER alice\r\n", "TYPE I\r\n"}},
        {"TYPE answered in plain text",
         {{"331 pw\r\n"}, {"230 in\r\n"}, {"binary now\r\n"}},
         "alice",
         FTP_LOGIN_OK,
         {"USER alice\r\n", "PASS pw\r\n", "TYPE I\r\n"}},
        {"user refused", {{"530 Not allowed.\r\n"}}, "alice", FTP_LOGIN_BAD_USER, {"USER alice\r\n"}},
        {"wrong password",
         {{"331 pw\r\n"}, {"530 Login incorrect.\r\n"}},
         "alice",
         FTP_LOGIN_BAD_PASSWORD,
         {"USER alice\r\n", "PASS pw\r\n"}},
        {"no answer to PASS",
         {{"331 pw\r\n"}},
         "alice",
         FTP_LOGIN_BAD_PASSWORD,
         {"USER alice\r\n", "PASS pw\r\n"}},
        {"dead connection", {}, "alice", FTP_LOGIN_NO_REPLY, {"USER alice\r\n"}},
        {"server going away", {{"421 Too many users.\r\n"}}, "alice", FTP_LOGIN_NO_REPLY,
         {"USER alice\r\n"}},
        {"TYPE refused",
         {{"331 pw\r\n"}, {"230 in\r\n"}, {"504 no\r\n"}},
         "alice",
         FTP_LOGIN_NO_TYPE,
         {"USER alice\r\n", "PASS pw\r\n", "TYPE I\r\n"}},
        {"line break in the user name", {}, "alice\r\nDELE x", FTP_LOGIN_BAD_INPUT, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        ScriptedControl control;
        control.answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(ftp_login(&control, 5, c.user, "pw"), c.result);
        EXPECT_EQ(control.written, c.written);
        EXPECT_TRUE(control.pending.empty()) << "a reply was left behind";
    }
    ScriptedControl control;
    EXPECT_EQ(ftp_login(&control, 5, "alice", std::string("p\0w", 3)), FTP_LOGIN_BAD_INPUT);
    EXPECT_TRUE(control.written.empty());
}

TEST(FtpAction, ActionsSendTheirCommandsAndAwaitEveryReply) {
    const struct {
        const char* action;
        std::string argument;
        std::string filename;
        std::vector<std::vector<std::string>> answers;
        int result;
        std::vector<std::string> written;
    } cases[] = {
        {"mkdir", "new dir", "", {{"257 \"/new dir\" created\r\n"}}, 1, {"MKD new dir\r\n"}},
        {"mkdir", "", "", {}, 1, {}},
        {"delete", "", "old.txt", {{"250 Delete operation successful.\r\n"}}, 1,
         {"DELE old.txt\r\n"}},
        {"rmdir", "", "gone", {{"550 Remove directory operation failed.\r\n"}}, 0, {"RMD gone\r\n"}},
        {"rename", "b.txt", "a.txt", {{"350 Ready for RNTO.\r\n"}, {"250 Rename successful.\r\n"}}, 1,
         {"RNFR a.txt\r\n", "RNTO b.txt\r\n"}},
        {"rename", "b.txt", "missing", {{"550 RNFR command failed.\r\n"}}, 0, {"RNFR missing\r\n"}},
        {"raw", "SITE HELP", "", {{"214-The following SITE commands\r\n", " CHMOD\r\n", "214 Help OK.\r\n"}},
         1, {"SITE HELP\r\n"}},
        {"rematch", "\\.txt$", "", {}, 1, {}},
        {"unknown", "x", "y", {}, 1, {}},
        {"delete", "", "a\r\nRMD /", {}, -2, {}},
        {"rename", "b\nDELE c", "a", {}, -2, {}},
        {"raw", "NOOP\r\nDELE x", "", {}, -2, {}},
        {"mkdir", "quiet", "", {{}}, -1, {"MKD quiet\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + c.argument + " " + c.filename);
        ScriptedControl control;
        control.answers.assign(c.answers.begin(), c.answers.end());
        // The next command's reply must be its own, not the action's.
        control.answers.push_back({"200 NOOP ok.\r\n"});
        ftp_reply_t reply;
        EXPECT_EQ(ftp_action_run(&control, 5, c.action, c.argument, c.filename, &reply), c.result);
        EXPECT_EQ(control.written, c.written);
        ASSERT_EQ(ftp_command_send(&control, "NOOP", ""), 0);
        if (c.result != -1) {
            EXPECT_EQ(ftp_code_wait(&control, 5, 200, 200, &reply), 200);
        }
    }
}

TEST(FtpPassive, OnlySixNumbersFrom0To255GiveAPort) {
    const struct {
        const char* line;
        int port;
    } cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,195,80).", 195 * 256 + 80},
        {"227 Entering Passive Mode (10,0,0,1,4,1)", 1025},
        {"227 Entering passive mode (127, 0, 0, 1, 4, 1)", 1025},
        {"227 =(127,0,0,1,,4,1)", 1025},
        {"227 Entering Passive Mode (0,0,0,0,255,255)", 65535},
        {"227 Entering Passive Mode (127,0,0,1,256,1)", -1},
        {"227 Entering Passive Mode (127,0,0,1,4,1000)", -1},
        {"227 Entering Passive Mode (300,0,0,1,4,1)", -1},
        {"227 Entering Passive Mode (127,0,0,1,-4,1)", -1},
        {"227 Entering Passive Mode (127,0,0,1,4)", -1},
        {"227 Entering Passive Mode (127,0,0,1,4,1,9)", -1},
        {"227 Entering Passive Mode 127,0,0,1,4,1", -1},
        {"227 Entering Passive Mode (0004294967297,0,0,1,4,1)", -1},
        {"227 (a,b,c,d,e,f)", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ftp_pasv_port(c.line), c.port) << c.line;
    EXPECT_EQ(ftp_pasv_port(nullptr), -1);
}

TEST(FtpPassive, DataConnectionsStayWithTheControlPeer) {
    sockaddr_storage peer = ipv4("127.0.0.2", 21);
    sockaddr_storage target;
    ASSERT_TRUE(ftp_pasv_target(&peer, 1025, &target));
    auto* in = reinterpret_cast<sockaddr_in*>(&target);
    EXPECT_EQ(in->sin_addr.s_addr, htonl(0x7f000002)); // not the address the reply named
    EXPECT_EQ(ntohs(in->sin_port), 1025);
    EXPECT_FALSE(ftp_pasv_target(&peer, 0, &target));
    EXPECT_FALSE(ftp_pasv_target(&peer, 65536, &target));
    sockaddr_storage peer6 = ipv6("::1", 21);
    ASSERT_TRUE(ftp_pasv_target(&peer6, 2000, &target));
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in6*>(&target)->sin6_port), 2000);

    const struct {
        sockaddr_storage data;
        bool allowed;
    } cases[] = {
        {ipv4("127.0.0.2", 20), true},
        {ipv4("127.0.0.2", 40000), true},
        {ipv4("127.0.0.3", 20), false},
        {ipv6("::ffff:127.0.0.2", 20), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ftp_data_peer_allowed(&peer, &c.data), c.allowed);
    sockaddr_storage data6 = ipv6("::1", 9);
    EXPECT_TRUE(ftp_data_peer_allowed(&peer6, &data6));
}

TEST(FtpPaths, FilePathsSplitAtTheLastSlash) {
    const struct {
        const char* path;
        const char* directory;
        const char* file;
    } cases[] = {
        {"/pub/file.txt", "/pub/", "file.txt"},
        {"/file.txt", "/", "file.txt"},
        {"/a/b/", "/a/b/", ""},
        {"file", "/", "file"},
    };
    for (const auto& c : cases) {
        std::string directory, file;
        ftp_path_split(c.path, &directory, &file);
        EXPECT_EQ(directory, c.directory) << c.path;
        EXPECT_EQ(file, c.file) << c.path;
    }
}

TEST(FtpSort, TheRequestsChoiceWinsOnlyWhenWholeAndKnown) {
    const struct {
        const char* order;
        const char* field;
        int default_order;
        int default_field;
        int sorted;
        int sort_order;
        int sort_field;
    } cases[] = {
        {"descending", "size", 0, 1, 1, DIR_SORT_DESCENDING, DIR_SORT_SIZE},
        {"ascending", "date", 1, 0, 1, DIR_SORT_ASCENDING, DIR_SORT_DATE},
        {"descending", "", 0, 1, 1, DIR_SORT_ASCENDING, DIR_SORT_NAME},
        {"sideways", "name", 5, 2, 1, DIR_SORT_DESCENDING, DIR_SORT_SIZE},
        {"", "", 1, 0, 0, 0, 0},
        {"", "", 0, 9, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.order) + "/" + c.field);
        int order = 0, field = 0;
        EXPECT_EQ(ftp_sort_choice(c.order, c.field, c.default_order, c.default_field, &order, &field),
                  c.sorted);
        EXPECT_EQ(order, c.sort_order);
        EXPECT_EQ(field, c.sort_field);
    }
}
