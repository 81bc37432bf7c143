// Fuzz target of the HTML stream parser: the input is parsed in one piece
// and again in pieces whose sizes come from its first bytes (byte by byte
// for short inputs); both parses must give the same tree and the same
// callback calls, the tree's links must agree, and the work and memory
// bounds must hold. The input is also parsed as a single tag text.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "../unit/support/hstream_test_support.h"
#include "cache/hstream.h"
#include "fuzz_check.h"

namespace {

struct Parse {
    std::string tree;
    std::vector<std::string> calls;
};

Parse parse(const uint8_t* data, size_t size, uint64_t limit, bool split) {
    HTMLStream stream(limit);
    hstreamtest::Calls calls;
    for (const char* name : {"a", "img", "P", ""})
        stream.Callback(name, hstreamtest::note_call, &calls);
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t at = 0;
    unsigned turn = 0;
    while (at < size) {
        size_t piece = size - at;
        if (split)
            piece = size < 4096 ? 1 : 1 + data[turn++ % (size < 8 ? size : 8)] % 97;
        if (piece > size - at)
            piece = size - at;
        stream.Add(bytes + at, static_cast<unsigned>(piece));
        at += piece;
    }
    stream.Add(nullptr, 0);
    FUZZ_CHECK(hstreamtest::check_links(stream.root(), nullptr).empty());
    FUZZ_CHECK(stream.walked() <= HTMLSTREAM_WALK_PER_BYTE * size);
    FUZZ_CHECK(stream.memory() <= (HTMLSTREAM_MEMORY_FACTOR + 1) * limit + 65536);
    FUZZ_CHECK(stream.received() == size);
    return {hstreamtest::dump(stream.root()), calls.seen};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Small limits now and then, so that the cut-off is explored too.
    uint64_t limit = size > 0 && (data[0] & 7) == 0 ? 64 + size / 2 : HTMLSTREAM_DEFAULT_LIMIT;
    Parse whole = parse(data, size, limit, false);
    Parse pieces = parse(data, size, limit, true);
    FUZZ_CHECK(whole.tree == pieces.tree);
    FUZZ_CHECK(whole.calls == pieces.calls);

    HtmlArena arena(1 << 20);
    htmlstream_tag* tag = htmlstream_tag_parse(reinterpret_cast<const char*>(data), size, &arena);
    if (tag != nullptr) {
        FUZZ_CHECK(tag->name[0] != '\0');
        size_t total = strlen(tag->name);
        for (const htmlstream_attr* attr = tag->attr; attr != nullptr; attr = attr->next)
            total += strlen(attr->name) + strlen(attr->value);
        FUZZ_CHECK(total <= size);
    }
    return 0;
}
