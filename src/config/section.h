// The section model of the configuration framework: Section, the abstract
// base of every configuration section; Subsection, a named list of entries
// built from a field template; Item, one entry; ItemList; the registry
// Section::map; the per-section lock in its two modes.
//
// Every section class (and a plug-in's, which derives from this class and
// calls its constructor, destructor, read_lock and unlock) follows one
// contract:
//  1. Its constructor passes name and lock mode to Section(name, lockmode),
//     which registers it in Section::map and reads its definition from the
//     section-definition document `sectionxml`: comment, desc, choice lists,
//     global fields (Section::globals) and subsections with their templates
//     (Section::subsections), all in definition order. A fault in the
//     definition stops start-up with a message naming section and field.
//  2. It binds the global values it uses by position (global_field checks
//     that the definition declares them with the expected type) and keeps
//     pointers into them; loads and web edits change them in place.
//  3. update() runs with the write lock held after every load and web edit
//     and rebuilds the section's typed rules from Subsection::items by field
//     position. It may throw ConfigError (a pattern that does not compile,
//     see Item::pattern_check): the load then puts the previous values and
//     entries back, runs update() on them again and reports the error.
//  4. Request threads read under read_lock()/unlock() (atomic_read for one
//     bound scalar); only loads and web actions write.
//
// Locks: SECTION_RWLOCK sections have a read-write lock (ReadMostlyLock:
// readers preferred, so a reader may take it again while a writer waits); SECTION_MUTEX
// sections (cache, prefetch) one non-recursive mutex for reading and
// writing, which cond_wait/cond_timedwait release while waiting. Loads and
// saves of the whole configuration hold `documentlock` first and take one
// section lock at a time; nobody takes `documentlock` holding a section lock.
//
// Entry ids come from one process-wide counter: every construction of an
// Item, copies included, takes a new id, so ids are unique and never reused.
#pragma once

#include <pthread.h>
#include <time.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "config/config_error.h"
#include "config/config_lists.h"
#include "config/field.h"
#include "config/read_mostly_lock.h"
#include "config/xml.h"

class CGIMap;
class Filebuf;
struct CONNECTION_T;
struct reg_pattern_t;

// The section-definition document in force: loaded once at start-up; the
// module loader makes a plug-in's own document current while the plug-in
// builds its sections.
extern tinyxml2::XMLDocument* sectionxml;

enum {
    SECTION_RWLOCK = 0,
    SECTION_MUTEX = 1,
};

class Subsection;

// One entry: the names of its section and subsection and its fields (same
// length, order and types as the subsection's template).
class Item {
public:
    // A new entry of the subsection with a copy of its template; with a
    // cursor its fields are then loaded from the cursor's current element
    // (a malformed value throws ConfigError, already logged).
    Item(const Subsection& subsection, const XmlElement* cursor);
    // Copies names and fields and takes a new id.
    Item(const Item& other);
    Item& operator=(const Item& other) = default;

    int id_get() const;
    // Checks that the field at `position` compiles as a case-insensitive
    // pattern (an empty text is no pattern and passes). A pattern that does
    // not compile throws ConfigError naming section, entry, field and value,
    // so a section's update() can refuse it instead of building a rule that
    // matches everything.
    void pattern_check(size_t position) const;
    // The same for a substitution pattern compiled with these PCRE_* option
    // bits (core/regexp.h).
    void substitution_check(size_t position, int options) const;

    // Web forms (field_form.cpp). The entry as a block of rows: head row,
    // its fields, the link Edit and, with a form token (form_token.h), the
    // buttons Delete, Clone and, when moves is non-zero, Up, Down, Top and
    // Bottom: each a small form posting its action with the token, since
    // a link must never change the configuration.
    void display(Filebuf* page, int moves, const std::string& token = std::string()) const;
    // FieldVector::read of the entry's fields; the messages of the fields
    // that failed.
    StringList read(CGIMap& args);
    // True when one field's name matches name_pattern and its text matches
    // value_pattern (a NULL pattern matches anything); never for an entry
    // without fields.
    bool match(const reg_pattern_t* name_pattern, const reg_pattern_t* value_pattern) const;

    int id;
    std::string section;
    std::string subsection;
    FieldVector fields;

    static int count; // the next id; taken atomically

private:
    // Throws the ConfigError of a pattern field that does not compile.
    [[noreturn]] void pattern_refuse(const Field& field, const std::string& reason) const;
};

class ItemList : public std::list<Item> {
public:
    // The first entry with a field of type code 9 whose text is key; no
    // type word gives code 9, so this finds nothing (no caller).
    Item* find(const std::string& key);
};

class Subsection {
public:
    Subsection(bool enabled, std::string section, std::string name, std::string comment,
               std::string desc, const FieldVector& fields);

    bool enabled;
    std::string section;
    std::string name; // element name of its entries
    std::string comment;
    std::string desc;
    ItemList items;     // the entries, in evaluation order
    FieldVector fields; // the template every new entry starts from
};

class Section {
public:
    Section(std::string name, int lockmode);
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

    // Rebuilds the subclass's typed lists from its entries (write lock held).
    virtual void update() = 0;
    // Destroys subsections, fields and the lock. A section lives for the
    // whole run; a destroyed one is taken out of Section::map.
    virtual ~Section();

    // The section lock by mode; each returns the pthread result.
    int read_lock() const;
    int write_lock() const;
    int unlock() const;
    // SECTION_MUTEX only (anything else is an impossible state, fatal).
    int mutex_lock() const;
    int cond_wait(pthread_cond_t* cond);
    int cond_timedwait(pthread_cond_t* cond, timespec* deadline);

    // The value at the address, copied under the read lock.
    int atomic_read(int* address) const;
    unsigned int atomic_read(unsigned int* address) const;
    long atomic_read(long* address) const;
    unsigned long atomic_read(unsigned long* address) const;

    std::string name_get() const;    // under the read lock
    std::string comment_get() const; // under the read lock

    // No lock is taken by these three; the caller holds the section lock.
    // The first subsection named exactly `name`, or NULL.
    Subsection* subsection_get(const std::string& name);
    // The position of the entry with that id; found = 0 when none has it.
    ItemList::iterator item_iterator_get(int id, int& found);
    // The entry with that id, or NULL.
    Item* item_get(int id);

    // Loads the section's values and entries from the document (mode 0
    // appends the entries, any other mode replaces them). ConfigError
    // without a message when the document has no element for the section
    // (nothing changes). A malformed value or a rule update() refuses
    // throws ConfigError with the logged message, and the section keeps
    // exactly the values and entries it had.
    void load(tinyxml2::XMLDocument* doc, int mode);
    // Writes the values and entries into the section's element of the
    // document, appending the element when the document has none.
    void save(tinyxml2::XMLDocument* doc);

    // Web configuration forms (config_forms.cpp), driven by the arguments
    // of the interface page "config":
    // The section page: heading, the global-fields form (with `errors`
    // above it; not while searching with "matchname"/"matchvalue"), then per
    // enabled subsection an Add link and every entry matching the search.
    // Takes the read lock.
    void interface(Filebuf* page, CGIMap& args, CONNECTION_T* connection,
                   const StringList& errors);
    // The dialog adding ("id" empty) or editing ("id") one entry of the
    // subsection named by "subsection"; with errors only the messages.
    // Takes the read lock.
    void interface_dialog(Filebuf* page, CGIMap& args, CONNECTION_T* connection,
                          const StringList& errors);
    // Applies "action" ("global", "add", "edit", "delete", "clone",
    // "shift") under the write lock, rebuilds the rules and stamps
    // documentsynctime; returns the error messages (empty on success).
    // Nothing of a form with errors is committed.
    StringList interface_action(Filebuf* page, CGIMap& args, CONNECTION_T* connection);

    // When the first global field is named "enabled", appends a form row
    // with the title and "on"/"off" radio buttons; returns 1, else 0.
    int display_enabled(Filebuf* page);

    // Binding checks for the constructors of section classes. The global
    // field at `position`, which the definition must declare with `type`;
    // the subsection at `position`, whose template must begin with fields of
    // the given types. A definition that does not fit stops start-up with a
    // message naming the section and the field.
    Field& global_field(size_t position, int type);
    Subsection& subsection_at(size_t position, const std::vector<int>& field_types);

    mutable ReadMostlyLock rwlock;
    mutable pthread_mutex_t mutex;
    int lockmode;
    std::string name;
    std::string comment;
    std::string desc;
    FieldVector globals;
    std::vector<Subsection> subsections;

    // Every section by name (byte order); filled during start-up and module
    // loading only, read without a lock afterwards.
    static std::map<std::string, Section*> map;

private:
    void read_definition();
};
