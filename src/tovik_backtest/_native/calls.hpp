// Calls into the host and attribute reads: modules from sys.modules, obj.name(*args)
// with an argument array the compiler sizes, the instance __dict__.
#pragma once

#include "errors.hpp"

// In their own namespace: the matcher has file-local helpers of the same names, which
// argument-dependent lookup would otherwise find ambiguous beside these (safe_ref
// lives in tovik). A module opts in with `using namespace tovik::host;`.
namespace tovik::host {

// A module by name, from sys.modules once loaded (looked up at each use, as a Python
// module's globals would be), else imported now.
inline nb::object import_module(PyObject *name) {
    PyObject *module = PyImport_GetModule(name);
    if (!module) {
        if (PyErr_Occurred())
            throw nb::python_error();
        module = check(PyImport_Import(name));
    }
    return nb::steal(module);
}
inline nb::object import_module(const char *name) {
    return import_module(nb::steal(check(PyUnicode_FromString(name))).ptr());
}

// obj.<name>, one attribute read.
inline nb::object get_attr(nb::handle obj, PyObject *name) {
    return nb::steal(check(PyObject_GetAttr(obj.ptr(), name)));
}

// obj.<name>(*args), looked up on the object like a Python method call, so a host (or
// a test) may replace the method on the instance.
template <typename... Args> inline nb::object call_method(nb::handle obj, PyObject *name, const Args &...args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    constexpr size_t n = sizeof...(Args) + 1;
    return nb::steal(check(PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

// fn(*args). The slot before the arguments lets the callee prepend a bound self.
template <typename... Args> inline nb::object call(nb::handle fn, const Args &...args) {
    PyObject *argv[] = {nullptr, nb::handle(args).ptr()...};
    constexpr size_t n = sizeof...(Args);
    return nb::steal(check(PyObject_Vectorcall(fn.ptr(), argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

// bool(obj), with the host's error when __bool__ fails.
inline bool truthy(nb::handle h) {
    int value = PyObject_IsTrue(h.ptr());
    check_status(value);
    return value != 0;
}

// The instance's __dict__ (created on first use).
inline nb::object self_dict(PyObject *self) { return nb::steal(check(PyObject_GenericGetDict(self, nullptr))); }

} // namespace tovik::host
