// Fuzz target of what an FTP server sends and the proxy parses: directory
// listings (parsed, sorted by every key, filtered), reply lines and the
// passive-mode reply; and of command building, which must never let a line
// break through.
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "core/filebuf.h"
#include "core/log.h"
#include "ftp/ftp_list.h"
#include "ftp/proto_ftp.h"
#include "fuzz_check.h"

namespace {

// The list is whole, linked both ways, and every entry is sound.
int check_list(const dir_t* first) {
    int count = 0;
    const dir_t* prev = NULL;
    for (const dir_t* e = first; e != NULL; prev = e, e = e->next, count++) {
        FUZZ_CHECK(e->prev == prev);
        FUZZ_CHECK(e->owner != NULL && e->group != NULL && e->name != NULL);
        FUZZ_CHECK(e->name[0] != '\0' && strpbrk(e->name, "\r\n") == NULL);
        FUZZ_CHECK(!e->is_dir || e->name[strlen(e->name) - 1] == '/');
    }
    return count;
}

// No neighbouring pair stands in the wrong order for the sort.
void check_sorted(const dir_t* first, int order, int field) {
    for (const dir_t* a = first; a != NULL && a->next != NULL; a = a->next) {
        const dir_t* b = a->next;
        bool ascending = order == DIR_SORT_ASCENDING;
        switch (field) {
        case DIR_SORT_NAME: {
            int compared = strcasecmp(a->name, b->name);
            FUZZ_CHECK(ascending ? compared <= 0 : compared >= 0);
            break;
        }
        case DIR_SORT_SIZE:
            if (a->is_dir != b->is_dir)
                FUZZ_CHECK(ascending ? a->is_dir != 0 : b->is_dir != 0);
            else
                FUZZ_CHECK(ascending ? a->size <= b->size : a->size >= b->size);
            break;
        case DIR_SORT_DATE:
            FUZZ_CHECK(ascending ? a->time <= b->time : a->time >= b->time);
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    loglevel = 0; // only LOG_ADVICE lines, and none of those come from here
    daemonize = 1;
    std::string text((const char*)data, size);

    Filebuf listing;
    if (size > 0)
        listing.Add(text.data(), (unsigned)size);
    dir_t* list = dir_list_parse(&listing);
    int count = check_list(list);
    for (int field = DIR_SORT_NAME; field <= DIR_SORT_DATE; field++)
        for (int order = 0; order < 2; order++) {
            list = dir_list_sort(list, order, field);
            FUZZ_CHECK(check_list(list) == count);
            check_sorted(list, order, field);
        }
    list = dir_list_filter(list, "a");
    for (const dir_t* e = list; e != NULL; e = e->next)
        FUZZ_CHECK(strchr(e->name, 'a') == NULL && strchr(e->name, 'A') == NULL);
    FUZZ_CHECK(check_list(list) <= count);
    dir_list_free(list);

    // Each line as a reply line.
    ftp_reply_t reply;
    ftp_reply_start(&reply);
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start + 1);
        ftp_reply_feed(&reply, line.c_str());
        FUZZ_CHECK(strlen(reply.first) < sizeof reply.first && strlen(reply.last) < sizeof reply.last);
        int port = ftp_pasv_port(line.c_str());
        FUZZ_CHECK(port >= -1 && port <= 65535);
        start = end == std::string::npos ? text.size() : end + 1;
    }

    // A built command is one line.
    std::string command;
    bool breaks = text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
    bool built = ftp_command_build(&command, "RETR", text);
    FUZZ_CHECK(built == !breaks);
    if (built)
        FUZZ_CHECK(command.find_first_of(std::string("\r\n\0", 3)) == command.size() - 2);
    return 0;
}
