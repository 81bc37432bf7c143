#include "filter/dnsbl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "core/extensions.h"
#include "core/hash.h"
#include "core/log.h"
#include "core/mem.h"
#include "filter/rules.h"
#include "http/header.h"
#include "net/connection.h"
#include "net/dnscache.h"

DnsblSection* dnsbl_section = nullptr;

time_t (*dnsbl_clock)(time_t*) = time;

namespace {

// Size of a query name's buffer; a longer name is no DNS name and is not
// asked.
const size_t QUERY_NAME_SIZE = 1023;
// Chains of the failure memory.
const int FAILURE_CHAINS = 1021;

} // namespace

const char* dnsbl_domain(const char* host, size_t* length) {
    size_t end = strlen(host);
    // "www.example.com." names the same host as "www.example.com".
    if (end > 1 && host[end - 1] == '.')
        end--;
    int dots = 0;
    for (size_t i = end; i-- > 1;) {
        if (host[i] == '.' && ++dots == 2) {
            *length = end - i - 1;
            return host + i + 1;
        }
    }
    *length = end;
    return host;
}

DnsblSection::DnsblSection()
    : Section("dnsbl", SECTION_RWLOCK), failures_(hash_create(FAILURE_CHAINS)), failures_count_(0) {
    enabled = &global_field(0, FIELD_BOOL).value;
    template_name = &global_field(1, FIELD_STRING).text;
    zone = &global_field(2, FIELD_STRING).text;
    addresses = &global_field(3, FIELD_IP_RANGE_LIST).iplist;
    pthread_mutex_init(&failures_lock_, nullptr);
    update();
    processors.Add(dnsbl_reqcheck, PROCESSOR_REQCHECK);
}

void DnsblSection::update() {
    auto fresh = std::make_shared<DnsblSettings>();
    fresh->active = *enabled == 1 && !zone->empty() && !addresses->empty();
    fresh->template_name = *template_name;
    fresh->zone = *zone;
    fresh->addresses = *addresses;
    settings_ = fresh;
}

bool DnsblSection::failure_remembered(const char* name, time_t now) const {
    pthread_mutex_lock(&failures_lock_);
    HASH_ENTRY* entry = hash_search(failures_, name);
    bool fresh = entry != nullptr && now >= entry->stamp && now - entry->stamp < DNSBL_FAILURE_TTL;
    if (entry != nullptr && !fresh) {
        hash_purge(failures_, name);
        failures_count_--;
    }
    pthread_mutex_unlock(&failures_lock_);
    return fresh;
}

void DnsblSection::failure_remember(const char* name, time_t now) const {
    pthread_mutex_lock(&failures_lock_);
    HASH_ENTRY* entry = hash_search(failures_, name);
    if (entry == nullptr && failures_count_ >= DNSBL_FAILURES_MAX)
        failures_count_ -= hash_expire_at(failures_, static_cast<unsigned>(DNSBL_FAILURE_TTL), now);
    if (entry == nullptr && failures_count_ < DNSBL_FAILURES_MAX) {
        char* value = xstrdup("");
        if (value == nullptr)
            FATAL_ALLOC("src/dnsbl", 1);
        entry = hash_insert(failures_, name, value);
        failures_count_++;
    }
    if (entry != nullptr)
        entry->stamp = now;
    pthread_mutex_unlock(&failures_lock_);
}

int DnsblSection::check_and_block(CONNECTION_T* connection) const {
    const HEADER* request = connection->request;
    if (request == nullptr || request->host == nullptr || request->host[0] == '\0')
        return 0;
    read_lock();
    std::shared_ptr<const DnsblSettings> settings = settings_;
    unlock();
    if (!rule_section_takes_part(settings->active, connection, BYPASS_DNSBL))
        return 0;

    size_t length;
    const char* domain = dnsbl_domain(request->host, &length);
    char query[QUERY_NAME_SIZE];
    if (length + 1 + settings->zone.size() >= sizeof query)
        return 0;
    memcpy(query, domain, length);
    query[length] = '.';
    memcpy(query + length + 1, settings->zone.c_str(), settings->zone.size() + 1);

    time_t now = dnsbl_clock(nullptr);
    if (failure_remembered(query, now))
        return 0;
    HOSTENT* answer = net_dns(query);
    if (answer == nullptr) {
        failure_remember(query, now);
        return 0;
    }
    char address[INET_ADDRSTRLEN];
    bool written = inet_ntop(AF_INET, answer->addr, address, sizeof address) != nullptr;
    hostent_free(answer);
    if (!written || !settings->addresses.has(address))
        return 0;

    BlockNotice notice;
    notice.label = "DNS BlackList";
    notice.variables.emplace_back("DNSBL_IP", address);
    notice.page = block_page_choose("", settings->template_name, "blocked");
    notice.filter_name = "DNSBL";
    notice.log_reason = address;
    block_send(connection, notice);
    putlog(LOG_DNSBL, "domain %s is blacklisted", request->host);
    return 1;
}

int dnsbl_reqcheck(CONNECTION_T* connection, Filebuf*) {
    return dnsbl_section->check_and_block(connection);
}
