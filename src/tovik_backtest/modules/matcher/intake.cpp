// The queues and the worker thread's intake loop: requests put on
// pending_order_queue are served in order; reports go to response_queue.
#include "matcher.hpp"

namespace tovik::matcher {
namespace {

safe_ref get_or_none(nb::handle container, PyObject *key) { return get_or(container, key, Py_None); }

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
    set_get_item(message, TOVIK_KEY("action"), a[0]);
    set_get_item(message, TOVIK_KEY("payload"), a[1]); // by reference, not copied
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
        set_get_item(data, TOVIK_KEY("info"), message);
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

} // namespace

void add_intake_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("_Matcher__receive_pending_order", receive_pending_order,
                                   "_Matcher__receive_pending_order($self)\n--\n\n"
                                   "接收委託單"));
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
}

} // namespace tovik::matcher
