// Preloaded (after the AddressSanitizer runtime) into sanitizer test runs.
//
// CPython 3.12 ends a daemon thread that wants the GIL back during finalization with
// pthread_exit, a forced unwind that starts in uninstrumented libc. A C++ throw tells
// the sanitizer first (__asan_handle_no_return clears the thread's stack shadow), but
// pthread_exit does not, so the redzones of the frames being unwound stay poisoned.
// The landing pads that run next call __asan_handle_no_return themselves, and GCC's
// runtime then reports its own local variable, placed over those stale redzones, as
// a stack-buffer-overflow. Doing the clearing at the start of the unwind, as a throw
// would, removes that false report; every real check stays on.
#include <dlfcn.h>
#include <sanitizer/asan_interface.h>

extern "C" [[noreturn]] void pthread_exit(void *retval) {
    using exit_fn = void (*)(void *);
    static const exit_fn real_exit = reinterpret_cast<exit_fn>(dlsym(RTLD_NEXT, "pthread_exit"));
    __asan_handle_no_return();
    real_exit(retval);
    __builtin_unreachable();
}
