// FTP directory listings: the reply of a LIST command (the Unix long format
// of "ls -l") parsed into a doubly linked list of dir_t entries, filtered by
// a pattern and sorted by name, size or date for the listing page.
//
// Parsing accepts lines of eight columns (mode, links, owner, size, three
// date words, name; the group is then "unknown") or nine and more (mode,
// links, owner, group, size, three date words, name). The first line used
// decides which of the two layouts the whole listing has. Empty lines and
// "total" lines are skipped; a line that does not fit the layout (too few
// columns, a size that is not a decimal number) is logged as
// "FTP: unparsable ftp dir entry: %s" and skipped, never half read.
//
// Ownership: every entry and its strings are allocated by the checked
// allocator (failure is fatal) and owned by the list; a list is handed around
// by its first entry and released as a whole with dir_list_free. Nothing here
// keeps state or locks; a list belongs to one thread.
#pragma once

#include <stdint.h>
#include <time.h>

class Filebuf;

struct dir_t {
    dir_t* next;  // following entry, NULL at the end
    dir_t* prev;  // preceding entry, NULL at the start
    int is_dir;   // 1 when the mode column begins with "d"
    unsigned mode; // permission bits of the mode column
    char* owner;
    char* group;  // "unknown" for listings without a group column
    uint64_t size; // size column, decimal
    struct tm tm; // date column, broken down; fields not given are 0
    time_t time;  // tm by timegm: the date sort key, and the time the cache
                  // compares with the Last-Modified it stored (written from tm
                  // as a GMT date), so both are on one scale in any time zone
    char* name;   // a link's target is cut off; a directory's name ends in "/"
};

// Sort orders and keys of dir_list_sort.
enum {
    DIR_SORT_ASCENDING = 0,
    DIR_SORT_DESCENDING = 1,
};
enum {
    DIR_SORT_NONE = 0,
    DIR_SORT_NAME = 1,
    DIR_SORT_SIZE = 2,
    DIR_SORT_DATE = 3,
};

// The first entry of the list parsed from a LIST reply; NULL when no line
// could be parsed (or for NULL).
dir_t* dir_list_parse(const Filebuf* listing);

// Appends a new entry after the last entry of `list` (NULL starts a list)
// and returns the new entry. The strings are copied; `time` is set from
// `date`; a directory's name gets a final "/" when it lacks one. A NULL
// owner, group or name is an impossible state (fatal).
dir_t* dir_list_add(dir_t* list, int is_dir, unsigned mode, const char* owner, const char* group,
                    uint64_t size, struct tm date, const char* name);

// Removes and frees every entry whose name matches the pattern (case
// insensitive, anywhere in the name); the others keep their order. A
// pattern that does not compile is logged and leaves the list unchanged.
// Returns the new first entry (NULL when every entry matched).
dir_t* dir_list_filter(dir_t* list, const char* pattern);

// Sorts the list in place and returns its new first entry. `order` 0
// ascending, 1 descending; `field` DIR_SORT_NAME (without case),
// DIR_SORT_SIZE (ascending puts directories first, descending files first)
// or DIR_SORT_DATE; any other field leaves the list as it is. Equal entries
// keep their order. O(n log n).
dir_t* dir_list_sort(dir_t* list, int order, int field);

// The first entry whose name equals `name` exactly, or NULL.
dir_t* dir_list_find(dir_t* list, const char* name);

// Frees the whole list `entry` belongs to (any entry of it will do); NULL is
// allowed.
void dir_list_free(dir_t* entry);
