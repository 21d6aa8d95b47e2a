// An owned reference that is safe to drop on a daemon thread at interpreter exit.
#pragma once

#include "abi.hpp"

#include <nanobind/nanobind.h>

#include <atomic>
#include <type_traits>
#include <utility>

namespace tovik {
namespace nb = nanobind;

// Set by each module's atexit hook (shutdown.hpp), which runs before the interpreter
// counts as finalizing. Until then no thread is ended by a forced unwind, so every
// C++ frame that drops a reference holds the GIL and need not ask.
inline std::atomic<bool> interpreter_exiting{false};

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
    // Takes over the reference of a nanobind object about to go away (a call's result).
    template <typename T, typename = std::enable_if_t<std::is_base_of_v<nb::object, T>>> safe_ref(T &&other) noexcept
        : p_(other.release().ptr()) {}
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
        if (p_ && may_drop())
            Py_DECREF(p_);
        p_ = nullptr;
    }
    // A thread waiting for the GIL has no current thread state, so PyGILState_Check
    // says no; one holding it says yes. Public and limited API alike.
    static bool holds_gil() { return PyGILState_Check() != 0; }
    // May this thread drop a reference now? Asked only once the exit has begun: the
    // check costs two thread-local reads, which in a loop of small steps is a fifth of
    // the time.
    static bool may_drop() { return !exit_begun() || holds_gil(); }
    static bool exit_begun() {
#if PY_VERSION_HEX >= 0x030D0000 && (!defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030D0000)
        // also when the hook was taken out of atexit's list
        return interpreter_exiting.load(std::memory_order_acquire) || Py_IsFinalizing();
#else
        return interpreter_exiting.load(std::memory_order_acquire);
#endif
    }

  private:
    PyObject *p_ = nullptr;
};

// A nanobind object (nb::object, nb::list, nb::dict) with the same rule: its reference
// is dropped only by a thread holding the GIL. For the locals and members of code that
// runs on daemon threads; temporaries inside one expression are held by the callee too.
template <typename T> class safe : public T {
  public:
    using T::T; // nanobind's own constructors, which nb::borrow<safe<...>> uses
    safe() = default;
    // From another nanobind object (accessors convert through their own operator).
    template <typename U, typename = std::enable_if_t<std::is_base_of_v<nb::handle, std::decay_t<U>> &&
                                                      std::is_constructible_v<T, U &&>>>
    safe(U &&value) : T(std::forward<U>(value)) {}
    safe(const safe &) = default;
    safe(safe &&) noexcept = default;
    safe &operator=(const safe &) = default;
    safe &operator=(safe &&) noexcept = default;
    ~safe() {
        if (!safe_ref::may_drop())
            (void) this->release();
    }
};
using ref = safe<nb::object>;

} // namespace tovik
