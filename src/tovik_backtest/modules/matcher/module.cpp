// Binding of the `matcher` extension: the Matcher class and its method table.
#include "engine_state.hpp"
#include "fill_model.hpp"

namespace tovik::matcher {
namespace {

std::vector<PyMethodDef> &method_table() {
    static std::vector<PyMethodDef> table =
        make_method_table({add_construction_methods, add_tick_table_methods, add_intake_methods,
                           add_order_entry_methods, add_report_methods, add_order_book_methods,
                           add_modify_cancel_methods, add_engine_methods, add_fill_methods, add_fill_request_methods});
    return table;
}

// Garbage-collector support. Besides the instance __dict__ (what nanobind's own
// traversal visits), the matcher owns a reference to every resting record through
// the order book's side array (and the fill model's); those are visited too, or a record that refers back
// to its matcher would keep both alive for ever, and the list those entries describe.
// The side array changes only with the GIL held, and never while a Python call made
// in the middle of a change could let another thread collect.
int matcher_traverse(PyObject *self, visitproc visit, void *arg) {
    if (PyObject **dict = instance_dict_slot(self))
        Py_VISIT(*dict);
    if (nb::inst_ready(self))
        for (const Matcher::ScanEntry &e : native(self).book.entries)
            Py_VISIT(e.record);
    if (nb::inst_ready(self) && native(self).fills)
        if (int status = fills_traverse(*native(self).fills, visit, arg))
            return status;
    if (nb::inst_ready(self)) {
        Py_VISIT(native(self).book.synced_list);
        Py_VISIT(native(self).worker);
        Py_VISIT(native(self).order_ids);
        Py_VISIT(native(self).constants);
        Py_VISIT(native(self).report_sink);
    }
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Breaking a cycle: dropping the __dict__ (queues, resting-order list, position book)
// and the worker's thread object is enough; the side array's references go with the
// instance.
int matcher_clear(PyObject *self) {
    if (PyObject **dict = instance_dict_slot(self))
        Py_CLEAR(*dict);
    if (nb::inst_ready(self)) {
        Py_CLEAR(native(self).worker);
        Py_CLEAR(native(self).order_ids);
        Py_CLEAR(native(self).report_sink);
    }
    return 0;
}

} // namespace
} // namespace tovik::matcher

NB_MODULE(matcher, m) {
    using namespace tovik;
    using namespace tovik::matcher;
    load_dependencies(m);
    quiet_leak_report();
    // No long calls here, but the hook's flag tells this module's references when the
    // exit has begun (safe_ref), for the intake worker's sake.
    shutdown::install_exit_hook();
    static PyType_Slot slots[] = {
        {Py_tp_methods, (void *) method_table().data()},
        {Py_tp_init, (void *) &matcher_init},
        {Py_tp_traverse, (void *) &matcher_traverse},
        {Py_tp_clear, (void *) &matcher_clear},
        {0, nullptr},
    };
    nb::class_<Matcher>(m, "Matcher", nb::dynamic_attr(), nb::is_weak_referenceable(), nb::type_slots(slots));
    engine_state::add_layout(m.ptr());
}
