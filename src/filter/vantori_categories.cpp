#include "filter/vantori_categories.h"

const vantori_category_t vantori_categories[VANTORI_NAMED_CATEGORIES] = {
    {"ads", "Ads"},
    {"adult", "Adult"},
    {"adult_education", "Adult Education"},
    {"arts", "Arts"},
    {"chat", "Chat"},
    {"drugs", "Drugs"},
    {"education", "Education"},
    {"fileshare", "Fileshare"},
    {"finance", "Finance"},
    {"gambling", "Gambling"},
    {"games", "Games"},
    {"government", "Government"},
    {"hacking", "Hacking"},
    {"hate", "Hate"},
    {"highrisk", "Highrisk"},
    {"housekeeping", "Housekeeping"},
    {"instantmessaging", "Instantmessaging"},
    {"jobs", "Jobs"},
    {"leisure", "Leisure"},
    {"mail", "Mail"},
    {"multimedia", "Multimedia"},
    {"news", "News"},
    {"porn", "Porn"},
    {"proxy", "Proxy"},
    {"searchengines", "Searchengines"},
    {"shopping", "Shopping"},
    {"social", "Social"},
    {"sports", "Sports"},
    {"systemutils", "Systemutils"},
    {"travel", "Travel"},
    {"business", "Business"},
};

static std::map<std::string, int> category_table() {
    std::map<std::string, int> table;
    for (int number = 0; number < VANTORI_NAMED_CATEGORIES; number++)
        table[vantori_categories[number].name] = number;
    return table;
}

const std::map<std::string, int> data = category_table();

int vantori_category_number(const char* name) {
    if (name == nullptr)
        return -1;
    auto found = data.find(name);
    return found != data.end() ? found->second : -1;
}
