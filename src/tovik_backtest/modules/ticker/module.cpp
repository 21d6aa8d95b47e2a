// Binding of the `ticker` extension: the Ticker class and its method table.
#include "ticker.hpp"

namespace tovik::ticker {
namespace {

std::vector<PyMethodDef> &method_table() {
    // Plain C++ storage (no Python objects): PyType_FromSpec keeps pointers into it.
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> methods;
        add_core_methods(methods);
        add_cache_methods(methods);
        add_merge_methods(methods);
        add_replay_methods(methods);
        methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        return methods;
    }();
    return table;
}

} // namespace
} // namespace tovik::ticker

NB_MODULE(ticker, m) {
    using namespace tovik;
    using namespace tovik::ticker;
    load_dependencies(m);
#ifndef TOVIK_ABORT_ON_LEAK
    // The intake worker and replay threads are daemon threads that keep their object
    // alive until the process ends, by design, so nanobind's leak report at exit would
    // only list those. Leak-checking test builds keep it on and abort instead.
    nb::set_leak_warnings(false);
#endif
    static PyType_Slot slots[] = {
        {Py_tp_methods, (void *) method_table().data()},
        {Py_tp_init, (void *) &ticker_init},
        {0, nullptr},
    };
    nb::class_<Ticker>(m, "Ticker", nb::dynamic_attr(), nb::is_weak_referenceable(), nb::type_slots(slots));
}
