// Long calls and interpreter exit. On CPython 3.12 and 3.13 a daemon thread that wants
// the GIL once the interpreter is finalizing is ended by pthread_exit, a forced unwind.
// If C++ frames of a long call are on its stack, their destructors then release
// references (nanobind temporaries, python_error) without the GIL, while the main
// thread runs the final garbage collection: freed memory, a broken collector, a crash.
// So a module with long calls registers an atexit hook (atexit runs before the
// interpreter counts as finalizing, when daemon threads can still take the GIL): it
// flags the exit and waits, GIL released, until no long call is under way. A long
// call that sees the flag at one of its exit points parks its thread for good with the
// GIL released and never touches Python again, as CPython 3.14 does with daemon threads.
#pragma once

#include "methods.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tovik::shutdown {

// How long the exit waits for long calls to reach an exit point; a call stuck longer
// (a broker request that hangs) is left to the runtime as before.
inline constexpr std::chrono::seconds kExitWait{5};

struct Registry {
    std::mutex mutex;
    std::condition_variable idle;
    int in_flight = 0; // threads inside at least one long call, under mutex
};

// Never destroyed: a parked thread may still be counted when static destructors run.
inline Registry &registry() {
    static Registry *const r = new Registry();
    return *r;
}

// Long calls nested on this thread (a merge calling the cache read, say).
inline thread_local int depth = 0;

inline void leave_flight() {
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (--r.in_flight == 0)
        r.idle.notify_all();
}

// Called with the GIL held. The thread's references are left as they are: the process
// is ending, and releasing them would be the very fault this avoids.
[[noreturn]] inline void park() {
    if (depth > 0)
        leave_flight();
    depth = 0;
    (void) PyEval_SaveThread();
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(24));
}

// Where a long call is back from Python with the GIL and no C++ lock held.
inline void exit_point() {
    if (interpreter_exiting.load(std::memory_order_acquire))
        park();
}

// Counts the thread as inside a long call for as long as it lives. The destructor
// touches no Python object, so it is sound even in a forced unwind.
class LongCall {
  public:
    LongCall() {
        exit_point();
        if (depth++ == 0) {
            Registry &r = registry();
            std::lock_guard<std::mutex> lock(r.mutex);
            ++r.in_flight;
        }
    }
    ~LongCall() {
        if (depth > 0 && --depth == 0)
            leave_flight();
    }
    LongCall(const LongCall &) = delete;
    LongCall &operator=(const LongCall &) = delete;
};

template <FastMethod Impl>
PyObject *long_call(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    LongCall scope;
    PyObject *result = Impl(self, args, nargsf, kwnames);
    exit_point(); // the caller may be another long call's C++ frame
    return result;
}

// The atexit hook. Its own thread may be inside a long call (atexit._run_exitfuncs()
// called from one): that call is not waited for.
inline PyObject *on_exit(PyObject *, PyObject *) {
    Registry &r = registry();
    interpreter_exiting.store(true, std::memory_order_seq_cst);
    const int own = depth > 0 ? 1 : 0;
    without_gil([&] {
        std::unique_lock<std::mutex> lock(r.mutex);
        r.idle.wait_for(lock, kExitWait, [&] { return r.in_flight <= own; });
    });
    Py_RETURN_NONE;
}

// Registers the hook with the atexit module; it lives in atexit's list, not in a static.
inline void install_exit_hook() {
    static PyMethodDef def{"_tovik_wait_long_calls", &on_exit, METH_NOARGS,
                           "Parks long native calls before the interpreter finalizes."};
    nb::object hook = nb::steal(check(PyCFunction_New(&def, nullptr)));
    nb::module_::import_("atexit").attr("register")(hook);
}

} // namespace tovik::shutdown

// A method that is a long call: counted for the exit hook, parked at exit.
#define TOVIK_LONG_METHOD(name, impl, doc)                                                                             \
    PyMethodDef {                                                                                                      \
        name, (PyCFunction) (void (*)(void)) & ::tovik::guarded<::tovik::shutdown::long_call<impl>>,                   \
            METH_FASTCALL | METH_KEYWORDS, doc                                                                         \
    }
