// The tick table: each instrument's latest tick, as set_current_tick records it.
#include "matcher.hpp"

namespace tovik::matcher {
namespace {

// ---------------------------------------------------------------------------
// Tick table.

safe_ref new_tick_info() {
    safe_ref entry = own(PyDict_New());
    set_get_item(entry, TOVIK_KEY("ts"), nb::handle(Py_None));
    set_get_item(entry, TOVIK_KEY("tick"), nb::handle(Py_None));
    return entry;
}

PyObject *init_current_tick_info(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"_Matcher__init_current_tick_info", {"code"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "code");
    return new_tick_info().release();
}

PyObject *reset_tick_infos(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("reset_tick_infos", nargsf, kwnames);
    // A new table, not a cleared one: a dictionary the host took earlier stays as it was.
    check_status(PyObject_SetAttr(self, TOVIK_KEY("current_tick_infos"), own(PyDict_New()).ptr()));
    Py_RETURN_NONE;
}

PyObject *set_current_tick(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"set_current_tick", {"tick"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    require_dict(a[0], params.func, "tick");
    nb::handle tick = a[0];
    safe_ref code = get_item(tick, TOVIK_KEY("code"));
    safe_ref infos = field(self, TOVIK_KEY("current_tick_infos"));
    int known = PySequence_Contains(infos.ptr(), code.ptr());
    check_status(known);
    if (!known) {
        safe_ref fresh =
            call_own_method(self, TOVIK_KEY("_Matcher__init_current_tick_info"), init_current_tick_info, code);
        check_status(PyObject_SetItem(infos.ptr(), code.ptr(), fresh.ptr()));
    }
    safe_ref entry = get_item(infos, code.ptr());
    check_status(PyObject_SetItem(entry.ptr(), TOVIK_KEY("tick"), tick.ptr()));
    safe_ref ts = get_item(tick, TOVIK_KEY("timestamp"));
    check_status(PyObject_SetItem(entry.ptr(), TOVIK_KEY("ts"), ts.ptr()));
    call_method(field(self, TOVIK_KEY("positions")), TOVIK_KEY("set_current_tick"), tick);
    Py_RETURN_NONE;
}

} // namespace

void add_tick_table_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("_Matcher__init_current_tick_info", init_current_tick_info,
                                   "_Matcher__init_current_tick_info($self, code)\n--\n\n"
                                   "初始化當前 Tick 資訊\n\n"
                                   "Args:\n"
                                   "    code (str): 商品代碼\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: Tick 資訊 {\"ts\": None, \"tick\": None}"));
    methods.push_back(TOVIK_METHOD("reset_tick_infos", reset_tick_infos,
                                   "reset_tick_infos($self)\n--\n\n"
                                   "重置當前 Tick 資訊"));
    methods.push_back(TOVIK_METHOD("set_current_tick", set_current_tick,
                                   "set_current_tick($self, tick)\n--\n\n"
                                   "設置當前的 Tick\n\n"
                                   "Args:\n"
                                   "    tick (Dict[str, Any]): Tick 資料"));
}

} // namespace tovik::matcher
