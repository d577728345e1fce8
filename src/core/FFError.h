#pragma once
// A plain std::exception carrying a fixed text. Used where the system throws
// an exception that is deliberately not a std::runtime_error (callers treat
// runtime errors differently, e.g. the picture read path rethrows only those).
#include <exception>
#include <string>

namespace Quillet {

class FFError : public std::exception {
public:
    explicit FFError(std::string text) : _text(std::move(text)) {}
    const char* what() const noexcept override { return _text.c_str(); }

private:
    std::string _text;
};

} // namespace Quillet
