// What both extensions need from the host interpreter: exact-type argument checks,
// interned key strings, a method trampoline that is safe at interpreter shutdown,
// console lines and JSON error records written through the package's utils module.
#pragma once

#include <nanobind/nanobind.h>

#include <cxxabi.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tovik {
namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Raising host exceptions. Everything we raise goes through the Python error
// indicator, so the trampoline below only has to restore it.

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

// ---------------------------------------------------------------------------
// Interned key strings. Interned strings are immortal since CPython 3.12, so a
// function-local static pointer to one never dangles and is never destroyed.
#define TOVIK_KEY(text)                                                                                                \
    ([]() -> PyObject * {                                                                                              \
        static PyObject *const interned = PyUnicode_InternFromString(text);                                            \
        return interned;                                                                                               \
    }())

// ---------------------------------------------------------------------------
// Text helpers.

// str(obj), as Python's str() would give it.
inline std::string str_of(nb::handle h) {
    nb::object s = nb::steal(check(PyObject_Str(h.ptr())));
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, (size_t) size);
}

inline std::string type_name_of(nb::handle h) {
    nb::object name = nb::steal(check(PyObject_GetAttrString((PyObject *) Py_TYPE(h.ptr()), "__name__")));
    return str_of(name);
}

// repr(obj): for a float the shortest text that reads back to the same value.
inline std::string repr_of(nb::handle h) {
    nb::object s = nb::steal(check(PyObject_Repr(h.ptr())));
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, (size_t) size);
}

inline std::string float_text(double value) {
    nb::object f = nb::steal(check(PyFloat_FromDouble(value)));
    return repr_of(f);
}

inline nb::object make_str(const std::string &text) {
    return nb::steal(check(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t) text.size())));
}

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
// Method trampoline. Methods are registered as plain PyMethodDef entries (through
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

// ---------------------------------------------------------------------------
// Package services, looked up by attribute at every call as Python code would,
// so a host or a test can replace `console.print`, `logger.error` or the objects.

inline nb::object utils_module() {
    nb::object name = nb::steal(check(PyUnicode_FromString("tovik_backtest.utils")));
    PyObject *module = PyImport_GetModule(name.ptr()); // sys.modules lookup: cheap once imported
    if (!module) {
        if (PyErr_Occurred())
            throw nb::python_error();
        module = check(PyImport_Import(name.ptr()));
    }
    return nb::steal(module);
}

inline void console_print(nb::handle text) { utils_module().attr("console").attr("print")(text); }
inline void console_print(const std::string &text) { console_print(make_str(text)); }

inline void logger_error(nb::handle text) { utils_module().attr("logger").attr("error")(text); }

// Is this Python error one of the host's ordinary errors (Exception and its
// subclasses)? Interrupts and exit requests are not, and are never swallowed.
inline bool is_ordinary(const nb::python_error &e) {
    return PyErr_GivenExceptionMatches(e.type().ptr(), PyExc_Exception);
}

// The formatted traceback of an error being handled (what traceback.format_exc()
// gives inside an `except` block).
inline nb::object format_traceback(const nb::python_error &e) {
    nb::object lines = nb::module_::import_("traceback").attr("format_exception")(e.value());
    return nb::str("").attr("join")(lines);
}

// The JSON text of an error record {"error", "traceback", "data"}, encoded with
// json.dumps' default settings. A value JSON cannot represent must not make the
// error branch fail itself: such values are written as their text form, and as a
// last resort the whole data part is written as its repr.
inline nb::object error_record_json(const nb::python_error &e, nb::handle data) {
    nb::module_ json = nb::module_::import_("json");
    nb::dict record;
    record["error"] = nb::steal(check(PyObject_Str(e.value().ptr())));
    record["traceback"] = format_traceback(e);
    record["data"] = data;
    try {
        return json.attr("dumps")(record);
    } catch (nb::python_error &first) {
        if (!is_ordinary(first))
            throw;
    }
    try {
        return json.attr("dumps")(record, nb::arg("default") = nb::module_::import_("builtins").attr("str"));
    } catch (nb::python_error &second) {
        if (!is_ordinary(second))
            throw;
    }
    PyObject *text = PyObject_Repr(data.ptr());
    if (!text) {
        // Even repr() failed: the record still says what kind of object the data was.
        nb::python_error failed;
        if (!is_ordinary(failed))
            throw failed;
        text = check(PyUnicode_FromFormat("<unrepresentable %s>", Py_TYPE(data.ptr())->tp_name));
    }
    record["data"] = nb::steal(text);
    return json.attr("dumps")(record);
}

inline void log_error_record(const nb::python_error &e, nb::handle data) { logger_error(error_record_json(e, data)); }

// Coloured console lines: "[green]...[/green]" and so on.
inline std::string green(const std::string &text) { return "[green]" + text + "[/green]"; }
inline std::string red(const std::string &text) { return "[red]" + text + "[/red]"; }
inline std::string yellow(const std::string &text) { return "[yellow]" + text + "[/yellow]"; }

// ---------------------------------------------------------------------------
// An owned reference for code that can run on a daemon thread. When the interpreter
// finalizes, such a thread is ended by a forced unwind while it waits for the GIL
// (see the trampoline above), so destructors on its stack run without the GIL; a
// release there may free an object with no thread state and crash the process. This
// reference is released only when the thread holds the GIL and is otherwise left
// alive (the process is ending anyway).
class safe_ref {
  public:
    safe_ref() = default;
    static safe_ref steal(PyObject *p) {
        safe_ref r;
        r.p_ = p;
        return r;
    }
    static safe_ref borrow(PyObject *p) {
        Py_XINCREF(p);
        return steal(p);
    }
    safe_ref(safe_ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    safe_ref &operator=(safe_ref &&other) noexcept {
        if (this != &other) {
            reset();
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    safe_ref(const safe_ref &) = delete;
    safe_ref &operator=(const safe_ref &) = delete;
    ~safe_ref() { reset(); }

    PyObject *ptr() const { return p_; }
    bool is_none() const { return p_ == Py_None; }
    operator nb::handle() const { return nb::handle(p_); }
    PyObject *release() {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() {
        if (p_ && holds_gil())
            Py_DECREF(p_);
        p_ = nullptr;
    }
    // A thread waiting for the GIL has no current thread state; one holding it has.
    static bool holds_gil() {
#ifdef Py_LIMITED_API
        return PyGILState_Check() != 0;
#else
        return _PyThreadState_UncheckedGet() != nullptr;
#endif
    }

  private:
    PyObject *p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Class set-up shared by both modules.

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
