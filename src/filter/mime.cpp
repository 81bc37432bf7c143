// The MIME filter; see mime.h.
#include "filter/mime.h"

#include "core/log.h"
#include "http/header.h"
#include "http/url.h"
#include "net/connection.h"

MimeSection* mime_section = nullptr;

namespace {

enum { M_HOST = 4, M_PATH = 5, M_MIME_TYPE = 6, M_TEMPLATE = 7 };
enum { G_TEMPLATE = 2 };

const char* or_empty(const char* text) {
    return text != nullptr ? text : "";
}

} // namespace

Mime::Mime(const Item& entry)
    : RuleScope(entry),
      item(&entry),
      host(entry, M_HOST),
      path(entry, M_PATH),
      mime_type(entry, M_MIME_TYPE),
      template_name(entry.fields.at(M_TEMPLATE).text) {}

MimeSection::MimeSection() : RuleSection<Mime>("mime-filtering", BYPASS_MIME_FILTER) {
    template_name = &global_field(G_TEMPLATE, FIELD_STRING).text;
    const std::vector<int> rule_fields = {FIELD_BOOL,   FIELD_STRING, FIELD_STRING_LIST,
                                          FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING,
                                          FIELD_STRING, FIELD_STRING};
    subsection_at(0, rule_fields);
    subsection_at(1, rule_fields);
}

void MimeSection::update() {
    rules_rebuild();
}

const Mime* MimeSection::check(CONNECTION_T* connection) const {
    const HEADER* request = connection->request;
    if (!takes_part(connection) || request == nullptr)
        return nullptr;
    const HEADER* response = connection->response;
    const char* content_type = response != nullptr ? response->content_type : nullptr;
    const char* host = or_empty(request->host);
    std::string scratch;
    const char* path = url_path_unreserved(or_empty(request->path), scratch);
    RuleVerdict<Mime> verdict = decide([&](const Mime& rule, rule_list_t) {
        if (!rule.applies(connection) || !rule.host.matches(host) || !rule.path.matches(path))
            return RULE_NO_MATCH;
        if (rule.mime_type.present() && content_type == nullptr)
            return RULE_NO_MATCH;
        return rule.mime_type.matches(content_type) ? RULE_MATCH : RULE_NO_MATCH;
    });
    if (!verdict.refused)
        return nullptr;
    return verdict.rule != nullptr ? verdict.rule : &default_rule;
}

int MimeSection::check_and_block(CONNECTION_T* connection) {
    BlockNotice notice;
    read_lock();
    const Mime* rule = check(connection);
    if (rule != nullptr)
        notice.page = block_page_choose(rule->template_name, *template_name, "blocked");
    unlock();
    if (rule == nullptr)
        return 1;
    const HEADER* request = connection->request;
    const HEADER* response = connection->response;
    const char* content_type = response != nullptr ? response->content_type : nullptr;
    const char* type = content_type != nullptr ? content_type : "(none)";
    putlog(LOG_MIMEFILTER, "blocked: mime-type %s from %s%s", type, or_empty(request->host),
           or_empty(request->path));
    putlog(LOG_MIMEFILTER, "blocked: [IP: %s] %s", or_empty(connection->client_ip), type);
    notice.label = "MiMe Filter";
    notice.has_reason = true;
    notice.reason = type;
    notice.variables.emplace_back("MIME", content_type != nullptr ? content_type : "(UNKNOWN)");
    notice.filter_name = "mime-filter";
    notice.log_reason = type;
    block_send(connection, notice);
    return 0;
}

int MimeSection::check_show(CONNECTION_T* connection) {
    VerdictPage page(connection, "MIME filter");
    read_lock();
    const Mime* rule = check(connection);
    page.verdict(rule != nullptr, rule != nullptr ? rule->item : nullptr);
    unlock();
    page.send();
    return 0;
}
