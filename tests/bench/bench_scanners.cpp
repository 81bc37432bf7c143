// Costs of the F-Prot, Kaspersky and Sophie clients' own work for one body:
// the temporary copy, the exchange with a daemon and the reading of its
// answer. The daemons are closed, so each is played here by a stand-in
// thread that answers "clean" at once without reading the body: what is
// measured is the proxy's side. Run through scripts/bench.sh, never by the
// tests.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <tinyxml2.h>

#include "core/filebuf.h"
#include "core/log.h"
#include "scan/fprotd.h"
#include "scan/kavd.h"
#include "scan/sophied.h"

namespace {

// Reads until `end` has come (or the client closed); false on a close.
bool read_to(int fd, const char* end) {
    std::string got;
    char piece[4096];
    while (got.find(end) == std::string::npos) {
        ssize_t n = read(fd, piece, sizeof piece);
        if (n <= 0)
            return false;
        got.append(piece, static_cast<size_t>(n));
    }
    return true;
}

// A stand-in daemon listening on `listener`: each connection reads up to
// `request_end`, gets `answer`, then is read to its close.
void serve(int listener, const char* request_end, const std::string& answer) {
    std::thread([=] {
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd == -1)
                return;
            if (read_to(fd, request_end) && write(fd, answer.data(), answer.size()) > 0) {
                char rest[4096];
                while (read(fd, rest, sizeof rest) > 0) {
                }
            }
            close(fd);
        }
    }).detach();
}

// The sockets' folder, removed when the run ends.
struct SocketFolder {
    std::string path;
    std::string sockets[2];
    SocketFolder() {
        char made[] = "/tmp/kestrivan-bench.XXXXXX";
        path = mkdtemp(made);
    }
    ~SocketFolder() {
        for (const std::string& socket : sockets)
            if (!socket.empty())
                unlink(socket.c_str());
        rmdir(path.c_str());
    }
};

std::string unix_daemon(int number, const char* name, const char* request_end,
                        const std::string& answer) {
    static SocketFolder folder;
    std::string path = folder.path + "/" + name;
    folder.sockets[number] = path;
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un local = {};
    local.sun_family = AF_UNIX;
    snprintf(local.sun_path, sizeof local.sun_path, "%s", path.c_str());
    bind(listener, reinterpret_cast<struct sockaddr*>(&local), sizeof local);
    listen(listener, 64);
    serve(listener, request_end, answer);
    return path;
}

int tcp_daemon(const char* request_end, const std::string& answer) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    bind(listener, reinterpret_cast<struct sockaddr*>(&local), sizeof local);
    listen(listener, 64);
    getsockname(listener, reinterpret_cast<struct sockaddr*>(&local), &length);
    serve(listener, request_end, answer);
    return ntohs(local.sin_port);
}

// A body of `size` bytes. Without a General section temporary copies go to
// /tmp.
void body_of(Filebuf* body, int64_t size) {
    loglevel = 0; // the verdict lines are not what is measured
    std::string bytes(static_cast<size_t>(size), 'b');
    body->Add(bytes.data(), static_cast<unsigned>(bytes.size()));
}

void BM_FProt(benchmark::State& state) {
    static const std::string report =
        "<fprot-results><summary>clean</summary></fprot-results>";
    static int port = tcp_daemon("\r\n\r\n", "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n"
                                              "Content-Length: " + std::to_string(report.size()) +
                                              "\r\n\r\n" + report);
    loglevel = 0;
    std::string name;
    for (auto _ : state) {
        // The exchange alone: the section makes the copy, as for Kaspersky.
        if (fprotd_scan("/dev/null", "-archive=5%20", port, 1, 5, &name) != FPROTD_CLEAN)
            state.SkipWithError("no clean verdict");
    }
}
BENCHMARK(BM_FProt)->Unit(benchmark::kMicrosecond);

void BM_Kaspersky(benchmark::State& state) {
    static std::string path = unix_daemon(0, "aveserver", "\r\n", "201 started\r\n220 clean\r\n");
    Filebuf body;
    body_of(&body, state.range(0));
    std::string name;
    for (auto _ : state)
        if (kavd_scan(path.c_str(), &body, 5, &name) != KAVD_CLEAN)
            state.SkipWithError("no clean verdict");
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Kaspersky)->Arg(16 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_SophieSocket(benchmark::State& state) {
    static std::string path = unix_daemon(1, "sophie", "\n", "0\n");
    Filebuf body;
    body_of(&body, state.range(0));
    std::string name;
    for (auto _ : state)
        if (sophied_scan_socket(path.c_str(), &body, 5, &name) != SOPHIED_CLEAN)
            state.SkipWithError("no clean verdict");
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SophieSocket)->Arg(16 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// Over TCP the daemon also takes the body's bytes: the stand-in answers its
// verdict once they have come.
void BM_SophieTcp(benchmark::State& state) {
    int64_t size = state.range(0);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    bind(listener, reinterpret_cast<struct sockaddr*>(&local), sizeof local);
    listen(listener, 64);
    getsockname(listener, reinterpret_cast<struct sockaddr*>(&local), &length);
    std::thread daemon([listener, size] {
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd == -1)
                return;
            if (read_to(fd, "\n") && write(fd, "OK\n", 3) == 3) {
                char piece[65536];
                int64_t got = 0;
                ssize_t n;
                while (got < size && (n = read(fd, piece, sizeof piece)) > 0)
                    got += n;
                if (write(fd, "0\n", 2) == 2)
                    while (read(fd, piece, sizeof piece) > 0) {
                    }
            }
            close(fd);
        }
    });
    Filebuf body;
    body_of(&body, size);
    std::string name;
    int port = ntohs(local.sin_port);
    for (auto _ : state)
        if (sophied_scan_tcp("127.0.0.1", port, &body, 5, &name) != SOPHIED_CLEAN)
            state.SkipWithError("no clean verdict");
    state.SetBytesProcessed(state.iterations() * size);
    shutdown(listener, SHUT_RDWR);
    close(listener);
    daemon.join();
}
BENCHMARK(BM_SophieTcp)->Arg(16 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_FProtReport(benchmark::State& state) {
    std::string report = "<?xml version=\"1.0\"?>\n<fprot-results><filename>/tmp/x</filename>"
                         "<detected><name>W32/Example.A</name></detected>"
                         "<summary code=\"3\">infected</summary></fprot-results>";
    std::string name;
    for (auto _ : state)
        benchmark::DoNotOptimize(fprot_report_parse(report.data(), report.size(), &name));
}
BENCHMARK(BM_FProtReport);

} // namespace

BENCHMARK_MAIN();
