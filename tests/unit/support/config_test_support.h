// Helpers for the configuration framework's tests: a small section
// definition covering every field type, a section class that records its
// updates, and readers of the shipped files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tinyxml2.h>

#include "config/section.h"
#include "support/log_test_support.h"

namespace configtest {

// A field element of a definition file.
inline std::string field(const std::string& name, int n, const std::string& type,
                         const std::string& value, const std::string& extra = "") {
    return "<" + name + " n=\"" + std::to_string(n) + "\"><comment>" + name +
           " label</comment><value>" + value + "</value><type>" + type + "</type><desc>" + name +
           " text</desc>" + extra + "</" + name + ">";
}

// Section "demo": every field type among its globals and its entry template
// "rule" (subsections "rules" and "extra"), with the choice list "colours"
// (green preselected). Section "other": one global INT and no subsection.
inline std::string demo_definition() {
    return "<section><demo><comment>Demo section</comment><desc>For tests</desc>"
           "<select><colours><red><comment>Red</comment></red>"
           "<green><comment>Green</comment><value>true</value></green><blue/></colours></select>"
           "<global>" +
           field("enabled", 0, "BOOL", "true") + field("count", 1, "INT", "5") +
           field("size", 2, "FILE_SIZE", "1M") + field("ports", 3, "PORT_RANGE_LIST", "") +
           field("colour", 4, "STRING_SELECT_ONE", "colours") +
           field("limit", 5, "UINT", "7", "<optional>true</optional>") +
           field("title", 6, "STRING", "hello") + "</global><template><rule>" +
           field("enabled", 0, "BOOL", "true") + field("comment", 1, "STRING", "") +
           field("level", 2, "INT", "3") + field("addresses", 3, "IP_RANGE_LIST", "") +
           field("window", 4, "INT_RANGE", "1,10", "<optional>true</optional>") +
           field("pattern", 5, "STRING", "") + field("colours", 6, "STRING_SELECT_MANY", "colours") +
           field("span", 7, "STRING_RANGE", "colours", "<optional>true</optional>") +
           field("big", 8, "LONG_FILE_SIZE", "1g") + field("ratio", 9, "DOUBLE", "0.5") +
           field("notes", 10, "MULTILINE_STRING", "") + field("names", 11, "STRING_LIST", "a,b") +
           field("uses", 12, "UINT", "0") +
           "</rule></template><subsection>"
           "<rules><comment>Rules</comment><template>rule</template><desc>The rules</desc></rules>"
           "<extra><comment>Extra</comment><template>rule</template><desc>More</desc></extra>"
           "</subsection></demo>"
           "<other><comment>Other</comment><desc>Another</desc><global>" +
           field("number", 0, "INT", "1") + "</global></other></section>";
}

// Makes `xml` the section-definition document in force (the previous one
// is leaked on purpose: sections built from it may still be alive).
inline void use_definition(const std::string& xml) {
    sectionxml = new tinyxml2::XMLDocument();
    ASSERT_EQ(sectionxml->Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << sectionxml->ErrorStr();
}

// A section whose update() counts its calls and checks the entry patterns
// at `pattern_field` of every entry of its first subsection, as a rule
// builder does.
class ProbeSection : public Section {
public:
    explicit ProbeSection(const std::string& name, int mode = SECTION_RWLOCK,
                          int pattern_field = -1)
        : Section(name, mode), pattern_field_(pattern_field) {}

    void update() override {
        ++updates;
        entries_seen = subsections.empty() ? 0 : subsections[0].items.size();
        if (pattern_field_ >= 0 && !subsections.empty())
            for (const Item& item : subsections[0].items)
                item.pattern_check(static_cast<size_t>(pattern_field_));
    }

    int updates = 0;
    size_t entries_seen = 0;

private:
    int pattern_field_;
};

// A parsed document, owned by the caller.
inline tinyxml2::XMLDocument* parse_document(const std::string& xml) {
    auto* doc = new tinyxml2::XMLDocument();
    EXPECT_EQ(doc->Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << doc->ErrorStr();
    return doc;
}

inline void write_file(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
}

// The project's source directory, found from this file's own path.
inline std::string source_dir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/tests/unit/"));
}

// Whether the error log at `path` holds a line ending in `text`.
inline bool log_has(const std::string& path, const std::string& text) {
    for (const std::string& line : logtest::file_lines(path))
        if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
            return true;
    return false;
}

} // namespace configtest
