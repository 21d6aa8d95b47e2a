// Buffers handed in by the host: a contiguous one-dimensional int64 or float64 array,
// held (and its format checked) for the length of one call.
#pragma once

#include "text.hpp"

#include <cstring>
#include <string>

namespace tovik {

// A contiguous one-dimensional buffer of T (int64 or float64), held for the call.
template <typename T> class Column {
  public:
    Column(PyObject *obj, const char *func, const char *arg, bool writable = false) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
            PyErr_Clear();
            raise_type_error(std::string(func) + "(): argument '" + arg + "' must be a contiguous " +
                             (writable ? "writable " : "") + kind() + " buffer, not " + type_name_of(obj));
        }
        held_ = true;
        if (view_.itemsize != (Py_ssize_t) sizeof(T) || view_.ndim != 1 || !format_ok(view_.format))
            raise_type_error(std::string(func) + "(): argument '" + arg + "' must hold " + kind() +
                             " items, not format " + (view_.format ? view_.format : "?"));
    }
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;
    ~Column() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    Py_ssize_t size() const { return view_.shape ? view_.shape[0] : view_.len / (Py_ssize_t) sizeof(T); }
    T *data() const { return static_cast<T *>(view_.buf); }

  private:
    static const char *kind() { return sizeof(T) == 8 && T(0.5) != T(0) ? "float64" : "int64"; }
    static bool format_ok(const char *f) {
        if (!f)
            return false;
        if (*f == '<' || *f == '=' || *f == '@')
            ++f;
        if (T(0.5) != T(0))
            return std::strcmp(f, "d") == 0;
        return std::strcmp(f, "l") == 0 || std::strcmp(f, "q") == 0;
    }
    Py_buffer view_{};
    bool held_ = false;
};

} // namespace tovik
