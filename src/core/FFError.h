#pragma once
// A plain std::exception carrying a fixed text. Used where the system throws
// an exception that is deliberately not a std::runtime_error (callers treat
// runtime errors differently, e.g. the picture read path rethrows only those).
// Immutable: may be thrown and read on any thread.
#include <exception>
#include <string>

namespace Quillet {

class FFError : public std::exception {
public:
    explicit FFError(std::string text) : _text(std::move(text)) {}
    const char* what() const noexcept override { return _text.c_str(); }

private:
    // Fixed at construction; an exception may be read on any thread.
    std::string _text;
};

} // namespace Quillet
