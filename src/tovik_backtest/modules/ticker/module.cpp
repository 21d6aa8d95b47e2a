// Binding of the `ticker` extension: the Ticker class and its method table.
#include "ticker.hpp"

namespace tovik::ticker {
namespace {

std::vector<PyMethodDef> &method_table() {
    static std::vector<PyMethodDef> table =
        make_method_table({add_core_methods, add_cache_methods, add_merge_methods, add_replay_methods});
    return table;
}

} // namespace
} // namespace tovik::ticker

NB_MODULE(ticker, m) {
    using namespace tovik;
    using namespace tovik::ticker;
    load_dependencies(m);
    quiet_leak_report();
    shutdown::install_exit_hook();
    static PyType_Slot slots[] = {
        {Py_tp_methods, (void *) method_table().data()},
        {Py_tp_init, (void *) &ticker_init},
        {0, nullptr},
    };
    nb::class_<Ticker>(m, "Ticker", nb::dynamic_attr(), nb::is_weak_referenceable(), nb::type_slots(slots));
}
