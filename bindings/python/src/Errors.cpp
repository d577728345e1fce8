#include "Errors.h"

#include <new>
#include <string>

namespace QuilletPython {
namespace {

ErrorTypes types;

PyObject* NewType(py::module_& m, const char* name, PyObject* base, const char* doc)
{
    const std::string qualified = std::string("quillet.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (!type)
        throw py::error_already_set();
    m.add_object(name, py::handle(type));
    return type; // one reference kept for the life of the process
}

} // namespace

const ErrorTypes& Errors()
{
    return types;
}

void RegisterErrors(py::module_& m)
{
    types.error = NewType(m, "Error", PyExc_RuntimeError, "A failure the library reports.");
    py::tuple openBases = py::make_tuple(py::handle(types.error), py::handle(PyExc_OSError));
    types.open = NewType(m, "OpenError", openBases.ptr(),
                         "The source could not be opened; `reason` says why (\"not found\", "
                         "\"authorization failed\", \"timed out\", ...).");
    types.closed = NewType(m, "Closed", types.error, "The object was closed, perhaps by another thread.");
    py::tuple endBases = py::make_tuple(py::handle(types.error), py::handle(PyExc_EOFError));
    types.end = NewType(m, "EndOfStream", endBases.ptr(), "The last picture of the source was handed out.");
    py::tuple timeoutBases = py::make_tuple(py::handle(types.error), py::handle(PyExc_TimeoutError));
    types.timeout = NewType(m, "TimeoutError", timeoutBases.ptr(), "Gave up waiting, as asked.");
    auto both = [](PyObject* a, PyObject* b) { return py::make_tuple(py::handle(a), py::handle(b)); };
    types.invalidArgument = NewType(m, "InvalidArgument", both(types.error, PyExc_ValueError).ptr(),
                                    "An argument the library refuses (out of range, empty, unknown).");
    types.invalidData = NewType(m, "InvalidData", both(types.error, PyExc_ValueError).ptr(),
                                "Malformed data (a batch no server made): giving it again cannot help.");
    types.wrongKind = NewType(m, "WrongKind", both(types.error, PyExc_TypeError).ptr(),
                              "This kind of object does not offer the operation.");
    types.state = NewType(m, "StateError", types.error, "Not possible now (no source, not running, ...).");
    types.notFound = NewType(m, "SourceNotFound", both(types.open, PyExc_FileNotFoundError).ptr(),
                             "The file or URL does not exist.");
    types.accessDenied = NewType(m, "AccessDenied", both(types.open, PyExc_PermissionError).ptr(),
                                 "The camera refused the login, or the file may not be read.");
    types.openTimeout = NewType(m, "OpenTimeout", both(types.open, types.timeout).ptr(),
                                "The source did not answer within the timeout.");
    types.unreachable = NewType(m, "Unreachable", both(types.open, PyExc_ConnectionRefusedError).ptr(),
                                "Nothing answers at the camera's address.");
}

namespace {

[[noreturn]] void RaiseWith(PyObject* type, const std::string& message, int status, const std::string& reason,
                            const std::string* source = nullptr)
{
    py::object error = py::reinterpret_borrow<py::object>(type)(message);
    error.attr("status") = status;
    error.attr("reason") = reason;
    if (source)
        error.attr("source") = *source;
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

PyObject* TypeOf(int status)
{
    switch (status) {
    case QUILLET_ERROR_INVALID_HANDLE: return types.closed;
    case QUILLET_ERROR_INVALID_ARGUMENT: return types.invalidArgument;
    case QUILLET_ERROR_INVALID_DATA: return types.invalidData;
    case QUILLET_ERROR_WRONG_KIND: return types.wrongKind;
    case QUILLET_ERROR_STATE: return types.state;
    case QUILLET_ERROR_OPEN_FAILED: return types.open;
    case QUILLET_ERROR_NO_MEMORY: return PyExc_MemoryError;
    default: return types.error;
    }
}

} // namespace

void Raise(PyObject* type, const std::string& message)
{
    if (type == types.closed)
        RaiseWith(type, message, QUILLET_ERROR_INVALID_HANDLE, "closed");
    if (type == types.end)
        RaiseWith(type, message, QUILLET_END, "end of stream");
    if (type == types.timeout)
        RaiseWith(type, message, QUILLET_AGAIN, "timed out");
    RaiseWith(type, message, QUILLET_ERROR_FAILED, message);
}

int Check(int status, const char* what)
{
    if (status >= 0)
        return status;
    if (status == QUILLET_ERROR_INVALID_HANDLE)
        RaiseWith(types.closed, std::string(what) + ": closed", status, "closed");
    std::string detail = quillet_error_message();
    if (detail.empty())
        detail = quillet_status_name(status);
    if (status == QUILLET_ERROR_NO_MEMORY)
        throw std::bad_alloc();
    RaiseWith(TypeOf(status), std::string(what) + ": " + detail, status, detail);
}

void RaiseOpenError(const std::string& source, const std::string& reason)
{
    PyObject* type = reason == "not found"                                                   ? types.notFound
                     : reason == "authorization failed" || reason == "permission denied" ? types.accessDenied
                     : reason == "timed out"                                             ? types.openTimeout
                     : reason == "connection refused"                                    ? types.unreachable
                                                                                         : types.open;
    RaiseWith(type, "cannot open " + source + ": " + reason,
              reason == "closed" ? QUILLET_INTERRUPTED : QUILLET_ERROR_OPEN_FAILED, reason, &source);
}

const char* CText(const std::string& text, const char* what)
{
    if (text.find('\0') != std::string::npos)
        throw py::value_error(std::string(what) + " must not contain a NUL character");
    return text.c_str();
}

py::object CallableOrNone(py::object callback, const char* what)
{
    if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
        throw py::type_error(std::string(what) + " must be callable or None, not " +
                             std::string(py::str(py::type::of(callback).attr("__name__"))));
    return callback;
}

} // namespace QuilletPython
