// C-API helpers the matcher needs beyond pyhost.hpp. References on the stack are
// safe_ref: the intake worker and the host's threads may be ended by a forced unwind
// at interpreter exit. Each returns an owned reference or throws the Python error.
#pragma once

#include "pyhost.hpp"

namespace tovik::matcher {

inline safe_ref own(PyObject *p) { return safe_ref::steal(check(p)); }

// The module from sys.modules (all of them are imported when this module loads), or
// imported now.
inline safe_ref import_module(PyObject *name) {
    PyObject *module = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);
    if (module)
        return safe_ref::borrow(module);
    if (PyErr_Occurred())
        throw nb::python_error();
    return own(PyImport_Import(name));
}

inline safe_ref get_attr(nb::handle obj, PyObject *name) { return own(PyObject_GetAttr(obj.ptr(), name)); }

// obj.name(*args), looked up on the object like a Python method call. The argument
// array is sized by the compiler (one spare slot, so that it is never empty).
template <typename... Args> safe_ref call_method(nb::handle obj, PyObject *name, const Args &...args) {
    PyObject *argv[sizeof...(Args) + 2] = {obj.ptr(), nb::handle(args).ptr()..., nullptr};
    return own(PyObject_VectorcallMethod(name, argv, sizeof...(Args) + 1, nullptr));
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

} // namespace tovik::matcher
