// The URL filter's decision for one request against 0, 10 and 1,000 deny
// rules with host patterns that the request's host does not match, so every
// rule is tried (what bench/bench_url_rules.sh measures through the proxy).
#include <benchmark/benchmark.h>

#include <string>

#include <tinyxml2.h>

#include "config/section.h"
#include "filter/filter.h"
#include "http/header.h"
#include "net/connection.h"

namespace {

std::string source_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/bench/"));
}

// The section with `count` rules "(^|\.)siteN\.example\.test$".
FilterSection* section_with_rules(int count) {
    static tinyxml2::XMLDocument definitions;
    if (sectionxml == nullptr) {
        definitions.LoadFile((source_dir() + "/etc/sections.xml").c_str());
        sectionxml = &definitions;
    }
    std::string xml = "<kestrivan><url-filtering><enabled>true</enabled>"
                      "<order>allow-by-default</order><template></template>";
    for (int i = 1; i <= count; i++)
        xml += "<deny><enabled>true</enabled><comment></comment><groups></groups>"
               "<profiles></profiles><host>(^|\\.)site" +
               std::to_string(i) +
               "\\.example\\.test$</host><path></path><addresses></addresses>"
               "<template></template></deny>";
    xml += "</url-filtering></kestrivan>";
    tinyxml2::XMLDocument doc;
    doc.Parse(xml.c_str());
    Section::map.erase("url-filtering");
    FilterSection* section = new FilterSection();
    section->load(&doc, 1);
    return section;
}

void BM_url_filter_check(benchmark::State& state) {
    FilterSection* section = section_with_rules(static_cast<int>(state.range(0)));
    std::string text = "GET http://www.some-host.example.com:18080/1k HTTP/1.1\r\n\r\n";
    CONNECTION_T connection{};
    connection.request = http_header_parse_request(&text[0]);
    DestinationAddress address;
    for (auto _ : state) {
        bool address_needed;
        section->read_lock();
        const Filter* rule = section->check(&connection, address, address_needed);
        section->unlock();
        benchmark::DoNotOptimize(rule);
    }
    http_header_free(connection.request);
}
BENCHMARK(BM_url_filter_check)->Arg(0)->Arg(10)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
