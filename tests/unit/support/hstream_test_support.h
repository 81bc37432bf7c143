// Helpers for tests of the HTML stream parser (unit tests and the fuzz
// target): a text form of a parsed tree to compare trees by, a check of the
// tree's link invariants, and a recorder of callback calls.
#pragma once

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "cache/hstream.h"

namespace hstreamtest {

// Text bytes as written, with quotes, backslashes and non-printable bytes
// escaped, so that two dumps are equal only when the bytes are.
inline void quote(std::string& out, const char* bytes, size_t n) {
    out += '"';
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// Siblings in order, separated by blanks: a tag as <name a="v" ...>, a text
// node as a quoted string, a nameless tag as <?>; children follow their
// node inside braces.
inline void dump_into(std::string& out, const htmlstream_node* node) {
    for (bool first = true; node != nullptr; node = node->next, first = false) {
        if (!first)
            out += ' ';
        if (node->text != nullptr) {
            quote(out, node->text, node->text_length);
        } else if (node->tag != nullptr) {
            out += '<';
            out += node->tag->name;
            for (const htmlstream_attr* attr = node->tag->attr; attr != nullptr; attr = attr->next) {
                out += ' ';
                out += attr->name;
                out += '=';
                quote(out, attr->value, strlen(attr->value));
            }
            out += '>';
        } else {
            out += "<?>";
        }
        if (node->child != nullptr) {
            out += '{';
            dump_into(out, node->child);
            out += '}';
        }
    }
}

inline std::string dump(const htmlstream_node* root) {
    std::string out;
    dump_into(out, root);
    return out;
}

// "" when every sibling, parent and child link agrees with the others and
// depths stay within the nesting limit; else what is wrong.
inline std::string check_links(const htmlstream_node* first, const htmlstream_node* parent,
                               int level = 0) {
    if (level > HTMLSTREAM_DEPTH_LIMIT + 2)
        return "tree deeper than the nesting limit";
    if (first != nullptr && first->prev != nullptr)
        return "first sibling has a previous node";
    for (const htmlstream_node* node = first; node != nullptr; node = node->next) {
        if (node->parent != parent)
            return "sibling with another parent";
        if (node->next != nullptr && node->next->prev != node)
            return "next and prev disagree";
        if (node->text != nullptr && node->tag != nullptr)
            return "node with both text and tag";
        if (node->text != nullptr && node->text[node->text_length] != '\0')
            return "text without terminator";
        if (node->depth < 0 || node->depth > HTMLSTREAM_DEPTH_LIMIT + 1)
            return "depth out of range";
        if (node->child == nullptr)
            continue;
        for (const htmlstream_node* child = node->child; child != nullptr; child = child->next)
            if (child->depth >= node->depth)
                return "child as deep as its parent";
        std::string below = check_links(node->child, node, level + 1);
        if (!below.empty())
            return below;
    }
    return "";
}

// Registered function that notes the tag name of each call in its Calls.
struct Calls {
    std::vector<std::string> seen;
};

inline int note_call(HTMLStream*, htmlstream_node* node, void* data) {
    Calls* calls = static_cast<Calls*>(data);
    calls->seen.push_back(node->tag != nullptr ? node->tag->name : "?");
    return 0;
}

} // namespace hstreamtest
