// Modification and cancellation of resting orders (modify_order, cancel_order).
#include "matcher.hpp"

#include <cmath>

namespace tovik::matcher {
namespace {

using OrderBook = Matcher::OrderBook;

// ---------------------------------------------------------------------------
// modify_order / cancel_order

struct Found {
    safe_ref record;
    Py_ssize_t index = -1;
};

// The first resting record whose trade_id equals `trade_id`. Records that are not
// dictionaries or have no trade_id can't be the one asked for and are passed over.
Found find_order(PyObject *self, nb::handle trade_id) {
    safe_ref orders = pending_orders_of(self);
    PyObject *list = orders.ptr();
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        safe_ref record = safe_ref::borrow(list_item(list, i));
        if (!PyDict_Check(record.ptr()))
            continue;
        PyObject *id = PyDict_GetItemWithError(record.ptr(), TOVIK_KEY("trade_id"));
        if (!id) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        if (same_or_equal(safe_ref::borrow(id), trade_id))
            return Found{std::move(record), i};
    }
    return Found{};
}

// The order report of a change to `record`, built by build_order_response and handed
// to add_response_to_queue (either may be replaced by the host).
void acknowledge(PyObject *self, nb::handle record, PyObject *operation, PyObject *status) {
    safe_ref response =
        call_method(self, TOVIK_KEY("build_order_response"), record, nb::handle(operation), nb::handle(status));
    queue_response(self, response);
}

void print_missing(nb::handle trade_id) { console_print(red("委託單 " + str_of(trade_id) + " 不存在")); }

// The resting order `trade_id` (under the caller's BookLock); when there is none the
// console says so and the record is empty.
Found find_or_tell(PyObject *self, nb::handle trade_id) {
    Found found = find_order(self, trade_id);
    if (!found.record.ptr() && console_on(self))
        print_missing(trade_id);
    return found;
}

PyObject *modify_order(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<3> params{"modify_order", {"trade_id", "qty", "price"}, 1};
    PyObject *a[3];
    parse_args(params, args, nargsf, kwnames, a);
    nb::handle trade_id = a[0];
    nb::handle qty = a[1] ? a[1] : Py_None;
    nb::handle price = a[2] ? a[2] : Py_None;
    require_str(trade_id, params.func, "trade_id");
    require_int_or_none(qty, params.func, "qty");
    require_float_or_none(price, params.func, "price");

    const bool qty_given = !qty.is_none() && truthy(qty);
    const bool price_given = !price.is_none() && truthy(price);
    if (!qty_given && !price_given)
        raise_exception("請至少提供數量或價格來修改委託單 " + str_of(trade_id));

    Matcher &m = native_ready(self);
    BookLock lock(self);
    OrderBook &book = m.book;
    Found found = find_or_tell(self, trade_id);
    if (!found.record.ptr())
        Py_RETURN_NONE;
    nb::handle trade = found.record;

    // A refused quantity changes nothing; a refused price comes after the quantity cut of
    // the same call, which stays made and reported (the cut is a complete modification
    // of its own, acknowledged before the price is looked at).
    safe_ref new_qty;
    if (qty_given) {
        int overflow = 0;
        long long cut = PyLong_AsLongLongAndOverflow(qty.ptr(), &overflow);
        if (overflow < 0 || (overflow == 0 && cut < 0))
            raise_exception("修改的數量 " + str_of(qty) + " 必須大於 0");
        safe_ref open = get_item(trade, TOVIK_KEY("quantity"));
        int greater = PyObject_RichCompareBool(qty.ptr(), open.ptr(), Py_GT);
        check_status(greater);
        if (greater)
            raise_exception("修改的數量 " + str_of(qty) + " 大於原本的數量 " + str_of(open));
        new_qty = own(PyNumber_Subtract(open.ptr(), qty.ptr()));
    }
    if (qty_given && m.cut_to_nothing_cancels) {
        int empty = PyObject_Not(new_qty.ptr());
        check_status(empty);
        if (empty) {
            // Nothing left to trade: the order leaves the book as a cancellation, and a
            // new price of the same call has no order to apply to.
            remove_record(self, trade, nullptr, found.index);
            acknowledge(self, trade, book.operation_cancel, book.code_be_cancel);
            if (console_on(self))
                console_print(green("取消委託單 " + str_of(trade_id) + " 成功"));
            Py_RETURN_NONE;
        }
    }
    if (qty_given) {
        set_get_item(trade, TOVIK_KEY("quantity"), new_qty);
        reindex(self, trade, found.index);
        acknowledge(self, trade, book.operation_update_qty, book.code_modify);
        if (console_on(self))
            console_print(green("修改委託單 " + str_of(trade_id) + " 數量成功, 修改數量 " + str_of(qty)));
    }
    if (price_given) {
        // NaN and infinity are refused too: either would make the order match wrongly.
        const double new_price = PyFloat_AsDouble(price.ptr());
        if (!(new_price > 0))
            raise_exception("修改的價格 " + float_text(new_price) + " 必須大於 0");
        if (std::isinf(new_price))
            raise_exception("修改的價格 " + float_text(new_price) + " 必須是有限的數值");
        set_get_item(trade, TOVIK_KEY("price"), price);
        reindex(self, trade, found.index);
        acknowledge(self, trade, book.operation_update_price, book.code_modify);
        if (console_on(self))
            console_print(green("修改委託單 " + str_of(trade_id) + " 價格成功, 修改價格 " + float_text(new_price)));
    }
    Py_RETURN_NONE;
}

PyObject *cancel_order(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"cancel_order", {"trade_id"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    nb::handle trade_id = a[0];
    require_str(trade_id, params.func, "trade_id");

    Matcher &m = native_ready(self);
    BookLock lock(self);
    OrderBook &book = m.book;
    Found found = find_or_tell(self, trade_id);
    if (!found.record.ptr())
        Py_RETURN_NONE;
    remove_record(self, found.record, nullptr, found.index);

    // The order is gone whatever happens to its acknowledgement.
    try {
        acknowledge(self, found.record, book.operation_cancel, book.code_be_cancel);
        if (console_on(self))
            console_print(green("取消委託單 " + str_of(trade_id) + " 成功"));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e))
            throw;
        std::string message = str_of(e.value());
        e.restore(); // hand the error's reference back now, not from a destructor
        PyErr_Clear();
        console_print(red(message));
    }
    Py_RETURN_NONE;
}

PyObject *cancel_emptied_orders(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"cancel_emptied_orders", {"cancel"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    if (!PyBool_Check(a[0]))
        raise_type_error("cancel_emptied_orders(): argument 'cancel' must be bool, not " + type_name_of(a[0]));
    Matcher &m = native_ready(self);
    BookLock lock(self);
    m.cut_to_nothing_cancels = a[0] == Py_True;
    Py_RETURN_NONE;
}

} // namespace

void add_modify_cancel_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("cancel_emptied_orders", cancel_emptied_orders,
                                   "cancel_emptied_orders($self, cancel)\n--\n\n"
                                   "Cancel an order whose open quantity a modification cuts to nothing.\n\n"
                                   "With cancel=True, modify_order cutting every open lot removes the order\n"
                                   "and reports a cancellation (no 0-lot order is left to fill). The\n"
                                   "default, False, keeps the order resting with quantity 0."));
    methods.push_back(TOVIK_METHOD("modify_order", modify_order,
                                   "modify_order($self, /, trade_id, qty=None, price=None)\n--\n\n"
                                   "修改委託單的數量或價格\n\n"
                                   "1. 如果只提供數量，則修改數量\n"
                                   "2. 如果只提供價格，則修改價格\n"
                                   "3. 如果同時提供數量和價格，則先修改數量再修改價格\n\n"
                                   "Args:\n"
                                   "    trade_id (str): 委託單 ID\n"
                                   "    qty (int, optional): 刪減的數量. Defaults to None.\n"
                                   "    price (float, optional): 修改的價格. Defaults to None.\n\n"
                                   "Raises:\n"
                                   "    Exception: 如果數量和價格都沒有提供\n"
                                   "    Exception: 如果修改的數量大於原本的數量\n"
                                   "    Exception: 如果修改的數量小於 0\n"
                                   "    Exception: 如果修改的價格小於等於 0\n"));
    methods.push_back(TOVIK_METHOD("cancel_order", cancel_order,
                                   "cancel_order($self, /, trade_id)\n--\n\n"
                                   "取消委託單\n\n"
                                   "Args:\n"
                                   "    trade_id (str): 委託單 ID\n"));
}

} // namespace tovik::matcher
