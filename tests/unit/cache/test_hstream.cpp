#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "cache/hstream.h"
#include "core/log.h"
#include "support/hstream_test_support.h"
#include "support/log_test_support.h"

using hstreamtest::Calls;
using hstreamtest::check_links;
using hstreamtest::dump;
using hstreamtest::note_call;

namespace {

// Parses the body fed in pieces that end at the given offsets, then flushes.
std::string parse_split(const std::string& body, const std::vector<size_t>& cuts,
                        Calls* calls = nullptr, uint64_t limit = HTMLSTREAM_DEFAULT_LIMIT) {
    HTMLStream stream(limit);
    if (calls != nullptr) {
        stream.Callback("a", note_call, calls);
        stream.Callback("img", note_call, calls);
        stream.Callback("link", note_call, calls);
    }
    size_t from = 0;
    for (size_t cut : cuts) {
        stream.Add(body.data() + from, static_cast<unsigned>(cut - from));
        from = cut;
    }
    stream.Add(body.data() + from, static_cast<unsigned>(body.size() - from));
    stream.Add(nullptr, 0);
    std::string links = check_links(stream.root(), nullptr);
    EXPECT_EQ(links, "") << body;
    return dump(stream.root());
}

std::string parse_whole(const std::string& body) { return parse_split(body, {}); }

struct TreeCase {
    const char* name;
    std::string body;
    std::string tree;
};

TEST(HtmlStreamTree, DocumentsGiveTheirTrees) {
    const TreeCase cases[] = {
        {"text between tags", "<p>Hello<br>world</p>", "<p> \"Hello\" <br> \"world\""},
        {"close tag: the node before the open tag adopts it and what follows",
         "<i>a<b>c</b>", "<i> \"a\"{<b> \"c\"}"},
        {"text after an adoption joins the adopting text node", "<i>a<b>c</b>d",
         "<i> \"ad\"{<b> \"c\"}"},
        {"open tag first in the document: nothing adopts", "<b>x</b>", "<b> \"x\""},
        {"unmatched close tag changes nothing", "<p>x</q>y", "<p> \"xy\""},
        {"close tag name compared over its own length", "<p><abbr>t</a>",
         "<p>{<abbr> \"t\"}"},
        {"empty close tag matches the nearest tag", "<p><q>t</>", "<p>{<q> \"t\"}"},
        {"close tag compared ignoring case", "<p><DIV>t</div>", "<p>{<DIV> \"t\"}"},
        {"an adopter takes children once only", "<ul><li>a</li><li>b</li></ul>",
         "<ul>{<li> \"a\"} <li> \"b\""},
        {"a tag inside a comment makes no node",
         "<p>x<!-- <img src=a> -->y<br>", "<p> \"x<!-- <img src=a> -->y\" <br>"},
        {"comment ends at a '>' after '-' only", "<p><!-- a > b -->c<q>",
         "<p> \"<!-- a > b -->c\" <q>"},
        {"comment at the very start", "<!-- c -->\n<html>", "\"<!-- c -->\\x0a\" <html>"},
        {"flush keeps text and newline after the last tag", "<p>text\n",
         "<p> \"text\\x0a\""},
        {"a body without tags is one text node", "just some words",
         "\"just some words\""},
        {"blank runs make no node", "<p> \r\n\t <q>", "<p> <q>"},
        {"text of other scripts is text", "<p>\xc3\xa9t\xc3\xa9<q>\xe2\x80\x94<r>",
         "<p> \"\\xc3\\xa9t\\xc3\\xa9\" <q> \"\\xe2\\x80\\x94\" <r>"},
        {"tags without a name are kept as nodes", "<p><>x< >", "<p> <?> \"x\" <?>"},
        {"'>' without '<' is text", "a > b<p>c>d", "\"a > b\" <p> \"c>d\""},
        {"'<' inside a tag starts it again", "<p>x<a <b>", "<p> \"xa \" <b>"},
        {"unterminated tag at the end becomes text", "<p>x<b", "<p> \"xb\""},
        {"bytes after the last '<' of a comment opener wait and are then text",
         "<p>x<!-", "<p> \"x!-\""},
        {"NUL bytes inside text are kept", std::string("<p>a\0b<q>", 9),
         "<p> \"a\\x00b\" <q>"},
    };
    for (const TreeCase& c : cases)
        EXPECT_EQ(parse_whole(c.body), c.tree) << c.name;
}

struct TagCase {
    const char* text;
    const char* parsed; // dump of the tag node; "" for no tag
};

TEST(HtmlStreamTags, AttributesAreFoundWhateverTheirSpelling) {
    const TagCase cases[] = {
        {"<img src=a.png>", "<img src=\"a.png\">"},
        {"<img src = a.png>", "<img src=\"a.png\">"},
        {"<img alt=\"two words\" src=x>", "<img alt=\"two words\" src=\"x\">"},
        {"<img src='a b.png'>", "<img src=\"a b.png\">"},
        {"<img alt='it\"s' src=\"y'z\">", "<img alt=\"it\\\"s\" src=\"y'z\">"},
        // Blanks of every kind separate attributes.
        {"<img\n\tsrc=a.png\r\nalt=x>", "<img src=\"a.png\" alt=\"x\">"},
        // An attribute without value does not swallow the next one.
        {"<script defer src=app.js>", "<script defer=\"\" src=\"app.js\">"},
        {"<img alt=\"\" src=x.png>", "<img alt=\"\" src=\"x.png\">"},
        {"<input value= disabled>", "<input value=\"disabled\">"},
        {"<a href=>", "<a href=\"\">"},
        {"<img src=\"a.png\"/>", "<img src=\"a.png\">"},
        {"<img src=a.png/>", "<img src=\"a.png/\">"},
        {"<br/>", "<br/>"},
        {"<A HREF=X>", "<A HREF=\"X\">"},
        {"<a =x>", "<a x=\"\">"},
        // A quote never closed loses its value.
        {"<a title=\"x> href=y", "<a title=\"\">"},
        {"<>", "<?>"},
        {"< \n>", "<?>"},
        {"<=>", "<?>"},
        {"<\"quoted name\" x=1>", "<quoted name x=\"1\">"},
    };
    for (const TagCase& c : cases) {
        HtmlArena arena(1 << 20);
        htmlstream_tag* tag = htmlstream_tag_parse(c.text, strlen(c.text), &arena);
        htmlstream_node node = {};
        node.tag = tag;
        EXPECT_EQ(dump(&node), c.parsed) << c.text;
    }
}

TEST(HtmlStreamTags, AttributeValueLookupIgnoresCase) {
    HtmlArena arena(1 << 20);
    const char text[] = "<IMG SRC=one.png src=two.png Alt=x>";
    htmlstream_tag* tag = htmlstream_tag_parse(text, sizeof text - 1, &arena);
    ASSERT_NE(tag, nullptr);
    EXPECT_STREQ(htmlstream_attr_value(tag, "src"), "one.png");
    EXPECT_STREQ(htmlstream_attr_value(tag, "ALT"), "x");
    EXPECT_EQ(htmlstream_attr_value(tag, "href"), nullptr);
    EXPECT_EQ(htmlstream_attr_value(nullptr, "src"), nullptr);
}

// A page with what real pages hold: a doctype, comments (one with tags in
// it), scripts with '<' and '>', quoted attributes with blanks and '>',
// entities, self-closing tags, tags across lines, unclosed and stray tags,
// CRLF line ends, text of other scripts.
const char FIXTURE[] =
    "<!DOCTYPE html>\r\n<html lang=\"en\">\r\n<head>\r\n"
    "<meta charset=utf-8>\r\n<title>Fixture &amp; page</title>\r\n"
    "<link rel=\"stylesheet\" href=\"/css/site.css\"/>\r\n"
    "<!-- <img src=\"commented.png\"> -->\r\n"
    "<script>if (a < b && c > d) { x = '<p>'; }</script>\r\n"
    "</head>\r\n<body class='main page'>\r\n"
    "<div id=top><a href=\"/a?x=1&amp;y=2\">First</a> and <b>bold <i>italic</i></b>.</div>\r\n"
    "<ul>\r\n<li><img\r\n  src=\"one.png\"\r\n  alt=\"\">one</li>\r\n<li><img src='two.png'>two\r\n"
    "<li><IMG SRC=three.png>three</li>\r\n</ul>\r\n"
    "<p title=\"a > b\">quoted</p>\r\n<p>caf\xc3\xa9 \xe2\x80\x94 na\xc3\xafve</p>\r\n"
    "<table><tr><td>1</td><td>2</td></tr></table>\r\n"
    "</span></div></div>stray closes<br/><hr />\r\n"
    "<!---->x<!-- a -- b -->y<a href=\"/last\">end</a>\r\n"
    "</body>\r\n</html>\r\n";

TEST(HtmlStreamSplit, EverySplitOfTheFixtureGivesTheSameTreeAndCalls) {
    const std::string body(FIXTURE);
    Calls whole_calls;
    const std::string whole = parse_split(body, {}, &whole_calls);
    ASSERT_NE(whole.find("<img src=\"one.png\" alt=\"\">"), std::string::npos) << whole;
    ASSERT_EQ(whole_calls.seen, (std::vector<std::string>{"link", "a", "img", "img", "IMG", "a"}));
    for (size_t cut = 1; cut < body.size(); cut++) {
        Calls calls;
        ASSERT_EQ(parse_split(body, {cut}, &calls), whole) << "split at " << cut;
        ASSERT_EQ(calls.seen, whole_calls.seen) << "split at " << cut;
    }
    std::vector<size_t> every_byte;
    for (size_t cut = 1; cut < body.size(); cut++)
        every_byte.push_back(cut);
    Calls calls;
    EXPECT_EQ(parse_split(body, every_byte, &calls), whole);
    EXPECT_EQ(calls.seen, whole_calls.seen);
}

struct CallbackProbe {
    int calls = 0;
    htmlstream_node* node = nullptr;
};

int probe(HTMLStream*, htmlstream_node* node, void* data) {
    CallbackProbe* p = static_cast<CallbackProbe*>(data);
    p->calls++;
    p->node = node;
    return 1;
}

TEST(HtmlStreamCallbacks, RunAsSoonAsTheTagIsComplete) {
    HTMLStream stream;
    CallbackProbe first, second;
    EXPECT_EQ(stream.Callback("img", probe, &first), 1);
    EXPECT_EQ(stream.Callback("IMG", probe, &second), 0); // the first stays
    const char piece1[] = "<p>text<img sr";
    const char piece2[] = "c=\"a.png\">more";
    stream.Add(piece1, sizeof piece1 - 1);
    EXPECT_EQ(first.calls, 0);
    stream.Add(piece2, sizeof piece2 - 1);
    ASSERT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
    EXPECT_STREQ(htmlstream_attr_value(first.node->tag, "src"), "a.png");
    stream.Add(nullptr, 0);
    stream.Add(nullptr, 0); // a second flush changes nothing
    EXPECT_EQ(dump(stream.root()), "<p> \"text\" <img src=\"a.png\"> \"more\"");
}

TEST(HtmlStreamCallbacks, ComparedIgnoringCaseAndOnlyForTheirName) {
    HTMLStream stream;
    CallbackProbe img, link;
    stream.Callback("Img", probe, &img);
    stream.Callback("link", probe, &link);
    const char page[] = "<IMG src=1><img src=2><image src=3><!--<img src=4>--><a><link>";
    stream.Add(page, sizeof page - 1);
    stream.Add(nullptr, 0);
    EXPECT_EQ(img.calls, 2);
    EXPECT_EQ(link.calls, 1);
}

TEST(HtmlStreamBounds, ConsumedTextIsDropped) {
    std::string page;
    while (page.size() < (1u << 20))
        page += "<p class=\"row\">Some text of the row <a href=\"/x/y.html\">link</a></p>\n";
    HTMLStream stream;
    unsigned held = 0;
    for (size_t at = 0; at < page.size(); at += 4096) {
        size_t n = std::min<size_t>(4096, page.size() - at);
        stream.Add(page.data() + at, static_cast<unsigned>(n));
        held = std::max(held, stream.pending());
    }
    stream.Add(nullptr, 0);
    EXPECT_LT(held, 4096u + 128);
    EXPECT_FALSE(stream.truncated());
    EXPECT_EQ(stream.received(), page.size());
}

// Pages built to make a naive parser slow or large; each is parsed with a
// bounded number of walk steps and bounded memory.
TEST(HtmlStreamBounds, HostilePagesCostLinearWork) {
    const size_t MiB = 1u << 20;
    auto repeat = [](const std::string& unit, size_t size) {
        std::string out;
        out.reserve(size + unit.size());
        while (out.size() < size)
            out += unit;
        return out;
    };
    struct Hostile {
        const char* name;
        std::string body;
    };
    const Hostile pages[] = {
        {"1 MiB of unclosed tags, then unmatched close tags",
         repeat("<div>", MiB) + repeat("</span>", MiB)},
        {"1 MiB of unclosed tags, then their close tags", repeat("<a>", MiB) + repeat("</a>", MiB)},
        {"close tags among text and tags", repeat("<b>x</q>", 2 * MiB)},
        {"nameless tags and close tags", repeat("<></>", 2 * MiB)},
    };
    for (const Hostile& page : pages) {
        HTMLStream stream(4 * MiB);
        for (size_t at = 0; at < page.body.size(); at += 16384) {
            size_t n = std::min<size_t>(16384, page.body.size() - at);
            stream.Add(page.body.data() + at, static_cast<unsigned>(n));
        }
        stream.Add(nullptr, 0);
        EXPECT_LE(stream.walked(), HTMLSTREAM_WALK_PER_BYTE * page.body.size()) << page.name;
        EXPECT_LE(stream.memory(), (HTMLSTREAM_MEMORY_FACTOR + 1) * 4 * MiB + 65536) << page.name;
        EXPECT_EQ(check_links(stream.root(), nullptr), "") << page.name;
    }
}

TEST(HtmlStreamBounds, NestingStopsAtTheLimitAndIsLoggedOnce) {
    log_buffer = logbuffer_new(100);
    std::string page;
    for (int i = 0; i < 200; i++)
        page += "<a>";
    for (int i = 0; i < 200; i++)
        page += "</a>";
    HTMLStream stream;
    for (char c : page)
        stream.Add(&c, 1);
    stream.Add(nullptr, 0);
    EXPECT_EQ(check_links(stream.root(), nullptr), "");
    int deepest = 0;
    for (htmlstream_node* node = stream.root(); node != nullptr; node = node->next)
        deepest = std::max(deepest, node->depth);
    EXPECT_EQ(deepest, HTMLSTREAM_DEPTH_LIMIT + 1);
    int lines = 0;
    for (const std::string& line : logtest::buffered(log_buffer))
        lines += line.find("HTML nesting limit 64 reached") != std::string::npos;
    EXPECT_EQ(lines, 1);
}

TEST(HtmlStreamBounds, OnlyTheLimitIsParsed) {
    std::string page;
    while (page.size() < 200000)
        page += "<p>row <img src=x.png></p>\n";
    const uint64_t limit = 65536;
    Calls all, limited;
    std::string head = parse_split(page.substr(0, limit), {}, &all);
    std::string cut = parse_split(page, {1000, 70000, 150000}, &limited, limit);
    EXPECT_EQ(cut, head);
    EXPECT_EQ(limited.seen, all.seen);
}

TEST(HtmlStreamBounds, MemoryOfTheTreeIsBounded) {
    // Two bytes per node: the tree would take many times the page.
    std::string page;
    while (page.size() < 400000)
        page += "<>";
    const uint64_t limit = 400000;
    HTMLStream stream(limit);
    stream.Add(page.data(), static_cast<unsigned>(page.size()));
    stream.Add(nullptr, 0);
    EXPECT_TRUE(stream.truncated());
    EXPECT_LE(stream.memory(), (HTMLSTREAM_MEMORY_FACTOR + 1) * limit + 65536);
    EXPECT_EQ(check_links(stream.root(), nullptr), "");
    // What was parsed stays usable.
    ASSERT_NE(stream.root(), nullptr);
    EXPECT_EQ(stream.root()->tag, nullptr);
}

} // namespace
