// Required texts of patterns and the index that finds them; see
// literal_index.h.
#include "filter/literal_index.h"

#include <string.h>

#include <algorithm>
#include <deque>

namespace {

const size_t NONE = std::string::npos;

bool ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

unsigned char ascii_lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Bytes that stand for themselves in a pattern outside a class.
bool plain_byte(unsigned char c) {
    return ascii_alnum(c) || (c != 0 && strchr("-_/=&,;:@%~!'\"<>`", c) != nullptr);
}

// Constructs that change how the rest of the pattern is read (quoting,
// option settings such as extended mode, verbs, control escapes that take
// the next byte): with any of them the pattern is not read at all.
bool unsure_anywhere(const std::string& p) {
    if (p.find("\\Q") != NONE || p.find("\\c") != NONE || p.find("(*") != NONE)
        return true;
    for (size_t at = p.find("(?"); at != NONE; at = p.find("(?", at + 1))
        if (at + 2 >= p.size() || p[at + 2] != ':')
            return true;
    return false;
}

// The index after the class that starts at p[i] == '[', or NONE.
size_t skip_class(const std::string& p, size_t i) {
    i++;
    if (i < p.size() && p[i] == '^')
        i++;
    if (i < p.size() && p[i] == ']')
        i++; // a ']' first is a member
    while (i < p.size()) {
        if (p[i] == '\\') {
            i += 2;
            continue;
        }
        if (p[i] == '[' && i + 1 < p.size() && p[i + 1] == ':') {
            size_t close = p.find(":]", i + 2);
            if (close != NONE) {
                i = close + 2;
                continue;
            }
        }
        if (p[i] == ']')
            return i + 1;
        i++;
    }
    return NONE;
}

// The index after the group that starts at p[i] == '(', or NONE.
size_t skip_group(const std::string& p, size_t i) {
    int depth = 0;
    while (i < p.size()) {
        switch (p[i]) {
        case '\\':
            i += 2;
            continue;
        case '[':
            i = skip_class(p, i);
            if (i == NONE)
                return NONE;
            continue;
        case '(':
            depth++;
            break;
        case ')':
            if (--depth == 0)
                return i + 1;
            break;
        default:
            break;
        }
        i++;
    }
    return NONE;
}

} // namespace

// The pattern is read as a sequence of top-level items, every one of which
// a match passes through in order. Runs of plain bytes between them must
// therefore appear as they are; a byte a quantifier makes optional or
// repeatable ends its run without it. Groups and classes are stepped over
// whole: what they require is not counted, only that they end a run.
std::string required_literal(const std::string& p) {
    if (unsure_anywhere(p))
        return "";
    std::string best, run;
    bool last_plain = false; // the last item was a byte appended to run
    auto end_run = [&] {
        if (run.size() > best.size())
            best = run;
        run.clear();
        last_plain = false;
    };
    size_t i = 0;
    while (i < p.size()) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\\') {
            if (i + 1 >= p.size())
                return "";
            unsigned char e = static_cast<unsigned char>(p[i + 1]);
            i += 2;
            if (ascii_alnum(e)) {
                // One-item escapes (classes, assertions) end a run; any other
                // may take more bytes (\x{..}, \g{..}, \p{..}): not sure.
                if (strchr("dDwWsShHvVbBRXN", e) == nullptr)
                    return "";
                end_run();
            } else if (e > 0x20 && e < 0x7f) {
                run += static_cast<char>(e); // escaped punctuation is itself
                last_plain = true;
            } else {
                end_run();
            }
            continue;
        }
        switch (c) {
        case '|': // alternatives at the top: no one text is required
        case ')':
            return "";
        case '(':
            end_run();
            i = skip_group(p, i);
            if (i == NONE)
                return "";
            continue;
        case '[':
            end_run();
            i = skip_class(p, i);
            if (i == NONE)
                return "";
            continue;
        case '?':
        case '*':
        case '+':
        case '{':
            // A '{' that is no quantifier is a plain byte to PCRE2; dropping
            // the byte before it all the same only shortens the run.
            if (last_plain)
                run.pop_back();
            end_run();
            i++;
            if (c == '{') {
                while (i < p.size() && ((p[i] >= '0' && p[i] <= '9') || p[i] == ','))
                    i++;
                if (i < p.size() && p[i] == '}')
                    i++;
            }
            if (i < p.size() && (p[i] == '?' || p[i] == '+'))
                i++; // lazy or possessive
            continue;
        default:
            if (plain_byte(c)) {
                run += static_cast<char>(ascii_lower(c));
                last_plain = true;
            } else {
                end_run(); // '.', '^', '$' and every other byte
            }
            i++;
        }
    }
    end_run();
    return best;
}

void SlotSet::reset(size_t count) {
    bits_.assign((count + 63) / 64, 0);
}

void LiteralIndex::add(const std::string& text, size_t slot) {
    texts_.emplace_back(text, slot);
    slots_ = std::max(slots_, slot + 1);
}

int LiteralIndex::child(int node, unsigned char byte) const {
    const auto& next = nodes_[static_cast<size_t>(node)].next;
    auto found = std::lower_bound(next.begin(), next.end(), byte,
                                  [](const std::pair<unsigned char, int>& entry,
                                     unsigned char wanted) { return entry.first < wanted; });
    return found != next.end() && found->first == byte ? found->second : -1;
}

void LiteralIndex::build() {
    nodes_.assign(1, Node());
    for (const auto& text : texts_) {
        int node = 0;
        for (unsigned char byte : text.first) {
            int next = child(node, byte);
            if (next < 0) {
                next = static_cast<int>(nodes_.size());
                nodes_.emplace_back();
                auto& edges = nodes_[static_cast<size_t>(node)].next;
                edges.insert(std::lower_bound(edges.begin(), edges.end(),
                                              std::make_pair(byte, -1)),
                             std::make_pair(byte, next));
            }
            node = next;
        }
        nodes_[static_cast<size_t>(node)].ends.push_back(text.second);
    }
    // Failure and output links, breadth first.
    std::deque<int> queue;
    for (const auto& edge : nodes_[0].next)
        queue.push_back(edge.second);
    while (!queue.empty()) {
        int node = queue.front();
        queue.pop_front();
        for (const auto& edge : nodes_[static_cast<size_t>(node)].next) {
            int target = edge.second;
            int fail = nodes_[static_cast<size_t>(node)].fail;
            int link = child(fail, edge.first);
            while (link < 0 && fail != 0) {
                fail = nodes_[static_cast<size_t>(fail)].fail;
                link = child(fail, edge.first);
            }
            int resolved = link >= 0 ? link : 0;
            Node& entry = nodes_[static_cast<size_t>(target)];
            entry.fail = resolved;
            entry.output = nodes_[static_cast<size_t>(resolved)].ends.empty()
                               ? nodes_[static_cast<size_t>(resolved)].output
                               : resolved;
            queue.push_back(target);
        }
    }
}

void LiteralIndex::scan(const char* subject, SlotSet& found) const {
    scan(subject, strlen(subject), found);
}

void LiteralIndex::scan(const char* subject, size_t length, SlotSet& found) const {
    found.reset(slots_);
    if (nodes_.empty())
        return;
    int node = 0;
    for (const char* p = subject, *end = subject + length; p != end; p++) {
        unsigned char byte = ascii_lower(static_cast<unsigned char>(*p));
        int next = child(node, byte);
        while (next < 0 && node != 0) {
            node = nodes_[static_cast<size_t>(node)].fail;
            next = child(node, byte);
        }
        node = next >= 0 ? next : 0;
        for (int out = node; out > 0; out = nodes_[static_cast<size_t>(out)].output)
            for (size_t slot : nodes_[static_cast<size_t>(out)].ends)
                found.insert(slot);
    }
}
