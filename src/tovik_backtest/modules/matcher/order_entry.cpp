// Order entry: add_order checks a request, gives it an id and rests it in the book.
#include "matcher.hpp"

#include <cmath>

namespace tovik::matcher {
namespace {

// Defaults of add_order's optional arguments: the text values of OrderCond.CASH,
// OrderLot.COMMON and OCType.AUTO, read once when the module loads. They are interned
// (hence immortal), so plain static pointers to them never dangle.
PyObject *default_order_cond = nullptr;
PyObject *default_order_lot = nullptr;
PyObject *default_oc_type = nullptr;

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
    native_ready(self);

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
        queue_response(self, response);
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

} // namespace

void load_order_defaults() {
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

void add_order_entry_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("_Matcher__get_random_uuid", get_random_uuid,
                                   "_Matcher__get_random_uuid($self)\n--\n\n"
                                   "產生隨機的 UUID\n\n"
                                   "Returns:\n"
                                   "    str: 16 個字元的委託單號"));
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
