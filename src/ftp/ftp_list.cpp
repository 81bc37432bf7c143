#include "ftp/ftp_list.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/regexp.h"
#include "http/http_text.h"

namespace {

const char SOURCE[] = "src/ftp_list";

// Longest name kept from a listing line; longer names are cut.
constexpr size_t NAME_MAX_LENGTH = 2559;

// Columns before the name: mode, links, owner, [group,] size, three date words.
constexpr int COLUMNS_WITHOUT_GROUP = 8;
constexpr int COLUMNS_WITH_GROUP = 9;

char* copy_checked(const char* text, size_t length) {
    char* copy = xstrndup(text, length);
    if (copy == NULL)
        FATAL_ALLOC(SOURCE, length + 1);
    return copy;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The words of one line, as offsets into it: the first `limit` words are
// recorded, all are counted (up to a word that is exactly "->" when asked).
struct Words {
    static constexpr int MAX = COLUMNS_WITH_GROUP;
    const char* start[MAX];
    size_t length[MAX];
    int count; // every word, or the words before "->" with stop_at_arrow
};

void split_words(const char* line, bool stop_at_arrow, Words* words) {
    words->count = 0;
    const char* p = line;
    for (;;) {
        while (is_blank(*p))
            p++;
        if (*p == '\0')
            return;
        const char* word = p;
        while (*p != '\0' && !is_blank(*p))
            p++;
        size_t length = static_cast<size_t>(p - word);
        if (stop_at_arrow && length == 2 && word[0] == '-' && word[1] == '>')
            return;
        if (words->count < Words::MAX) {
            words->start[words->count] = word;
            words->length[words->count] = length;
        }
        words->count++;
    }
}

// Permission bits of the mode column, read from the word alone: the text
// after a short mode word must not be taken for its missing letters.
unsigned permission_bits(const char* mode, size_t length) {
    char word[11];
    size_t kept = length < 10 ? length : 10;
    memcpy(word, mode, kept);
    word[kept] = '\0';
    return mode_parse(word);
}

// Reads a size column: decimal digits only, 64-bit. False for anything else.
bool read_size(const char* text, size_t length, uint64_t* size) {
    if (length == 0 || length > 20)
        return false;
    uint64_t value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    *size = value;
    return true;
}

// The date columns "Mon dd hh:mm" (this year, local time) or "Mon dd yyyy"
// (midnight). Fields that cannot be read stay 0.
struct tm read_date(const Words& words, int first) {
    char text[128];
    snprintf(text, sizeof text, "%.*s %.*s %.*s", static_cast<int>(words.length[first]),
             words.start[first], static_cast<int>(words.length[first + 1]),
             words.start[first + 1], static_cast<int>(words.length[first + 2]),
             words.start[first + 2]);
    struct tm date;
    memset(&date, 0, sizeof date);
    bool has_time = memchr(words.start[first + 2], ':', words.length[first + 2]) != NULL;
    if (has_time) {
        strptime(text, "%b %d %H:%M", &date);
        time_t now = time(NULL);
        struct tm local;
        if (localtime_r(&now, &local) != NULL)
            date.tm_year = local.tm_year;
    } else {
        strptime(text, "%b %d %Y", &date);
    }
    return date;
}

// Parses one listing line (already cut at CR or LF) with the listing's
// layout into a new entry appended after `last`. False when the line does
// not fit the layout; nothing is appended then.
bool parse_line(const char* line, int columns, dir_t** first, dir_t** last) {
    Words words;
    split_words(line, false, &words);
    if (columns < COLUMNS_WITHOUT_GROUP || words.count < columns)
        return false;

    int size_column = columns == COLUMNS_WITHOUT_GROUP ? 3 : 4;
    uint64_t size = 0;
    if (!read_size(words.start[size_column], words.length[size_column], &size))
        return false;

    // The name is the rest of the line from its first word on, blanks kept.
    const char* name = words.start[columns - 1];
    size_t name_length = strlen(name);
    if (words.start[0][0] == 'l') {
        const char* arrow = strstr(name, " ->");
        if (arrow != NULL && arrow > name)
            name_length = static_cast<size_t>(arrow - name);
    }
    if (name_length > NAME_MAX_LENGTH)
        name_length = NAME_MAX_LENGTH;

    char* owner = copy_checked(words.start[2], words.length[2]);
    char* group = columns == COLUMNS_WITHOUT_GROUP ? copy_checked("unknown", 7)
                                                   : copy_checked(words.start[3], words.length[3]);
    char* name_copy = copy_checked(name, name_length);
    struct tm date = read_date(words, size_column + 1);

    dir_t* entry = dir_list_add(*last, words.start[0][0] == 'd',
                                permission_bits(words.start[0], words.length[0]), owner, group,
                                size, date, name_copy);
    free(owner);
    free(group);
    free(name_copy);
    if (*first == NULL)
        *first = entry;
    *last = entry;
    return true;
}

// True when pair (a, b) stands in the wrong order for the sort.
bool out_of_order(const dir_t* a, const dir_t* b, int order, int field) {
    bool ascending = order == DIR_SORT_ASCENDING;
    switch (field) {
    case DIR_SORT_NAME: {
        int compared = strcasecmp(a->name, b->name);
        return ascending ? compared > 0 : compared < 0;
    }
    case DIR_SORT_SIZE:
        if (a->is_dir != b->is_dir)
            return ascending ? b->is_dir != 0 : a->is_dir != 0;
        return ascending ? b->size < a->size : a->size < b->size;
    case DIR_SORT_DATE:
        return ascending ? b->time < a->time : a->time < b->time;
    default:
        return false;
    }
}

// Stable merge of two sorted, NULL-terminated chains linked by `next` only.
dir_t* merge(dir_t* left, dir_t* right, int order, int field) {
    dir_t head;
    head.next = NULL;
    dir_t* tail = &head;
    while (left != NULL && right != NULL) {
        if (out_of_order(left, right, order, field)) {
            tail->next = right;
            right = right->next;
        } else {
            tail->next = left;
            left = left->next;
        }
        tail = tail->next;
    }
    tail->next = left != NULL ? left : right;
    return head.next;
}

// Bottom-up merge sort of a chain linked by `next`: no recursion, so a huge
// listing cannot exhaust a worker's stack.
dir_t* merge_sort(dir_t* list, int order, int field) {
    // runs[k] holds a sorted chain of 2^k entries, or NULL.
    dir_t* runs[64] = {};
    while (list != NULL) {
        dir_t* run = list;
        list = list->next;
        run->next = NULL;
        int k = 0;
        for (; runs[k] != NULL; k++) {
            run = merge(runs[k], run, order, field);
            runs[k] = NULL;
        }
        runs[k] = run;
    }
    dir_t* sorted = NULL;
    for (dir_t* run : runs)
        if (run != NULL)
            sorted = sorted == NULL ? run : merge(run, sorted, order, field);
    return sorted;
}

void entry_free(dir_t* entry) {
    if (entry->owner == NULL || entry->group == NULL || entry->name == NULL)
        FATAL(SOURCE);
    free(entry->owner);
    free(entry->group);
    free(entry->name);
    free(entry);
}

} // namespace

dir_t* dir_list_parse(const Filebuf* listing) {
    if (listing == NULL)
        return NULL;
    STACK_T* lines = listing->to_stack();
    dir_t* first = NULL;
    dir_t* last = NULL;
    int columns = 0; // fixed by the first line used
    for (STACK_T* line = lines; line != NULL; line = line->next) {
        char* text = line->text;
        text[strcspn(text, "\r\n")] = '\0';
        const char* start = text;
        while (is_blank(*start))
            start++;
        if (*start == '\0' || strncasecmp(start, "total", 5) == 0)
            continue;
        if (columns == 0) {
            Words words;
            split_words(text, true, &words);
            columns = words.count < COLUMNS_WITH_GROUP ? words.count : COLUMNS_WITH_GROUP;
        }
        if (!parse_line(text, columns, &first, &last))
            putlog(LOG_ERROR, "FTP: unparsable ftp dir entry: %s", text);
    }
    stack_free(lines);
    return first;
}

dir_t* dir_list_add(dir_t* list, int is_dir, unsigned mode, const char* owner, const char* group,
                    uint64_t size, struct tm date, const char* name) {
    if (owner == NULL || group == NULL || name == NULL)
        FATAL(SOURCE);
    dir_t* entry = static_cast<dir_t*>(xmalloc(sizeof *entry));
    if (entry == NULL)
        FATAL_ALLOC(SOURCE, sizeof *entry);
    entry->is_dir = is_dir;
    entry->mode = mode;
    entry->owner = copy_checked(owner, strlen(owner));
    entry->group = copy_checked(group, strlen(group));
    size_t name_length = strlen(name);
    bool add_slash = is_dir && (name_length == 0 || name[name_length - 1] != '/');
    entry->name = static_cast<char*>(xmalloc(name_length + 2));
    if (entry->name == NULL)
        FATAL_ALLOC(SOURCE, name_length + 2);
    memcpy(entry->name, name, name_length);
    if (add_slash)
        entry->name[name_length] = '/';
    entry->size = size;
    entry->tm = date;
    struct tm converted = date;
    entry->time = timegm(&converted);

    if (list != NULL) {
        while (list->next != NULL)
            list = list->next;
        list->next = entry;
        entry->prev = list;
    }
    return entry;
}

dir_t* dir_list_filter(dir_t* list, const char* pattern) {
    if (list == NULL || pattern == NULL)
        return list;
    reg_pattern_t* compiled = reg_compile(pattern, REGEXP_ICASE);
    if (compiled == NULL)
        return list; // already logged
    dir_t* first = list;
    dir_t* entry = list;
    while (entry != NULL) {
        dir_t* next = entry->next;
        if (reg_exec(compiled, entry->name) == 0) {
            if (entry->prev != NULL)
                entry->prev->next = next;
            else
                first = next;
            if (next != NULL)
                next->prev = entry->prev;
            entry_free(entry);
        }
        entry = next;
    }
    reg_free(compiled);
    return first;
}

dir_t* dir_list_sort(dir_t* list, int order, int field) {
    if (list == NULL)
        return NULL;
    while (list->prev != NULL)
        list = list->prev;
    if (field != DIR_SORT_NAME && field != DIR_SORT_SIZE && field != DIR_SORT_DATE)
        return list;
    dir_t* first = merge_sort(list, order, field);
    dir_t* prev = NULL;
    for (dir_t* entry = first; entry != NULL; entry = entry->next) {
        entry->prev = prev;
        prev = entry;
    }
    return first;
}

dir_t* dir_list_find(dir_t* list, const char* name) {
    if (name == NULL)
        return NULL;
    for (dir_t* entry = list; entry != NULL; entry = entry->next)
        if (strcmp(entry->name, name) == 0)
            return entry;
    return NULL;
}

void dir_list_free(dir_t* entry) {
    if (entry == NULL)
        return;
    while (entry->prev != NULL)
        entry = entry->prev;
    while (entry != NULL) {
        dir_t* next = entry->next;
        entry_free(entry);
        entry = next;
    }
}
