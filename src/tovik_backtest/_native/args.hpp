// Argument checks and parsing for METH_FASTCALL | METH_KEYWORDS methods: exact types,
// and the host's own wording for missing, duplicated and unknown arguments.
#pragma once

#include "text.hpp"

#include <string>

namespace tovik {

// Exact-type argument checks: subclasses are refused, bool is not an int.

inline bool is_exact_str(nb::handle h) { return PyUnicode_CheckExact(h.ptr()); }
inline bool is_exact_int(nb::handle h) { return PyLong_CheckExact(h.ptr()); }
inline bool is_exact_float(nb::handle h) { return PyFloat_CheckExact(h.ptr()); }
inline bool is_exact_list(nb::handle h) { return PyList_CheckExact(h.ptr()); }
inline bool is_exact_dict(nb::handle h) { return PyDict_CheckExact(h.ptr()); }

[[noreturn]] inline void raise_arg_type(const char *func, const char *arg, const char *expected, nb::handle got) {
    raise_type_error(std::string(func) + "(): argument '" + arg + "' must be " + expected + ", not " +
                     type_name_of(got));
}

inline void require_str(nb::handle h, const char *func, const char *arg) {
    if (!is_exact_str(h))
        raise_arg_type(func, arg, "str", h);
}
inline void require_str_or_none(nb::handle h, const char *func, const char *arg) {
    if (!h.is_none() && !is_exact_str(h))
        raise_arg_type(func, arg, "str or None", h);
}
inline void require_int(nb::handle h, const char *func, const char *arg) {
    if (!is_exact_int(h))
        raise_arg_type(func, arg, "int", h);
}
inline void require_int_or_none(nb::handle h, const char *func, const char *arg) {
    if (!h.is_none() && !is_exact_int(h))
        raise_arg_type(func, arg, "int or None", h);
}
inline void require_float_or_none(nb::handle h, const char *func, const char *arg) {
    if (!h.is_none() && !is_exact_float(h))
        raise_arg_type(func, arg, "float or None", h);
}
inline void require_list(nb::handle h, const char *func, const char *arg) {
    if (!is_exact_list(h))
        raise_arg_type(func, arg, "list", h);
}
inline void require_dict(nb::handle h, const char *func, const char *arg) {
    if (!is_exact_dict(h))
        raise_arg_type(func, arg, "dict", h);
}

// A number the host can convert to a double (int, float, or anything with
// __float__ / __index__); text is refused even though float("1") would work.
inline double require_real(nb::handle h, const char *func, const char *arg) {
    if (PyFloat_CheckExact(h.ptr()))
        return PyFloat_AsDouble(h.ptr());
    if (PyUnicode_Check(h.ptr()) || PyBytes_Check(h.ptr()) || h.is_none())
        raise_arg_type(func, arg, "a real number", h);
    double value = PyFloat_AsDouble(h.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise_arg_type(func, arg, "a real number", h);
    }
    return value;
}

// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods, with the host's
// own wording for missing, duplicated and unknown arguments (all TypeError).

template <size_t N> struct Params {
    const char *func;
    const char *names[N];
    size_t required; // the first `required` names have no default
};

// Fills `out` with borrowed references; absent optional arguments stay nullptr.
template <size_t N> inline void parse_args(const Params<N> &params, PyObject *const *args, Py_ssize_t nargsf,
                                           PyObject *kwnames, PyObject *(&out)[N]) {
    size_t nargs = (size_t) PyVectorcall_NARGS(nargsf);
    for (size_t i = 0; i < N; ++i)
        out[i] = nullptr;
    if (nargs > N)
        raise_type_error(std::string(params.func) + "() takes at most " + std::to_string(N) +
                         " positional arguments (" + std::to_string(nargs) + " given)");
    for (size_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *name = PyTuple_GetItem(kwnames, k);
            Py_ssize_t len = 0;
            const char *text = PyUnicode_AsUTF8AndSize(name, &len);
            if (!text)
                throw nb::python_error();
            size_t slot = N;
            for (size_t i = 0; i < N; ++i) {
                if (std::char_traits<char>::length(params.names[i]) == (size_t) len &&
                    std::char_traits<char>::compare(params.names[i], text, (size_t) len) == 0) {
                    slot = i;
                    break;
                }
            }
            if (slot == N)
                raise_type_error(std::string(params.func) + "() got an unexpected keyword argument '" +
                                 std::string(text, (size_t) len) + "'");
            if (out[slot])
                raise_type_error(std::string(params.func) + "() got multiple values for argument '" +
                                 params.names[slot] + "'");
            out[slot] = args[nargs + (size_t) k];
        }
    }
    for (size_t i = 0; i < params.required; ++i)
        if (!out[i])
            raise_type_error(std::string(params.func) + "() missing required argument: '" + params.names[i] + "'");
}

inline void require_no_args(const char *func, Py_ssize_t nargsf, PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames && PyTuple_Size(kwnames) != 0))
        raise_type_error(std::string(func) + "() takes no arguments");
}

} // namespace tovik
