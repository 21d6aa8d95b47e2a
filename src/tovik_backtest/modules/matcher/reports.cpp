// Order and deal reports. A builder gathers an order (or deal) record and the
// matcher's own fields into one flat dictionary, then hands it to a format method that
// shapes the stock or future report. Format methods are looked up on the instance, so
// a subclass or an instance attribute can replace them.
#include "matcher.hpp"

namespace tovik::matcher {

namespace {

// Enumeration.from_value(data[key]), the enumeration found in `names` (constants(self)).
// `data` is the format method's dict, or the builder's fields when the report is made
// without that dict (see format_with).
safe_ref converted(nb::handle names, PyObject *enum_name, nb::handle data, PyObject *key) {
    safe_ref value = get_item(data, key);
    return from_value(names, enum_name, value);
}
safe_ref converted(nb::handle names, PyObject *enum_name, const DictBuilder &data, PyObject *key) {
    return from_value(names, enum_name, data.get(key));
}

[[noreturn]] void unsupported_product(nb::handle product_type) {
    raise_exception("不支援的商品類型: " + str_of(product_type));
}

// The one record argument of each method, exactly a dict.
nb::handle record_arg(const char *func, const char *arg, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    Params<1> params{func, {arg}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    require_dict(a[0], func, arg);
    return a[0];
}

// self.<format>(common fields): the report of a builder. When the format method is the
// class's own (replaced neither on the instance nor in a subclass), no code sees the
// common-fields dict, so `format(self, common)` makes the report straight from the
// builder's fields, in the same order of reads and calls; otherwise the dict is made
// and handed to whatever self.<format> is.
template <typename Format> safe_ref format_with(PyObject *self, PyObject *name, Format format, DictBuilder &common) {
    if (uses_own_method(self, name))
        return format(self, common);
    safe_ref data = common.take();
    return call_method(self, name, data);
}

template <typename Data> safe_ref stock_order_report(PyObject *self, const Data &data);
template <typename Data> safe_ref future_order_report(PyObject *self, const Data &data);
template <typename Data> safe_ref stock_deal_report(PyObject *self, const Data &data);
template <typename Data> safe_ref future_deal_report(PyObject *self, const Data &data);
safe_ref stock_deal_report(PyObject *self, DictBuilder &data);
safe_ref future_deal_report(PyObject *self, DictBuilder &data);

} // namespace

// ---------------------------------------------------------------------------
// Builders.

// The order report of `trade`, given the status code and message read from the
// build_order_response method's code_obj (add_order has read them already).
safe_ref order_response(PyObject *self, nb::handle trade, nb::handle operation_type, nb::handle status_code,
                        nb::handle status_message) {
    DictBuilder common;
    common.set(TOVIK_KEY("operation_type"), operation_type)
        .set(TOVIK_KEY("operation_code"), status_code)
        .set(TOVIK_KEY("operation_message"), status_message)
        .copy(TOVIK_KEY("trade_id"), trade)
        .copy(TOVIK_KEY("account_id"), field(self, TOVIK_KEY("account_info")));
    safe_ref code = get_item(trade, TOVIK_KEY("code"));
    common.set(TOVIK_KEY("code"), code)
        .copy(TOVIK_KEY("action"), trade)
        .copy(TOVIK_KEY("price"), trade)
        .copy(TOVIK_KEY("quantity"), trade)
        .copy(TOVIK_KEY("price_type"), trade)
        .copy(TOVIK_KEY("order_type"), trade);
    common.set(TOVIK_KEY("exchange_ts"), latest_tick_ts(self, code));

    safe_ref product_type = get_item(trade, TOVIK_KEY("product_type"));
    if (text_equals(product_type, TOVIK_KEY("Stock"))) {
        common.copy(TOVIK_KEY("order_cond"), trade).copy(TOVIK_KEY("order_lot"), trade);
        return format_with(self, TOVIK_KEY("get_simulation_stock_order_response"), stock_order_report<DictBuilder>,
                           common);
    }
    if (text_equals(product_type, TOVIK_KEY("Future"))) {
        common.copy(TOVIK_KEY("oc_type"), trade);
        return format_with(self, TOVIK_KEY("get_simulation_future_order_response"), future_order_report<DictBuilder>,
                           common);
    }
    unsupported_product(product_type);
}

PyObject *build_order_response_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<3> params{"build_order_response", {"trade", "operation_type", "code_obj"}, 3};
    PyObject *a[3];
    parse_args(params, args, nargsf, kwnames, a);
    require_dict(a[0], params.func, "trade");
    nb::handle code_obj = a[2];
    safe_ref status_code = get_attr(code_obj, TOVIK_KEY("code"));
    safe_ref status_message = get_attr(code_obj, TOVIK_KEY("message"));
    return order_response(self, a[0], a[1], status_code, status_message).release();
}

// The deal report of a deal record (the build_deal_response method's work).
safe_ref deal_response(PyObject *self, nb::handle trade) {
    safe_ref trade_id = get_item(trade, TOVIK_KEY("trade_id"));
    DictBuilder common;
    common.set(TOVIK_KEY("id"), trade_id)
        .set(TOVIK_KEY("seqno"), trade_id)
        .set(TOVIK_KEY("ordno"), trade_id)
        .set(TOVIK_KEY("exchange_seqno"), trade_id)
        .copy(TOVIK_KEY("broker_id"), field(self, TOVIK_KEY("exchange_info")), TOVIK_KEY("name"))
        .copy(TOVIK_KEY("account"), field(self, TOVIK_KEY("account_info")), TOVIK_KEY("account_id"))
        .copy(TOVIK_KEY("action"), trade)
        .copy(TOVIK_KEY("code"), trade)
        .copy(TOVIK_KEY("quantity"), trade)
        .copy(TOVIK_KEY("price"), trade)
        .copy(TOVIK_KEY("exchange_ts"), trade);

    safe_ref product_type = get_item(trade, TOVIK_KEY("product_type"));
    if (text_equals(product_type, TOVIK_KEY("Stock"))) {
        common.copy(TOVIK_KEY("order_cond"), trade).copy(TOVIK_KEY("order_lot"), trade);
        return format_with(
            self, TOVIK_KEY("get_simulation_stock_deal_response"),
            [](PyObject *s, DictBuilder &data) { return stock_deal_report(s, data); }, common);
    }
    if (text_equals(product_type, TOVIK_KEY("Future")))
        return format_with(
            self, TOVIK_KEY("get_simulation_future_deal_response"),
            [](PyObject *s, DictBuilder &data) { return future_deal_report(s, data); }, common);
    unsupported_product(product_type);
}

namespace {

PyObject *build_deal_response(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    nb::handle trade = record_arg("build_deal_response", "trade", args, nargsf, kwnames);
    return deal_response(self, trade).release();
}

// ---------------------------------------------------------------------------
// Format methods.

// id, seqno, ordno, account, code, action, price, quantity: the head of both `order`s.
template <typename Data> DictBuilder order_head(const Data &data) {
    DictBuilder order;
    order.copy(TOVIK_KEY("id"), data, TOVIK_KEY("trade_id"));
    nb::handle trade_id = order.get(TOVIK_KEY("id"));
    order.set(TOVIK_KEY("seqno"), trade_id)
        .set(TOVIK_KEY("ordno"), trade_id)
        .copy(TOVIK_KEY("account"), data, TOVIK_KEY("account_id"))
        .copy(TOVIK_KEY("code"), data)
        .copy(TOVIK_KEY("action"), data)
        .copy(TOVIK_KEY("price"), data)
        .copy(TOVIK_KEY("quantity"), data);
    return order;
}

// The five top-level keys shared by both order reports, built key by key in order;
// `add_product(order, names)` appends the product's own keys to `order`.
template <typename Data, typename AddProduct>
safe_ref order_report(PyObject *self, const Data &data, Layout order_layout, AddProduct add_product) {
    safe_ref names = constants(self);
    DictBuilder report;
    report
        .set(TOVIK_KEY("operation_type"),
             converted(names, TOVIK_KEY("OperationType"), data, TOVIK_KEY("operation_type")))
        .copy(TOVIK_KEY("operation_status_code"), data, TOVIK_KEY("operation_code"))
        .copy(TOVIK_KEY("operation_message"), data);
    DictBuilder order = order_head(data);
    add_product(order, names);
    report.set(TOVIK_KEY("order"), order.take(self, order_layout));
    safe_ref trade_status = DictBuilder()
                                .copy(TOVIK_KEY("id"), data, TOVIK_KEY("trade_id"))
                                .copy(TOVIK_KEY("exchange"), field(self, TOVIK_KEY("exchange_info")), TOVIK_KEY("name"))
                                .copy(TOVIK_KEY("exchange_ts"), data)
                                .take(self, Layout::trade_status);
    report.set(TOVIK_KEY("trade_status"), trade_status);
    return report.take(self, Layout::report);
}

template <typename Data> safe_ref stock_order_report(PyObject *self, const Data &data) {
    return order_report(self, data, Layout::order_stock, [&data](DictBuilder &order, const safe_ref &names) {
        order.set(TOVIK_KEY("order_type"), converted(names, TOVIK_KEY("OrderType"), data, TOVIK_KEY("order_type")))
            .set(TOVIK_KEY("order_cond"), converted(names, TOVIK_KEY("OrderCond"), data, TOVIK_KEY("order_cond")))
            .set(TOVIK_KEY("order_lot"), converted(names, TOVIK_KEY("OrderLot"), data, TOVIK_KEY("order_lot")))
            .set(TOVIK_KEY("price_type"), converted(names, TOVIK_KEY("PriceType"), data, TOVIK_KEY("price_type")));
    });
}

PyObject *stock_order_response(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    nb::handle data = record_arg("get_simulation_stock_order_response", "data", args, nargsf, kwnames);
    return stock_order_report(self, data).release();
}

template <typename Data> safe_ref future_order_report(PyObject *self, const Data &data) {
    return order_report(self, data, Layout::order_future, [&data](DictBuilder &order, const safe_ref &names) {
        order.set(TOVIK_KEY("order_type"), converted(names, TOVIK_KEY("OrderType"), data, TOVIK_KEY("order_type")))
            .set(TOVIK_KEY("price_type"), converted(names, TOVIK_KEY("PriceType"), data, TOVIK_KEY("price_type")))
            .set(TOVIK_KEY("oc_type"), converted(names, TOVIK_KEY("OCType"), data, TOVIK_KEY("oc_type")));
    });
}

PyObject *future_order_response(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    nb::handle data = record_arg("get_simulation_future_order_response", "data", args, nargsf, kwnames);
    return future_order_report(self, data).release();
}

// id ... price, copied unchanged: the head of both deal reports.
template <typename Data> DictBuilder deal_head(const Data &data) {
    DictBuilder deal;
    for (PyObject *key :
         {TOVIK_KEY("id"), TOVIK_KEY("seqno"), TOVIK_KEY("ordno"), TOVIK_KEY("exchange_seqno"), TOVIK_KEY("broker_id"),
          TOVIK_KEY("account"), TOVIK_KEY("action"), TOVIK_KEY("code"), TOVIK_KEY("quantity"), TOVIK_KEY("price")})
        deal.copy(key, data);
    return deal;
}

template <typename Data> safe_ref stock_deal_report(PyObject *self, const Data &data) {
    DictBuilder deal = deal_head(data);
    safe_ref names = constants(self);
    deal.set(TOVIK_KEY("order_cond"), converted(names, TOVIK_KEY("OrderCond"), data, TOVIK_KEY("order_cond")))
        .set(TOVIK_KEY("order_lot"), converted(names, TOVIK_KEY("OrderLot"), data, TOVIK_KEY("order_lot")))
        .copy(TOVIK_KEY("exchange_ts"), data);
    return deal.take(self, Layout::deal_stock);
}

PyObject *stock_deal_response(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    nb::handle data = record_arg("get_simulation_stock_deal_response", "data", args, nargsf, kwnames);
    return stock_deal_report(self, data).release();
}

template <typename Data> safe_ref future_deal_report(PyObject *self, const Data &data) {
    DictBuilder deal = deal_head(data);
    deal.copy(TOVIK_KEY("exchange_ts"), data);
    return deal.take(self, Layout::deal_future);
}

// The same two formats applied to deal_response's common fields in place: those are
// the deal head, exchange_ts and (stock) the two enumeration fields, so the report is
// them with those fields converted and exchange_ts moved last, read and converted in
// the same order as above.
safe_ref stock_deal_report(PyObject *self, DictBuilder &data) {
    safe_ref names = constants(self);
    safe_ref cond = converted(names, TOVIK_KEY("OrderCond"), data, TOVIK_KEY("order_cond"));
    safe_ref lot = converted(names, TOVIK_KEY("OrderLot"), data, TOVIK_KEY("order_lot"));
    data.replace(TOVIK_KEY("order_cond"), cond)
        .replace(TOVIK_KEY("order_lot"), lot)
        .move_to_end(TOVIK_KEY("exchange_ts"));
    return data.take(self, Layout::deal_stock);
}

safe_ref future_deal_report(PyObject *self, DictBuilder &data) { return data.take(self, Layout::deal_future); }

PyObject *future_deal_response(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    nb::handle data = record_arg("get_simulation_future_deal_response", "data", args, nargsf, kwnames);
    return future_deal_report(self, data).release();
}

} // namespace

void add_report_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("build_order_response", build_order_response_method,
                                   "build_order_response($self, trade, operation_type, code_obj)\n--\n\n"
                                   "建立委託回報\n\n"
                                   "Args:\n"
                                   "    trade (Dict[str, Any]): 委託單資料\n"
                                   "    operation_type (OperationType): 操作類型\n"
                                   "    code_obj (SuccessCode): 回報代碼\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: 委託回報"));
    methods.push_back(TOVIK_METHOD("build_deal_response", build_deal_response,
                                   "build_deal_response($self, trade)\n--\n\n"
                                   "建立委託回報\n\n"
                                   "Args:\n"
                                   "    trade (Dict[str, Any]): 成交資料\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: 成交回報"));
    methods.push_back(TOVIK_METHOD("get_simulation_stock_order_response", stock_order_response,
                                   "get_simulation_stock_order_response($self, data)\n--\n\n"
                                   "建立模擬股票訂單的委託回報(比照 TOVIK 下單模組委託回報格式)\n\n"
                                   "Args:\n"
                                   "    data (Dict[str, Any]): 委託回報共同欄位\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: 股票委託回報"));
    methods.push_back(TOVIK_METHOD("get_simulation_future_order_response", future_order_response,
                                   "get_simulation_future_order_response($self, data)\n--\n\n"
                                   "建立模擬期貨訂單的委託回報(比照 TOVIK 下單模組委託回報格式)\n\n"
                                   "Args:\n"
                                   "    data (Dict[str, Any]): 委託回報共同欄位\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: 期貨委託回報"));
    methods.push_back(TOVIK_METHOD("get_simulation_stock_deal_response", stock_deal_response,
                                   "get_simulation_stock_deal_response($self, data)\n--\n\n"
                                   "建立模擬股票訂單的成交回報(比照 TOVIK 下單模組委託回報格式)\n\n"
                                   "Args:\n"
                                   "    data (Dict[str, Any]): 成交回報共同欄位\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: 股票成交回報"));
    methods.push_back(TOVIK_METHOD("get_simulation_future_deal_response", future_deal_response,
                                   "get_simulation_future_deal_response($self, data)\n--\n\n"
                                   "建立模擬期貨訂單的成交回報(比照 TOVIK 下單模組委託回報格式)\n\n"
                                   "Args:\n"
                                   "    data (Dict[str, Any]): 成交回報共同欄位\n\n"
                                   "Returns:\n"
                                   "    Dict[str, Any]: 期貨成交回報"));
}

} // namespace tovik::matcher
