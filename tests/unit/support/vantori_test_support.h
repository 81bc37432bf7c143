// Helpers for the site-category tests: a builder of DNS answers, a scripted
// category service behind the MX-query seam, a settable clock, and a fixture
// with the section "vantori" built on the shipped definitions.
#pragma once

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "filter/vantori.h"
#include "filter/vantori_mx.h"
#include "support/section_test_support.h"

namespace vantoritest {

// The query name of a site.
inline std::string query_name(const std::string& site) {
    return site + "." VANTORI_ZONE;
}

// A DNS answer to the MX question for "example.com" under the zone, built
// record by record. Owner names point at the question.
class DnsAnswer {
public:
    DnsAnswer() {
        bytes_ = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0};
        put_name(query_name("example.com"));
        put16(15);
        put16(1);
    }

    DnsAnswer& mx(const std::string& exchange, unsigned preference) {
        std::vector<unsigned char> data = {static_cast<unsigned char>(preference >> 8),
                                           static_cast<unsigned char>(preference)};
        for (unsigned char byte : encoded(exchange))
            data.push_back(byte);
        return record(15, data);
    }
    DnsAnswer& a(const std::string& dotted) {
        std::vector<unsigned char> data;
        unsigned parts[4];
        sscanf(dotted.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
        for (unsigned part : parts)
            data.push_back(static_cast<unsigned char>(part));
        return record(1, data);
    }
    // An A record owned by the name `exchange` itself, then an MX record
    // whose exchange is a pointer to that owner name.
    DnsAnswer& mx_compressed_exchange(const std::string& exchange, unsigned preference) {
        size_t owner = bytes_.size();
        put_name(exchange);
        put16(1);
        put16(1);
        put32(60);
        put16(4);
        for (unsigned char byte : {127, 0, 0, 1})
            bytes_.push_back(byte);
        count(1);
        std::vector<unsigned char> data = {static_cast<unsigned char>(preference >> 8),
                                           static_cast<unsigned char>(preference),
                                           static_cast<unsigned char>(0xC0 | (owner >> 8)),
                                           static_cast<unsigned char>(owner)};
        return record(15, data);
    }
    // An MX record with the exchange bytes as given; `self_pointer` makes the
    // exchange a pointer to itself; `rdlength` (when >= 0) replaces the data
    // length written.
    DnsAnswer& mx_raw_exchange(unsigned preference, std::vector<unsigned char> exchange,
                               bool self_pointer = false, int rdlength = -1) {
        std::vector<unsigned char> data = {static_cast<unsigned char>(preference >> 8),
                                           static_cast<unsigned char>(preference)};
        if (self_pointer) {
            size_t at = bytes_.size() + 2 + 10 + 2;
            exchange = {static_cast<unsigned char>(0xC0 | (at >> 8)), static_cast<unsigned char>(at)};
        }
        for (unsigned char byte : exchange)
            data.push_back(byte);
        return record(15, data, rdlength);
    }
    // Later records are counted as additional records.
    DnsAnswer& additional() {
        additional_ = true;
        return *this;
    }
    DnsAnswer& grow_last_rdlength(unsigned more) {
        unsigned length = static_cast<unsigned>(bytes_[last_rdlength_] << 8 | bytes_[last_rdlength_ + 1]) + more;
        bytes_[last_rdlength_] = static_cast<unsigned char>(length >> 8);
        bytes_[last_rdlength_ + 1] = static_cast<unsigned char>(length);
        return *this;
    }
    DnsAnswer& question_count(unsigned questions) {
        bytes_[4] = static_cast<unsigned char>(questions >> 8);
        bytes_[5] = static_cast<unsigned char>(questions);
        return *this;
    }
    std::vector<unsigned char> bytes() const { return bytes_; }

private:
    static std::vector<unsigned char> encoded(const std::string& dotted) {
        std::vector<unsigned char> out;
        size_t start = 0;
        while (start < dotted.size()) {
            size_t dot = dotted.find('.', start);
            if (dot == std::string::npos)
                dot = dotted.size();
            out.push_back(static_cast<unsigned char>(dot - start));
            for (size_t i = start; i < dot; i++)
                out.push_back(static_cast<unsigned char>(dotted[i]));
            start = dot + 1;
        }
        out.push_back(0);
        return out;
    }
    void put_name(const std::string& dotted) {
        for (unsigned char byte : encoded(dotted))
            bytes_.push_back(byte);
    }
    void put16(unsigned value) {
        bytes_.push_back(static_cast<unsigned char>(value >> 8));
        bytes_.push_back(static_cast<unsigned char>(value));
    }
    void put32(unsigned value) {
        put16(value >> 16);
        put16(value & 0xFFFF);
    }
    void count(int more) {
        size_t at = additional_ ? 10 : 6;
        unsigned total = static_cast<unsigned>(bytes_[at] << 8 | bytes_[at + 1]) + static_cast<unsigned>(more);
        bytes_[at] = static_cast<unsigned char>(total >> 8);
        bytes_[at + 1] = static_cast<unsigned char>(total);
    }
    DnsAnswer& record(unsigned type, const std::vector<unsigned char>& data, int rdlength = -1) {
        put16(0xC00C); // owner: the question's name
        put16(type);
        put16(1);
        put32(60);
        last_rdlength_ = bytes_.size();
        put16(rdlength >= 0 ? static_cast<unsigned>(rdlength) : static_cast<unsigned>(data.size()));
        for (unsigned char byte : data)
            bytes_.push_back(byte);
        count(1);
        return *this;
    }

    std::vector<unsigned char> bytes_;
    bool additional_ = false;
    size_t last_rdlength_ = 0;
};

// The category service behind vantori_mx_query while the object lives:
// answers by query name (no entry: no answer), and remembers what it was
// asked. `while_asked` runs inside each query, outside the record's lock.
class ScriptedService {
public:
    ScriptedService() : saved_(vantori_mx_query) {
        current() = this;
        vantori_mx_query = query;
    }
    ~ScriptedService() {
        vantori_mx_query = saved_;
        current() = nullptr;
    }

    // Scores as the service gives them: (category name, preference) pairs.
    void scores(const std::string& site, std::initializer_list<std::pair<const char*, unsigned>> pairs) {
        DnsAnswer answer;
        for (const auto& pair : pairs)
            answer.mx(pair.first, pair.second);
        answers[query_name(site)] = answer.bytes();
    }
    size_t asked_count() {
        std::lock_guard<std::mutex> hold(lock_);
        return asked.size();
    }

    std::map<std::string, std::vector<unsigned char>> answers;
    std::vector<std::string> asked;
    bool overlong = false; // report a length beyond the buffer
    std::function<void()> while_asked;

private:
    static ScriptedService*& current() {
        static ScriptedService* service = nullptr;
        return service;
    }
    static int query(const char* name, unsigned char* answer, int size) {
        ScriptedService* self = current();
        std::vector<unsigned char> found;
        bool known;
        {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->asked.push_back(name);
            auto entry = self->answers.find(name);
            known = entry != self->answers.end();
            if (known)
                found = entry->second;
        }
        if (self->while_asked)
            self->while_asked();
        if (!known)
            return -1;
        int length = static_cast<int>(found.size());
        memcpy(answer, found.data(), static_cast<size_t>(length < size ? length : size));
        return self->overlong ? size + 100 : length;
    }

    std::mutex lock_;
    int (*saved_)(const char*, unsigned char*, int);
};

// The cache's clock, set by the test.
inline time_t& clock_now() {
    static time_t now = 1700000000;
    return now;
}
inline time_t test_clock(time_t* out) {
    if (out != nullptr)
        *out = clock_now();
    return clock_now();
}

// The section "vantori" on the shipped definitions, with a scripted service,
// the test clock and a directory for its files (`dir`, the log's).
class VantoriTest : public sectiontest::ShippedSectionTest {
protected:
    void SetUp() override {
        ShippedSectionTest::SetUp();
        saved_clock_ = vantori_clock;
        vantori_clock = test_clock;
        clock_now() = 1700000000;
        section = new VANTORI_Section();
        vantori_section = section;
    }
    void TearDown() override {
        vantori_section = nullptr;
        vantori_clock = saved_clock_;
        ShippedSectionTest::TearDown();
    }
    // Loads the section: enabled, the test directory, and the rule entries.
    void load(const std::string& rules = "", const std::string& enabled = "true") {
        sectiontest::load(*section, "<vantori><enabled>" + enabled + "</enabled><directory>" + dir +
                                        "/categories</directory>" + rules + "</vantori>");
    }
    // The records of the site's bucket that belong to the site.
    int records_of(const std::string& site) {
        int found = 0;
        unsigned bucket = vantori_cache_key(section->cache->size, site.c_str());
        for (VANTORI_CACHE_ENTRY* r = section->cache->buckets[bucket]; r != nullptr; r = r->next)
            found += strcasecmp(r->site, site.c_str()) == 0;
        return found;
    }
    std::vector<int> scores_of(const std::string& site) {
        std::vector<int> scores(CATEGORY_SCORES, -7);
        if (section->vantori_cache_search(site.c_str(), scores.data()) == 0)
            return {};
        return scores;
    }

    VANTORI_Section* section = nullptr;
    ScriptedService service;

private:
    time_t (*saved_clock_)(time_t*) = nullptr;
};

// 32 scores with the given (slot, score) pairs, all others 0.
inline std::vector<int> scores(std::initializer_list<std::pair<int, int>> slots) {
    std::vector<int> all(CATEGORY_SCORES, 0);
    for (const auto& slot : slots)
        all[slot.first] = slot.second;
    return all;
}

} // namespace vantoritest
