// Keyword scoring; see keyword.h.
#include "filter/keyword.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>

#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "filter/keyword_text.h"
#include "http/header.h"
#include "http/url_commands.h"
#include "iface/command_pages.h"
#include "net/connection.h"

KeywordSection* keyword_section = nullptr;

namespace {

enum { K_MIME_TYPE = 4, K_KEYWORD = 5, K_SCORE = 6 };
enum { G_ENABLED = 0, G_THRESHOLD = 1, G_TEMPLATE = 2 };

const char* content_type_of(const CONNECTION_T* connection) {
    const HEADER* response = connection->response;
    return response != nullptr && response->content_type != nullptr ? response->content_type : "";
}

int saturated(int64_t sum) {
    if (sum > INT_MAX)
        return INT_MAX;
    if (sum < INT_MIN)
        return INT_MIN;
    return static_cast<int>(sum);
}

} // namespace

Keyword::Keyword(const Item& item)
    : RuleScope(item),
      mime_type(item, K_MIME_TYPE),
      keyword(item, K_KEYWORD),
      score(item.fields.at(K_SCORE).value) {}

KeywordSection::KeywordSection() : Section("keywords-filtering", SECTION_RWLOCK) {
    enabled = &global_field(G_ENABLED, FIELD_BOOL).value;
    threshold = &global_field(G_THRESHOLD, FIELD_INT).value;
    template_name = &global_field(G_TEMPLATE, FIELD_STRING).text;
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING_LIST, FIELD_STRING,
                      FIELD_STRING, FIELD_INT});
    processors.Add(keyword_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(keyword_buffcheck, PROCESSOR_BUFFCHECK);
    hooks.Add(keyword_prerespmod, HOOK_PRERESPMOD);
}

KeywordSection::~KeywordSection() {
    rules.clear();
}

void KeywordSection::update() {
    // Built aside first: a rule that cannot be built throws and the rules in
    // force stay as they were.
    std::list<Keyword> rebuilt;
    for (const Item& item : subsections.at(0).items)
        rebuilt.emplace_back(item);
    rules.swap(rebuilt);
    keyword_patterns.clear();
    for (Keyword& rule : rules)
        keyword_patterns.add(rule.keyword);
    keyword_patterns.build();
}

bool KeywordSection::takes_part(const CONNECTION_T* connection) const {
    return rule_section_takes_part(*enabled, connection, BYPASS_KEYWORD_FILTER);
}

bool KeywordSection::check_match(CONNECTION_T* connection) {
    read_lock();
    bool wanted = false;
    if (takes_part(connection)) {
        const char* content_type = content_type_of(connection);
        for (const Keyword& rule : rules)
            if (rule.keyword.present() && rule.applies(connection) &&
                rule.mime_type.matches(content_type)) {
                wanted = true;
                break;
            }
    }
    unlock();
    return wanted;
}

int KeywordSection::score_locked(CONNECTION_T* connection, const Filebuf* body) const {
    if (!takes_part(connection))
        return 0;
    const char* content_type = content_type_of(connection);
    // One of each per worker, so that scoring allocates nothing once they
    // have grown.
    thread_local SlotSet candidates;
    thread_local std::string scratch;
    keyword_text_t text = {"", 0};
    if (body != nullptr) {
        text = keyword_text(content_type, body->data != nullptr ? body->data : "", body->size,
                            scratch);
        keyword_patterns.scan(text.data, text.length, candidates);
    }
    int64_t sum = 0;
    for (const Keyword& rule : rules) {
        if (!rule.applies(connection) || !rule.mime_type.matches(content_type))
            continue;
        if (body != nullptr && !rule.keyword.matches(text.data, text.length, candidates))
            continue;
        sum += rule.score;
    }
    return saturated(sum);
}

int KeywordSection::check(CONNECTION_T* connection, const Filebuf* body) {
    read_lock();
    int score = score_locked(connection, body);
    unlock();
    return score;
}

bool KeywordSection::check_and_block(CONNECTION_T* connection, const Filebuf* body) {
    read_lock();
    int score = score_locked(connection, body);
    int limit = *threshold;
    BlockNotice notice;
    notice.page = block_page_choose("", *template_name, "blocked");
    unlock();
    if (score == 0)
        return false;
    connection->variables["THRESHOLD"] = std::to_string(limit);
    connection->variables["SCORE"] = std::to_string(score);
    if (score < limit)
        return false;

    char reason[128];
    snprintf(reason, sizeof reason, "score: %d exceeded threshold: %d", score, limit);
    putlog(LOG_KEYWORDFILTER, "blocked: [IP: %s] score:%d threshold:%d",
           connection->client_ip != nullptr ? connection->client_ip : "", score, limit);
    notice.label = "KeyWord Filter";
    notice.has_reason = true;
    notice.reason = reason;
    notice.filter_name = "keyword-filter";
    notice.log_reason = std::to_string(score);
    block_send(connection, notice);
    return true;
}

int keyword_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return keyword_section != nullptr && keyword_section->check_match(connection) ? 1 : 0;
}

int keyword_respcheck(CONNECTION_T* connection, Filebuf* body) {
    return keyword_section != nullptr && keyword_section->check_and_block(connection, body) ? 1 : 0;
}

int keyword_prerespmod(void* connection, void* body) {
    CONNECTION_T* served = static_cast<CONNECTION_T*>(connection);
    if (keyword_section == nullptr || url_command_find(served->url_commands, "score") == nullptr)
        return 0;
    score_show(served, keyword_section->check(served, static_cast<Filebuf*>(body)));
    return 1;
}
