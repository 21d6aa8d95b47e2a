// The price index of resting orders and tick matching (match_deal).
//
// A tick acts only on the records its price can reach: match_deal takes them from the
// price index (see Matcher::OrderBook) and handles them in entry order, which is list
// order, exactly as a walk over the whole list would.
#include "matcher.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace tovik::matcher {

Matcher::OrderBook::~OrderBook() {
    for (ScanEntry &e : entries) {
        Py_XDECREF(e.record);
        Py_XDECREF(e.code);
    }
    for (auto &kv : by_code)
        Py_DECREF(kv.first);
    Py_XDECREF(synced_list);
    for (PyObject *p : {price_type_lmt, action_buy, action_buy_value, order_type_rod, order_type_ioc, order_type_fok,
                        operation_cancel, operation_update_qty, operation_update_price, code_be_cancel, code_modify,
                        order_lot_odd, order_lot_intraday_odd, trade_record_kwnames})
        Py_XDECREF(p);
    for (PyObject *t : enum_types)
        Py_XDECREF(t);
}

namespace {

using ScanEntry = Matcher::ScanEntry;
using OrderBook = Matcher::OrderBook;
using Slot = Matcher::Slot;
using Seqs = Matcher::Seqs;

// ---------------------------------------------------------------------------
// Small C-API helpers. References on the stack are safe_ref: modify_order and
// cancel_order run on the daemon worker and match_deal often on a daemon thread of
// the host, which the interpreter may end by a forced unwind at exit.

// ---------------------------------------------------------------------------
// Instance state.

void read_vocabulary(nb::handle names, OrderBook &book) {
    auto enumeration_of = [&](const char *enum_name) {
        safe_ref key = own(PyUnicode_InternFromString(enum_name));
        return constant(names, key.ptr());
    };
    auto member = [&](const char *enum_name, const char *member_name) {
        safe_ref enumeration = enumeration_of(enum_name);
        return own(PyObject_GetAttrString(enumeration.ptr(), member_name));
    };
    safe_ref lmt = member("PriceType", "LMT");
    safe_ref buy = member("Action", "BUY");
    safe_ref buy_value = own(PyObject_GetAttrString(buy.ptr(), "value"));
    safe_ref rod = member("OrderType", "ROD");
    safe_ref ioc = member("OrderType", "IOC");
    safe_ref fok = member("OrderType", "FOK");
    safe_ref cancel = member("OperationType", "CANCEL");
    safe_ref update_qty = member("OperationType", "UPDATE_QTY");
    safe_ref update_price = member("OperationType", "UPDATE_PRICE");
    safe_ref be_cancel = member("SuccessCode", "OrderBeCancel");
    safe_ref modify = member("SuccessCode", "ModifyOrder");
    safe_ref odd = member("OrderLot", "ODD");
    safe_ref intraday_odd = member("OrderLot", "INTRADAY_ODD");
    std::vector<safe_ref> types;
    for (const char *name : {"Action", "PriceType", "OrderType", "OrderCond", "OrderLot", "OCType", "OperationType",
                             "SuccessCode", "FLAG"})
        types.push_back(enumeration_of(name));
    safe_ref kwnames =
        own(PyTuple_Pack(7, TOVIK_KEY("trade_id"), TOVIK_KEY("code"), TOVIK_KEY("action"), TOVIK_KEY("quantity"),
                         TOVIK_KEY("price"), TOVIK_KEY("timestamp"), TOVIK_KEY("trade_status")));
    // Everything fetched: only now does the book take the references.
    book.price_type_lmt = lmt.release();
    book.action_buy = buy.release();
    book.action_buy_value = buy_value.release();
    book.order_type_rod = rod.release();
    book.order_type_ioc = ioc.release();
    book.order_type_fok = fok.release();
    book.operation_cancel = cancel.release();
    book.operation_update_qty = update_qty.release();
    book.operation_update_price = update_price.release();
    book.code_be_cancel = be_cancel.release();
    book.code_modify = modify.release();
    book.order_lot_odd = odd.release();
    book.order_lot_intraday_odd = intraday_odd.release();
    for (safe_ref &t : types)
        book.enum_types.push_back(t.release());
    book.trade_record_kwnames = kwnames.release();
}

// ---------------------------------------------------------------------------
// Deep copies. Records normally hold only immutable values (text, numbers, None,
// members of the constants module's enumerations, which deepcopy returns as
// themselves), so a new dictionary with the same values already is a deep copy.

bool is_immutable_value(const OrderBook &book, PyObject *v) {
    PyTypeObject *t = Py_TYPE(v);
    if (t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type || v == Py_None)
        return true;
    for (PyObject *e : book.enum_types)
        if ((PyObject *) t == e)
            return true;
    return false;
}

safe_ref deep_copy(const OrderBook &book, nb::handle record) {
    PyObject *r = record.ptr();
    if (PyDict_CheckExact(r)) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        bool plain = true;
        while (PyDict_Next(r, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key) || !is_immutable_value(book, value)) {
                plain = false;
                break;
            }
        }
        if (plain)
            return own(PyDict_Copy(r));
    }
    safe_ref copy_module = import_module(TOVIK_KEY("copy"));
    return call_method(copy_module, TOVIK_KEY("deepcopy"), record);
}

// ---------------------------------------------------------------------------
// The side array and the price index.

void release(ScanEntry &e) {
    Py_DECREF(e.record);
    Py_XDECREF(e.code);
    e.record = e.code = nullptr;
}

bool is_same(PyObject *value, PyObject *member) {
    if (value == member)
        return true;
    int eq = PyObject_RichCompareBool(value, member, Py_EQ);
    if (eq < 0) {
        PyErr_Clear(); // such a record is visited on every tick, where the error is raised
        return false;
    }
    return eq == 1;
}

// Where a record goes in the index, read from its fields: a plain limit ROD order is
// kept on its price level, anything else of a known instrument on every tick of it,
// and a record whose fields can't be read plainly on every tick.
void classify(const OrderBook &book, ScanEntry &e) {
    e.slot = Slot::opaque;
    e.price = 0;
    if (!e.code)
        return;
    PyObject *r = e.record;
    PyObject *action = PyDict_GetItemWithError(r, TOVIK_KEY("action"));
    PyObject *price = action ? PyDict_GetItemWithError(r, TOVIK_KEY("price")) : nullptr;
    PyObject *order_type = price ? PyDict_GetItemWithError(r, TOVIK_KEY("order_type")) : nullptr;
    PyObject *price_type = order_type ? PyDict_GetItemWithError(r, TOVIK_KEY("price_type")) : nullptr;
    if (!price_type) {
        PyErr_Clear();
        return;
    }
    e.slot = Slot::always;
    if (!PyFloat_CheckExact(price) || !is_same(order_type, book.order_type_rod) ||
        !is_same(price_type, book.price_type_lmt))
        return;
    const double limit = float_value(price);
    if (std::isnan(limit))
        return;
    const bool buy = action == book.action_buy || is_same(action, book.action_buy_value);
    e.slot = buy ? Slot::buy : Slot::sell;
    e.price = limit;
}

void seqs_insert(Seqs &seqs, unsigned long long seq) {
    if (seqs.empty() || seqs.back() < seq)
        seqs.push_back(seq);
    else
        seqs.insert(std::lower_bound(seqs.begin(), seqs.end(), seq), seq);
}

void seqs_erase(Seqs &seqs, unsigned long long seq) {
    auto it = std::lower_bound(seqs.begin(), seqs.end(), seq);
    if (it != seqs.end() && *it == seq)
        seqs.erase(it);
}

Matcher::Levels &levels_of(OrderBook &book, PyObject *code) {
    auto it = book.by_code.find(code);
    if (it == book.by_code.end()) {
        it = book.by_code.emplace(code, Matcher::Levels{}).first;
        Py_INCREF(code);
    }
    return it->second;
}

void index_insert(OrderBook &book, const ScanEntry &e) {
    if (e.slot == Slot::opaque) {
        seqs_insert(book.opaque, e.seq);
        return;
    }
    Matcher::Levels &levels = levels_of(book, e.code);
    if (e.slot == Slot::always)
        seqs_insert(levels.always, e.seq);
    else
        seqs_insert((e.slot == Slot::buy ? levels.buy : levels.sell)[e.price], e.seq);
}

void index_erase(OrderBook &book, const ScanEntry &e) {
    if (e.slot == Slot::opaque) {
        seqs_erase(book.opaque, e.seq);
        return;
    }
    auto it = book.by_code.find(e.code);
    if (it == book.by_code.end())
        return;
    if (e.slot == Slot::always) {
        seqs_erase(it->second.always, e.seq);
        return;
    }
    std::map<double, Seqs> &side = e.slot == Slot::buy ? it->second.buy : it->second.sell;
    auto level = side.find(e.price);
    if (level == side.end())
        return;
    seqs_erase(level->second, e.seq);
    if (level->second.empty())
        side.erase(level);
}

// A new entry for `record`: its code, interned, when the record is a plain dict
// holding plain text there; otherwise nullptr, and the record is tested in full
// each scan (which also raises, in list order, whatever the record's lookup raises).
ScanEntry make_entry(const OrderBook &book, PyObject *record, unsigned long long seq) {
    Py_INCREF(record);
    ScanEntry e{record, nullptr, seq, Slot::opaque, 0};
    if (PyDict_CheckExact(record)) {
        PyObject *code = PyDict_GetItemWithError(record, TOVIK_KEY("code"));
        if (code && PyUnicode_CheckExact(code)) {
            Py_INCREF(code);
            PyUnicode_InternInPlace(&code);
            e.code = code;
        } else if (!code) {
            PyErr_Clear();
        }
    }
    classify(book, e);
    return e;
}

// Do the entries still describe `list`? Only the changes made through the matcher
// keep them so; a host's own changes to the list are caught by its identity, length
// and end records, and the next scan reads the list afresh.
bool in_sync(const OrderBook &book, PyObject *list) {
    if (book.dirty || list != book.synced_list)
        return false;
    const Py_ssize_t n = list_size(list);
    if ((size_t) n != book.entries.size())
        return false;
    return n == 0 ||
           (list_item(list, 0) == book.entries.front().record && list_item(list, n - 1) == book.entries.back().record);
}

// Reads the whole list into new entries and a new index, in list order.
void rebuild(OrderBook &book, PyObject *list) {
    std::vector<ScanEntry> fresh;
    const Py_ssize_t n = list_size(list);
    fresh.reserve((size_t) n);
    for (Py_ssize_t k = 0; k < n; ++k)
        fresh.push_back(make_entry(book, list_item(list, k), book.next_seq++));
    // Dropping references can run a finaliser, which could call back into the matcher:
    // the old entries are released only once the new book is whole.
    std::vector<ScanEntry> old;
    old.swap(book.entries);
    book.entries.swap(fresh);
    std::vector<PyObject *> codes;
    for (auto &kv : book.by_code)
        codes.push_back(kv.first);
    book.by_code.clear();
    book.opaque.clear();
    for (const ScanEntry &e : book.entries)
        index_insert(book, e);
    PyObject *previous = book.synced_list;
    book.synced_list = Py_NewRef(list);
    book.dirty = false;
    for (ScanEntry &e : old)
        release(e);
    for (PyObject *code : codes)
        Py_DECREF(code);
    Py_XDECREF(previous);
}

// The position of the entry numbered `seq`, or -1.
Py_ssize_t position_of(const OrderBook &book, unsigned long long seq) {
    auto it = std::lower_bound(book.entries.begin(), book.entries.end(), seq,
                               [](const ScanEntry &e, unsigned long long s) { return e.seq < s; });
    if (it == book.entries.end() || it->seq != seq)
        return -1;
    return (Py_ssize_t) (it - book.entries.begin());
}

struct Candidate {
    safe_ref record;
    unsigned long long seq;
};

// The records a tick of `tick_code` at `close` may act on, in entry order.
void collect_candidates(OrderBook &book, PyObject *tick_code, double close, std::vector<Candidate> &out) {
    Seqs seqs = book.opaque;
    auto it = book.by_code.find(tick_code);
    if (it != book.by_code.end()) {
        const Matcher::Levels &levels = it->second;
        seqs.insert(seqs.end(), levels.always.begin(), levels.always.end());
        // a limit buy fills at or below its price, a limit sell at or above
        for (auto level = levels.buy.lower_bound(close); level != levels.buy.end(); ++level)
            seqs.insert(seqs.end(), level->second.begin(), level->second.end());
        for (auto level = levels.sell.begin(); level != levels.sell.end() && level->first <= close; ++level)
            seqs.insert(seqs.end(), level->second.begin(), level->second.end());
    }
    std::sort(seqs.begin(), seqs.end());
    out.reserve(seqs.size());
    for (unsigned long long seq : seqs) {
        Py_ssize_t at = position_of(book, seq);
        if (at >= 0)
            out.push_back(Candidate{safe_ref::borrow(book.entries[(size_t) at].record), seq});
    }
}

// Where `record` (the object itself) is in `list`: looked for first where it was last
// seen (removals only move records down), then everywhere; -1 when it is gone.
Py_ssize_t index_in(PyObject *list, PyObject *record, Py_ssize_t hint) {
    const Py_ssize_t n = PyList_Size(list);
    if (hint >= 0 && hint < n && list_item(list, hint) == record)
        return hint;
    for (Py_ssize_t i = std::min(hint, n - 1); i >= 0; --i)
        if (list_item(list, i) == record)
            return i;
    for (Py_ssize_t i = std::max<Py_ssize_t>(hint + 1, 0); i < n; ++i)
        if (list_item(list, i) == record)
            return i;
    return -1;
}

// The position of `record` in both the list and the entries when they agree there,
// found from its entry number (or, with no number, from `hint`); -1 otherwise.
Py_ssize_t synced_position(const OrderBook &book, PyObject *list, PyObject *record, const unsigned long long *seq,
                           Py_ssize_t hint) {
    if (!PyList_Check(list) || !in_sync(book, list))
        return -1;
    Py_ssize_t at = seq ? position_of(book, *seq) : hint;
    if (at < 0 || (size_t) at >= book.entries.size() || book.entries[(size_t) at].record != record ||
        list_item(list, at) != record)
        return -1;
    return at;
}

// Is `record` still resting? A callback of an earlier order (position book, report
// builder) may have cancelled it after the candidates were collected.
bool still_resting(PyObject *self, nb::handle record, unsigned long long seq) {
    const OrderBook &book = native(self).book;
    safe_ref orders = field(self, TOVIK_KEY("pending_orders"));
    if (!PyList_Check(orders.ptr()))
        return true;
    if (synced_position(book, orders.ptr(), record.ptr(), &seq, -1) >= 0)
        return true;
    return index_in(orders.ptr(), record.ptr(), list_size(orders.ptr()) - 1) >= 0;
}

// After `record` was appended to `list` by add_order: one more entry when the
// entries described the list before, else the next scan reads it again.
void entered(PyObject *self, nb::handle list, nb::handle record) {
    OrderBook &book = native(self).book;
    if (book.dirty || !PyList_Check(list.ptr()) || list.ptr() != book.synced_list) {
        book.dirty = true;
        return;
    }
    const Py_ssize_t n = list_size(list.ptr());
    if ((size_t) n != book.entries.size() + 1 || list_item(list.ptr(), n - 1) != record.ptr() ||
        (n > 1 && list_item(list.ptr(), 0) != book.entries.front().record)) {
        book.dirty = true;
        return;
    }
    ScanEntry e = make_entry(book, record.ptr(), book.next_seq++);
    book.entries.push_back(e);
    index_insert(book, e);
}

// ---------------------------------------------------------------------------
// match_deal

long long quantity_of(nb::handle record) {
    safe_ref q = get_item(record, TOVIK_KEY("quantity"));
    if (!PyLong_Check(q.ptr()))
        raise_type_error("order quantity must be int, not " + type_name_of(q));
    long long value = PyLong_AsLongLong(q.ptr());
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (value < 0) {
        safe_ref id = get_item(record, TOVIK_KEY("trade_id"));
        raise_value_error("委託單 " + str_of(id) + " 的數量 " + std::to_string(value) + " 不可為負數");
    }
    return value;
}

safe_ref int_object(long long v) { return own(PyLong_FromLongLong(v)); }

struct Tick {
    safe_ref code; // interned
    double close;
    safe_ref close_obj;
    safe_ref ts_obj;
    long long remaining;
    long long volume; // the tick's whole quantity: a trade took place when above 0
};

// Is `record` an odd-lot order (OrderLot.ODD or INTRADAY_ODD, or their text)? Futures
// records have no order_lot.
bool is_odd_lot(const OrderBook &book, nb::handle record) {
    PyObject *lot = nullptr;
    if (PyDict_CheckExact(record.ptr())) {
        lot = PyDict_GetItemWithError(record.ptr(), TOVIK_KEY("order_lot"));
        if (!lot) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return false;
        }
        return is_same(lot, book.order_lot_odd) || is_same(lot, book.order_lot_intraday_odd);
    }
    // another mapping: a missing key is no odd lot, any other failure is the record's own
    PyObject *value = PyObject_GetItem(record.ptr(), TOVIK_KEY("order_lot"));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    safe_ref held = safe_ref::steal(value);
    return is_same(held.ptr(), book.order_lot_odd) || is_same(held.ptr(), book.order_lot_intraday_odd);
}

// The exchange's cancellation report for `record`: built from a deep copy carrying
// the tick's time and, for IOC, the unfilled rest.
safe_ref cancellation_report(PyObject *self, const OrderBook &book, nb::handle record, const Tick &tick,
                             const long long *rest_qty) {
    safe_ref product = get_item(record, TOVIK_KEY("product_type"));
    if (!same_or_equal(product, TOVIK_KEY("Stock")) && !same_or_equal(product, TOVIK_KEY("Future")))
        raise_exception("不支援的商品類型");
    safe_ref trade = deep_copy(book, record);
    if (rest_qty)
        set_get_item(trade, TOVIK_KEY("quantity"), int_object(*rest_qty));
    set_get_item(trade, TOVIK_KEY("exchange_ts"), tick.ts_obj);
    return call_method(self, TOVIK_KEY("build_order_response"), trade, nb::handle(book.operation_cancel),
                       nb::handle(book.code_be_cancel));
}

// positions.add_trade_record(trade_id=, code=, action=, quantity=, price=, timestamp=,
// trade_status=), the values in that order.
template <typename... Values> void add_trade_record(PyObject *self, const OrderBook &book, const Values &...values) {
    static_assert(sizeof...(Values) == 7, "add_trade_record takes the seven fields");
    safe_ref positions = field(self, TOVIK_KEY("positions"));
    PyObject *argv[] = {positions.ptr(), nb::handle(values).ptr()...};
    own(PyObject_VectorcallMethod(TOVIK_KEY("add_trade_record"), argv, 1, book.trade_record_kwnames));
}

// The fill's position record, read from the deal record. The deal record is this scan's
// own new dictionary, seen by no other code yet, so its values are lent to the call
// without references of our own.
struct Filled {
    PyObject *quantity, *price, *ts; // the values stored in the deal record
};

void record_deal(PyObject *self, const OrderBook &book, nb::handle deal, const Filled &filled) {
    PyObject *const keys[6] = {TOVIK_KEY("trade_id"), TOVIK_KEY("code"),  TOVIK_KEY("action"),
                               TOVIK_KEY("quantity"), TOVIK_KEY("price"), TOVIK_KEY("exchange_ts")};
    if (!PyDict_CheckExact(deal.ptr())) {
        add_trade_record(self, book, get_item(deal, keys[0]), get_item(deal, keys[1]), get_item(deal, keys[2]),
                         get_item(deal, keys[3]), get_item(deal, keys[4]), get_item(deal, keys[5]),
                         nb::handle(TOVIK_KEY("Deal")));
        return;
    }
    // A plain dict holds the quantity, price and time just stored in it: only the
    // fields copied from the order are looked up.
    PyObject *v[6] = {nullptr, nullptr, nullptr, filled.quantity, filled.price, filled.ts};
    for (size_t i = 0; i < 3; ++i) {
        v[i] = PyDict_GetItemWithError(deal.ptr(), keys[i]);
        if (!v[i]) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, keys[i]);
            throw nb::python_error();
        }
    }
    add_trade_record(self, book, v[0], v[1], v[2], v[3], v[4], v[5], nb::handle(TOVIK_KEY("Deal")));
}

// Price condition: a limit buy fills at or below its price, a limit sell at or above;
// other price types fill at any price.
bool price_matches(const OrderBook &book, nb::handle action, nb::handle price, nb::handle price_type,
                   const Tick &tick) {
    if (!same_or_equal(price_type, book.price_type_lmt))
        return true;
    bool buy = action.ptr() == book.action_buy || same_or_equal(action, book.action_buy_value);
    if (PyFloat_CheckExact(price.ptr())) {
        double limit = PyFloat_AsDouble(price.ptr());
        return buy ? tick.close <= limit : tick.close >= limit;
    }
    int r = PyObject_RichCompareBool(tick.close_obj.ptr(), price.ptr(), buy ? Py_LE : Py_GE);
    check_status(r);
    return r == 1;
}

enum class Step { next, stop };

// One resting record of (possibly) the tick's instrument. With a fill model (a back-test
// run) the model says how much a limit ROD order may fill, and an IOC, FOK or market
// order is decided on this tick even when the tick's quantity is used up: what is left
// of it is cancelled. With `whole_odd`, an odd-lot order trades whole at the price of
// any tick with a trade, whatever quantity the board-lot orders left (there is no
// odd-lot book to share).
Step match_one(PyObject *self, const OrderBook &book, const Candidate &c, Tick &tick, FillModel *model,
               bool whole_odd) {
    nb::handle record = c.record;
    if (!still_resting(self, record, c.seq))
        return Step::next;
    safe_ref code = get_item(record, TOVIK_KEY("code"));
    if (!same_or_equal(code, tick.code))
        return Step::next;

    safe_ref action = get_item(record, TOVIK_KEY("action"));
    safe_ref price = get_item(record, TOVIK_KEY("price"));
    safe_ref order_type = get_item(record, TOVIK_KEY("order_type"));
    safe_ref price_type = get_item(record, TOVIK_KEY("price_type"));
    const bool odd = whole_odd && is_odd_lot(book, record);
    if (odd ? tick.volume == 0 : (tick.remaining == 0 && !model))
        return odd ? Step::next : Step::stop;
    const FillDecision decision = model ? fill_decision(*model, record.ptr()) : FillDecision{};
    if (decision.waits) // not arrived yet
        return Step::next;

    const bool price_match = price_matches(book, action, price, price_type, tick);
    bool qty_match = false;
    long long deal_qty = 0;
    safe_ref cancel_info;
    auto remove = [&] { remove_record(self, record, &c.seq, -1); };

    if (odd) {
        const bool rod = same_or_equal(order_type, book.order_type_rod);
        if (rod || same_or_equal(order_type, book.order_type_ioc) || same_or_equal(order_type, book.order_type_fok)) {
            if (price_match) {
                qty_match = true;
                deal_qty = quantity_of(record);
                if (rod)
                    set_get_item(record, TOVIK_KEY("quantity"), int_object(0));
            } else if (!rod) {
                cancel_info = cancellation_report(self, book, record, tick, nullptr);
            }
            if (price_match || !rod)
                remove();
        }
    } else if (same_or_equal(order_type, book.order_type_rod)) {
        if (price_match) {
            long long q = quantity_of(record);
            deal_qty = std::min(q, tick.remaining);
            if (model)
                deal_qty = std::min(deal_qty, decision.most);
            qty_match = !model || deal_qty > 0;
            long long rest = q - deal_qty;
            if (model && !same_or_equal(price_type, book.price_type_lmt)) { // a market order: decided now
                if (rest > 0)
                    cancel_info = cancellation_report(self, book, record, tick, &rest);
                remove();
            } else if (qty_match) {
                set_get_item(record, TOVIK_KEY("quantity"), int_object(rest));
                if (rest == 0)
                    remove();
            }
        }
    } else if (same_or_equal(order_type, book.order_type_ioc)) {
        long long q = quantity_of(record);
        long long rest = q;
        if (price_match) {
            deal_qty = std::min(q, tick.remaining);
            qty_match = !model || deal_qty > 0;
            rest = q - deal_qty;
        }
        if (rest > 0)
            cancel_info = cancellation_report(self, book, record, tick, &rest);
        remove();
    } else if (same_or_equal(order_type, book.order_type_fok)) {
        if (price_match) {
            long long q = quantity_of(record);
            qty_match = tick.remaining >= q;
            if (qty_match)
                deal_qty = q;
        }
        if (!qty_match)
            cancel_info = cancellation_report(self, book, record, tick, nullptr);
        remove();
    }

    if (price_match && qty_match) {
        if (!odd)
            tick.remaining -= deal_qty;
        safe_ref deal = deep_copy(book, record);
        safe_ref quantity = int_object(deal_qty);
        set_get_item(deal, TOVIK_KEY("quantity"), quantity);
        set_get_item(deal, TOVIK_KEY("price"), tick.close_obj);
        set_get_item(deal, TOVIK_KEY("exchange_ts"), tick.ts_obj);
        record_deal(self, book, deal, Filled{quantity.ptr(), tick.close_obj.ptr(), tick.ts_obj.ptr()});
        safe_ref response = uses_own_method(self, TOVIK_KEY("build_deal_response"))
                                ? deal_response(self, deal)
                                : call_method(self, TOVIK_KEY("build_deal_response"), deal);
        queue_response(self, response);
        if (model)
            fill_made(*model, decision.reason);
        safe_ref positions = field(self, TOVIK_KEY("positions"));
        call_method(positions, TOVIK_KEY("set_positions"), deal, get_item(deal, TOVIK_KEY("product_type")));
    }

    if (cancel_info.ptr() && truthy(cancel_info)) {
        safe_ref order = get_item(cancel_info, TOVIK_KEY("order"));
        safe_ref status = get_item(cancel_info, TOVIK_KEY("trade_status"));
        add_trade_record(self, book, get_item(record, TOVIK_KEY("trade_id")), get_item(record, TOVIK_KEY("code")),
                         get_item(record, TOVIK_KEY("action")), get_item(order, TOVIK_KEY("quantity")),
                         get_item(order, TOVIK_KEY("price")), get_item(status, TOVIK_KEY("exchange_ts")),
                         nb::handle(TOVIK_KEY("Cancel")));
        call_method(self, TOVIK_KEY("add_response_to_queue"), cancel_info);
    }
    return Step::next;
}

} // namespace

PyObject *match_deal(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<4> params{"match_deal", {"code", "tick_close", "tick_qty", "tick_ts"}, 4};
    PyObject *a[4];
    parse_args(params, args, nargsf, kwnames, a);
    require_str(a[0], params.func, "code");
    double close = require_real(a[1], params.func, "tick_close");
    require_int(a[2], params.func, "tick_qty");
    double ts = require_real(a[3], params.func, "tick_ts");

    // A negative quantity would make negative fills, a NaN price matches nothing
    // and an infinite one everything: refused before anything changes.
    int overflow = 0;
    long long qty = PyLong_AsLongLongAndOverflow(a[2], &overflow);
    if (overflow > 0)
        raise_value_error("match_deal(): argument 'tick_qty' is too large: " + str_of(a[2]));
    if (overflow < 0 || qty < 0)
        raise_value_error("match_deal(): argument 'tick_qty' must not be negative, got " + str_of(a[2]));
    if (!std::isfinite(close))
        raise_value_error("match_deal(): argument 'tick_close' must be a finite number, got " + float_text(close));

    native_ready(self);
    PyObject *code = a[0];
    Py_INCREF(code);
    PyUnicode_InternInPlace(&code);
    safe_ref interned = safe_ref::steal(code);
    match_tick(self, code, close, own(PyFloat_FromDouble(close)).ptr(), own(PyFloat_FromDouble(ts)).ptr(), qty);
    Py_RETURN_NONE;
}

void match_tick(PyObject *self, PyObject *code, double close, PyObject *close_obj, PyObject *ts_obj, long long qty) {
    BookLock lock(self);
    OrderBook &book = native(self).book;
    Tick tick{safe_ref::borrow(code), close, safe_ref::borrow(close_obj), safe_ref::borrow(ts_obj), qty, qty};
    // Board-lot orders stop the scan once the tick's quantity is used up; odd-lot orders
    // (when they fill whole) are still reached behind them.
    const bool whole_odd = native(self).whole_odd_lots;

    safe_ref orders = pending_orders_of(self);
    if (!in_sync(book, orders.ptr()))
        rebuild(book, orders.ptr());
    std::vector<Candidate> candidates;
    collect_candidates(book, tick.code.ptr(), close, candidates);

    FillModel *model = native(self).fills.get();
    for (const Candidate &c : candidates)
        if (match_one(self, book, c, tick, model, whole_odd) == Step::stop && !whole_odd)
            break;
}

// self.pending_orders, which must be a list (the scan walks its item array).
safe_ref pending_orders_of(PyObject *self) {
    safe_ref orders = field(self, TOVIK_KEY("pending_orders"));
    if (!PyList_Check(orders.ptr()))
        raise_type_error("pending_orders must be a list, not " + type_name_of(orders));
    return orders;
}

// Removes `record` from self.pending_orders, and its entry from the side array and
// the index. A record already gone (taken out by a callback into the matcher) stays
// gone. The caller holds a reference to `record`.
void remove_record(PyObject *self, nb::handle record, const unsigned long long *seq, Py_ssize_t hint) {
    fills_removed(self, record.ptr());
    OrderBook &book = native(self).book;
    safe_ref orders = field(self, TOVIK_KEY("pending_orders"));
    if (!PyList_Check(orders.ptr())) {
        book.dirty = true;
        call_method(orders, TOVIK_KEY("remove"), record);
        return;
    }
    Py_ssize_t at = synced_position(book, orders.ptr(), record.ptr(), seq, hint);
    if (at >= 0) {
        check_status(PyList_SetSlice(orders.ptr(), at, at + 1, nullptr));
        ScanEntry e = book.entries[(size_t) at];
        book.entries.erase(book.entries.begin() + at);
        index_erase(book, e);
        release(e); // not the last reference: the caller's keeps the record alive
        return;
    }
    at = index_in(orders.ptr(), record.ptr(), hint);
    if (at < 0)
        return;
    book.dirty = true; // the host changed the list: the next scan reads it again
    check_status(PyList_SetSlice(orders.ptr(), at, at + 1, nullptr));
}

// After modify_order changed `record` in place: indexed again from its fields.
void reindex(PyObject *self, nb::handle record, Py_ssize_t hint) {
    fills_changed(self, record.ptr());
    OrderBook &book = native(self).book;
    safe_ref orders = field(self, TOVIK_KEY("pending_orders"));
    Py_ssize_t at = synced_position(book, orders.ptr(), record.ptr(), nullptr, hint);
    if (at < 0) {
        book.dirty = true;
        return;
    }
    ScanEntry &e = book.entries[(size_t) at];
    index_erase(book, e);
    classify(book, e);
    index_insert(book, e);
}

void book_entered(PyObject *self, nb::handle list, nb::handle record) {
    entered(self, list, record);
    fills_entered(self, record.ptr());
}

void load_vocabulary(nb::handle names, Matcher::OrderBook &book) { read_vocabulary(names, book); }

namespace {

PyObject *fill_odd_lots_whole(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"fill_odd_lots_whole", {"whole"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    if (!PyBool_Check(a[0]))
        raise_type_error("fill_odd_lots_whole(): argument 'whole' must be bool, not " + type_name_of(a[0]));
    Matcher &m = native_ready(self);
    BookLock lock(self);
    m.whole_odd_lots = a[0] == Py_True;
    Py_RETURN_NONE;
}

} // namespace

void add_order_book_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("fill_odd_lots_whole", fill_odd_lots_whole,
                                   "fill_odd_lots_whole($self, whole)\n--\n\n"
                                   "Fill odd-lot orders whole, outside the tick's board-lot quantity.\n\n"
                                   "With whole=True an odd-lot order (OrderLot.ODD or INTRADAY_ODD) whose\n"
                                   "price condition holds on a tick with a trade fills its whole quantity\n"
                                   "at the tick's price and uses none of the tick's quantity; an odd-lot\n"
                                   "IOC or FOK order whose price does not hold is cancelled. The default,\n"
                                   "False, shares one tick quantity among all orders."));
    methods.push_back(TOVIK_METHOD("match_deal", match_deal,
                                   "match_deal($self, /, code, tick_close, tick_qty, tick_ts)\n--\n\n"
                                   "模擬搓合\n\n"
                                   "Args:\n"
                                   "    code (str): 商品代碼\n"
                                   "    tick_close (float): Tick 價格\n"
                                   "    tick_qty (int): Tick 數量\n"
                                   "    tick_ts (float): Tick 時間戳\n"));
}

} // namespace tovik::matcher
