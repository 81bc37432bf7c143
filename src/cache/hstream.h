// HTMLStream: the incremental HTML parser of one response body.
//
// The body arrives in pieces of any size; Add parses as far as the bytes
// received allow and keeps only the bytes after the last tag boundary it
// handled, so a page never has to be held whole. The result is a loose tree
// of nodes (tags and text runs) and, as soon as a tag of a registered name is
// complete, a call of the function registered for that name. The prefetcher
// harvests links that way while a page is still being relayed; the
// "htmltree" page shows the tree.
//
// The parser is lenient and never rejects input:
// - Text between two tags becomes a text node when the second tag starts;
//   a comment ("<!--" to a '>' preceded by '-') makes no tag, its characters
//   belong to the text run around it. Runs holding nothing but blanks and
//   control bytes make no node.
// - A tag becomes a tag node; a tag whose text holds no name is kept as a
//   node with neither tag nor text.
// - A close tag looks back through the preceding siblings for the nearest
//   open tag whose name starts with the close tag's name (ignoring case);
//   the node before that open tag adopts the open tag and everything after
//   it as its children. A close tag without such a match changes nothing.
//   Nesting is bounded by HTMLSTREAM_DEPTH_LIMIT.
// - Splitting the same bytes into other pieces gives the same tree and the
//   same calls in the same order.
//
// Bounds, so that a hostile page costs a bounded amount:
// - At most `limit` bytes of a body are parsed (the rest is ignored, logged
//   once), so the unparsed bytes held never exceed it; the nodes, tags and
//   texts live in one arena of at most HTMLSTREAM_MEMORY_FACTOR times that
//   many bytes, and parsing stops (logged once) when it is full.
// - A close tag walks back over at most HTMLSTREAM_WALK_LIMIT nodes, and all
//   walks of a body together over at most HTMLSTREAM_WALK_PER_BYTE nodes per
//   byte received: no page makes the parser quadratic.
//
// Ownership and threads: the parser owns every node, tag and text; they stay
// valid until it is destroyed. One parser is used by one thread at a time.
// Registered functions run inside Add, in the calling thread; they must not
// feed the same parser and must not keep node pointers beyond its life.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/filebuf.h"

// A close tag whose walk meets a node nested deeper than this is dropped
// (logged once per parser), so trees nest at most one level more.
constexpr int HTMLSTREAM_DEPTH_LIMIT = 64;
// Most nodes one close tag walks back over.
constexpr unsigned HTMLSTREAM_WALK_LIMIT = 1024;
// Nodes all close-tag walks may visit together, per byte received.
constexpr uint64_t HTMLSTREAM_WALK_PER_BYTE = 4;
// Arena bytes allowed per byte of the parse limit.
constexpr uint64_t HTMLSTREAM_MEMORY_FACTOR = 16;
// Parse limit of a parser made without one.
constexpr uint64_t HTMLSTREAM_DEFAULT_LIMIT = 2u << 20;

// One attribute: name and value as written, quotes removed. A value-less
// attribute has the empty value.
struct htmlstream_attr {
    htmlstream_attr* next;
    char* name;
    char* value;
};

// A parsed tag: its name as written (case kept) and its attributes in order.
struct htmlstream_tag {
    char* name;
    htmlstream_attr* attr;
};

// One node. A text node has `text` (NUL-terminated, `text_length` bytes
// before the terminator, which may include NUL bytes of the page); a tag
// node has `tag`; a tag whose text held no name has neither.
struct htmlstream_node {
    htmlstream_node* parent; // adopting node, NULL at the top level
    htmlstream_node* prev;   // previous sibling
    htmlstream_node* next;   // next sibling
    htmlstream_node* child;  // first child
    int depth;               // 0 for a leaf; 1 + the deepest child's depth
    char* text;
    unsigned text_length;
    htmlstream_tag* tag;
};

// Allocation area of one parser: memory is handed out from large blocks
// and released all at once by the destructor, so parsing costs no
// allocation per node. Allocations beyond `cap` bytes of blocks fail
// (NULL) instead of growing; a failed block allocation of the system is
// fatal.
class HtmlArena {
public:
    explicit HtmlArena(uint64_t cap);
    ~HtmlArena();
    HtmlArena(const HtmlArena&) = delete;
    HtmlArena& operator=(const HtmlArena&) = delete;

    // n bytes aligned for the parser's records, zero-filled; NULL when over
    // the cap.
    void* alloc(size_t n);
    // A NUL-terminated copy of n bytes; NULL when over the cap.
    char* copy(const char* bytes, size_t n);
    // Grows the text `old` (n bytes plus its terminator, made by copy or
    // append) by `more`; extends in place when it was the last allocation,
    // else copies. Returns the text, or NULL when over the cap (the old text
    // stays as it was).
    char* append(char* old, size_t n, const char* more, size_t more_length);
    // Bytes of blocks held.
    uint64_t used() const { return total; }
    // True once an allocation was refused.
    bool exhausted() const { return refused; }

private:
    struct Block;
    Block* head;
    uint64_t total;
    uint64_t cap;
    char* last;       // the newest allocation, which may grow in place
    size_t last_size; // its size
    bool refused;
    Block* grow(size_t n);
    char* take(size_t n, size_t alignment);
};

// Parses one tag text from its '<' through its '>' (`length` bytes) into
// the arena. Blanks (space, tab, line break, form feed) separate the name
// and the attributes; an attribute is name=value, name = value, name with
// the value in double or single quotes (blanks inside kept), or a name
// alone. NULL when the text holds no name, or when the arena is full.
htmlstream_tag* htmlstream_tag_parse(const char* text, size_t length, HtmlArena* arena);

// The value of the tag's first attribute named `name` (ignoring case), or
// NULL.
const char* htmlstream_attr_value(const htmlstream_tag* tag, const char* name);

class HTMLStream;
// A registered function; its result is ignored.
typedef int (*htmlstream_function)(HTMLStream* stream, htmlstream_node* node, void* data);

class HTMLStream {
public:
    // `limit`: most bytes of the body that are parsed.
    explicit HTMLStream(uint64_t limit = HTMLSTREAM_DEFAULT_LIMIT);
    HTMLStream(const HTMLStream&) = delete;
    HTMLStream& operator=(const HTMLStream&) = delete;

    // Registers `function` with `data` for tags named `name` (ignoring
    // case). 1 when added; 0, keeping the first registration, when the
    // name is registered already.
    int Callback(const char* name, htmlstream_function function, void* data);

    // Appends the bytes and parses as far as possible. Add(NULL, 0) flushes
    // at the end of the body: a tag still open becomes text and the text
    // after the last tag becomes a node. Bytes after a flush are parsed as a
    // continuation.
    void Add(const char* data, unsigned length);

    // The first top-level node, or NULL.
    htmlstream_node* root() const { return first; }
    // Bytes offered to Add (parsed or not).
    uint64_t received() const { return offered; }
    // True once part of the body was left unparsed (limit or memory).
    bool truncated() const { return cut; }
    // Nodes visited by all close-tag walks so far.
    uint64_t walked() const { return walk_steps; }
    // Bytes received but not yet consumed by the scan.
    unsigned pending() const { return text.size; }
    // Bytes held: the tree's arena and the unparsed text.
    uint64_t memory() const { return arena.used() + text.capacity; }

private:
    struct Registration {
        std::string name;
        htmlstream_function function;
        void* data;
    };

    HtmlArena arena;
    std::vector<Registration> registrations;
    htmlstream_node* first;   // root
    htmlstream_node* current; // node the next node follows
    Filebuf text;             // bytes from the last boundary handled on
    uint64_t base;            // body offset of text.data[0]
    unsigned pos;             // index in text of the last boundary handled
    unsigned scan;            // index in text where scanning resumes
    bool in_comment;
    uint64_t limit;
    uint64_t offered;
    uint64_t walk_steps;
    bool cut;
    bool full;                // the arena refused an allocation
    bool depth_logged;

    void parse(bool flush);
    void text_run(unsigned i, bool through);
    void tag_node(unsigned i);
    void close_tag(unsigned i);
    void append(htmlstream_node* node);
    void give_up();
};
