#include "filter/cookie_filter.h"

#include <strings.h>

CookieSection* cookie_section = nullptr;

CookieSection::CookieSection() : Section("cookies-filtering", SECTION_RWLOCK) {}

int CookieSection::check(int, CONNECTION_T*, CookieHeader&)
{
    return 1;
}

namespace {

std::string trimmed(const std::string& text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

} // namespace

CookieHeader::CookieHeader(std::string value)
{
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos)
            end = value.size();
        std::string item = trimmed(value.substr(start, end - start));
        start = end + 1;
        if (item.empty())
            continue;
        size_t equals = item.find('=');
        if (equals == std::string::npos) {
            flags.push_back(item);
            continue;
        }
        std::string name = trimmed(item.substr(0, equals));
        std::string content = trimmed(item.substr(equals + 1));
        if (strcasecmp(name.c_str(), "domain") == 0) {
            domain = content;
            has_domain = true;
        } else if (strcasecmp(name.c_str(), "path") == 0) {
            path = content;
            has_path = true;
        } else if (strcasecmp(name.c_str(), "expires") == 0) {
            expires = content;
            has_expires = true;
        } else if (strcasecmp(name.c_str(), "version") == 0) {
            version = content;
            has_version = true;
        } else {
            pairs.emplace_back(name, content);
        }
    }
}

std::string CookieHeader::Build() const
{
    std::string text;
    for (const auto& pair : pairs) {
        if (!text.empty())
            text += "; ";
        text += pair.first + "=" + pair.second;
    }
    if (has_domain)
        text += "; domain=" + domain;
    if (has_path)
        text += "; path=" + path;
    if (has_expires)
        text += "; expires=" + expires;
    if (has_version)
        text += "; version=" + version;
    for (const std::string& flag : flags)
        text += "; " + flag;
    return text;
}
