#include "cache/hstream.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "core/log.h"
#include "core/mem.h"

static const char SOURCE[] = "src/hstream";

// ---------------------------------------------------------------------------
// The arena.

namespace {

// Records hold pointers and ints; texts need no alignment.
constexpr size_t ALIGNMENT = 8;
// Bytes of a block with its header. Blocks of this size are kept by their
// thread between parsers (see BlockCache); a larger allocation gets a block
// of its own, and a parser whose cap leaves less room gets a smaller one.
constexpr size_t BLOCK_BYTES = 64 * 1024;
// Most blocks a thread keeps: 512 KiB, the tree of a page of about 100 KiB.
constexpr int CACHED_BLOCKS = 8;
// A parser never takes more than this many bytes in all: Filebuf holds at
// most INT_MAX, and positions are unsigned.
constexpr uint64_t LIMIT_CEILING = 1u << 30;

size_t aligned(size_t n) { return (n + ALIGNMENT - 1) & ~(ALIGNMENT - 1); }

// Standard blocks released by the parsers of this thread, for the next
// parser: a worker that parses page after page then takes its memory from
// here rather than from the allocator, which would hand it back to the
// system and fault it in again for every page.
struct BlockCache {
    void* blocks[CACHED_BLOCKS];
    int count = 0;
    ~BlockCache() {
        while (count > 0)
            free(blocks[--count]);
    }
};
thread_local BlockCache block_cache;

} // namespace

struct HtmlArena::Block {
    Block* next;
    size_t size; // bytes of data after the header
    size_t used;
    char* data() { return reinterpret_cast<char*>(this) + aligned(sizeof(Block)); }
};

HtmlArena::HtmlArena(uint64_t cap)
    : head(nullptr), total(0), cap(cap), last(nullptr), last_size(0), refused(false) {}

HtmlArena::~HtmlArena() {
    while (head != nullptr) {
        Block* next = head->next;
        if (aligned(sizeof(Block)) + head->size == BLOCK_BYTES && block_cache.count < CACHED_BLOCKS)
            block_cache.blocks[block_cache.count++] = head;
        else
            free(head);
        head = next;
    }
}

HtmlArena::Block* HtmlArena::grow(size_t n) {
    const size_t header = aligned(sizeof(Block));
    size_t bytes = header + n > BLOCK_BYTES ? header + n : BLOCK_BYTES;
    if (total + bytes > cap && cap - total >= header + n && bytes == BLOCK_BYTES)
        bytes = static_cast<size_t>(cap - total); // the last room under the cap
    if (total + bytes > cap) {
        refused = true;
        return nullptr;
    }
    Block* block;
    if (bytes == BLOCK_BYTES && block_cache.count > 0) {
        block = static_cast<Block*>(block_cache.blocks[--block_cache.count]);
    } else {
        // Not cleared: alloc clears what it hands out, texts are written whole.
        block = static_cast<Block*>(malloc(bytes));
        if (block == nullptr)
            FATAL_ALLOC(SOURCE, static_cast<unsigned>(bytes));
    }
    block->next = head;
    block->size = bytes - header;
    block->used = 0;
    head = block;
    total += bytes;
    return block;
}

void* HtmlArena::alloc(size_t n) {
    void* record = take(n == 0 ? 1 : n, ALIGNMENT);
    if (record != nullptr)
        memset(record, 0, n);
    return record;
}

char* HtmlArena::take(size_t n, size_t alignment) {
    size_t start = head == nullptr ? 0 : (head->used + alignment - 1) & ~(alignment - 1);
    if (head == nullptr || start > head->size || head->size - start < n) {
        if (grow(n) == nullptr)
            return nullptr;
        start = 0;
    }
    char* at = head->data() + start;
    head->used = start + n;
    last = at;
    last_size = n;
    return at;
}

char* HtmlArena::copy(const char* bytes, size_t n) {
    char* text = take(n + 1, 1);
    if (text == nullptr)
        return nullptr;
    memcpy(text, bytes, n);
    text[n] = '\0';
    return text;
}

char* HtmlArena::append(char* old, size_t n, const char* more, size_t more_length) {
    size_t need = n + more_length + 1;
    if (old != last || need > last_size) {
        // Room for as much again, so that a text that keeps growing is
        // copied a logarithmic number of times.
        char* text = take(2 * need, 1);
        if (text == nullptr)
            return nullptr;
        memcpy(text, old, n);
        old = text;
    }
    memcpy(old + n, more, more_length);
    old[n + more_length] = '\0';
    return old;
}

// ---------------------------------------------------------------------------
// Tags.

namespace {

bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// One piece of a tag text: a word (bare or quoted) or an equals sign.
struct TagToken {
    enum { END, WORD, EQUALS } type;
    size_t start;
    size_t length;
};

// Reads the next token at or after `i`. A quoted word runs to the same
// quote character; without one it is not a word and the text ends there.
TagToken next_token(const char* text, size_t length, size_t& i) {
    while (i < length && (blank(text[i]) || text[i] == '>'))
        i++;
    if (i >= length)
        return {TagToken::END, 0, 0};
    char c = text[i];
    if (c == '=') {
        i++;
        return {TagToken::EQUALS, i - 1, 1};
    }
    if (c == '"' || c == '\'') {
        const void* close = memchr(text + i + 1, c, length - i - 1);
        if (close == nullptr) {
            i = length;
            return {TagToken::END, 0, 0};
        }
        size_t start = i + 1;
        i = static_cast<const char*>(close) - text + 1;
        return {TagToken::WORD, start, i - 1 - start};
    }
    size_t start = i;
    while (i < length && !blank(text[i]) && text[i] != '=' && text[i] != '>')
        i++;
    return {TagToken::WORD, start, i - start};
}

} // namespace

htmlstream_tag* htmlstream_tag_parse(const char* text, size_t length, HtmlArena* arena) {
    if (length <= 1)
        return nullptr;
    size_t i = 1;
    TagToken token = next_token(text, length, i);
    while (token.type == TagToken::EQUALS)
        token = next_token(text, length, i);
    // A name that reads empty (none, or a NUL byte first) is no name.
    if (token.type != TagToken::WORD || token.length == 0 || text[token.start] == '\0')
        return nullptr;
    htmlstream_tag* tag = static_cast<htmlstream_tag*>(arena->alloc(sizeof(htmlstream_tag)));
    if (tag == nullptr || (tag->name = arena->copy(text + token.start, token.length)) == nullptr)
        return nullptr;

    htmlstream_attr** tail = &tag->attr;
    token = next_token(text, length, i);
    while (token.type != TagToken::END) {
        if (token.type == TagToken::EQUALS) { // no name before it
            token = next_token(text, length, i);
            continue;
        }
        TagToken name = token;
        TagToken value = {TagToken::END, 0, 0};
        token = next_token(text, length, i);
        if (token.type == TagToken::EQUALS) {
            while (token.type == TagToken::EQUALS)
                token = next_token(text, length, i);
            if (token.type == TagToken::WORD) {
                value = token;
                token = next_token(text, length, i);
            }
        } else if (name.length == 1 && text[name.start] == '/') {
            continue; // the slash of a self-closing tag
        }
        htmlstream_attr* attr = static_cast<htmlstream_attr*>(arena->alloc(sizeof(htmlstream_attr)));
        if (attr == nullptr || (attr->name = arena->copy(text + name.start, name.length)) == nullptr ||
            (attr->value = arena->copy(text + value.start, value.length)) == nullptr)
            return nullptr;
        *tail = attr;
        tail = &attr->next;
    }
    return tag;
}

const char* htmlstream_attr_value(const htmlstream_tag* tag, const char* name) {
    if (tag == nullptr)
        return nullptr;
    for (const htmlstream_attr* attr = tag->attr; attr != nullptr; attr = attr->next)
        if (strcasecmp(attr->name, name) == 0)
            return attr->value;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The stream.

namespace {

// Index of the first '<' or '>' in [i, end), or end.
unsigned next_boundary(const char* data, unsigned i, unsigned end) {
#ifdef __SSE2__
    // '<' (0x3c) and '>' (0x3e) are the only bytes that read 0x3e with bit 1 set.
    const __m128i bit1 = _mm_set1_epi8(2);
    const __m128i target = _mm_set1_epi8('>');
    while (end - i >= 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(bytes, bit1), target));
        if (mask != 0)
            return i + static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(mask)));
        i += 16;
    }
#endif
    while (i < end && (data[i] | 2) != '>')
        i++;
    return i;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// True when the bytes hold nothing but blanks and control bytes; bytes of
// other scripts (0x80 and up) are text.
bool blank_run(const char* bytes, unsigned n) {
    for (unsigned i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c > 0x20 && c != 0x7f)
            return false;
    }
    return true;
}

} // namespace

HTMLStream::HTMLStream(uint64_t limit)
    : arena((limit < LIMIT_CEILING ? limit : LIMIT_CEILING) * HTMLSTREAM_MEMORY_FACTOR),
      first(nullptr),
      current(nullptr),
      base(0),
      pos(0),
      scan(0),
      in_comment(false),
      limit(limit < LIMIT_CEILING ? limit : LIMIT_CEILING),
      offered(0),
      walk_steps(0),
      cut(false),
      full(false),
      depth_logged(false) {}

int HTMLStream::Callback(const char* name, htmlstream_function function, void* data) {
    for (const Registration& registration : registrations)
        if (strcasecmp(registration.name.c_str(), name) == 0)
            return 0;
    registrations.push_back({name, function, data});
    return 1;
}

void HTMLStream::Add(const char* data, unsigned length) {
    if (data != nullptr) {
        offered += length;
        uint64_t taken = base + text.size;
        uint64_t room = limit > taken ? limit - taken : 0;
        if (length > room) {
            if (!cut)
                putlog(LOG_WARNING, "HTML parser: only the first %llu bytes of the page are parsed",
                       static_cast<unsigned long long>(limit));
            cut = true;
            length = static_cast<unsigned>(room);
        }
        if (full || length == 0)
            return;
        text.Add(data, length);
    }
    if (full)
        return;
    parse(data == nullptr);
    // Nothing before the last boundary is looked at again.
    if (pos > 0 && !full) {
        text.Trim(static_cast<int>(pos));
        base += pos;
        scan -= pos;
        pos = 0;
    }
}

void HTMLStream::give_up() {
    if (!full)
        putlog(LOG_WARNING, "HTML parser: %llu bytes of memory used up, the rest of the page is not parsed",
               static_cast<unsigned long long>(arena.used()));
    full = true;
    cut = true;
}

// Scans from `scan`. Outside a comment only '<' and '>' matter; a '<' near
// the end of the bytes waits for more (it may open a comment) unless this is
// the flush, which also turns the text after the last tag into a node.
void HTMLStream::parse(bool flush) {
    const char* data = text.data;
    unsigned size = text.size;
    if (size == 0)
        return;
    unsigned end = flush ? size - 1 : size; // the flush treats the last byte apart
    // The flush looks at the last byte again, whatever it was taken for.
    unsigned i = scan < end ? scan : end;
    while (i < end && !full) {
        if (in_comment) {
            const void* found = memchr(data + i, '>', end - i);
            if (found == nullptr) {
                i = end;
                break;
            }
            i = static_cast<unsigned>(static_cast<const char*>(found) - data);
            if (data[i - 1] == '-')
                in_comment = false;
            i++;
            continue;
        }
        i = next_boundary(data, i, end);
        if (i == end)
            break;
        if (data[i] == '<') {
            if (!flush) {
                if (size - i <= 4)
                    break; // a comment opener may be cut here
                if (memcmp(data + i, "<!--", 4) == 0) {
                    in_comment = true;
                    i++;
                    continue;
                }
            }
            text_run(i, false);
        } else if (data[pos] == '<') {
            if (data[pos + 1] == '/')
                close_tag(i);
            else
                tag_node(i);
            pos = i;
        }
        i++;
    }
    if (flush && i == end && !full) {
        if (in_comment) {
            if (data[i] == '>' && i > 0 && data[i - 1] == '-')
                in_comment = false;
        } else if (data[i] == '<') {
            text_run(i, false);
        } else if (data[i] == '>' && data[pos] == '<') {
            if (data[pos + 1] == '/')
                close_tag(i);
            else
                tag_node(i);
            pos = i;
        } else {
            text_run(i, true);
        }
        i = size;
    }
    scan = i;
}

// The text between the last boundary and byte i (through i itself when
// `through`); at the very start of the body the first byte belongs to it.
void HTMLStream::text_run(unsigned i, bool through) {
    if (pos != i) {
        unsigned start = base + pos == 0 ? 0 : pos + 1;
        unsigned stop = through ? i + 1 : i;
        const char* bytes = text.data + start;
        unsigned n = stop - start;
        if (start < stop && !blank_run(bytes, n)) {
            if (current != nullptr && current->text != nullptr) {
                char* joined = arena.append(current->text, current->text_length, bytes, n);
                if (joined == nullptr)
                    return give_up();
                current->text = joined;
                current->text_length += n;
            } else {
                htmlstream_node* node = static_cast<htmlstream_node*>(arena.alloc(sizeof(htmlstream_node)));
                if (node == nullptr || (node->text = arena.copy(bytes, n)) == nullptr)
                    return give_up();
                node->text_length = n;
                append(node);
            }
        }
    }
    pos = i;
}

// The tag from `pos` through byte i.
void HTMLStream::tag_node(unsigned i) {
    htmlstream_node* node = static_cast<htmlstream_node*>(arena.alloc(sizeof(htmlstream_node)));
    if (node == nullptr)
        return give_up();
    node->tag = htmlstream_tag_parse(text.data + pos, i - pos + 1, &arena);
    if (arena.exhausted())
        return give_up();
    append(node);
    if (node->tag == nullptr || registrations.empty())
        return;
    for (const Registration& registration : registrations)
        if (strcasecmp(registration.name.c_str(), node->tag->name) == 0) {
            registration.function(this, node, registration.data);
            return;
        }
}

// The close tag from `pos` through byte i: the node before its open tag
// adopts the open tag and every node after it.
void HTMLStream::close_tag(unsigned i) {
    const char* name = text.data + pos + 2;
    size_t name_length = i - pos - 2;
    uint64_t allowance = HTMLSTREAM_WALK_PER_BYTE * (base + i + 1);
    const char first_letter = name_length > 0 ? lower(name[0]) : 0;
    int deepest = 0;
    unsigned steps = 0;
    for (htmlstream_node* node = current; node != nullptr; node = node->prev) {
        if (steps == HTMLSTREAM_WALK_LIMIT || walk_steps >= allowance)
            return;
        steps++;
        walk_steps++;
        if (node->depth > deepest)
            deepest = node->depth;
        if (deepest > HTMLSTREAM_DEPTH_LIMIT) {
            if (!depth_logged)
                putlog(LOG_WARNING, "HTML nesting limit %d reached", HTMLSTREAM_DEPTH_LIMIT);
            depth_logged = true;
            return;
        }
        if (node->tag == nullptr ||
            (name_length > 0 && lower(node->tag->name[0]) != first_letter) ||
            strncasecmp(node->tag->name, name, name_length) != 0)
            continue;
        htmlstream_node* adopter = node->prev;
        if (adopter == nullptr || adopter->child != nullptr)
            return;
        for (htmlstream_node* child = current;; child = child->prev) {
            child->parent = adopter;
            if (child == node)
                break;
        }
        node->prev = nullptr;
        adopter->next = nullptr;
        adopter->child = node;
        adopter->depth = deepest + 1;
        current = adopter;
        return;
    }
}

// A new node follows the current one, among the same parent's children.
void HTMLStream::append(htmlstream_node* node) {
    if (first == nullptr) {
        first = node;
    } else {
        node->parent = current->parent;
        node->prev = current;
        current->next = node;
    }
    current = node;
}
