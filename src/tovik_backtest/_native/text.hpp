// Interned key strings and the text forms of host objects.
#pragma once

#include "errors.hpp"
#include "safe_ref.hpp"

#include <string>

namespace tovik {

// Interned key strings. Interned strings are immortal since CPython 3.12, so a
// function-local static pointer to one never dangles and is never destroyed.
#define TOVIK_KEY(text)                                                                                                \
    ([]() -> PyObject * {                                                                                              \
        static PyObject *const interned = PyUnicode_InternFromString(text);                                            \
        return interned;                                                                                               \
    }())

inline std::string utf8_of(nb::handle unicode) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(unicode.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, (size_t) size);
}

// The UTF-8 of a text shown to people (messages, console lines): a lone surrogate,
// which UTF-8 cannot hold, is written as its \ud800 escape instead of failing the
// message that was to report the problem.
inline std::string shown_text(nb::handle unicode) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(unicode.ptr(), &size))
        return std::string(data, (size_t) size);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();
    ref bytes = nb::steal(check(PyUnicode_AsEncodedString(unicode.ptr(), "utf-8", "backslashreplace")));
    return std::string(PyBytes_AsString(bytes.ptr()), (size_t) PyBytes_Size(bytes.ptr()));
}

// str(obj), as Python's str() would give it.
inline std::string str_of(nb::handle h) { return shown_text(ref(nb::steal(check(PyObject_Str(h.ptr()))))); }

// repr(obj): for a float the shortest text that reads back to the same value.
inline std::string repr_of(nb::handle h) { return shown_text(ref(nb::steal(check(PyObject_Repr(h.ptr()))))); }

inline std::string type_name_of(nb::handle h) {
    return str_of(ref(nb::steal(check(PyObject_GetAttrString((PyObject *) Py_TYPE(h.ptr()), "__name__")))));
}

inline std::string float_text(double value) { return repr_of(ref(nb::steal(check(PyFloat_FromDouble(value))))); }

inline ref make_str(const std::string &text) {
    return nb::steal(check(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t) text.size())));
}

// Coloured console lines: "[green]...[/green]" and so on.
inline std::string green(const std::string &text) { return "[green]" + text + "[/green]"; }
inline std::string red(const std::string &text) { return "[red]" + text + "[/red]"; }
inline std::string yellow(const std::string &text) { return "[yellow]" + text + "[/yellow]"; }

} // namespace tovik
