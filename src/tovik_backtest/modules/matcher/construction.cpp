// Construction and end of a Matcher: module loading, the constructor, the instance's
// fields and constants, close() and the context manager.
#include "matcher.hpp"

#include <new>

namespace tovik::matcher {

// container.get(key, default).
safe_ref get_or(nb::handle container, PyObject *key, PyObject *fallback) {
    if (PyDict_CheckExact(container.ptr())) {
        PyObject *value = PyDict_GetItemWithError(container.ptr(), key);
        if (!value && PyErr_Occurred())
            throw nb::python_error();
        return safe_ref::borrow(value ? value : fallback);
    }
    return call_method(container, TOVIK_KEY("get"), key, fallback);
}

// The constants module's namespace: its __dict__ (the module's entries), or the
// object itself when something other than a module stands in sys.modules under that name.
safe_ref resolve_constants() {
    PyObject *module = PyDict_GetItemWithError(PyImport_GetModuleDict(), TOVIK_KEY("tovik_backtest.constant"));
    if (!module && PyErr_Occurred())
        throw nb::python_error();
    safe_ref held = module ? safe_ref::borrow(module) : import_module(TOVIK_KEY("tovik_backtest.constant"));
    if (PyModule_Check(held.ptr()))
        return safe_ref::borrow(PyModule_GetDict(held.ptr()));
    return held;
}

// constants.<name>. A name missing from the module's __dict__ is looked up as an
// attribute, so a module-level __getattr__ still answers.
safe_ref constant(nb::handle names, PyObject *name) {
    if (PyDict_CheckExact(names.ptr())) {
        PyObject *value = PyDict_GetItemWithError(names.ptr(), name);
        if (value)
            return safe_ref::borrow(value);
        if (PyErr_Occurred())
            throw nb::python_error();
        return get_attr(import_module(TOVIK_KEY("tovik_backtest.constant")), name);
    }
    return get_attr(names, name);
}

// The enumerations every operation reads, fixed for a matcher at its construction.
constexpr const char *kEnumerations[] = {"Action", "PriceType",     "OrderType",   "OrderCond", "OrderLot",
                                         "OCType", "OperationType", "SuccessCode", "FLAG"};

// A dict of the constants module's enumerations as they are now. A matcher keeps one
// from its construction, so entry, reports and matching all read the same objects
// even when a host later swaps the module or one of its enumerations.
safe_ref snapshot_constants() {
    safe_ref live = resolve_constants();
    safe_ref names = own(PyDict_New());
    for (const char *name : kEnumerations) {
        safe_ref key = own(PyUnicode_InternFromString(name));
        check_status(PyDict_SetItem(names.ptr(), key.ptr(), constant(live, key.ptr()).ptr()));
    }
    return names;
}

safe_ref constants(PyObject *self) {
    if (nb::inst_ready(self) && native(self).constants)
        return safe_ref::borrow(native(self).constants);
    return snapshot_constants(); // an instance never constructed: the module as it is
}

namespace {

// Is `method` (enumeration.from_value, looked up) the constants module's own, bound to
// the enumeration? That function carries the mark `looks_up_text`.
bool own_text_lookup(PyObject *enumeration, PyObject *method) {
    if (!PyMethod_Check(method) || PyMethod_GET_SELF(method) != enumeration)
        return false;
    // a function of the host's has no mark: it is called
    return optional_attr(PyMethod_GET_FUNCTION(method), TOVIK_KEY("looks_up_text")).ptr() == Py_True;
}

} // namespace

// Enumeration.from_value(value). A member of that very enumeration is its own
// from_value (the constants module guarantees it), so it is returned without the call.
// For a text, the constants module's own from_value returns _value2member_map_[text]:
// read here the same way, without entering Python; any other case (a replaced
// from_value, a text of no member) makes the call.
safe_ref from_value(nb::handle names, PyObject *enum_name, nb::handle value) {
    safe_ref enumeration = constant(names, enum_name);
    if ((PyObject *) Py_TYPE(value.ptr()) == enumeration.ptr())
        return safe_ref::borrow(value.ptr());
    safe_ref method = get_attr(enumeration, TOVIK_KEY("from_value"));
    if (PyUnicode_CheckExact(value.ptr()) && own_text_lookup(enumeration.ptr(), method.ptr())) {
        safe_ref members = get_attr(enumeration, TOVIK_KEY("_value2member_map_"));
        if (PyDict_CheckExact(members.ptr())) {
            if (PyObject *member = PyDict_GetItemWithError(members.ptr(), value.ptr()))
                return safe_ref::borrow(member);
            if (PyErr_Occurred())
                throw nb::python_error();
        }
    }
    return call(method, value);
}

// The instrument's latest tick time: current_tick_infos.get(code, {}).get("ts").
safe_ref latest_tick_ts(PyObject *self, nb::handle code) {
    safe_ref infos = field(self, TOVIK_KEY("current_tick_infos"));
    safe_ref entry;
    if (PyDict_CheckExact(infos.ptr())) {
        entry = get_or(infos, code.ptr(), Py_None);
        if (entry.is_none())
            return entry; // no entry: the instrument has no tick yet
    } else {
        safe_ref empty = own(PyDict_New());
        entry = get_or(infos, code.ptr(), empty.ptr());
    }
    return get_or(entry, TOVIK_KEY("ts"), Py_None);
}

namespace {

// ---------------------------------------------------------------------------
// Construction.

void construct(PyObject *self, PyObject *positions, PyObject *order_ids) {
    if (nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Matcher.__init__() 不可重複呼叫: 此物件已初始化");
    if (order_ids == Py_None)
        order_ids = nullptr;
    if (order_ids && !PyCallable_Check(order_ids))
        raise_type_error("Matcher(): argument 'order_ids' must be a callable returning str, not " +
                         type_name_of(order_ids));
    safe_ref queue = import_module(TOVIK_KEY("queue"));
    safe_ref names = snapshot_constants();

    // Fields go into the instance __dict__ in this order.
    check_status(PyObject_SetAttr(self, TOVIK_KEY("pending_orders"), own(PyList_New(0)).ptr()));
    check_status(PyObject_SetAttr(self, TOVIK_KEY("response_queue"),
                                  own(PyObject_CallNoArgs(get_attr(queue, TOVIK_KEY("SimpleQueue")).ptr())).ptr()));
    check_status(PyObject_SetAttr(self, TOVIK_KEY("pending_order_queue"),
                                  own(PyObject_CallNoArgs(get_attr(queue, TOVIK_KEY("Queue")).ptr())).ptr()));
    check_status(PyObject_SetAttr(self, TOVIK_KEY("current_tick_infos"), own(PyDict_New()).ptr()));
    // Any object other than None is the host's book, even one that is false
    // (e.g. a book whose __len__ counts open positions): it must hear of every fill.
    safe_ref book;
    if (positions && positions != Py_None) {
        book = safe_ref::borrow(positions);
    } else {
        safe_ref module = import_module(TOVIK_KEY("tovik_backtest.modules.positions.positions"));
        book = own(PyObject_CallNoArgs(get_attr(module, TOVIK_KEY("Positions")).ptr()));
    }
    check_status(PyObject_SetAttr(self, TOVIK_KEY("positions"), book.ptr()));
    safe_ref account = own(PyDict_New());
    set_get_item(account, TOVIK_KEY("account_id"), own(PyUnicode_FromString("BT-00001")));
    check_status(PyObject_SetAttr(self, TOVIK_KEY("account_info"), account.ptr()));
    safe_ref exchange = own(PyDict_New());
    set_get_item(exchange, TOVIK_KEY("name"), own(PyUnicode_FromString("TOVIK Backtest Exchange")));
    check_status(PyObject_SetAttr(self, TOVIK_KEY("exchange_info"), exchange.ptr()));

    // The native part (order-book lock) must exist before the worker can run add_order.
    Matcher &m = *new (nb::inst_ptr<Matcher>(self)) Matcher();
    try {
        load_vocabulary(names, m.book); // what matching reads, from the same enumerations
    } catch (...) {
        m.~Matcher(); // the instance stays unconstructed, as before the call
        throw;
    }
    m.order_ids = order_ids ? Py_NewRef(order_ids) : nullptr;
    m.constants = names.release();
    nb::inst_mark_ready(self);

    safe_ref threading = import_module(TOVIK_KEY("threading"));
    safe_ref kwargs = own(PyDict_New());
    set_get_item(kwargs, TOVIK_KEY("target"), get_attr(self, TOVIK_KEY("_Matcher__receive_pending_order")));
    set_get_item(kwargs, TOVIK_KEY("daemon"), nb::handle(Py_True));
    safe_ref no_args = own(PyTuple_New(0));
    safe_ref thread = own(PyObject_Call(get_attr(threading, TOVIK_KEY("Thread")).ptr(), no_args.ptr(), kwargs.ptr()));
    call_method(thread, TOVIK_KEY("start"));
    native(self).worker = thread.release();
}

// __init__(positions=None, *, order_ids=None); the documented __init__.
PyObject *init_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<2> params{"Matcher", {"positions", "order_ids"}, 0};
    if (PyVectorcall_NARGS(nargsf) > 1)
        raise_type_error("Matcher() takes at most 1 positional argument (" +
                         std::to_string(PyVectorcall_NARGS(nargsf)) + " given)");
    PyObject *a[2];
    parse_args(params, args, nargsf, kwnames, a);
    construct(self, a[0], a[1]);
    Py_RETURN_NONE;
}

// close(): the worker serves what is queued, then ends; joined here. Harmless when
// repeated, and from the worker itself (a callback) it only asks the worker to stop.
PyObject *close_method(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("close", nargsf, kwnames);
    if (!nb::inst_ready(self))
        Py_RETURN_NONE;
    Matcher &m = native(self);
    if (!m.closed) {
        m.closed = true;
        // The matcher itself is the stop message: no host payload can be it by accident.
        call_method(field(self, TOVIK_KEY("pending_order_queue")), TOVIK_KEY("put"), self);
    }
    if (!m.worker)
        Py_RETURN_NONE;
    safe_ref worker = safe_ref::borrow(m.worker);
    safe_ref current = call_method(import_module(TOVIK_KEY("threading")), TOVIK_KEY("current_thread"));
    if (current.ptr() == worker.ptr())
        Py_RETURN_NONE;
    // Thread.join waits in a lock acquire, which releases the GIL.
    call_method(worker, TOVIK_KEY("join"));
    if (m.worker == worker.ptr())
        Py_CLEAR(m.worker);
    Py_RETURN_NONE;
}

PyObject *enter_method(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("__enter__", nargsf, kwnames);
    native_ready(self);
    return Py_NewRef(self);
}

PyObject *exit_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<3> params{"__exit__", {"exc_type", "exc_value", "traceback"}, 3};
    PyObject *a[3];
    parse_args(params, args, nargsf, kwnames, a);
    Py_DECREF(close_method(self, nullptr, 0, nullptr));
    Py_RETURN_FALSE; // an exception from the block goes on
}

// The documented __init__: type(...)(...) goes through the tp_init slot, while this
// entry gives Matcher.__init__ its signature and text (METH_COEXIST lets it replace
// the slot wrapper in the class dictionary).
constexpr const char *init_doc = "__init__($self, positions=None, *, order_ids=None)\n--\n\n"
                                 "Matcher Module Constructor\n\n"
                                 "Args:\n"
                                 "    positions (Positions, optional): Positions Module. Defaults to None.\n"
                                 "    order_ids (Callable[[], str], optional): 新委託單號的來源. "
                                 "Defaults to None (隨機 16 字元).";

} // namespace

void load_dependencies(nb::module_ &) {
    // (nanobind's leak report at exit is switched off in module.cpp, except in
    // leak-checking test builds.)
    for (const char *name :
         {"tovik_backtest.constant", "tovik_backtest.utils", "tovik_backtest.modules.positions.positions", "nanoid",
          "queue", "threading", "json", "traceback", "copy"})
        nb::module_::import_(name);

    load_order_defaults();
}

int matcher_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    try {
        Py_ssize_t nargs = PyTuple_Size(args);
        if (nargs > 1)
            raise_type_error("Matcher() takes at most 1 argument (" + std::to_string(nargs) + " given)");
        PyObject *positions = nargs == 1 ? PyTuple_GetItem(args, 0) : nullptr;
        PyObject *order_ids = nullptr;
        if (kwargs && PyDict_Size(kwargs) > 0) {
            PyObject *key = nullptr, *value = nullptr;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (text_equals(key, TOVIK_KEY("order_ids"))) {
                    order_ids = value;
                    continue;
                }
                if (!text_equals(key, TOVIK_KEY("positions")))
                    raise_type_error("Matcher() got an unexpected keyword argument '" + str_of(key) + "'");
                if (positions)
                    raise_type_error("Matcher() got multiple values for argument 'positions'");
                positions = value;
            }
        }
        construct(self, positions, order_ids);
        return 0;
    } catch (nb::python_error &e) { // typed handlers only: a forced unwind passes (see guarded<>)
        e.restore();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return -1;
}

void add_construction_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(PyMethodDef{"__init__", (PyCFunction) (void (*)(void)) & guarded<init_method>,
                                  METH_FASTCALL | METH_KEYWORDS | METH_COEXIST, init_doc});
    methods.push_back(TOVIK_METHOD("close", close_method,
                                   "close($self)\n--\n\n"
                                   "結束委託佇列的處理: 已排入的委託處理完後背景執行緒結束\n\n"
                                   "之後再送入委託佇列會引發 RuntimeError; 重複呼叫無妨。"));
    methods.push_back(TOVIK_METHOD("__enter__", enter_method, "__enter__($self)\n--\n\n回傳 Matcher 本身"));
    methods.push_back(TOVIK_METHOD("__exit__", exit_method,
                                   "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
                                   "離開 with 區塊時呼叫 close()"));
}

} // namespace tovik::matcher
