#pragma once
// Status codes of the C interface turned into Python exceptions.
//
// Threads: any thread holding the interpreter lock. quillet_error_message() is
// per thread, so a failed call's detail is read on the thread that made it,
// right after it (releasing and taking the interpreter lock in between keeps
// the thread).
#include <pybind11/pybind11.h>

#include <quillet/quillet.h>

namespace QuilletPython {

namespace py = pybind11;

/// The exception classes of the module (quillet.Error and its subclasses), made once by
/// RegisterErrors and kept for the life of the process.
/// Every one carries `.status` (the C interface's status) and `.reason` (why, in words).
struct ErrorTypes {
    PyObject* error = nullptr;       // quillet.Error: any failure the library reports
    PyObject* open = nullptr;        // quillet.OpenError: the source could not be opened (.reason)
    PyObject* closed = nullptr;      // quillet.Closed: the object was closed (perhaps by another thread)
    PyObject* end = nullptr;         // quillet.EndOfStream: the last picture was handed out
    PyObject* timeout = nullptr;     // quillet.TimeoutError: gave up waiting as asked
    PyObject* invalidArgument = nullptr; // quillet.InvalidArgument (ValueError)
    PyObject* invalidData = nullptr;     // quillet.InvalidData (ValueError): malformed bytes
    PyObject* wrongKind = nullptr;       // quillet.WrongKind (TypeError)
    PyObject* state = nullptr;           // quillet.StateError: not possible now
    PyObject* notFound = nullptr;        // quillet.SourceNotFound (OpenError, FileNotFoundError)
    PyObject* accessDenied = nullptr;    // quillet.AccessDenied (OpenError, PermissionError)
    PyObject* openTimeout = nullptr;     // quillet.OpenTimeout (OpenError, quillet.TimeoutError)
    PyObject* unreachable = nullptr;     // quillet.Unreachable (OpenError, ConnectionRefusedError)
};
const ErrorTypes& Errors();
void RegisterErrors(py::module_& m);

/// Raises `type` with `message` (never returns); its `.status` and `.reason` are those of the
/// type (Closed: INVALID_HANDLE and "closed", EndOfStream: END, TimeoutError: AGAIN, else FAILED).
[[noreturn]] void Raise(PyObject* type, const std::string& message);
/// Raises the quillet.Error subclass of a negative `status` of `what`, with the library's detail
/// as `.reason`; returns non-negative statuses unchanged. INVALID_HANDLE raises quillet.Closed.
int Check(int status, const char* what);
/// Raises the quillet.OpenError subclass of `reason` ("not found": SourceNotFound, "authorization
/// failed" or "permission denied": AccessDenied, "timed out": OpenTimeout, "connection refused":
/// Unreachable), carrying `reason`, `source` and the status OPEN_FAILED.
[[noreturn]] void RaiseOpenError(const std::string& source, const std::string& reason);
/// `text` for the C interface; ValueError when it holds a NUL character, which would cut it short
/// there (a path "clip.mp4\0junk" would open clip.mp4).
const char* CText(const std::string& text, const char* what);
/// `callback` itself; TypeError unless it is None or callable.
py::object CallableOrNone(py::object callback, const char* what);

} // namespace QuilletPython
