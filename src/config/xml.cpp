#include "config/xml.h"

#include <string.h>
#include <strings.h>

#include "core/mem.h"

using tinyxml2::XMLElement;

std::string xml_text(const XMLElement* element) {
    if (element == nullptr)
        return std::string();
    const tinyxml2::XMLNode* first = element->FirstChild();
    if (first == nullptr || first->ToText() == nullptr)
        return std::string();
    const char* value = first->Value();
    return value != nullptr ? std::string(value) : std::string();
}

XMLElement* section_select(tinyxml2::XMLDocument* doc, const char* name) {
    if (doc == nullptr)
        fatal_error("src/xml", 15, "section_select", 0);
    XMLElement* root = doc->RootElement();
    if (root == nullptr || strcmp(root->Name(), "kestrivan") != 0)
        fatal_error("src/xml", 18, "section_select", 0);
    XMLElement* element = root->FirstChildElement(name);
    if (element == nullptr)
        throw ConfigError();
    return element;
}

XmlElement::XmlElement(tinyxml2::XMLDocument* doc, const std::string& section_)
    : node(section_select(doc, section_.c_str())), section(section_) {}

XmlElement::XmlElement(tinyxml2::XMLDocument* doc, const std::string& section_,
                       const std::string& subsection)
    : node(section_select(doc, section_.c_str())->FirstChildElement(subsection.c_str())),
      section(section_), element(subsection) {}

int XmlElement::full() const {
    return node != nullptr;
}

int XmlElement::next() {
    if (node != nullptr)
        node = node->NextSiblingElement(element.c_str());
    return node != nullptr;
}

const XMLElement* XmlElement::child(const std::string& name) const {
    return node != nullptr ? node->FirstChildElement(name.c_str()) : nullptr;
}

std::string XmlElement::string_read(const std::string& name) const {
    return xml_text(child(name));
}

int XmlElement::check_active(const std::string& name) const {
    const XMLElement* field = child(name);
    if (field == nullptr)
        throw ConfigError();
    const char* state = field->Attribute("active");
    if (state == nullptr || strcasecmp(state, "true") == 0)
        return 1;
    if (strcasecmp(state, "false") == 0)
        return 0;
    throw ConfigError();
}

std::string XmlElement::section_get() const {
    return section;
}

std::string XmlElement::element_get() const {
    return element;
}
