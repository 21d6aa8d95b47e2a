// Calls into the host and attribute reads: modules from sys.modules, obj.name(*args)
// with an argument array the compiler sizes, item reads, the instance __dict__. Every
// result is an owned reference safe to drop on a daemon thread at exit (safe_ref.hpp).
#pragma once

#include "errors.hpp"
#include "safe_ref.hpp"

// In their own namespace, which a module opts into with `using namespace tovik::host;`.
namespace tovik::host {

// An owned result of a C-API call, or the Python error thrown.
inline safe_ref own(PyObject *p) { return safe_ref::steal(check(p)); }

// A module by name, from sys.modules once loaded (looked up at each use, as a Python
// module's globals would be), else imported now.
inline ref import_module(PyObject *name) {
    PyObject *module = PyImport_GetModule(name);
    if (!module) {
        if (PyErr_Occurred())
            throw nb::python_error();
        module = check(PyImport_Import(name));
    }
    return nb::steal(module);
}
inline ref import_module(const char *name) { return import_module(nb::steal(check(PyUnicode_FromString(name))).ptr()); }

// obj.<name>, one attribute read.
inline ref get_attr(nb::handle obj, PyObject *name) { return nb::steal(check(PyObject_GetAttr(obj.ptr(), name))); }

// obj.<name>(*args), looked up on the object like a Python method call, so a host (or
// a test) may replace the method on the instance.
template <typename... Args> inline ref call_method(nb::handle obj, PyObject *name, const Args &...args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    constexpr size_t n = sizeof...(Args) + 1;
    return nb::steal(check(PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

// fn(*args). The slot before the arguments lets the callee prepend a bound self.
template <typename... Args> inline ref call(nb::handle fn, const Args &...args) {
    PyObject *argv[] = {nullptr, nb::handle(args).ptr()...};
    constexpr size_t n = sizeof...(Args);
    return nb::steal(check(PyObject_Vectorcall(fn.ptr(), argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

// obj.<name>, or a null reference when obj has no such attribute (AttributeError);
// any other error is the host's.
inline safe_ref optional_attr(nb::handle obj, PyObject *name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    return safe_ref::steal(value);
}

// container[key] with the host's KeyError; a plain dict skips the generic protocol.
inline safe_ref get_item(nb::handle container, PyObject *key) {
    if (PyDict_CheckExact(container.ptr())) {
        PyObject *value = PyDict_GetItemWithError(container.ptr(), key);
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, key);
            throw nb::python_error();
        }
        return safe_ref::borrow(value);
    }
    return own(PyObject_GetItem(container.ptr(), key));
}

// obj[key] = value, straight into a plain dict.
inline void set_get_item(nb::handle obj, PyObject *key, nb::handle value) {
    if (PyDict_CheckExact(obj.ptr()))
        check_status(PyDict_SetItem(obj.ptr(), key, value.ptr()));
    else
        check_status(PyObject_SetItem(obj.ptr(), key, value.ptr()));
}

// a == b, with the identity shortcut Python's own containers use.
inline bool same_or_equal(nb::handle a, nb::handle b) {
    if (a.ptr() == b.ptr())
        return true;
    int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check_status(eq);
    return eq == 1;
}

// bool(obj), with the host's error when __bool__ fails.
inline bool truthy(nb::handle h) {
    int value = PyObject_IsTrue(h.ptr());
    check_status(value);
    return value != 0;
}

// value == text, as Python's == says (a str subclass or an enumeration member may
// define its own equality).
inline bool text_equals(nb::handle value, PyObject *text) {
    int result = PyObject_RichCompareBool(value.ptr(), text, Py_EQ);
    check_status(result);
    return result == 1;
}

// The instance's __dict__ (created on first use).
inline ref self_dict(PyObject *self) { return nb::steal(check(PyObject_GenericGetDict(self, nullptr))); }

} // namespace tovik::host
