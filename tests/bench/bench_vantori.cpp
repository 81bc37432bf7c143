// The site-category work on the request road for a host the cache holds: a
// cache lookup (one to several threads at once), and a whole first pass with
// a few rules. Run through scripts/bench.sh; never part of the test suite.
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include <tinyxml2.h>

#include "config/section.h"
#include "filter/vantori.h"
#include "http/header.h"
#include "net/connection.h"

namespace {

const int SITES = 50000;

VANTORI_Section* section_with_sites() {
    static VANTORI_Section* section = nullptr;
    if (section != nullptr)
        return section;
    std::string here = __FILE__;
    std::string definitions = here.substr(0, here.rfind("/tests/bench/")) + "/etc/sections.xml";
    sectionxml = new tinyxml2::XMLDocument();
    sectionxml->LoadFile(definitions.c_str());
    section = new VANTORI_Section();
    vantori_section = section;
    tinyxml2::XMLDocument config;
    std::string rules;
    for (const char* category : {"porn", "gambling", "news", "ads"})
        rules += std::string("<rules><enabled>true</enabled><categories>") + category +
                 "</categories><score_range>50-100</score_range><add_profiles>" + category +
                 "</add_profiles></rules>";
    std::string text = "<kestrivan><vantori><enabled>true</enabled><directory></directory>" +
                       rules + "</vantori></kestrivan>";
    config.Parse(text.c_str());
    section->load(&config, 1);
    int scores[CATEGORY_SCORES] = {0};
    char site[64];
    for (int i = 0; i < SITES; i++) {
        scores[22] = i % 101;
        snprintf(site, sizeof site, "www.site%d.example", i);
        section->update_vantori_cache(site, scores, false);
    }
    return section;
}

void BM_vantori_cached_lookup(benchmark::State& state) {
    VANTORI_Section* section = section_with_sites();
    int scores[CATEGORY_SCORES];
    char site[64];
    int i = static_cast<int>(state.thread_index()) * 7919;
    for (auto _ : state) {
        snprintf(site, sizeof site, "www.site%d.example", i++ % SITES);
        benchmark::DoNotOptimize(section->vantori_cache_search(site, scores));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_vantori_cached_lookup)->Threads(1)->Threads(4);

void BM_vantori_first_pass(benchmark::State& state) {
    section_with_sites();
    CONNECTION_T connection{};
    connection.request = http_header_parse_request(
        "GET http://www.site77.example/ HTTP/1.1\r\nHost: www.site77.example\r\n\r\n");
    for (auto _ : state) {
        for (int& score : connection.category_scores)
            score = CATEGORY_SCORES_UNSET;
        connection.profiles.clear();
        vantori_first(&connection);
    }
    state.SetItemsProcessed(state.iterations());
    http_header_free(connection.request);
}
BENCHMARK(BM_vantori_first_pass);

} // namespace

BENCHMARK_MAIN();
