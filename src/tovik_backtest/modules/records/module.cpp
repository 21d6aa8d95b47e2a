// Binding of the `records` extension: its module-level functions.
#include "records.hpp"

NB_MODULE(records, m) {
    using namespace tovik;
    using namespace tovik::records;
    quiet_leak_report();
    static std::vector<PyMethodDef> functions = [] {
        std::vector<PyMethodDef> table;
        add_merge_functions(table);
        table.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        return table;
    }();
    check_status(PyModule_AddFunctions(m.ptr(), functions.data()));
}
