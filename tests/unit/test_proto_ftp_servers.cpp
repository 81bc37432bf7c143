// The FTP control protocol and the listing parser against real servers
// started on loopback: vsftpd (anonymous login answered 230 at once, a
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
#include <fstream>
#include <string>
#include <vector>

#include "filebuf.h"
#include "ftp_list.h"
#include "log_test_support.h"
#include "proto_ftp.h"

namespace {

constexpr int TIMEOUT = 10;
const uint64_t BIG_SIZE = 5ull << 30; // a sparse file over 4 GiB

// A control connection over a plain blocking descriptor.
class FdControl : public FtpControl {
public:
    explicit FdControl(int fd) : fd_(fd) {}
    ~FdControl() override { close(fd_); }

    int GetLine(char* dst, int max, int timeout) override {
        std::string::size_type end;
        while ((end = buffered_.find('\n')) == std::string::npos) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeout * 1000) != 1)
                return 0;
            char piece[4096];
            ssize_t got = recv(fd_, piece, sizeof piece, 0);
            if (got <= 0)
                return -1;
            buffered_.append(piece, static_cast<size_t>(got));
        }
        std::string line = buffered_.substr(0, end + 1);
        buffered_.erase(0, end + 1);
        int copied = static_cast<int>(line.size()) < max ? static_cast<int>(line.size()) : max;
        memcpy(dst, line.data(), static_cast<size_t>(copied));
        dst[copied == max ? copied - 1 : copied] = '\0';
        return copied;
    }

    int Write(const char* data, int length) override {
        return send(fd_, data, static_cast<size_t>(length), MSG_NOSIGNAL) == length ? length : -1;
    }

    sockaddr_storage peer() const {
        sockaddr_storage address = {};
        socklen_t length = sizeof address;
        getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        return address;
    }

private:
    int fd_;
    std::string buffered_;
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

std::string read_all(int fd) {
    std::string data;
    char piece[65536];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, TIMEOUT * 1000) != 1)
            break;
        ssize_t got = recv(fd, piece, sizeof piece, 0);
        if (got <= 0)
            break;
        data.append(piece, static_cast<size_t>(got));
    }
    return data;
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
    std::unique_ptr<FdControl> open_control() {
        sockaddr_storage address = loopback(port);
        int fd = connect_to(address);
        EXPECT_NE(fd, -1);
        auto control = std::make_unique<FdControl>(fd);
        ftp_reply_t greeting;
        EXPECT_EQ(ftp_reply_read(control.get(), TIMEOUT, &greeting), 220);
        greeting_first = greeting.first;
        greeting_last = greeting.last;
        return control;
    }

    // Opens a passive data connection for the command and reads all it
    // sends; the transfer's final reply is awaited.
    std::string passive_transfer(FdControl* control, const char* verb, const std::string& argument) {
        ftp_reply_t reply;
        EXPECT_EQ(ftp_command_send(control, "PASV", ""), 0);
        EXPECT_EQ(ftp_code_wait(control, TIMEOUT, 227, 227, &reply), 227);
        int data_port = ftp_pasv_port(reply.last);
        sockaddr_storage control_peer = control->peer();
        sockaddr_storage target;
        EXPECT_TRUE(ftp_pasv_target(&control_peer, data_port, &target));
        int data = connect_to(target);
        EXPECT_NE(data, -1);
        EXPECT_EQ(ftp_command_send(control, verb, argument), 0);
        int opened = ftp_code_wait(control, TIMEOUT, 150, 125, &reply);
        EXPECT_TRUE(opened == 150 || opened == 125) << reply.last; // 125: connection was open first
        std::string received = read_all(data);
        close(data);
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

TEST_F(FtpServerTest, VsftpdAnonymousPassiveListingAndDownload) {
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
    EXPECT_EQ(listing_names(passive_transfer(control.get(), "LIST", "")),
              (std::vector<std::string>{"big.img (big)", "hello.txt", "name with  blanks.txt",
                                        "pub/"}));
    EXPECT_TRUE(logtest::read_file(log_path).find("unparsable") == std::string::npos);

    ASSERT_EQ(ftp_command_send(control.get(), "CWD", root + "/hello.txt"), 0);
    EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 250, 550, &reply), 550);
    EXPECT_EQ(passive_transfer(control.get(), "RETR", root + "/hello.txt"), "hello over ftp\n");

    // A command carrying a second one is refused before it reaches the server.
    EXPECT_EQ(ftp_command_send(control.get(), "CWD", "/pub\r\nQUIT"), -2);
    ASSERT_EQ(ftp_command_send(control.get(), "NOOP", ""), 0);
    EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 200, 200, &reply), 200);
}

TEST_F(FtpServerTest, VsftpdActiveDataConnectionComesFromTheServer) {
    start_vsftpd();
    auto control = open_control();
    ASSERT_EQ(ftp_login(control.get(), TIMEOUT, "anonymous", "kestrivan@"), FTP_LOGIN_OK);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_storage address = loopback(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(sockaddr_in)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    int data_port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    std::string argument =
        "127,0,0,1," + std::to_string(data_port / 256) + "," + std::to_string(data_port % 256);

    ftp_reply_t reply;
    ASSERT_EQ(ftp_command_send(control.get(), "PORT", argument), 0);
    EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 200, 0, &reply), 200) << reply.last;
    ASSERT_EQ(ftp_command_send(control.get(), "RETR", root + "/hello.txt"), 0);
    sockaddr_storage data_peer = {};
    length = sizeof data_peer;
    int data = accept(listener, reinterpret_cast<sockaddr*>(&data_peer), &length);
    close(listener);
    ASSERT_NE(data, -1);
    sockaddr_storage control_peer = control->peer();
    EXPECT_TRUE(ftp_data_peer_allowed(&control_peer, &data_peer));
    int opened = ftp_code_wait(control.get(), TIMEOUT, 150, 125, &reply);
    EXPECT_TRUE(opened == 150 || opened == 125) << reply.last;
    EXPECT_EQ(read_all(data), "hello over ftp\n");
    close(data);
    EXPECT_EQ(ftp_code_wait(control.get(), TIMEOUT, 226, 250, &reply), 226);
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
    EXPECT_EQ(listing_names(passive_transfer(control.get(), "LIST", "/")),
              (std::vector<std::string>{"big.img (big)", "hello.txt", "pub/"}));
}
