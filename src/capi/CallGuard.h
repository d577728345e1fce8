#pragma once
// How every function of the C interface turns C++ into status codes: the
// calling thread's last failure in words, one guard that catches every
// exception, and the thread-local storage of strings handed back.
//
// Threads: any application or library thread. Everything here is either
// thread-local or immutable; no lock.
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "quillet.h"

namespace Quillet::CApi {

// Records `message` as this thread's last failure and returns `status`.
int Fail(int status, std::string message);
// Clears this thread's last failure (each call begins with it).
void ClearError();
// This thread's last failure; "" after a success.
const char* LastError();

// An error that carries its status code, thrown inside the guards.
class StatusError : public std::runtime_error {
public:
    StatusError(int status, const std::string& message) : std::runtime_error(message), status(status) {}
    const int status;
};

// Runs `work` (returning a status) and turns every exception into a status
// code with the message kept for quillet_error_message().
template <class Work>
int Guard(Work&& work) noexcept
{
    ClearError();
    try {
        return work();
    } catch (const StatusError& e) {
        return Fail(e.status, e.what());
    } catch (const std::bad_alloc&) {
        return Fail(QUILLET_ERROR_NO_MEMORY, "out of memory");
    } catch (const std::exception& e) {
        return Fail(QUILLET_ERROR_INTERNAL, e.what());
    } catch (...) {
        return Fail(QUILLET_ERROR_INTERNAL, "unknown failure");
    }
}

// Checks an argument the caller must pass.
inline void Require(bool ok, const char* what)
{
    if (!ok)
        throw StatusError(QUILLET_ERROR_INVALID_ARGUMENT, what);
}

// A C string argument that may be NULL (read as "").
inline std::string Text(const char* s)
{
    return s ? std::string(s) : std::string();
}

// A string this thread keeps for the caller until it asks `slot` again.
const char* KeepForThread(int slot, std::string text);

// Slots of KeepForThread: one per function that hands back a string.
enum KeptString { kOpenFailure = 0, kKeptStringCount };

} // namespace Quillet::CApi
