#include "Errors.h"

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
}

void Raise(PyObject* type, const std::string& message)
{
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

int Check(int status, const char* what)
{
    if (status >= 0)
        return status;
    if (status == QUILLET_ERROR_INVALID_HANDLE)
        Raise(types.closed, std::string(what) + ": closed");
    std::string detail = quillet_error_message();
    if (detail.empty())
        detail = quillet_status_name(status);
    Raise(types.error, std::string(what) + ": " + detail);
}

void RaiseOpenError(const std::string& source, const std::string& reason)
{
    py::object error = py::reinterpret_borrow<py::object>(types.open)(
        "cannot open " + source + ": " + reason);
    error.attr("reason") = reason;
    error.attr("source") = source;
    PyErr_SetObject(types.open, error.ptr());
    throw py::error_already_set();
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
