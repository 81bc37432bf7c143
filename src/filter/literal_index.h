// Ruling patterns out before searching them: the text that every match of a
// pattern must contain, and an index that finds at once which of many such
// texts occur in a subject. A rule list of a thousand patterns then costs one
// pass over the host name plus a search of the few patterns whose text is
// there, instead of a thousand searches.
//
// Contract:
// - required_literal reads the pattern conservatively: it returns a text only
//   when every match of the pattern (compiled case-insensitive, as rules are)
//   contains it, ignoring ASCII case, and "" whenever it is not sure (top-level
//   alternation, group options, escapes it does not know...). A wrong answer
//   would let a request past a rule, so doubt always gives "".
// - LiteralIndex finds every listed text that occurs in a subject, ignoring
//   ASCII case, in one pass (Aho-Corasick). It is built once (with the rules,
//   under the section's write lock) and only read afterwards, by any number of
//   threads at once.
// - SlotSet is the per-search answer: one bit per slot. Callers keep one per
//   thread so that a search allocates nothing once it has grown.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

// The text every match of the pattern contains (lower-cased), or "".
std::string required_literal(const std::string& pattern);

// A set of slot numbers.
class SlotSet {
public:
    // Empties the set and makes room for slots 0 to count - 1.
    void reset(size_t count);
    void insert(size_t slot) { bits_[slot >> 6] |= uint64_t(1) << (slot & 63); }
    bool has(size_t slot) const { return (bits_[slot >> 6] >> (slot & 63)) & 1; }

private:
    std::vector<uint64_t> bits_;
};

class LiteralIndex {
public:
    // Adds a non-empty, lower-cased text under a slot; several slots may
    // share one text.
    void add(const std::string& text, size_t slot);
    // Builds the index from what was added; before it, nothing is found.
    void build();
    // Number of slots to make room for (the highest slot added, plus one).
    size_t slots() const { return slots_; }
    // Inserts into found the slot of every text occurring in subject.
    void scan(const char* subject, SlotSet& found) const;
    // The same over `length` bytes, NUL bytes included.
    void scan(const char* subject, size_t length, SlotSet& found) const;

private:
    struct Node {
        std::vector<std::pair<unsigned char, int>> next; // sorted by byte
        int fail = 0;        // longest proper suffix that is also a prefix
        int output = -1;     // nearest node on the fail chain ending a text
        std::vector<size_t> ends; // slots whose text ends here
    };
    int child(int node, unsigned char byte) const;
    std::vector<std::pair<std::string, size_t>> texts_;
    std::vector<Node> nodes_;
    size_t slots_ = 0;
};
