// The FTP control protocol over the proxy's Socket and the listing parser
// against real servers started on loopback: vsftpd (anonymous login answered 230 at once, a
// multi-line greeting, PASV and PORT) and pyftpdlib (a user with a
// password, the listing actions with every reply awaited).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/filebuf.h"
#include "ftp/ftp_list.h"
#include "ftp/proto_ftp.h"
#include "http/http_text.h"
#include "net/socket.h"
#include "support/log_test_support.h"

namespace {

constexpr int TIMEOUT = 10;
const uint64_t BIG_SIZE = 5ull << 30; // a sparse file over 4 GiB

// A control connection over the proxy's own Socket, which it owns.
class ServerControl : public FtpSocketControl {
public:
    explicit ServerControl(Socket* socket) : FtpSocketControl(socket), socket_(socket) {}

    int fd() const { return socket_->fd; }

private:
    std::unique_ptr<Socket> socket_;
};

int connect_to(const sockaddr_storage& address) {
    int fd = socket(address.ss_family, SOCK_STREAM, 0);
    if (fd == -1)
        return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(sockaddr_in)) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

sockaddr_storage loopback(int port) {
    sockaddr_storage storage = {};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return storage;
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_storage address = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(sockaddr_in));
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// Everything a data connection carries, then the connection is closed.
std::string read_all(Socket* data) {
    std::string received;
    char piece[65536];
    int got;
    while ((got = data->Read(piece, sizeof piece, TIMEOUT)) > 0)
        received.append(piece, static_cast<size_t>(got));
    delete data;
    return received;
}

// Starts a server process, owns it and stops it.
class FtpServerTest : public logtest::LogDirTest {
protected:
    void TearDown() override {
        if (server_pid_ > 0) {
            kill(server_pid_, SIGTERM);
            waitpid(server_pid_, nullptr, 0);
        }
        LogDirTest::TearDown();
    }

    void make_tree() {
        root = dir + "/root";
        std::filesystem::create_directories(root + "/pub");
        std::ofstream(root + "/hello.txt") << "hello over ftp\n";
        std::ofstream(root + "/name with  blanks.txt") << "x";
        int big = open((root + "/big.img").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_NE(big, -1);
        ASSERT_EQ(ftruncate(big, static_cast<off_t>(BIG_SIZE)), 0);
        close(big);
    }

    void start(const std::vector<std::string>& argv, int server_port) {
        port = server_port;
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        server_pid_ = fork();
        ASSERT_NE(server_pid_, -1);
        if (server_pid_ == 0) {
            // The server's own output goes to a file kept with a failed test.
            int output = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(output, 1);
            dup2(output, 2);
            execv(args[0], args.data());
            _exit(127);
        }
        // Wait (bounded) until the server accepts connections.
        for (int i = 0; i < 200; i++) {
            sockaddr_storage address = loopback(port);
            int fd = connect_to(address);
            if (fd != -1) {
                close(fd);
                return;
            }
            usleep(50000);
        }
        FAIL() << argv[0] << " did not start on port " << port;
    }

    void start_vsftpd() {
        ASSERT_EQ(access("/usr/sbin/vsftpd", X_OK), 0) << "vsftpd is missing: scripts/install-deps.sh";
        make_tree();
        ASSERT_EQ(chmod(root.c_str(), 0555), 0); // vsftpd refuses a writable anonymous root
        std::filesystem::create_directories(dir + "/empty");
        std::ofstream(dir + "/banner") << "Welcome to the test server.\n220 this line is text\n";
        int server_port = free_port();
        std::ofstream(dir + "/vsftpd.conf")
            << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << server_port
            << "\nbackground=NO\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=NO\n"
               "anon_root="
            << root << "\nno_anon_password=YES\nrun_as_launching_user=YES\nsecure_chroot_dir="
            << dir << "/empty\nseccomp_sandbox=NO\npasv_enable=YES\nport_enable=YES\n"
               "connect_from_port_20=NO\npasv_address=127.0.0.1\nxferlog_enable=NO\n"
               "banner_file="
            << dir << "/banner\n";
        start({"/usr/sbin/vsftpd", dir + "/vsftpd.conf"}, server_port);
    }

    void start_pyftpdlib() {
        make_tree();
        const char* script =
            "import sys\n"
            "from pyftpdlib.authorizers import DummyAuthorizer\n"
            "from pyftpdlib.handlers import FTPHandler\n"
            "from pyftpdlib.servers import FTPServer\n"
            "a = DummyAuthorizer()\n"
            "a.add_user('alice', 'secret', sys.argv[1], perm='elradfmwMT')\n"
            "FTPHandler.authorizer = a\n"
            "FTPHandler.auth_failed_timeout = 0\n"
            "FTPServer(('127.0.0.1', int(sys.argv[2])), FTPHandler).serve_forever()\n";
        int server_port = free_port();
        start({"/usr/bin/python3", "-c", script, root, std::to_string(server_port)}, server_port);
    }

    // A control connection with the greeting read.
    std::unique_ptr<ServerControl> open_control() {
        sockaddr_storage address = loopback(port);
        int fd = connect_to(address);
        EXPECT_NE(fd, -1);
        auto control = std::make_unique<ServerControl>(new Socket(fd));
        ftp_reply_t greeting;
        EXPECT_EQ(ftp_reply_read(control.get(), TIMEOUT, &greeting), 220);
        greeting_first = greeting.first;
        greeting_last = greeting.last;
        return control;
    }

    // Opens a data connection for the command (passive or active), reads
    // all it sends and awaits the transfer's final reply. "<none: reply>"
    // when no data connection was opened.
    static std::string transfer(ServerControl* control, int passive, const char* verb,
                                const std::string& argument) {
        ftp_reply_t reply;
        Socket* data = ftp_data_open(control, control->fd(), passive, TIMEOUT, verb, argument,
                                     &reply);
        if (data == nullptr)
            return std::string("<none: ") + reply.last + ">";
        std::string received = read_all(data);
        EXPECT_EQ(ftp_code_wait(control, TIMEOUT, 226, 250, &reply), 226) << reply.last;
        return received;
    }

    // The names of a listing, after the parser read it.
    static std::vector<std::string> listing_names(const std::string& listing) {
        Filebuf buffer;
        buffer.Add(listing.data(), static_cast<unsigned>(listing.size()));
        dir_t* list = dir_list_parse(&buffer);
        list = dir_list_sort(list, DIR_SORT_ASCENDING, DIR_SORT_NAME);
        std::vector<std::string> names;
        for (dir_t* e = list; e != nullptr; e = e->next)
            names.push_back(std::string(e->name) + (e->size == BIG_SIZE ? " (big)" : ""));
        dir_list_free(list);
        return names;
    }

    std::string root;
    int port = 0;
    std::string greeting_first;
    std::string greeting_last;

private:
    pid_t server_pid_ = 0;
};

} // namespace

TEST_F(FtpServerTest, VsftpdAnonymousListingAndDownloadInBothModes) {
    start_vsftpd();
    auto control = open_control();
    EXPECT_EQ(greeting_first, "220-Welcome to the test server.");
    EXPECT_EQ(greeting_last, "220 ");

    // vsftpd answers USER anonymous with 230: no password is sent.
    ASSERT_EQ(ftp_login(control.get(), TIMEOUT, "anonymous", "kestrivan@"), FTP_LOGIN_OK);

    // Run as the launching user, vsftpd does not change root: paths are the
    // real ones.
    ftp_reply_t reply;
    ASSERT_EQ(ftp_command_send(control.get(), "CWD", root), 0);
    EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 250, 550, &reply), 250);
    const std::vector<std::string> expected{"big.img (big)", "hello.txt", "name with  blanks.txt",
                                            "pub/"};
    for (int passive : {1, 0}) {
        SCOPED_TRACE(passive == 1 ? "PASV" : "PORT");
        EXPECT_EQ(listing_names(transfer(control.get(), passive, "LIST", "")), expected);
        EXPECT_EQ(transfer(control.get(), passive, "RETR", root + "/hello.txt"), "hello over ftp\n");
        EXPECT_EQ(transfer(control.get(), passive, "RETR", root + "/missing"),
                  "<none: 550 Failed to open file.>");
    }
    EXPECT_TRUE(logtest::read_file(log_path).find("unparsable") == std::string::npos);

    // A file is no directory: its CWD fails.
    ASSERT_EQ(ftp_command_send(control.get(), "CWD", root + "/hello.txt"), 0);
    EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 250, 550, &reply), 550);

    // A command carrying a second one is refused before it reaches the server.
    EXPECT_EQ(ftp_command_send(control.get(), "CWD", "/pub\r\nQUIT"), -2);
    EXPECT_EQ(transfer(control.get(), 1, "RETR", root + "/hello.txt\r\nDELE x"), "<none: >");
    ASSERT_EQ(ftp_command_send(control.get(), "NOOP", ""), 0);
    EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 200, 200, &reply), 200);
}

TEST_F(FtpServerTest, PyftpdlibUserLoginAndActionsWithEveryReplyAwaited) {
    start_pyftpdlib();
    {
        auto control = open_control();
        EXPECT_EQ(ftp_login(control.get(), TIMEOUT, "alice", "wrong"), FTP_LOGIN_BAD_PASSWORD);
    }
    auto control = open_control();
    ASSERT_EQ(ftp_login(control.get(), TIMEOUT, "alice", "secret"), FTP_LOGIN_OK);

    const struct {
        const char* action;
        const char* argument;
        const char* filename;
        int result;
    } steps[] = {
        {"mkdir", "new dir", "", 1},
        {"mkdir", "new dir", "", 0}, // exists already
        {"rename", "renamed dir", "new dir", 1},
        {"rename", "x", "no such", 0},
        {"delete", "", "name with  blanks.txt", 1},
        {"rmdir", "", "renamed dir", 1},
        {"raw", "HELP", "", 1}, // a multi-line 214 reply
        {"raw", "NOOP\r\nDELE hello.txt", "", -2},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.action) + " " + s.argument + " " + s.filename);
        ftp_reply_t reply;
        EXPECT_EQ(ftp_action_run(control.get(), TIMEOUT, s.action, s.argument, s.filename, &reply),
                  s.result)
            << reply.last;
        // The next command gets its own reply, not a leftover of the action.
        ASSERT_EQ(ftp_command_send(control.get(), "PWD", ""), 0);
        EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 257, 257, &reply), 257) << reply.last;
    }
    EXPECT_TRUE(std::filesystem::exists(root + "/hello.txt"));
    for (int passive : {1, 0}) {
        SCOPED_TRACE(passive == 1 ? "PASV" : "PORT");
        EXPECT_EQ(listing_names(transfer(control.get(), passive, "LIST", "/")),
                  (std::vector<std::string>{"big.img (big)", "hello.txt", "pub/"}));
        EXPECT_EQ(transfer(control.get(), passive, "RETR", "/hello.txt"), "hello over ftp\n");
    }
}

namespace {

// A one-connection FTP server on 127.0.0.1 run by a script on its own thread.
class FakeServer {
public:
    explicit FakeServer(std::function<void(FakeServer&)> script) : script_(std::move(script)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_storage address = loopback(0);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(sockaddr_in));
        listen(listener_, 1);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        thread_ = std::thread([this] {
            fd = accept(listener_, nullptr, nullptr);
            say("220 fake\r\n");
            script_(*this);
            close(fd);
        });
    }
    ~FakeServer() {
        finish();
        close(listener_);
    }
    // Waits for the script to end.
    void finish() {
        if (thread_.joinable())
            thread_.join();
    }

    // The next command line, without CR LF.
    std::string hear() {
        std::string line;
        char c;
        while (recv(fd, &c, 1, 0) == 1 && c != '\n')
            if (c != '\r')
                line += c;
        return line;
    }
    void say(const std::string& text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

    int port = 0;
    int fd = -1;
    std::vector<std::string> heard;

private:
    std::function<void(FakeServer&)> script_;
    int listener_ = -1;
    std::thread thread_;
};

// A connection to 127.0.0.1:port from the local address `from`.
int connect_from(const char* from, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_storage target = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(sockaddr_in)) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

class FtpFakeServerTest : public logtest::LogDirTest {
protected:
    std::unique_ptr<ServerControl> connect_control(const FakeServer& server) {
        auto control = std::make_unique<ServerControl>(new Socket(connect_to(loopback(server.port))));
        ftp_reply_t greeting;
        EXPECT_EQ(ftp_reply_read(control.get(), TIMEOUT, &greeting), 220);
        return control;
    }

    // One transfer from the fake server; waits for its script to end.
    std::string fetch(FakeServer& server, int passive, const char* verb,
                      const std::string& argument) {
        auto control = connect_control(server);
        ftp_reply_t reply;
        Socket* data =
            ftp_data_open(control.get(), control->fd(), passive, TIMEOUT, verb, argument, &reply);
        std::string received = data == nullptr ? "<none>" : read_all(data);
        EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 226, 250, &reply), 226);
        control.reset();
        server.finish();
        return received;
    }
};

} // namespace

// The reply names another host; the data connection still goes to the
// server of the control connection, at the port the reply names.
TEST_F(FtpFakeServerTest, PassiveDataGoesToTheControlPeerWhateverTheReplyNames) {
    int data_listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_storage address = loopback(0);
    bind(data_listener, reinterpret_cast<sockaddr*>(&address), sizeof(sockaddr_in));
    listen(data_listener, 1);
    socklen_t length = sizeof address;
    getsockname(data_listener, reinterpret_cast<sockaddr*>(&address), &length);
    int data_port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);

    FakeServer server([&](FakeServer& s) {
        s.heard.push_back(s.hear());
        s.say("227 Entering Passive Mode (10,9,8,7," + std::to_string(data_port / 256) + "," +
              std::to_string(data_port % 256) + ").\r\n");
        int data = accept(data_listener, nullptr, nullptr);
        s.heard.push_back(s.hear());
        s.say("150 here it comes\r\n");
        send(data, "payload", 7, MSG_NOSIGNAL);
        close(data);
        s.say("226 done\r\n");
    });
    EXPECT_EQ(fetch(server, 1, "RETR", "/f"), "payload");
    close(data_listener);
    EXPECT_EQ(server.heard, (std::vector<std::string>{"PASV", "RETR /f"}));
}

TEST_F(FtpFakeServerTest, PassiveRepliesWithoutAUsablePortOpenNothing) {
    const char* const replies[] = {
        "227 Entering Passive Mode (127,0,0,1,256,1).\r\n",
        "227 Entering Passive Mode 127,0,0,1,4,1\r\n",
        "500 PASV not understood.\r\n", // no 227 at all
    };
    for (const char* answer : replies) {
        SCOPED_TRACE(answer);
        std::string said = answer;
        FakeServer server([&](FakeServer& s) {
            s.heard.push_back(s.hear());
            s.say(said);
            s.heard.push_back(s.hear()); // what came next: only the NOOP
            s.say("200 ok\r\n");
        });
        auto control = connect_control(server);
        ftp_reply_t reply;
        EXPECT_EQ(ftp_data_open(control.get(), control->fd(), 1, TIMEOUT, "LIST", "", &reply),
                  nullptr);
        ASSERT_EQ(ftp_command_send(control.get(), "NOOP", ""), 0);
        EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 200, 200, &reply), 200);
        control.reset();
        server.finish();
        EXPECT_EQ(server.heard, (std::vector<std::string>{"PASV", "NOOP"}));
    }
}

// In active mode a connection from another address than the server's is
// closed; the server's own connection carries the data.
TEST_F(FtpFakeServerTest, ActiveDataIsTakenOnlyFromTheServer) {
    FakeServer server([](FakeServer& s) {
        std::string port_command = s.hear();
        s.heard.push_back(port_command);
        struct sockaddr_in* address = ftpport_parse(port_command.c_str() + 5);
        ASSERT_NE(address, nullptr);
        int data_port = ntohs(address->sin_port);
        free(address);
        s.say("200 PORT command successful.\r\n");
        s.heard.push_back(s.hear());
        int rogue = connect_from("127.0.0.2", data_port);
        s.say("150 Opening data connection.\r\n");
        char c;
        EXPECT_LE(recv(rogue, &c, 1, 0), 0); // closed by the client, nothing sent
        close(rogue);
        int data = connect_from("127.0.0.1", data_port);
        send(data, "from the server", 15, MSG_NOSIGNAL);
        close(data);
        s.say("226 Transfer complete.\r\n");
    });
    EXPECT_EQ(fetch(server, 0, "LIST", ""), "from the server");
    ASSERT_EQ(server.heard.size(), 2u);
    EXPECT_EQ(server.heard[0].rfind("PORT 127,0,0,1,", 0), 0u) << server.heard[0];
    EXPECT_EQ(server.heard[1], "LIST");
    EXPECT_TRUE(logtest::read_file(log_path).find(
                    "ftp: refused a data connection from 127.0.0.2: not the FTP server") !=
                std::string::npos);
}
