// Raising host exceptions and turning failed C-API calls into C++ exceptions.
// Everything we raise goes through the Python error indicator, so the method
// trampoline (methods.hpp) only has to restore it.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace tovik {
namespace nb = nanobind;

[[noreturn]] inline void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

[[noreturn]] inline void raise_type_error(const std::string &message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void raise_value_error(const std::string &message) { raise(PyExc_ValueError, message); }
// The host's general exception (`Exception`), used for the system's own refusals.
[[noreturn]] inline void raise_exception(const std::string &message) { raise(PyExc_Exception, message); }

// Turns a NULL result of a C-API call into a C++ exception carrying the Python error.
inline PyObject *check(PyObject *result) {
    if (!result)
        throw nb::python_error();
    return result;
}
inline void check_status(int status) {
    if (status < 0)
        throw nb::python_error();
}

// Is this Python error one of the host's ordinary errors (Exception and its
// subclasses)? Interrupts and exit requests are not, and are never swallowed.
inline bool is_ordinary(const nb::python_error &e) {
    return PyErr_GivenExceptionMatches(e.type().ptr(), PyExc_Exception);
}
inline bool is_ordinary(nb::handle exception) {
    return PyErr_GivenExceptionMatches((PyObject *) Py_TYPE(exception.ptr()), PyExc_Exception);
}

// A handler that must run Python code keeps the exception object and leaves its
// `catch` block first: an nb::python_error takes the GIL in its destructor, and on a
// daemon thread at interpreter exit that ends the thread in the middle of unwinding
// (std::terminate). raise_again raises the kept object, traceback and all.
[[noreturn]] inline void raise_again(nb::object error) {
    PyErr_SetRaisedException(error.release().ptr());
    throw nb::python_error();
}

} // namespace tovik
