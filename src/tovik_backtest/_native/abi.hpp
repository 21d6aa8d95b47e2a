// The few full-C-API shortcuts the modules use, with their stable-ABI equivalents for
// a TOVIK_STABLE_ABI build (see CMakeLists.txt). The default build keeps the macros:
// the order-book scan and the ticker read list, tuple and float internals directly.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#ifdef Py_LIMITED_API
// Public since 3.4 and exported by every CPython since, but declared only outside the
// limited API; safe_ref needs it to know whether a reference may be dropped.
extern "C" int PyGILState_Check(void);
#endif

namespace tovik {

#ifndef Py_LIMITED_API
inline Py_ssize_t list_size(PyObject *list) { return PyList_GET_SIZE(list); }
inline PyObject *list_item(PyObject *list, Py_ssize_t i) { return PyList_GET_ITEM(list, i); }
inline Py_ssize_t tuple_size(PyObject *tuple) { return PyTuple_GET_SIZE(tuple); }
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); }
inline Py_ssize_t dict_size(PyObject *dict) { return PyDict_GET_SIZE(dict); }
inline double float_value(PyObject *exact_float) { return PyFloat_AS_DOUBLE(exact_float); }
inline PyObject *call_one(PyObject *fn, PyObject *arg) { return PyObject_CallOneArg(fn, arg); }
#else
// Borrowed results as with the macros; the index is always in range at our call sites.
inline Py_ssize_t list_size(PyObject *list) { return PyList_Size(list); }
inline PyObject *list_item(PyObject *list, Py_ssize_t i) { return PyList_GetItem(list, i); }
inline Py_ssize_t tuple_size(PyObject *tuple) { return PyTuple_Size(tuple); }
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t i) { return PyTuple_GetItem(tuple, i); }
inline Py_ssize_t dict_size(PyObject *dict) { return PyDict_Size(dict); }
inline double float_value(PyObject *exact_float) { return PyFloat_AsDouble(exact_float); }
inline PyObject *call_one(PyObject *fn, PyObject *arg) { return PyObject_CallFunctionObjArgs(fn, arg, nullptr); }
#endif

// Py_SETREF: the slot takes `value` (owned), then the old reference is dropped.
inline void replace_ref(PyObject *&slot, PyObject *value) {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

// The type's name for a message: tp_name, or its qualified name under the stable ABI.
inline std::string type_name_text(PyObject *obj) {
#ifndef Py_LIMITED_API
    return Py_TYPE(obj)->tp_name;
#else
    PyObject *name = PyType_GetName(Py_TYPE(obj));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    const char *text = PyUnicode_AsUTF8AndSize(name, nullptr);
    std::string result = text ? text : "?";
    if (!text)
        PyErr_Clear();
    Py_DECREF(name);
    return result;
#endif
}

} // namespace tovik
