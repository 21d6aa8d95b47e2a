// Method tables of our classes: the shutdown-safe trampoline every method goes
// through, GIL release, and the assembly of a class's table from its source files.
#pragma once

#include "errors.hpp"

#include <exception>
#include <initializer_list>
#include <vector>

namespace tovik {

// Methods are registered as plain PyMethodDef entries (through
// nb::type_slots) rather than through nanobind's dispatcher, for one reason: on
// CPython 3.12 a daemon thread that wants the GIL back while the interpreter
// finalizes is ended with pthread_exit, which unwinds the stack as a forced
// unwind. A frame that catches everything without rethrowing turns that into an
// abort of the whole process. This trampoline lets the forced unwind pass: it has
// only typed handlers, and none of them matches the unwind (abi::__forced_unwind is
// not derived from any of them), so the unwind runs the destructors and goes on.
// It deliberately has no `catch (abi::__forced_unwind &) { throw; }` clause either:
// the runtime enters such a handler with the reference bound to a null object (a
// forced unwind carries no exception object), which UndefinedBehaviorSanitizer
// reports, and rethrowing would only do what leaving the handler out already does.

using FastMethod = PyObject *(*) (PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);

template <FastMethod Impl>
PyObject *guarded(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    try {
        return Impl(self, args, nargsf, kwnames);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "argument of an unexpected type");
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

#define TOVIK_METHOD(name, impl, doc)                                                                                  \
    PyMethodDef { name, (PyCFunction) (void (*)(void)) & ::tovik::guarded<impl>, METH_FASTCALL | METH_KEYWORDS, doc }

// Runs `fn` with the GIL released. Re-acquiring the GIL can end the thread at
// interpreter shutdown (see above), so it is never done inside a destructor.
template <typename F> inline void without_gil(F &&fn) {
    PyThreadState *state = PyEval_SaveThread();
    try {
        fn();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

using MethodAdder = void (*)(std::vector<PyMethodDef> &);

// A class's method table, assembled from each source file's methods and ended by the
// sentinel. Plain C++ storage (no Python objects); PyType_FromSpec keeps pointers into it.
inline std::vector<PyMethodDef> make_method_table(std::initializer_list<MethodAdder> parts) {
    std::vector<PyMethodDef> methods;
    for (MethodAdder add : parts)
        add(methods);
    methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return methods;
}

// The intake worker and replay threads are daemon threads that keep their object alive
// until the process ends, by design, so nanobind's leak report at exit would only list
// those. Leak-checking test builds keep it on and abort instead.
inline void quiet_leak_report() {
#ifndef TOVIK_ABORT_ON_LEAK
    nb::set_leak_warnings(false);
#endif
}

} // namespace tovik
