// The URL filter; see filter.h.
#include "filter/filter.h"

#include <arpa/inet.h>

#include "core/extensions.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/url.h"
#include "net/connection.h"
#include "net/dnscache.h"

FilterSection* filter_section = nullptr;

namespace {

enum { F_HOST = 4, F_PATH = 5, F_ADDRESSES = 6, F_TEMPLATE = 7 };
enum { G_TEMPLATE = 2 };

const char* or_empty(const char* text) {
    return text != nullptr ? text : "";
}

// The address test of one rule (see filter.h).
rule_test_t address_test(const Filter& rule, const CONNECTION_T* connection,
                         const DestinationAddress& address, rule_list_t list) {
    if (rule.addresses.empty() || (connection->flags & CONN_OFFLINE))
        return RULE_MATCH;
    switch (address.state) {
    case DestinationAddress::UNKNOWN:
        return RULE_PENDING;
    case DestinationAddress::FAILED:
        return list == RULE_LIST_DENY ? RULE_MATCH : RULE_NO_MATCH;
    default:
        return rule.addresses.has(address.text) ? RULE_MATCH : RULE_NO_MATCH;
    }
}

} // namespace

Filter::Filter(const Item& entry)
    : RuleScope(entry),
      item(&entry),
      host(entry, F_HOST),
      path(entry, F_PATH),
      addresses(entry.fields.at(F_ADDRESSES).text),
      template_name(entry.fields.at(F_TEMPLATE).text) {}

void DestinationAddress::resolve(const char* host) {
    HOSTENT* found = host != nullptr ? net_dns(host) : nullptr;
    state = FAILED;
    if (found == nullptr)
        return;
    if (inet_ntop(AF_INET, found->addr, text, sizeof text) != nullptr)
        state = RESOLVED;
    hostent_free(found);
}

FilterSection::FilterSection() : RuleSection<Filter>("url-filtering", BYPASS_URL_FILTER) {
    template_name = &global_field(G_TEMPLATE, FIELD_STRING).text;
    const std::vector<int> rule_fields = {FIELD_BOOL,        FIELD_STRING, FIELD_STRING_LIST,
                                          FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING,
                                          FIELD_IP_RANGE_LIST, FIELD_STRING};
    subsection_at(0, rule_fields);
    subsection_at(1, rule_fields);
    processors.Add(filter_reqcheck, PROCESSOR_REQCHECK);
}

void FilterSection::update() {
    rules_rebuild();
    host_patterns.clear();
    path_patterns.clear();
    for (std::list<Filter>* list : {&allow, &deny})
        for (Filter& rule : *list) {
            host_patterns.add(rule.host);
            path_patterns.add(rule.path);
        }
    host_patterns.build();
    path_patterns.build();
}

const Filter* FilterSection::check(CONNECTION_T* connection, const DestinationAddress& address,
                                   bool& address_needed) const {
    address_needed = false;
    const HEADER* request = connection->request;
    if (!takes_part(connection) || request == nullptr)
        return nullptr;
    const char* host = or_empty(request->host);
    // Decoded only when the path holds an escape worth decoding.
    std::string scratch;
    const char* path = url_path_unreserved(or_empty(request->path), scratch);
    // One per worker, so that a request allocates nothing once they have grown.
    thread_local SlotSet host_candidates, path_candidates;
    host_patterns.scan(host, host_candidates);
    path_patterns.scan(path, path_candidates);
    RuleVerdict<Filter> verdict = decide([&](const Filter& rule, rule_list_t list) {
        if (!rule.applies(connection) || !rule.host.matches(host, host_candidates) ||
            !rule.path.matches(path, path_candidates))
            return RULE_NO_MATCH;
        return address_test(rule, connection, address, list);
    });
    if (verdict.pending) {
        address_needed = true;
        return nullptr;
    }
    if (!verdict.refused)
        return nullptr;
    return verdict.rule != nullptr ? verdict.rule : &default_rule;
}

template <class Decided>
void FilterSection::with_verdict(CONNECTION_T* connection, Decided&& decided) {
    DestinationAddress address;
    for (;;) {
        bool address_needed;
        read_lock();
        const Filter* rule = check(connection, address, address_needed);
        if (!address_needed) {
            decided(rule);
            unlock();
            return;
        }
        unlock();
        // Resolved or failed from now on, so the next round decides.
        address.resolve(connection->request->host);
    }
}

int FilterSection::check_and_block(CONNECTION_T* connection) {
    bool refused = false;
    BlockNotice notice;
    with_verdict(connection, [&](const Filter* rule) {
        if (rule == nullptr)
            return;
        refused = true;
        notice.page = block_page_choose(rule->template_name, *template_name, "blocked");
    });
    if (!refused)
        return 0;
    const HEADER* request = connection->request;
    putlog(LOG_URLFILTER, "[IP:%s] blocked: %s%s", or_empty(connection->client_ip),
           or_empty(request->host), or_empty(request->path));
    notice.label = "URL Filter";
    notice.filter_name = "url-filter";
    block_send(connection, notice);
    return 1;
}

int FilterSection::check_show(CONNECTION_T* connection) {
    VerdictPage page(connection, "URL filter");
    with_verdict(connection, [&](const Filter* rule) {
        page.verdict(rule != nullptr, rule != nullptr ? rule->item : nullptr);
    });
    page.send();
    return 0;
}

int filter_reqcheck(CONNECTION_T* connection, Filebuf*) {
    return filter_section != nullptr ? filter_section->check_and_block(connection) : 0;
}
