#include "config/section.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <iterator>

#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "core/regexp.h"

using tinyxml2::XMLElement;

tinyxml2::XMLDocument* sectionxml = nullptr;

std::map<std::string, Section*> Section::map;

int Item::count = 0;

// ---- Item, ItemList, Subsection -------------------------------------------

namespace {

int next_item_id() {
    // Entries are built under different section locks at the same time.
    return __atomic_fetch_add(&Item::count, 1, __ATOMIC_SEQ_CST);
}

} // namespace

Item::Item(const Subsection& owner, const XmlElement* cursor)
    : id(next_item_id()), section(owner.section), subsection(owner.name), fields(owner.fields) {
    if (cursor == nullptr)
        return;
    for (Field& field : fields)
        field.load(*cursor);
}

Item::Item(const Item& other)
    : id(next_item_id()), section(other.section), subsection(other.subsection),
      fields(other.fields) {}

int Item::id_get() const {
    return id;
}

void Item::pattern_check(size_t position) const {
    const Field& field = fields.at(position);
    if (field.text.empty())
        return;
    std::string reason;
    if (!reg_check(field.text.c_str(), REGEXP_ICASE, &reason))
        pattern_refuse(field, reason);
}

void Item::substitution_check(size_t position, int options) const {
    const Field& field = fields.at(position);
    if (field.text.empty())
        return;
    std::string reason;
    if (!reg_sub_check(field.text.c_str(), options, &reason))
        pattern_refuse(field, reason);
}

void Item::pattern_refuse(const Field& field, const std::string& reason) const {
    char line[8192];
    snprintf(line, sizeof line,
             "section %s, element %s: %s must be a regular expression, but it is given value %s (%s)",
             section.c_str(), subsection.c_str(), field.name.c_str(), field.text.c_str(),
             reason.c_str());
    throw ConfigError(line);
}

Item* ItemList::find(const std::string& key) {
    for (Item& item : *this)
        for (const Field& field : item.fields)
            if (field.type == 9 && field.text == key)
                return &item;
    return nullptr;
}

Subsection::Subsection(bool enabled_, std::string section_, std::string name_,
                       std::string comment_, std::string desc_, const FieldVector& fields_)
    : enabled(enabled_), section(std::move(section_)), name(std::move(name_)),
      comment(std::move(comment_)), desc(std::move(desc_)), fields(fields_) {}

// ---- Construction: reading the definition -----------------------------------

namespace {

// A fault of the definition at section level: the message names the
// section and what is wrong; then the fatal-error sequence.
[[noreturn]] void section_fault(const std::string& section, const std::string& what, int line) {
    putlog(LOG_ERROR, "section-definition file, section %s: %s", section.c_str(), what.c_str());
    fatal_error("src/section", line, "Section", 0);
}

// The text of a required child element of `parent`.
std::string required_text(const std::string& section, const XMLElement* parent, const char* child,
                          const std::string& where, int line_missing, int line_no_text) {
    const XMLElement* found = parent->FirstChildElement(child);
    if (found == nullptr)
        section_fault(section, where + "element " + child + " is missing", line_missing);
    if (found->FirstChild() == nullptr)
        section_fault(section, where + "element " + child + " has no text", line_no_text);
    return xml_text(found);
}

// An optional flag: true when its text is "true" in any case; `absent`
// without the element; when present it must have text.
bool optional_flag(const std::string& section, const XMLElement* parent, const char* child,
                   bool absent, const std::string& where, int line_no_text) {
    const XMLElement* found = parent->FirstChildElement(child);
    if (found == nullptr)
        return absent;
    if (found->FirstChild() == nullptr)
        section_fault(section, where + "element " + child + " has no text", line_no_text);
    return strcasecmp(xml_text(found).c_str(), "true") == 0;
}

} // namespace

Section::Section(std::string name_, int lockmode_) : lockmode(lockmode_), name(std::move(name_)) {
    map[name] = this;
    if (lockmode == SECTION_MUTEX)
        pthread_mutex_init(&mutex, nullptr);
    putlog(LOG_DEBUG, "Validating Section: %s", name.c_str());
    read_definition();
}

void Section::read_definition() {
    const XMLElement* all =
        sectionxml != nullptr ? sectionxml->FirstChildElement("section") : nullptr;
    if (all == nullptr)
        section_fault(name, "the document has no element section", 986);
    const XMLElement* own = all->FirstChildElement(name.c_str());
    if (own == nullptr)
        section_fault(name, "the file has no element for this section", 987);

    comment = required_text(name, own, "comment", "", 990, 991);
    desc = required_text(name, own, "desc", "", 994, 995);

    FieldVector::ChoiceLists lists;
    if (const XMLElement* select = own->FirstChildElement("select")) {
        for (const XMLElement* list = select->FirstChildElement(); list != nullptr;
             list = list->NextSiblingElement()) {
            StringSelectVector choices;
            for (const XMLElement* choice = list->FirstChildElement(); choice != nullptr;
                 choice = choice->NextSiblingElement()) {
                std::string where =
                    std::string("choice list ") + list->Name() + ", choice " + choice->Name() + ": ";
                std::string label = choice->Value();
                if (choice->FirstChildElement("comment") != nullptr)
                    label = required_text(name, choice, "comment", where, 1018, 1018);
                bool selected = optional_flag(name, choice, "value", false, where, 1027);
                std::string tip = xml_text(choice->FirstChildElement("desc"));
                choices.emplace_back(choice->Name(), label, tip, selected);
            }
            lists[list->Name()] = choices; // a later list of that name replaces it
        }
    }

    const XMLElement* global = own->FirstChildElement("global");
    if (global == nullptr)
        section_fault(name, "element global is missing", 1045);
    globals.parse(*global, lists);

    std::map<std::string, FieldVector> templates;
    if (const XMLElement* all_templates = own->FirstChildElement("template"))
        for (const XMLElement* one = all_templates->FirstChildElement(); one != nullptr;
             one = one->NextSiblingElement())
            templates[one->Name()] = FieldVector(*one, lists);

    if (const XMLElement* all_subsections = own->FirstChildElement("subsection")) {
        for (const XMLElement* sub = all_subsections->FirstChildElement(); sub != nullptr;
             sub = sub->NextSiblingElement()) {
            std::string where = std::string("subsection ") + sub->Name() + ": ";
            std::string title = required_text(name, sub, "comment", where, 1070, 1071);
            std::string template_name = required_text(name, sub, "template", where, 1074, 1075);
            std::string text = required_text(name, sub, "desc", where, 1078, 1079);
            bool on = optional_flag(name, sub, "enabled", true, where, 1085);
            auto found = templates.find(template_name);
            subsections.emplace_back(on, name, sub->Name(), title, text,
                                     found != templates.end() ? found->second : FieldVector());
        }
    }
}

Section::~Section() {
    auto registered = map.find(name);
    if (registered != map.end() && registered->second == this)
        map.erase(registered);
    if (lockmode == SECTION_MUTEX)
        pthread_mutex_destroy(&mutex);
}

// ---- Binding checks -----------------------------------------------------------

namespace {

std::string type_word(int type) {
    static const char* const words[] = {
        "INT", "UINT", "BOOL", "STRING", "STRING_SELECT_ONE", "STRING_SELECT_MANY",
        "STRING_LIST", "IP_RANGE_LIST", "PORT_RANGE_LIST", "(code 9)", "STRING_RANGE",
        "INT_RANGE", "FILE_SIZE", "MULTILINE_STRING", "LONG_FILE_SIZE", "DOUBLE"};
    if (type < 0 || type >= static_cast<int>(sizeof words / sizeof words[0]))
        return "(code " + std::to_string(type) + ")";
    return words[type];
}

// Checks that `fields` holds a field of `type` at `position`.
void expect_field(const std::string& section, const std::string& where, const FieldVector& fields,
                  size_t position, int type) {
    if (position >= fields.size()) {
        putlog(LOG_ERROR,
               "section-definition file, section %s, %s: field %zu of type %s is missing (%zu "
               "fields declared)",
               section.c_str(), where.c_str(), position, type_word(type).c_str(), fields.size());
        fatal_error("src/section", __LINE__, "expect_field", 0);
    }
    if (fields[position].type != type) {
        putlog(LOG_ERROR,
               "section-definition file, section %s, %s: field %zu (%s) must be of type %s, but "
               "it is declared %s",
               section.c_str(), where.c_str(), position, fields[position].name.c_str(),
               type_word(type).c_str(), type_word(fields[position].type).c_str());
        fatal_error("src/section", __LINE__, "expect_field", 0);
    }
}

} // namespace

Field& Section::global_field(size_t position, int type) {
    expect_field(name, "global", globals, position, type);
    return globals[position];
}

Subsection& Section::subsection_at(size_t position, const std::vector<int>& field_types) {
    if (position >= subsections.size()) {
        putlog(LOG_ERROR,
               "section-definition file, section %s: subsection %zu is missing (%zu declared)",
               name.c_str(), position, subsections.size());
        fatal_error("src/section", __LINE__, "subsection_at", 0);
    }
    Subsection& sub = subsections[position];
    for (size_t k = 0; k < field_types.size(); ++k)
        expect_field(name, "subsection " + sub.name, sub.fields, k, field_types[k]);
    return sub;
}

// ---- Locks ---------------------------------------------------------------------

int Section::read_lock() const {
    return lockmode == SECTION_MUTEX ? pthread_mutex_lock(&mutex) : rwlock.read_lock();
}

int Section::write_lock() const {
    return lockmode == SECTION_MUTEX ? pthread_mutex_lock(&mutex) : rwlock.write_lock();
}

int Section::unlock() const {
    return lockmode == SECTION_MUTEX ? pthread_mutex_unlock(&mutex) : rwlock.unlock();
}

int Section::mutex_lock() const {
    if (lockmode != SECTION_MUTEX)
        fatal_error("src/section", 1117, "mutex_lock", 0);
    return pthread_mutex_lock(&mutex);
}

int Section::cond_wait(pthread_cond_t* cond) {
    if (lockmode != SECTION_MUTEX)
        fatal_error("src/section", 1163, "cond_wait", 0);
    return pthread_cond_wait(cond, &mutex);
}

int Section::cond_timedwait(pthread_cond_t* cond, timespec* deadline) {
    if (lockmode != SECTION_MUTEX)
        fatal_error("src/section", 1169, "cond_timedwait", 0);
    return pthread_cond_timedwait(cond, &mutex, deadline);
}

namespace {

template <typename T>
T read_under(const Section& section, const T* address) {
    section.read_lock();
    T copy = *address;
    section.unlock();
    return copy;
}

} // namespace

int Section::atomic_read(int* address) const {
    return read_under(*this, address);
}

unsigned int Section::atomic_read(unsigned int* address) const {
    return read_under(*this, address);
}

long Section::atomic_read(long* address) const {
    return read_under(*this, address);
}

unsigned long Section::atomic_read(unsigned long* address) const {
    return read_under(*this, address);
}

std::string Section::name_get() const {
    return read_under(*this, &name);
}

std::string Section::comment_get() const {
    return read_under(*this, &comment);
}

// ---- Lookups ---------------------------------------------------------------------

Subsection* Section::subsection_get(const std::string& wanted) {
    for (Subsection& sub : subsections)
        if (sub.name == wanted)
            return &sub;
    return nullptr;
}

ItemList::iterator Section::item_iterator_get(int id, int& found) {
    for (Subsection& sub : subsections)
        for (auto it = sub.items.begin(); it != sub.items.end(); ++it)
            if (it->id == id) {
                found = 1;
                return it;
            }
    found = 0;
    return ItemList::iterator();
}

Item* Section::item_get(int id) {
    int found = 0;
    ItemList::iterator it = item_iterator_get(id, found);
    return found ? &*it : nullptr;
}

// ---- Load and save -----------------------------------------------------------

void Section::load(tinyxml2::XMLDocument* doc, int mode) {
    XmlElement cursor(doc, name); // ConfigError: no element, nothing changes
    write_lock();
    try {
        // Everything is read into copies first: a malformed value leaves the
        // section exactly as it was.
        FieldVector loaded_globals = globals;
        for (Field& field : loaded_globals)
            field.load(cursor);
        std::vector<ItemList> loaded_items(subsections.size());
        for (size_t k = 0; k < subsections.size(); ++k)
            for (XmlElement entry(doc, name, subsections[k].name); entry.full(); entry.next()) {
                Item item(subsections[k], &entry);
                loaded_items[k].push_back(item);
            }

        // Commit. The global fields are assigned one by one so that the
        // pointers sections keep into them stay valid.
        FieldVector previous_globals = globals;
        for (size_t i = 0; i < globals.size(); ++i)
            globals[i] = loaded_globals[i];
        std::vector<ItemList> previous_items(subsections.size());
        std::vector<size_t> kept(subsections.size());
        for (size_t k = 0; k < subsections.size(); ++k) {
            ItemList& items = subsections[k].items;
            kept[k] = items.size();
            if (mode != 0)
                previous_items[k].swap(items);
            items.splice(items.end(), loaded_items[k]);
        }

        try {
            update();
        } catch (const ConfigError& refused) {
            putlog(LOG_ERROR, "%s", refused.what());
            for (size_t i = 0; i < globals.size(); ++i)
                globals[i] = previous_globals[i];
            for (size_t k = 0; k < subsections.size(); ++k) {
                ItemList& items = subsections[k].items;
                if (mode != 0) {
                    items.swap(previous_items[k]);
                } else {
                    auto appended = items.begin();
                    std::advance(appended, kept[k]);
                    items.erase(appended, items.end());
                }
            }
            try {
                update(); // the previous values were in force before
            } catch (const ConfigError& again) {
                putlog(LOG_ERROR, "%s", again.what());
            }
            throw;
        }
    } catch (...) {
        unlock();
        throw;
    }
    unlock();
}

void Section::save(tinyxml2::XMLDocument* doc) {
    read_lock();
    XMLElement* own = nullptr;
    try {
        own = section_select(doc, name.c_str());
    } catch (const ConfigError&) {
        // A section the document lacks is appended after the others.
        own = doc->NewElement(name.c_str());
        if (own == nullptr || doc->RootElement()->InsertEndChild(own) == nullptr)
            fatal_error("src/section", 1231, "save", 0);
    }
    own->DeleteChildren();
    globals.save(own);
    for (const Subsection& sub : subsections)
        for (const Item& item : sub.items) {
            XMLElement* entry = doc->NewElement(sub.name.c_str());
            if (entry == nullptr)
                fatal_error("src/section", 1231, "save", 0);
            item.fields.save(entry);
            if (own->InsertEndChild(entry) == nullptr)
                fatal_error("src/section", 1236, "save", 0);
        }
    unlock();
}

int Section::display_enabled(Filebuf* page) {
    read_lock();
    int shown = 0;
    if (!globals.empty() && globals[0].name == "enabled") {
        char* title = string_to_html(comment.c_str(), 0, 0);
        bool on = globals[0].value != 0;
        page->Addf("<tr><td>%s</td><td><input type=\"radio\" name=\"enabled\" value=\"on\"%s>on "
                   "<input type=\"radio\" name=\"enabled\" value=\"off\"%s>off</td></tr>\n",
                   title, on ? " checked" : "", on ? "" : " checked");
        free(title);
        shown = 1;
    }
    unlock();
    return shown;
}
