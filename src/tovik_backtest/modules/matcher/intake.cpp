// Module loading, the constructor, the worker thread's intake loop, the tick table,
// order ids, the queue operations and order entry (add_order).
#include "matcher.hpp"

#include <cmath>
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

// Is this exactly a Matcher (no subclass)? Then no class attribute can shadow an
// instance field and no method has been overridden in a class.
bool is_plain_matcher(PyObject *self) {
    // The class lives as long as the module, so its address can be kept.
    static PyTypeObject *const matcher_type = (PyTypeObject *) nb::type<Matcher>().ptr();
    return Py_TYPE(self) == matcher_type;
}

// A plain Matcher's __dict__ (borrowed), read from its slot without the reference
// that PyObject_GenericGetDict would hand out; null for a subclass instance or while
// the dict does not exist yet (or is not a plain dict).
PyObject *plain_instance_dict(PyObject *self) {
    if (!is_plain_matcher(self))
        return nullptr;
    PyObject **slot = instance_dict_slot(self);
    return slot && *slot && PyDict_CheckExact(*slot) ? *slot : nullptr;
}

// self.<name>: a plain Matcher's fields are read straight from its __dict__, which is
// what attribute lookup would find, without the walk through the class.
safe_ref field(PyObject *self, PyObject *name) {
    if (PyObject *dict = plain_instance_dict(self)) {
        PyObject *value = PyDict_GetItemWithError(dict, name);
        if (value)
            return safe_ref::borrow(value);
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return get_attr(self, name);
}

// Is self.<name> the class's own method, replaced neither by a subclass nor on the
// instance? Then its implementation may be called directly.
bool uses_own_method(PyObject *self, PyObject *name) {
    PyObject *dict = plain_instance_dict(self);
    if (!dict)
        return false;
    if (PyDict_GetItemWithError(dict, name))
        return false;
    if (PyErr_Occurred())
        throw nb::python_error();
    return true;
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

// Enumeration.from_value(value). A member of that very enumeration is its own
// from_value (the constants module guarantees it), so it is returned without the call.
safe_ref from_value(nb::handle names, PyObject *enum_name, nb::handle value) {
    safe_ref enumeration = constant(names, enum_name);
    if ((PyObject *) Py_TYPE(value.ptr()) == enumeration.ptr())
        return safe_ref::borrow(value.ptr());
    return call_method(enumeration, TOVIK_KEY("from_value"), value);
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

// Defaults of add_order's optional arguments: the text values of OrderCond.CASH,
// OrderLot.COMMON and OCType.AUTO, read once when the module loads. They are interned
// (hence immortal), so plain static pointers to them never dangle.
PyObject *default_order_cond = nullptr;
PyObject *default_order_lot = nullptr;
PyObject *default_oc_type = nullptr;

safe_ref get_or_none(nb::handle container, PyObject *key) { return get_or(container, key, Py_None); }

void set_item(nb::handle dict, PyObject *key, nb::handle value) {
    check_status(PyDict_SetItem(dict.ptr(), key, value.ptr()));
}

void require_ready(PyObject *self) {
    if (!nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Matcher 尚未初始化: 請先呼叫 Matcher()");
}

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
    set_item(account, TOVIK_KEY("account_id"), own(PyUnicode_FromString("BT-00001")));
    check_status(PyObject_SetAttr(self, TOVIK_KEY("account_info"), account.ptr()));
    safe_ref exchange = own(PyDict_New());
    set_item(exchange, TOVIK_KEY("name"), own(PyUnicode_FromString("TOVIK Backtest Exchange")));
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
    set_item(kwargs, TOVIK_KEY("target"), get_attr(self, TOVIK_KEY("_Matcher__receive_pending_order")));
    set_item(kwargs, TOVIK_KEY("daemon"), nb::handle(Py_True));
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

// ---------------------------------------------------------------------------
// Tick table and order ids.

safe_ref new_tick_info() {
    safe_ref entry = own(PyDict_New());
    set_item(entry, TOVIK_KEY("ts"), nb::handle(Py_None));
    set_item(entry, TOVIK_KEY("tick"), nb::handle(Py_None));
    return entry;
}

PyObject *init_current_tick_info(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"_Matcher__init_current_tick_info", {"code"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "code");
    return new_tick_info().release();
}

PyObject *get_random_uuid(PyObject *, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("_Matcher__get_random_uuid", nargsf, kwnames);
    // nanoid.generate(size=16), looked up at every call so a replaced generator is used.
    safe_ref generate = get_attr(import_module(TOVIK_KEY("nanoid")), TOVIK_KEY("generate"));
    safe_ref names = own(PyTuple_Pack(1, TOVIK_KEY("size")));
    safe_ref size = own(PyLong_FromLong(16));
    PyObject *argv[] = {size.ptr()};
    return check(PyObject_Vectorcall(generate.ptr(), argv, 0, names.ptr()));
}

// The id of a new order: from the host's order_ids when one was given, else from
// __get_random_uuid (which a subclass may replace).
safe_ref new_order_id(PyObject *self) {
    if (PyObject *source = native(self).order_ids) {
        safe_ref held = safe_ref::borrow(source); // the call may run code that drops it
        safe_ref id = own(PyObject_CallNoArgs(held.ptr()));
        if (!PyUnicode_CheckExact(id.ptr()))
            raise_type_error("order_ids() must return str, not " + type_name_of(id) +
                             ": pass Matcher(order_ids=...) a callable that returns the new order id as str");
        return id;
    }
    return call_own_method(self, TOVIK_KEY("_Matcher__get_random_uuid"), get_random_uuid);
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

// ---------------------------------------------------------------------------
// Queue operations.

[[noreturn]] void raise_closed(const char *func) {
    raise(PyExc_RuntimeError,
          std::string(func) + "(): Matcher 已關閉 (close() 之後委託佇列不再處理): 請建立新的 Matcher");
}

bool is_closed(PyObject *self) { return nb::inst_ready(self) && native(self).closed; }

PyObject *pop_response(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("pop_response", nargsf, kwnames);
    // Reports already queued can still be taken; waiting on an empty queue of a
    // closed matcher would never end.
    if (is_closed(self)) {
        safe_ref queue = field(self, TOVIK_KEY("response_queue"));
        safe_ref empty = call_method(queue, TOVIK_KEY("empty"));
        int is_empty = PyObject_IsTrue(empty.ptr());
        check_status(is_empty);
        if (is_empty)
            raise_closed("pop_response");
    }
    // Raw references around the blocking take: if the interpreter ends this thread
    // while it waits, no destructor may touch Python objects without the GIL.
    PyObject *queue = check(PyObject_GetAttr(self, TOVIK_KEY("response_queue")));
    PyObject *response = PyObject_VectorcallMethod(TOVIK_KEY("get"), &queue, 1, nullptr);
    Py_DECREF(queue);
    return check(response);
}

PyObject *add_pending_order_queue(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<2> params{"add_pending_order_queue", {"action", "payload"}, 2};
    PyObject *a[2];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "action");
    require_dict(a[1], params.func, "payload");
    if (is_closed(self))
        raise_closed(params.func);
    safe_ref message = own(PyDict_New());
    set_item(message, TOVIK_KEY("action"), a[0]);
    set_item(message, TOVIK_KEY("payload"), a[1]); // by reference, not copied
    call_method(field(self, TOVIK_KEY("pending_order_queue")), TOVIK_KEY("put"), message);
    Py_RETURN_NONE;
}

PyObject *add_response_to_queue(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"add_response_to_queue", {"response"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    require_dict(a[0], params.func, "response");
    if (PyObject *sink = nb::inst_ready(self) ? native(self).report_sink : nullptr) {
        check_status(PyList_Append(sink, a[0])); // routed (route_reports, engine.cpp)
        Py_RETURN_NONE;
    }
    call_method(field(self, TOVIK_KEY("response_queue")), TOVIK_KEY("put"), a[0]);
    Py_RETURN_NONE;
}

} // namespace

// self.add_response_to_queue(response), for the order book's reports: the method's
// own work done here when it is not replaced and the report is a plain dict.
void queue_response(PyObject *self, nb::handle response) {
    if (PyDict_CheckExact(response.ptr()) && uses_own_method(self, TOVIK_KEY("add_response_to_queue"))) {
        if (PyObject *sink = nb::inst_ready(self) ? native(self).report_sink : nullptr) {
            check_status(PyList_Append(sink, response.ptr())); // routed (route_reports, engine.cpp)
            return;
        }
        call_method(field(self, TOVIK_KEY("response_queue")), TOVIK_KEY("put"), response);
        return;
    }
    call_method(self, TOVIK_KEY("add_response_to_queue"), response);
}

namespace {

// ---------------------------------------------------------------------------
// Intake loop.

// The keyword dictionary of `add_order(**payload)`, with the host's wording for a
// payload that is not a mapping.
safe_ref keywords_of(nb::handle payload) {
    if (PyDict_CheckExact(payload.ptr()))
        return safe_ref::borrow(payload.ptr());
    int is_mapping = PyObject_HasAttr(payload.ptr(), TOVIK_KEY("keys"));
    if (!is_mapping)
        raise_type_error("argument after ** must be a mapping, not " + type_name_of(payload));
    safe_ref kwargs = own(PyDict_New());
    check_status(PyDict_Merge(kwargs.ptr(), payload.ptr(), 1));
    return kwargs;
}

void serve_message(PyObject *self, nb::handle message) {
    safe_ref action = get_item(message, TOVIK_KEY("action"));
    safe_ref payload = get_item(message, TOVIK_KEY("payload"));
    if (text_equals(action, TOVIK_KEY("add"))) {
        safe_ref kwargs = keywords_of(payload);
        safe_ref add_order = get_attr(self, TOVIK_KEY("add_order"));
        safe_ref no_args = own(PyTuple_New(0));
        own(PyObject_Call(add_order.ptr(), no_args.ptr(), kwargs.ptr()));
    } else if (text_equals(action, TOVIK_KEY("modify"))) {
        safe_ref trade_id = get_item(payload, TOVIK_KEY("trade_id"));
        safe_ref qty = get_or_none(payload, TOVIK_KEY("qty"));
        safe_ref price = get_or_none(payload, TOVIK_KEY("price"));
        call_method(self, TOVIK_KEY("modify_order"), trade_id, qty, price);
    } else if (text_equals(action, TOVIK_KEY("cancel"))) {
        safe_ref trade_id = get_item(payload, TOVIK_KEY("trade_id"));
        call_method(self, TOVIK_KEY("cancel_order"), trade_id);
    } else {
        console_print(red("不支援的操作: " + str_of(action)));
    }
}

// Writes an error that the loop cannot report in the usual way (its own reporting
// failed) to sys.unraisablehook, so the loop can go on.
void write_unraisable(nb::python_error &e, PyObject *context) {
    e.restore();
    PyErr_WriteUnraisable(context);
}

// One console line and one error record for a failed message; a failure while
// reporting must not end the loop either.
void report_failure(PyObject *self, const nb::python_error &e, nb::handle message) {
    try {
        console_print(red("接收委託單失敗: " + str_of(e.value())));
    } catch (nb::python_error &inner) {
        if (!is_ordinary(inner))
            throw;
        write_unraisable(inner, self);
    }
    try {
        safe_ref data = own(PyDict_New());
        set_item(data, TOVIK_KEY("info"), message);
        log_error_record(e, data);
    } catch (nb::python_error &inner) {
        if (!is_ordinary(inner))
            throw;
        write_unraisable(inner, self);
    }
}

void task_done(PyObject *self, nb::handle queue) {
    try {
        call_method(queue, TOVIK_KEY("task_done"));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e))
            throw;
        write_unraisable(e, self); // e.g. a host that called task_done itself
    }
}

PyObject *receive_pending_order(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) {
    require_no_args("_Matcher__receive_pending_order", nargsf, kwnames);
    for (;;) {
        // Raw references around the blocking take (see pop_response).
        PyObject *raw_queue = check(PyObject_GetAttr(self, TOVIK_KEY("pending_order_queue")));
        PyObject *raw_message = PyObject_VectorcallMethod(TOVIK_KEY("get"), &raw_queue, 1, nullptr);
        if (!raw_message) {
            Py_DECREF(raw_queue);
            throw nb::python_error(); // the queue itself is broken: serving can't go on
        }
        safe_ref queue = safe_ref::steal(raw_queue);
        safe_ref message = safe_ref::steal(raw_message);
        if (message.ptr() == self) { // close(): everything queued before it is served
            task_done(self, queue);
            Py_RETURN_NONE;
        }
        try {
            try {
                serve_message(self, message);
            } catch (nb::python_error &e) {
                if (!is_ordinary(e))
                    throw;
                report_failure(self, e, message);
            }
        } catch (nb::python_error &) {
            // An interrupt or exit request ends the worker, but the message still counts
            // as done so a host waiting on join() is not left hanging.
            task_done(self, queue);
            throw;
        }
        task_done(self, queue);
    }
}

// ---------------------------------------------------------------------------
// Order entry.

// Arguments matched to `names` by identity: keyword names in a call, and the keys of
// a payload dict written in Python code, are interned strings, so comparing pointers
// finds them without parse_args' text compares (the intake worker passes every
// payload by keyword). False, with nothing raised, for anything else (a name that is
// not the interned one, an unknown, repeated or missing argument): parse_args then
// does the matching and raises the host's errors.
template <size_t N> bool match_interned(PyObject *const (&names)[N], size_t required, PyObject *const *args,
                                        Py_ssize_t nargsf, PyObject *kwnames, PyObject *(&out)[N]) {
    const size_t nargs = (size_t) PyVectorcall_NARGS(nargsf);
    if (nargs > N)
        return false;
    for (size_t i = 0; i < N; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? tuple_size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *name = tuple_item(kwnames, k);
        size_t slot = 0;
        while (slot < N && names[slot] != name)
            ++slot;
        if (slot == N || out[slot])
            return false;
        out[slot] = args[nargs + (size_t) k];
    }
    for (size_t i = 0; i < required; ++i)
        if (!out[i])
            return false;
    return true;
}

PyObject *add_order(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<10> params{"add_order",
                                   {"code", "product_type", "action", "price", "qty", "price_type", "order_type",
                                    "order_cond", "order_lot", "oc_type"},
                                   7};
    PyObject *const keywords[10] = {TOVIK_KEY("code"),       TOVIK_KEY("product_type"), TOVIK_KEY("action"),
                                    TOVIK_KEY("price"),      TOVIK_KEY("qty"),          TOVIK_KEY("price_type"),
                                    TOVIK_KEY("order_type"), TOVIK_KEY("order_cond"),   TOVIK_KEY("order_lot"),
                                    TOVIK_KEY("oc_type")};
    PyObject *a[10];
    if (!match_interned(keywords, params.required, args, nargsf, kwnames, a))
        parse_args(params, args, nargsf, kwnames, a);
    const char *f = params.func;
    require_str(a[0], f, "code");
    require_str(a[1], f, "product_type");
    require_str(a[2], f, "action");
    double price = require_real(a[3], f, "price");
    require_int(a[4], f, "qty");
    require_str(a[5], f, "price_type");
    require_str(a[6], f, "order_type");
    for (size_t i = 7; i < 10; ++i)
        if (a[i])
            require_str(a[i], f, params.names[i]);
    if (!a[7])
        a[7] = default_order_cond;
    if (!a[8])
        a[8] = default_order_lot;
    if (!a[9])
        a[9] = default_oc_type;

    // A zero or negative quantity would make negative fills and eat into the tick
    // quantity shared by the instrument's other orders.
    int overflow = 0;
    long long qty = PyLong_AsLongLongAndOverflow(a[4], &overflow);
    if (qty == -1 && !overflow && PyErr_Occurred())
        throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && qty <= 0))
        raise_exception("委託數量必須大於 0: " + str_of(a[4]));
    // Matching keeps quantities in 64 bits: a larger order could never be served and
    // would make every tick of its instrument fail.
    if (overflow > 0)
        raise_exception("委託數量超出上限 9223372036854775807: " + str_of(a[4]));
    if (!std::isfinite(price) || price < 0)
        raise_exception("委託價格必須為有限且不小於 0 的數字: " + str_of(a[3]));
    require_ready(self);

    nb::handle code = a[0], product_type = a[1];
    BookLock lock(self);
    safe_ref names = constants(self);
    safe_ref create_order = get_attr(constant(names, TOVIK_KEY("SuccessCode")), TOVIK_KEY("CreateOrder"));
    // Each of these reads runs two Python-level properties: read once, used for the
    // record and for its acknowledgement.
    safe_ref status_code = get_attr(create_order, TOVIK_KEY("code"));
    safe_ref status_message = get_attr(create_order, TOVIK_KEY("message"));

    DictBuilder fields;
    fields.set(TOVIK_KEY("operation_type"), TOVIK_KEY("New"))
        .set(TOVIK_KEY("operation_code"), status_code)
        .set(TOVIK_KEY("operation_message"), status_message)
        .set(TOVIK_KEY("trade_id"), new_order_id(self))
        .copy(TOVIK_KEY("account_id"), field(self, TOVIK_KEY("account_info")))
        .set(TOVIK_KEY("code"), code)
        .set(TOVIK_KEY("product_type"), product_type)
        .set(TOVIK_KEY("action"), from_value(names, TOVIK_KEY("Action"), a[2]));
    safe_ref price_value = own(PyFloat_FromDouble(price));
    fields.set(TOVIK_KEY("price"), price_value)
        .set(TOVIK_KEY("quantity"), a[4])
        .set(TOVIK_KEY("price_type"), from_value(names, TOVIK_KEY("PriceType"), a[5]))
        .set(TOVIK_KEY("order_type"), from_value(names, TOVIK_KEY("OrderType"), a[6]))
        .set(TOVIK_KEY("exchange_ts"), latest_tick_ts(self, code));
    Layout layout;
    if (text_equals(product_type, TOVIK_KEY("Stock"))) {
        fields.set(TOVIK_KEY("order_cond"), from_value(names, TOVIK_KEY("OrderCond"), a[7]))
            .set(TOVIK_KEY("order_lot"), from_value(names, TOVIK_KEY("OrderLot"), a[8]));
        layout = Layout::record_stock;
    } else if (text_equals(product_type, TOVIK_KEY("Future"))) {
        fields.set(TOVIK_KEY("oc_type"), from_value(names, TOVIK_KEY("OCType"), a[9]));
        layout = Layout::record_future;
    } else {
        raise_exception("不支援的商品類型: " + str_of(product_type));
    }
    safe_ref record = fields.take(self, layout);

    safe_ref pending = field(self, TOVIK_KEY("pending_orders"));
    if (PyList_CheckExact(pending.ptr()))
        check_status(PyList_Append(pending.ptr(), record.ptr()));
    else
        call_method(pending, TOVIK_KEY("append"), record);
    book_entered(self, pending, record);

    // From here the order rests; a failed acknowledgement is logged, not raised.
    try {
        safe_ref operation_new = get_attr(constant(names, TOVIK_KEY("OperationType")), TOVIK_KEY("NEW"));
        safe_ref response =
            uses_own_method(self, TOVIK_KEY("build_order_response"))
                ? order_response(self, record, operation_new, status_code, status_message)
                : call_method(self, TOVIK_KEY("build_order_response"), record, operation_new, create_order);
        call_own_method(self, TOVIK_KEY("add_response_to_queue"), add_response_to_queue, response);
        if (console_on(self))
            console_print(TOVIK_KEY("[green]新增委託單 "), get_item(record, TOVIK_KEY("trade_id")),
                          TOVIK_KEY(" 成功[/green]"));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e))
            throw;
        static const char *const names[10] = {"code",       "product_type", "action",     "price",     "qty",
                                              "price_type", "order_type",   "order_cond", "order_lot", "oc_type"};
        safe_ref data = own(PyDict_New());
        for (size_t i = 0; i < 10; ++i)
            check_status(PyDict_SetItemString(data.ptr(), names[i], i == 3 ? price_value.ptr() : a[i]));
        log_error_record(e, data);
        console_print(red("發生錯誤: " + str_of(e.value())));
    }
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
    require_ready(self);
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

// ---------------------------------------------------------------------------

void load_dependencies(nb::module_ &) {
    // (nanobind's leak report at exit is switched off in module.cpp, except in
    // leak-checking test builds.)
    for (const char *name :
         {"tovik_backtest.constant", "tovik_backtest.utils", "tovik_backtest.modules.positions.positions", "nanoid",
          "queue", "threading", "json", "traceback", "copy"})
        nb::module_::import_(name);

    auto read_default = [&](PyObject *enum_name, PyObject *member) -> PyObject * {
        safe_ref value = get_attr(get_attr(constant(resolve_constants(), enum_name), member), TOVIK_KEY("value"));
        if (!PyUnicode_CheckExact(value.ptr()))
            raise_type_error(str_of(enum_name) + "." + str_of(member) + ".value must be str, not " +
                             type_name_of(value));
        PyObject *text = value.release();
        PyUnicode_InternInPlace(&text); // interned strings are immortal: safe to keep
        return text;
    };
    default_order_cond = read_default(TOVIK_KEY("OrderCond"), TOVIK_KEY("CASH"));
    default_order_lot = read_default(TOVIK_KEY("OrderLot"), TOVIK_KEY("COMMON"));
    default_oc_type = read_default(TOVIK_KEY("OCType"), TOVIK_KEY("AUTO"));
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

void add_intake_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(PyMethodDef{"__init__", (PyCFunction) (void (*)(void)) & guarded<init_method>,
                                  METH_FASTCALL | METH_KEYWORDS | METH_COEXIST, init_doc});
    methods.push_back(TOVIK_METHOD("_Matcher__init_current_tick_info", init_current_tick_info,
                                   "_Matcher__init_current_tick_info($self, code)\n--\n\n"
                                   "初始化當前 Tick 資訊\n\n"
                                   "Args:\n"
                                   "    code (str): 商品代碼\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: Tick 資訊 {\"ts\": None, \"tick\": None}"));
    methods.push_back(TOVIK_METHOD("_Matcher__get_random_uuid", get_random_uuid,
                                   "_Matcher__get_random_uuid($self)\n--\n\n"
                                   "產生隨機的 UUID\n\n"
                                   "Returns:\n"
                                   "    str: 16 個字元的委託單號"));
    methods.push_back(TOVIK_METHOD("_Matcher__receive_pending_order", receive_pending_order,
                                   "_Matcher__receive_pending_order($self)\n--\n\n"
                                   "接收委託單"));
    methods.push_back(TOVIK_METHOD("reset_tick_infos", reset_tick_infos,
                                   "reset_tick_infos($self)\n--\n\n"
                                   "重置當前 Tick 資訊"));
    methods.push_back(TOVIK_METHOD("set_current_tick", set_current_tick,
                                   "set_current_tick($self, tick)\n--\n\n"
                                   "設置當前的 Tick\n\n"
                                   "Args:\n"
                                   "    tick (Dict[str, Any]): Tick 資料"));
    methods.push_back(TOVIK_METHOD("close", close_method,
                                   "close($self)\n--\n\n"
                                   "結束委託佇列的處理: 已排入的委託處理完後背景執行緒結束\n\n"
                                   "之後再送入委託佇列會引發 RuntimeError; 重複呼叫無妨。"));
    methods.push_back(TOVIK_METHOD("__enter__", enter_method, "__enter__($self)\n--\n\n回傳 Matcher 本身"));
    methods.push_back(TOVIK_METHOD("__exit__", exit_method,
                                   "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
                                   "離開 with 區塊時呼叫 close()"));
    methods.push_back(TOVIK_METHOD("pop_response", pop_response,
                                   "pop_response($self)\n--\n\n"
                                   "從回報佇列中取出回報資料\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: 回報資料"));
    methods.push_back(TOVIK_METHOD("add_pending_order_queue", add_pending_order_queue,
                                   "add_pending_order_queue($self, action, payload)\n--\n\n"
                                   "將委託單加入待成交佇列\n\n"
                                   "Args:\n"
                                   "    action (str): 操作類型\n"
                                   "    payload (Dict[str, Any]): 委託單資料"));
    methods.push_back(TOVIK_METHOD("add_response_to_queue", add_response_to_queue,
                                   "add_response_to_queue($self, response)\n--\n\n"
                                   "將回報資料加入回報佇列\n\n"
                                   "Args:\n"
                                   "    response (Dict[str, Any]): 回報資料"));
    // The signature shows the defaults read from the constants module when it loaded
    // (load_dependencies runs before the method table is built). Plain C++ storage.
    static const std::string add_order_doc =
        "add_order($self, code, product_type, action, price, qty, price_type, order_type, order_cond=" +
        repr_of(default_order_cond) + ", order_lot=" + repr_of(default_order_lot) +
        ", oc_type=" + repr_of(default_oc_type) +
        ")\n--\n\n"
        "新增委託單到待成交列表\n\n"
        "Args:\n"
        "    code (str): 商品代碼\n"
        "    product_type (str): 商品類型\n"
        "    action (str): 買賣方向\n"
        "    price (float): 價格\n"
        "    qty (int): 數量\n"
        "    price_type (str): 價格類型\n"
        "    order_type (str): 委託類型\n"
        "    order_cond (str, optional): 委託條件. Defaults to OrderCond.CASH.value.\n"
        "    order_lot (str, optional): 委託批號. Defaults to OrderLot.COMMON.value.\n"
        "    oc_type (str, optional): OC 類型. Defaults to OCType.AUTO.value.";
    methods.push_back(TOVIK_METHOD("add_order", add_order, add_order_doc.c_str()));
}

} // namespace tovik::matcher
