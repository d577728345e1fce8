#pragma once
// The library's error model, the one rule every layer follows:
// - Inside the library a failure is an exception.
// - A worker thread catches at its outer loop and reports through its
//   messenger (Error with a message number); the application hears of it as
//   an event.
// - A public engine operation catches every exception (FFEngine::Guarded),
//   writes the two ERROR lines of ErrorPlace and returns its neutral value
//   (false, 0, -1.0, an empty result); nothing reaches the caller. The facade
//   adds -1 / 0.0 / false answers of its own only once its engine is gone.
// - One operation passes an error on: reading a picture. A std::runtime_error
//   (the environment failed: memory, the system, a converter) is logged and
//   rethrown by FFEngine::ReadVideo and reaches the application from
//   FFWrapper::ReadFrameGetSize; anything else there (std::logic_error,
//   std::invalid_argument, FFError: this stream or state cannot be handled)
//   is logged and answered with no picture.
// So FFError, a plain std::exception carrying a fixed text, is what the
// system throws for a failure the caller is not to see as an exception.
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
