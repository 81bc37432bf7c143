#include "filter/cookie_filter.h"

#include <strings.h>
#include <time.h>

#include "core/log.h"

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

// Layouts of a cookie's expires date, tried in this order; the last is the
// HTTP date of RFC 1123.
const char* const EXPIRY_LAYOUTS[] = {
    "%a, %d-%b-%Y %H:%M:%S GMT",
    "%a, %d-%b-%y %H:%M:%S GMT",
    "%a, %d %b %Y %T GMT",
};

const char EXPIRY_BUILD_LAYOUT[] = "%a, %d-%b-%Y %H:%M:%S GMT";

bool parse_expiry(const std::string& text, struct tm* out)
{
    for (const char* layout : EXPIRY_LAYOUTS) {
        struct tm broken = {};
        if (strptime(text.c_str(), layout, &broken) == NULL)
            continue;
        // A two-digit year read by the first layout is a year of this era
        // (70-99 the 1900s, 00-69 the 2000s), not of the first century.
        int year = broken.tm_year + 1900;
        if (year >= 0 && year < 100)
            broken.tm_year = year < 70 ? year + 100 : year;
        *out = broken;
        return true;
    }
    return false;
}

} // namespace

CookieHeader::CookieHeader(std::string value)
{
    Parse(std::move(value));
}

void CookieHeader::Parse(std::string value)
{
    version.clear();
    has_version = false;
    has_expiry = false;
    flags.clear();
    size_t start = 0;
    while (start < value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos)
            end = value.size();
        std::string item = trimmed(value.substr(start, end - start));
        start = end + 1;
        // Request cookies write their attributes as "$Path", "$Version".
        size_t name_start = item.find_first_not_of(" \t$");
        if (name_start == std::string::npos)
            continue;
        item.erase(0, name_start);
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
        } else if (strcasecmp(name.c_str(), "version") == 0) {
            version = content;
            has_version = true;
        } else if (strcasecmp(name.c_str(), "expires") == 0 && parse_expiry(content, &expiry)) {
            has_expiry = true;
        } else {
            if (strcasecmp(name.c_str(), "expires") == 0)
                putlog(LOG_WARNING, "failed to parse cookie expiry time: %s", content.c_str());
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
    if (text.empty())
        return text;
    if (has_domain)
        text += "; domain=" + domain;
    if (has_path)
        text += "; path=" + path;
    if (has_expiry) {
        char date[64];
        if (strftime(date, sizeof date, EXPIRY_BUILD_LAYOUT, &expiry) > 0)
            text += std::string("; expires=") + date;
    }
    if (has_version)
        text += "; version=" + version;
    for (const std::string& flag : flags)
        text += "; " + flag;
    return text;
}
