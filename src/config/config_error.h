// The exceptions of the configuration framework.
//
// ConfigError is the only exception the framework throws. Converters and
// parsers of configuration text throw it bare: they do not know which
// section or field the text belongs to, their catcher does. The loader and
// the rule builders throw it with the complete message they have logged
// ("... section S, element E: F must be N, but it is given value V"), so the
// caller can report it again (a web page, a load result) without guessing.
//
// InterfaceError carries a message formatted like printf into at most 8095
// characters; nothing in the framework throws it.
#pragma once

#include <exception>
#include <string>
#include <utility>

class ConfigError : public std::exception {
public:
    ConfigError() = default;
    explicit ConfigError(std::string text) : message(std::move(text)) {}
    // The message, or a generic text for a bare error.
    const char* what() const noexcept override {
        return message.empty() ? "malformed configuration value" : message.c_str();
    }

    std::string message; // empty for a bare error
};

class InterfaceError {
public:
    explicit InterfaceError(const char* format, ...) __attribute__((format(printf, 2, 3)));

    std::string message;
};
