// Throughput of the HTML stream parser on generated pages of real-world
// sizes (10 KiB to 1 MiB), fed in 16 KiB pieces as a relayed body arrives,
// with link callbacks registered as the prefetcher registers them. Reported
// as bytes per second; run through scripts/bench.sh, never by the tests.
#include <benchmark/benchmark.h>

#include <stdio.h>

#include <string>

#include "cache/hstream.h"

namespace {

// A page shaped like a news or shop page: head with styles and scripts, a
// navigation list, articles of paragraphs with inline markup, images, a
// table and comments, in the proportions of such pages (about one tag every
// 40 bytes).
std::string make_page(size_t size) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Generated page for the parser benchmark</title>\n"
        "<link rel=\"stylesheet\" href=\"/static/css/site.css?v=20240101\">\n"
        "<script async src=\"/static/js/app.js\"></script>\n"
        "<script>window.dataLayer = window.dataLayer || []; if (a < b && c > d) { go(); }</script>\n"
        "</head>\n<body class=\"home\">\n<!-- navigation -->\n<nav><ul class=\"menu\">\n";
    for (int i = 0; i < 12; i++) {
        char item[160];
        snprintf(item, sizeof item,
                 "<li class=\"menu-item\"><a href=\"/section/%d/index.html\" title=\"Section %d\">Section %d</a></li>\n",
                 i, i, i);
        page += item;
    }
    page += "</ul></nav>\n<main>\n";
    for (unsigned n = 0; page.size() < size; n++) {
        char article[1400];
        snprintf(article, sizeof article,
                 "<article id=\"post-%u\" class=\"post\">\n"
                 "<h2><a href=\"/articles/%u/some-title-of-the-article.html\">Title of article %u</a></h2>\n"
                 "<p class=\"meta\">Posted by <a href=\"/authors/%u\">Author</a> on <time datetime=\"2024-01-01\">1 January</time></p>\n"
                 "<img src=\"/images/%u/thumb.jpg\" alt=\"Picture %u\" width=\"320\" height=\"200\" loading=\"lazy\">\n"
                 "<p>Lorem ipsum dolor sit amet, <b>consectetur</b> adipiscing elit, sed do eiusmod tempor "
                 "incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud "
                 "<a href=\"https://example.org/ref/%u?utm_source=x&amp;utm_medium=y\">exercitation</a> ullamco.</p>\n"
                 "<p>Duis aute irure dolor in <i>reprehenderit</i> in voluptate velit esse cillum dolore eu "
                 "fugiat nulla pariatur. Excepteur sint occaecat cupidatat non proident.</p>\n"
                 "<table class=\"facts\"><tr><td>Views</td><td>%u</td></tr><tr><td>Comments</td><td>%u</td></tr></table>\n"
                 "<!-- end of post %u -->\n</article>\n",
                 n, n, n, n % 50, n, n, n, n * 7, n % 13, n);
        page += article;
    }
    page += "</main>\n<footer><p>&copy; Example</p></footer>\n</body>\n</html>\n";
    return page;
}

int count_link(HTMLStream*, htmlstream_node*, void* data) {
    ++*static_cast<unsigned*>(data);
    return 0;
}

void BM_htmlstream_page(benchmark::State& state) {
    const std::string page = make_page(static_cast<size_t>(state.range(0)));
    const unsigned PIECE = 16384;
    unsigned links = 0;
    uint64_t memory = 0, walked = 0;
    for (auto _ : state) {
        HTMLStream stream;
        stream.Callback("a", count_link, &links);
        stream.Callback("img", count_link, &links);
        stream.Callback("link", count_link, &links);
        stream.Callback("script", count_link, &links);
        for (size_t at = 0; at < page.size(); at += PIECE) {
            size_t n = page.size() - at < PIECE ? page.size() - at : PIECE;
            stream.Add(page.data() + at, static_cast<unsigned>(n));
        }
        stream.Add(nullptr, 0);
        benchmark::DoNotOptimize(stream.root());
        memory = stream.memory();
        walked = stream.walked();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
    state.counters["page_bytes"] = static_cast<double>(page.size());
    state.counters["tree_bytes"] = static_cast<double>(memory);
    state.counters["walk_per_byte"] = static_cast<double>(walked) / static_cast<double>(page.size());
}
BENCHMARK(BM_htmlstream_page)->Arg(10 << 10)->Arg(100 << 10)->Arg(1 << 20);

} // namespace

BENCHMARK_MAIN();
