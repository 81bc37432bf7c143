// The rule pattern the filter sections share; see rules.h.
#include "filter/rules.h"

#include <stdlib.h>
#include <string.h>

#include "auth/profiles.h"
#include "core/access_log.h"
#include "core/filebuf.h"
#include "core/misc.h"
#include "core/regexp.h"
#include "http/header.h"
#include "iface/interface.h"
#include "iface/templates.h"
#include "net/connection.h"

namespace {

enum { R_ENABLED, R_COMMENT, R_GROUPS, R_PROFILES };

// Appends the text HTML-escaped (Addf would cut a long path).
void add_escaped(Filebuf* page, const char* text) {
    char* escaped = string_to_html(text == nullptr ? "" : text, 0, 0);
    page->Add(escaped, static_cast<unsigned>(strlen(escaped)));
    free(escaped);
}

} // namespace

RuleScope::RuleScope() : enabled(1) {}

RuleScope::RuleScope(const Item& item)
    : enabled(item.fields.at(R_ENABLED).value),
      comment(item.fields.at(R_COMMENT).text),
      groups(item.fields.at(R_GROUPS).list),
      profiles(item.fields.at(R_PROFILES).list) {}

bool RuleScope::applies(const CONNECTION_T* connection) const {
    // Most rules name no one: every connection, without a call per rule.
    if (groups.empty() && profiles.empty())
        return enabled != 0;
    return enabled != 0 && profile_find(connection->user_groups, groups) &&
           profile_find(connection->profiles, profiles);
}

RulePattern::RulePattern(const Item& item, size_t position) : text_(item.fields.at(position).text) {
    if (text_.empty())
        return;
    item.pattern_check(position);
    reg_pattern_t* compiled = reg_compile(text_.c_str(), REGEXP_ICASE);
    // It compiled a moment ago; only memory could fail, and that is fatal.
    if (compiled != nullptr)
        compiled_.reset(compiled, [](const reg_pattern_t* pattern) {
            reg_free(const_cast<reg_pattern_t*>(pattern));
        });
}

bool RulePattern::matches(const char* text) const {
    return compiled_ == nullptr || reg_exec(compiled_.get(), text == nullptr ? "" : text) == 0;
}

bool RulePattern::matches(const char* text, const SlotSet& candidates) const {
    if (slot_ >= 0 && !candidates.has(static_cast<size_t>(slot_)))
        return false;
    return matches(text);
}

SubstitutionPattern::SubstitutionPattern(const Item& item, size_t position, int options)
    : text_(item.fields.at(position).text) {
    if (text_.empty())
        return;
    item.substitution_check(position, options);
    regex_sub_t* compiled = reg_sub_compile(text_.c_str(), options);
    if (compiled != nullptr)
        compiled_.reset(compiled, [](const regex_sub_t* pattern) {
            reg_sub_free(const_cast<regex_sub_t*>(pattern));
        });
}

bool RulePattern::matches(const char* text, size_t length, const SlotSet& candidates) const {
    if (compiled_ == nullptr)
        return true;
    if (slot_ >= 0 && !candidates.has(static_cast<size_t>(slot_)))
        return false;
    return reg_exec_n(compiled_.get(), text, length) == 0;
}

void RulePatternSet::clear() {
    index_ = LiteralIndex();
    count_ = 0;
}

void RulePatternSet::add(RulePattern& pattern) {
    pattern.slot_ = -1;
    if (!pattern.present())
        return;
    std::string literal = required_literal(pattern.text_);
    if (literal.empty())
        return;
    pattern.slot_ = static_cast<long>(count_);
    index_.add(literal, count_++);
}

void RulePatternSet::build() {
    index_.build();
}

void RulePatternSet::scan(const char* text, SlotSet& candidates) const {
    if (count_ == 0)
        return; // no pattern has a slot to look up
    index_.scan(text == nullptr ? "" : text, candidates);
}

void RulePatternSet::scan(const char* text, size_t length, SlotSet& candidates) const {
    if (count_ == 0)
        return;
    index_.scan(text, length, candidates);
}

bool rule_section_takes_part(int enabled, const CONNECTION_T* connection, unsigned bypass_bit) {
    return enabled != 0 && (connection->bypass & bypass_bit) == 0;
}

std::string block_page_choose(const std::string& rule_page, const std::string& section_page,
                              const char* builtin) {
    if (!rule_page.empty())
        return rule_page;
    if (!section_page.empty())
        return section_page;
    return builtin;
}

bool block_send(CONNECTION_T* connection, const BlockNotice& notice, int status) {
    template_variables& variables = connection->variables;
    variables.erase("FILTER");
    variables.erase("REASON");
    for (const auto& variable : notice.variables)
        variables.erase(variable.first);
    variables["FILTER"] = notice.label;
    if (notice.has_reason)
        variables["REASON"] = notice.reason;
    for (const auto& variable : notice.variables)
        variables[variable.first] = variable.second;
    // A refusal is answered with the status its record shows: a success
    // status would tell a client that the page is the resource it asked for
    // (and a CONNECT client that its tunnel is open, so that it would take
    // the page for the server's bytes and never show it). A template entry
    // may still name a status of its own.
    if (status >= 200 && status < 300)
        status = 403;
    bool sent = template_section != nullptr &&
                template_section->send(notice.page.c_str(), connection, status) == 1;
    // After the send, whose own record of a direct answer these replace; the
    // status stays the one the page went out with.
    LogEntry& record = connection->log;
    record.filter_name = notice.filter_name;
    record.filtering_reason = notice.log_reason;
    record.set_cachecode(CACHECODE_TCP_DENIED)->set_peercode(PEERCODE_DIRECT);
    record.peer = "kestrivan";
    if (!sent)
        record.status = 403;
    return sent;
}

VerdictPage::VerdictPage(CONNECTION_T* connection, const char* what)
    : connection_(connection), page_(new Filebuf()) {
    const HEADER* request = connection->request;
    const char* host = request != nullptr ? request->host : nullptr;
    const char* path = request != nullptr ? request->path : nullptr;
    page_->Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page_->Addf("<html><head><title>%s match for ", what);
    add_escaped(page_, host);
    add_escaped(page_, path);
    page_->Addf("</title></head><body>\n");
    if (template_section != nullptr)
        interface_stylesheet(connection, page_);
    page_->Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">"
                "<tr><td align=\"center\">\n");
    page_->Addf("<table class=\"dialog\">\n");
    page_->Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">%s match for ", what);
    add_escaped(page_, host);
    add_escaped(page_, path);
    page_->Addf("</td></tr>\n");
}

VerdictPage::~VerdictPage() {
    delete page_;
}

void VerdictPage::verdict(bool refused, const Item* item) {
    if (!refused)
        page_->Addf("<tr><td align=\"center\" colspan=\"2\">None</td></tr>\n");
    else if (item != nullptr)
        item->display(page_, 0);
    else
        page_->Addf("<tr><td align=\"center\" colspan=\"2\">Built-in default rule: no allow rule "
                    "matched</td></tr>\n");
}

void VerdictPage::send() {
    page_->Addf("</table></td></tr></table></body></html>\n");
    interface_send_response(connection_, page_);
}
