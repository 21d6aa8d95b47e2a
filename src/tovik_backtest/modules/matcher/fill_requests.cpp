// Modifications and cancellations on their way to the exchange: with a latency, the
// order desk hands them here (defer_request) and the engine's loop carries each out at
// the first tick of its instrument at or after its arrival time (fills_deliver). One that
// finds its order gone by then is refused by the exchange, and counted.
#include "fill_model.hpp"

#include <string>

namespace tovik::matcher {
namespace {

// The resting record of `trade_id` in pending_orders, or null.
PyObject *resting_record(PyObject *self, PyObject *trade_id) {
    safe_ref orders = pending_orders_of(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(orders.ptr()); ++i) {
        PyObject *record = PyList_GET_ITEM(orders.ptr(), i);
        if (!PyDict_Check(record))
            continue;
        PyObject *id = PyDict_GetItemWithError(record, TOVIK_KEY("trade_id"));
        if (!id) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        if (same_or_equal(safe_ref::borrow(id), trade_id))
            return record;
    }
    return nullptr;
}

bool is_resting(PyObject *self, PyObject *record) {
    safe_ref orders = pending_orders_of(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(orders.ptr()); ++i)
        if (PyList_GET_ITEM(orders.ptr(), i) == record)
            return true;
    return false;
}

PyObject *defer_request(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<4> params{"defer_request", {"trade_id", "cancel", "qty", "price"}, 2};
    PyObject *a[4];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "trade_id");
    if (!PyBool_Check(a[1]))
        raise_type_error("defer_request(): argument 'cancel' must be bool, not " + type_name_of(a[1]));
    for (int k : {2, 3})
        if (a[k] == Py_None)
            a[k] = nullptr;
    if (a[2] && !PyLong_CheckExact(a[2]))
        raise_type_error("defer_request(): argument 'qty' must be int or None, not " + type_name_of(a[2]));
    if (a[3] && !PyFloat_CheckExact(a[3]))
        raise_type_error("defer_request(): argument 'price' must be float or None, not " + type_name_of(a[3]));
    native_ready(self);
    FillModel *m = model_of(self);
    if (!m)
        raise(PyExc_RuntimeError, "defer_request(): no fill model is set (set_fill_model)");
    PyObject *record = resting_record(self, a[0]);
    if (!record)
        raise_value_error("defer_request(): no resting order has the id " + str_of(a[0]));
    PyObject *code = PyDict_GetItemWithError(record, TOVIK_KEY("code"));
    if (!code || !PyUnicode_CheckExact(code)) {
        if (PyErr_Occurred())
            throw nb::python_error();
        raise_value_error("defer_request(): the order " + str_of(a[0]) + " has no instrument code");
    }
    Py_INCREF(code);
    PyUnicode_InternInPlace(&code);
    FillRequest r;
    r.code = code;
    r.record = Py_NewRef(record);
    r.trade_id = Py_NewRef(a[0]);
    r.qty = a[2] ? Py_NewRef(a[2]) : nullptr;
    r.price = a[3] ? Py_NewRef(a[3]) : nullptr;
    r.cancel = a[1] == Py_True;
    r.earliest = m->tick_no;
    r.arrival_ns = m->arrival_of_now();
    m->requests.push_back(r);
    Py_RETURN_NONE;
}

PyObject *late_requests(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"late_requests", {"unused"}, 0};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    native_ready(self);
    safe_ref counts = own(PyDict_New());
    if (FillModel *m = model_of(self))
        for (const auto &kv : m->late) {
            safe_ref n = own(PyLong_FromLongLong(kv.second));
            check_status(PyDict_SetItem(counts.ptr(), kv.first, n.ptr()));
        }
    return counts.release();
}

// The exchange's refusal of a request for `record`: an order report whose status is not
// a success, with `message`, handed on like every report.
void refuse(PyObject *self, const FillRequest &r, const std::string &message) {
    safe_ref names = constants(self);
    safe_ref operation_types = constant(names, TOVIK_KEY("OperationType"));
    safe_ref operation = get_attr(operation_types, r.cancel ? TOVIK_KEY("CANCEL") : TOVIK_KEY("UPDATE_QTY"));
    if (!r.cancel && r.price && !r.qty)
        operation = get_attr(operation_types, TOVIK_KEY("UPDATE_PRICE"));
    safe_ref types = import_module(TOVIK_KEY("types"));
    safe_ref status = call_method(types, TOVIK_KEY("SimpleNamespace"));
    safe_ref code_text = own(PyUnicode_FromString("99"));
    safe_ref message_text = own(PyUnicode_FromStringAndSize(message.data(), (Py_ssize_t) message.size()));
    check_status(PyObject_SetAttr(status.ptr(), TOVIK_KEY("code"), code_text.ptr()));
    check_status(PyObject_SetAttr(status.ptr(), TOVIK_KEY("message"), message_text.ptr()));
    safe_ref report = call_method(self, TOVIK_KEY("build_order_response"), nb::handle(r.record), operation, status);
    queue_response(self, report);
}

void release_request(FillRequest &r) {
    for (PyObject *p : {r.record, r.trade_id, r.code, r.qty, r.price})
        Py_XDECREF(p);
}

} // namespace

bool fills_deliver(PyObject *self, FillModel &m, PyObject *code) {
    if (m.requests.empty())
        return false;
    // The due requests leave the list before any is carried out: carrying one out runs
    // Python code, which may make new ones.
    std::vector<FillRequest> due;
    std::vector<FillRequest> waiting;
    for (FillRequest &r : m.requests)
        (r.code == code && m.tick_no >= r.earliest && m.now_ns >= r.arrival_ns ? due : waiting).push_back(r);
    if (due.empty())
        return false;
    m.requests.swap(waiting);
    struct Release {
        std::vector<FillRequest> &requests;
        ~Release() {
            for (FillRequest &r : requests)
                release_request(r);
        }
    } release{due};
    for (const FillRequest &r : due) {
        if (!is_resting(self, r.record)) {
            auto found = m.late.find(r.code);
            if (found == m.late.end())
                found = m.late.emplace(Py_NewRef(r.code), 0).first;
            ++found->second;
            refuse(self, r, "委託單已不在委託簿中 (已成交、已取消或已到期)");
            continue;
        }
        try {
            if (r.cancel)
                call_method(self, TOVIK_KEY("cancel_order"), nb::handle(r.trade_id));
            else
                call_method(self, TOVIK_KEY("modify_order"), nb::handle(r.trade_id),
                            nb::handle(r.qty ? r.qty : Py_None), nb::handle(r.price ? r.price : Py_None));
        } catch (nb::python_error &e) {
            if (!is_ordinary(e))
                throw;
            std::string message = str_of(e.value());
            e.restore(); // hand the error's reference back now, not from a destructor
            PyErr_Clear();
            refuse(self, r, message);
        }
    }
    return true;
}

void add_fill_request_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(
        TOVIK_METHOD("defer_request", defer_request,
                     "defer_request($self, trade_id, cancel, qty=None, price=None)\n--\n\n"
                     "Send a cancellation or modification that reaches the exchange after the latency.\n\n"
                     "cancel=True cancels the resting order; otherwise qty and price modify it.\n"
                     "It is carried out at the first tick of the order's instrument at or after\n"
                     "its arrival time; when the order is no longer open then, the exchange\n"
                     "refuses it with an order report (status code 99), counted in\n"
                     "late_requests()."));
    methods.push_back(TOVIK_METHOD("late_requests", late_requests,
                                   "late_requests($self)\n--\n\n"
                                   "Requests that arrived after their order had left the book, per code."));
}

} // namespace tovik::matcher
