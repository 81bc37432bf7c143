// The rewrite rules; see rewrite.h.
#include "filter/rewrite.h"

#include <vector>

#include "auth/profiles.h"
#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/regexp.h"
#include "http/header.h"
#include "net/connection.h"

RewriteSection* rewrite_section = nullptr;

namespace {

enum { W_ENABLED, W_COMMENT, W_PROFILES, W_MIME_TYPE, W_PATTERN, W_REPLACEMENT, W_TARGETS };

const char* target_word(int type) {
    switch (type) {
    case REWRITE_CLIENT_HEADER: return "client header";
    case REWRITE_SERVER_HEADER: return "server header";
    case REWRITE_BODY: return "body";
    default: return "post body";
    }
}

bool header_target(int type) {
    return type == REWRITE_CLIENT_HEADER || type == REWRITE_SERVER_HEADER;
}

} // namespace

Rewrite::Rewrite(const Item& entry)
    : enabled(entry.fields.at(W_ENABLED).value),
      comment(entry.fields.at(W_COMMENT).text),
      profiles(entry.fields.at(W_PROFILES).list),
      mime_type(entry, W_MIME_TYPE),
      pattern(entry, W_PATTERN),
      replacement(entry.fields.at(W_REPLACEMENT).text),
      targets(entry.fields.at(W_TARGETS).value) {}

bool Rewrite::applies(const CONNECTION_T* connection, int type) const {
    if (enabled == 0 || (targets & type) == 0)
        return false;
    if (!profiles.empty() && !profile_find(connection->profiles, profiles))
        return false;
    // The request header has been taken apart for the header stage: no
    // content type is known then.
    if (connection->request == nullptr || !mime_type.present())
        return true;
    const char* content_type = "";
    if (type == REWRITE_BODY && connection->response != nullptr &&
        connection->response->content_type != nullptr)
        content_type = connection->response->content_type;
    return mime_type.matches(content_type);
}

RewriteSection::RewriteSection() : Section("rewrite", SECTION_RWLOCK) {
    enabled = &global_field(0, FIELD_BOOL).value;
    subsection_at(0, {FIELD_BOOL, FIELD_STRING, FIELD_STRING_LIST, FIELD_STRING, FIELD_STRING,
                      FIELD_STRING, FIELD_STRING_SELECT_MANY});
    processors.Add(rewrite_reqmod, PROCESSOR_REQMOD);
    processors.Add(rewrite_respmod, PROCESSOR_RESPMOD);
    processors.Add(rewrite_buffcheck, PROCESSOR_BUFFCHECK);
    processors.Add(rewrite_reqheader, PROCESSOR_REQHEADER);
    processors.Add(rewrite_respheader, PROCESSOR_RESPHEADER);
}

void RewriteSection::update() {
    std::list<Rewrite> rebuilt;
    for (const Item& item : subsections.at(0).items)
        rebuilt.emplace_back(item);
    rules.swap(rebuilt);
}

int RewriteSection::rewrite_do(CONNECTION_T* connection, Filebuf* text, int type) {
    read_lock();
    if (!rule_section_takes_part(*enabled, connection, BYPASS_REWRITE)) {
        unlock();
        return 0;
    }
    // A header comes with the NUL that ends it for the parser: it is no
    // part of the text the rules see, and goes back after them.
    bool terminated = header_target(type) && text->size > 0 && text->data[text->size - 1] == '\0';
    bool applied = false;
    for (const Rewrite& rule : rules) {
        if (!rule.pattern.present() || !rule.applies(connection, type))
            continue;
        if (!applied && terminated)
            text->Resize(static_cast<int>(text->size) - 1);
        applied = true;
        int matches = reg_replace(text, rule.pattern.get(), rule.replacement.c_str(),
                                  connection->variables);
        if (matches > 0)
            putlog(LOG_REWRITE, "%s matched %d times in %s", rule.pattern.text().c_str(), matches,
                   target_word(type));
    }
    if (applied && terminated)
        text->Add("", 1);
    unlock();
    return applied ? 1 : 0;
}

int RewriteSection::check_match(CONNECTION_T* connection, int type) {
    read_lock();
    int found = 0;
    if (rule_section_takes_part(*enabled, connection, BYPASS_REWRITE))
        for (const Rewrite& rule : rules)
            if (rule.pattern.present() && rule.applies(connection, type)) {
                found = 1;
                break;
            }
    unlock();
    return found;
}

int rewrite_reqmod(CONNECTION_T* connection, Filebuf* body) {
    if (rewrite_section != nullptr && body != nullptr && body->size > 0)
        rewrite_section->rewrite_do(connection, body, REWRITE_POST_BODY);
    return 0;
}

int rewrite_respmod(CONNECTION_T* connection, Filebuf* body) {
    if (rewrite_section != nullptr && body != nullptr)
        rewrite_section->rewrite_do(connection, body, REWRITE_BODY);
    return 1;
}

int rewrite_buffcheck(CONNECTION_T* connection, Filebuf*) {
    return rewrite_section != nullptr ? rewrite_section->check_match(connection, REWRITE_BODY) : 0;
}

int rewrite_reqheader(CONNECTION_T* connection, Filebuf* text) {
    if (rewrite_section != nullptr && text != nullptr)
        rewrite_section->rewrite_do(connection, text, REWRITE_CLIENT_HEADER);
    return 1;
}

int rewrite_respheader(CONNECTION_T* connection, Filebuf* text) {
    if (rewrite_section != nullptr && text != nullptr)
        rewrite_section->rewrite_do(connection, text, REWRITE_SERVER_HEADER);
    return 1;
}
