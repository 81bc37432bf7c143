// Throughput of the foundation pieces on the request road: error-log lines,
// body compression and decompression, string splitting. Run through
// scripts/bench.sh; never part of the test suite.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "core/filebuf.h"
#include "core/log.h"
#include "core/misc.h"

static std::string temp_dir() {
    char path[] = "/tmp/kestrivan-benchXXXXXX";
    return mkdtemp(path);
}

// One error-log line written to a file, level enabled, nothing echoed.
static void BM_putlog_to_file(benchmark::State& state) {
    std::string dir = temp_dir();
    s_strncpy(logfile, (dir + "/error.log").c_str(), sizeof logfile);
    LOG_SIZE_LIMIT = 0;
    daemonize = 1;
    for (auto _ : state)
        putlog(LOG_REQUEST, "[IP:%s] GET http://www.example.com/index.html %d", "127.0.0.1", 200);
    state.SetItemsProcessed(state.iterations());
    unlink(logfile);
    rmdir(dir.c_str());
}
BENCHMARK(BM_putlog_to_file);

// A page-like body of the given size: HTML text that compresses as real pages do.
static void fill_page(Filebuf& body, unsigned size) {
    static const char line[] = "<p class=\"item\"><a href=\"/path/to/page.html\">Some linked text</a> and words</p>\n";
    while (body.size < size)
        body.Add(line, sizeof line - 1);
    body.Resize(static_cast<int>(size));
}

static void BM_gzip_compress(benchmark::State& state) {
    Filebuf page;
    fill_page(page, static_cast<unsigned>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        Filebuf body;
        body.Add(page.data, page.size);
        state.ResumeTiming();
        benchmark::DoNotOptimize(body.Compress(FILEBUF_GZIP));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_gzip_compress)->Arg(16 << 10)->Arg(1 << 20);

static void BM_gzip_uncompress(benchmark::State& state) {
    Filebuf packed;
    fill_page(packed, static_cast<unsigned>(state.range(0)));
    packed.Compress(FILEBUF_GZIP);
    for (auto _ : state) {
        state.PauseTiming();
        Filebuf body;
        body.Add(packed.data, packed.size);
        state.ResumeTiming();
        benchmark::DoNotOptimize(body.Uncompress(FILEBUF_GZIP));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_gzip_uncompress)->Arg(16 << 10)->Arg(1 << 20);

static void BM_string_break(benchmark::State& state) {
    const char* list = "text/html,application/xhtml+xml,application/xml;q=0.9,image/webp,*/*;q=0.8";
    for (auto _ : state) {
        char** parts = string_break(list, ',');
        benchmark::DoNotOptimize(parts);
        array_free(parts);
    }
}
BENCHMARK(BM_string_break);

BENCHMARK_MAIN();
