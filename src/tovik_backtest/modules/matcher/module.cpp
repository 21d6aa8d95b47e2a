// Binding of the `matcher` extension: the Matcher class and its method table.
#include "matcher.hpp"

namespace tovik::matcher {
namespace {

std::vector<PyMethodDef> &method_table() {
    // Plain C++ storage (no Python objects): PyType_FromSpec keeps pointers into it.
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> methods;
        add_intake_methods(methods);
        add_report_methods(methods);
        add_order_book_methods(methods);
        methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        return methods;
    }();
    return table;
}

} // namespace
} // namespace tovik::matcher

NB_MODULE(matcher, m) {
    using namespace tovik;
    using namespace tovik::matcher;
    load_dependencies(m);
    static PyType_Slot slots[] = {
        {Py_tp_methods, (void *) method_table().data()},
        {Py_tp_init, (void *) &matcher_init},
        {0, nullptr},
    };
    nb::class_<Matcher>(m, "Matcher", nb::dynamic_attr(), nb::type_slots(slots));
}
