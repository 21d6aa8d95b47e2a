// The simulated exchange's C++ side. Host-visible state (the queues, the resting-order
// list, the tick table, the position book, account and exchange info) lives in the
// instance's __dict__ as plain Python objects; this struct only holds what Python
// must not see: the order-book lock and the scan's side arrays.
#pragma once

#include "pyhost.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace tovik::matcher {
// The shared host helpers (calls, items, truthiness, console lines); references on
// the stack are safe ones: the intake worker and the host's threads may be ended by a
// forced unwind at interpreter exit.
using namespace tovik::host;

// A back-test run's fill model (fills.cpp): held by the matcher that set it.
struct FillModel;
struct FillModelDeleter {
    void operator()(FillModel *model) const;
};

struct Matcher {
    // Order-book lock: held for each add_order, modify_order, cancel_order and each
    // whole match_deal scan. Re-entrant, so a position book or a format method that
    // calls back into the same matcher on the same thread does not deadlock.
    std::recursive_mutex book_mutex;

    // ---- order book: side array and price index kept beside pending_orders ----
    // One entry per resting record, in list order, numbered by entry sequence (which
    // therefore rises along the list). Entries own references, so an address can't be
    // reused by another record while its entry exists. Each instrument's plain limit
    // ROD orders are indexed by side and price, so a tick visits only the levels its
    // price can fill; IOC, FOK and other price types of the instrument are visited on
    // every tick of it (they leave the book there), and records that are not plain
    // (not a dict, code not text, fields missing) on every tick. A record's code,
    // action, price, price type and order type are read when it is indexed (entry,
    // modify_order, or a rebuild): a host that changes them in place replaces the
    // record instead. The index trusts the list while it is the same list object, of
    // the expected length, with the expected first and last records; otherwise the
    // next scan rebuilds it from the list. Guarded by book_mutex.
    enum class Slot : unsigned char { opaque, always, buy, sell };
    struct ScanEntry {
        PyObject *record;
        PyObject *code; // interned, or nullptr when the record is not plain
        unsigned long long seq;
        Slot slot;
        double price; // the level, for Slot::buy and Slot::sell
    };
    using Seqs = std::vector<unsigned long long>; // ascending
    struct Levels {
        std::map<double, Seqs> buy, sell;
        Seqs always;
    };
    struct OrderBook {
        std::vector<ScanEntry> entries;
        std::unordered_map<PyObject *, Levels> by_code; // keys: interned codes, one reference each
        Seqs opaque;
        unsigned long long next_seq = 0;
        PyObject *synced_list = nullptr; // the list the entries describe (owned)
        bool dirty = true;
        // Constants-module members and types used by matching, loaded at construction
        // from the matcher's own enumerations (see constants()).
        PyObject *price_type_lmt = nullptr;
        PyObject *action_buy = nullptr;       // the member
        PyObject *action_buy_value = nullptr; // its text value
        PyObject *order_type_rod = nullptr;
        PyObject *order_type_ioc = nullptr;
        PyObject *order_type_fok = nullptr;
        PyObject *operation_cancel = nullptr;
        PyObject *operation_update_qty = nullptr;
        PyObject *operation_update_price = nullptr;
        PyObject *code_be_cancel = nullptr;
        PyObject *code_modify = nullptr;
        PyObject *order_lot_odd = nullptr;          // OrderLot.ODD
        PyObject *order_lot_intraday_odd = nullptr; // OrderLot.INTRADAY_ODD
        std::vector<PyObject *> enum_types;         // values of these types need no deep copy
        PyObject *trade_record_kwnames = nullptr;

        OrderBook() = default;
        OrderBook(const OrderBook &) = delete;
        OrderBook &operator=(const OrderBook &) = delete;
        ~OrderBook(); // runs in the instance's dealloc, with the GIL held
    } book;

    // The key layouts of the dicts made for every order and fill (see DictBuilder).
    enum class Layout : unsigned char {
        record_stock,
        record_future,
        report,
        order_stock,
        order_future,
        trade_status,
        deal_stock,
        deal_future,
        count
    };
    // One dict per layout with its keys in order and None values, made on first use.
    // Copying it copies its key table in one piece, so a new dict of that layout is
    // that copy with its values replaced, which measured about a quarter to a third
    // cheaper than inserting each key into a new dict.
    struct Templates {
        PyObject *dicts[(size_t) Layout::count] = {};
        Templates() = default;
        Templates(const Templates &) = delete;
        Templates &operator=(const Templates &) = delete;
        ~Templates() { // in the instance's dealloc, with the GIL held
            for (PyObject *d : dicts)
                Py_XDECREF(d);
        }
    } templates;

    // ---- intake worker ----
    // The worker's threading.Thread (owned; visited by the collector), until close()
    // has joined it. `closed` is set by close(); both change with the GIL held.
    PyObject *worker = nullptr;
    bool closed = false;
    // The host's source of new order ids (owned; visited by the collector), or null.
    PyObject *order_ids = nullptr;
    // The constants module's enumerations as they were at construction, a dict (owned).
    PyObject *constants = nullptr;
    // While set (route_reports), the list every report is appended to instead of
    // response_queue (owned; visited by the collector).
    PyObject *report_sink = nullptr;
    // set_quiet(True): the console lines of accepted requests are not even formatted.
    bool quiet = false;
    // set_fill_model: how a back-test run decides fills (null: match_deal's own rule).
    std::unique_ptr<FillModel, FillModelDeleter> fills;
    // fill_odd_lots_whole(True): odd-lot orders fill whole at a tick's price and leave
    // the tick's board-lot quantity to the other orders (a back-test run's rule; the
    // matcher's own callers keep one tick quantity shared by every order).
    bool whole_odd_lots = false;
    // cancel_emptied_orders(True): a modification that cuts every open lot cancels the
    // order (a back-test run's rule; the matcher's own callers keep a 0-lot order).
    bool cut_to_nothing_cancels = false;

    Matcher() = default;
    Matcher(const Matcher &) = delete;
    Matcher &operator=(const Matcher &) = delete;
    ~Matcher() { // in the instance's dealloc, with the GIL held
        Py_XDECREF(worker);
        Py_XDECREF(order_ids);
        Py_XDECREF(constants);
        Py_XDECREF(report_sink);
    }
};

inline Matcher &native(PyObject *self) { return *nb::inst_ptr<Matcher>(self); }

// The slot holding an instance's __dict__ (nanobind's dynamic_attr gives the class a
// fixed dict offset, inherited by subclasses); null when the type has none.
// The stable ABI hides the offset: there every read takes the generic path.
inline PyObject **instance_dict_slot(PyObject *self) {
#ifndef Py_LIMITED_API
    const Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset) : nullptr;
#else
    (void) self;
    return nullptr;
#endif
}
using Layout = Matcher::Layout;

// The instance's native part; RuntimeError when __init__ has not run.
inline Matcher &native_ready(PyObject *self) {
    if (!nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Matcher 尚未初始化: 請先呼叫 Matcher()");
    return native(self);
}

// Are the console lines of accepted requests wanted (set_quiet, engine.cpp)?
inline bool console_on(PyObject *self) { return !nb::inst_ready(self) || !native(self).quiet; }

// Collects a dict's keys and values in the order of the calls, then makes the dict in
// one step. For the layouts made on every order and fill, take(self, layout) copies a
// template instead (see Matcher::Templates).
// Keys must be interned strings (TOVIK_KEY), which are immortal; values are held
// until the dict is made, since Python code run in between may drop their source.
class DictBuilder {
  public:
    static constexpr size_t capacity = 16;

    DictBuilder() = default;
    DictBuilder(const DictBuilder &) = delete;
    DictBuilder &operator=(const DictBuilder &) = delete;
    DictBuilder(DictBuilder &&other) noexcept : n_(other.n_) {
        std::copy(other.keys_, other.keys_ + n_, keys_);
        std::copy(other.values_, other.values_ + n_, values_);
        other.n_ = 0;
    }
    ~DictBuilder() {
        if (safe_ref::may_drop()) // not during a forced unwind (see safe_ref)
            release_values();
    }

    DictBuilder &set(PyObject *key, nb::handle value) {
        if (n_ == capacity)
            throw std::length_error("DictBuilder: more keys than its capacity");
        keys_[n_] = key;
        values_[n_] = Py_NewRef(value.ptr());
        ++n_;
        return *this;
    }
    // target[key] = source[source_key], with the host's KeyError for a missing key.
    DictBuilder &copy(PyObject *key, nb::handle source, PyObject *source_key) {
        if (PyDict_CheckExact(source.ptr())) {
            PyObject *value = PyDict_GetItemWithError(source.ptr(), source_key);
            if (!value) {
                if (!PyErr_Occurred())
                    PyErr_SetObject(PyExc_KeyError, source_key);
                throw nb::python_error();
            }
            return set(key, value);
        }
        safe_ref value = safe_ref::steal(PyObject_GetItem(source.ptr(), source_key));
        if (!value.ptr())
            throw nb::python_error();
        return set(key, value);
    }
    DictBuilder &copy(PyObject *key, nb::handle source) { return copy(key, source, key); }
    // The same from the fields of another builder, not yet made into a dict.
    DictBuilder &copy(PyObject *key, const DictBuilder &source, PyObject *source_key) {
        return set(key, source.get(source_key));
    }
    DictBuilder &copy(PyObject *key, const DictBuilder &source) { return copy(key, source, key); }

    // Replaces the value set for `key`.
    DictBuilder &replace(PyObject *key, nb::handle value) {
        size_t i = index_of(key);
        replace_ref(values_[i], Py_NewRef(value.ptr()));
        return *this;
    }
    // Moves `key` and its value after all the others, which keep their order.
    DictBuilder &move_to_end(PyObject *key) {
        size_t i = index_of(key);
        std::rotate(keys_ + i, keys_ + i + 1, keys_ + n_);
        std::rotate(values_ + i, values_ + i + 1, values_ + n_);
        return *this;
    }

    // The value set for `key` (the last one when set twice).
    nb::handle get(PyObject *key) const { return values_[index_of(key)]; }

    // The new dict; the builder is empty afterwards.
    safe_ref take() {
        safe_ref dict = make_dict(values_);
        release_values();
        return dict;
    }

    // The new dict, as a copy of `self`'s template for `layout` with this builder's
    // values. Each layout is made at one place, always with the same keys in the same
    // order; the template is made from the first builder that asks for it.
    safe_ref take(PyObject *self, Layout layout) {
        if (!nb::inst_ready(self))
            return take();
        PyObject *&slot = native(self).templates.dicts[(size_t) layout];
        if (!slot) {
            PyObject *nones[capacity];
            std::fill(nones, nones + n_, Py_None);
            safe_ref made = make_dict(nones);
            if (!slot) // not made meanwhile by a callback (then the first is kept)
                slot = made.release();
        }
        if (dict_size(slot) != (Py_ssize_t) n_)
            throw std::logic_error("DictBuilder: keys differ from the layout's template");
        PyObject *dict = PyDict_Copy(slot);
        if (!dict)
            throw nb::python_error();
        safe_ref result = safe_ref::steal(dict);
        for (size_t i = 0; i < n_; ++i)
            check_status(PyDict_SetItem(dict, keys_[i], values_[i]));
        if (dict_size(dict) != (Py_ssize_t) n_)
            throw std::logic_error("DictBuilder: keys differ from the layout's template");
        release_values();
        return result;
    }

  private:
    // A new dict of this builder's keys with `values`, inserted in key order.
    safe_ref make_dict(PyObject *const *values) const {
        PyObject *dict = PyDict_New();
        if (!dict)
            throw nb::python_error();
        safe_ref result = safe_ref::steal(dict);
        for (size_t i = 0; i < n_; ++i)
            check_status(PyDict_SetItem(dict, keys_[i], values[i]));
        return result;
    }
    size_t index_of(PyObject *key) const {
        for (size_t i = n_; i-- > 0;)
            if (keys_[i] == key)
                return i;
        throw std::logic_error("DictBuilder: no such key");
    }
    void release_values() {
        for (size_t i = 0; i < n_; ++i)
            Py_DECREF(values_[i]);
        n_ = 0;
    }
    size_t n_ = 0;
    PyObject *keys_[capacity];
    PyObject *values_[capacity];
};

// Holds the order-book lock for a scope. The lock is waited for with the GIL
// released, so the holder (which may need the GIL) can always finish.
class BookLock {
  public:
    explicit BookLock(PyObject *self) : mutex_(native(self).book_mutex) {
        if (!mutex_.try_lock())
            without_gil([this] { mutex_.lock(); });
    }
    ~BookLock() { mutex_.unlock(); }
    BookLock(const BookLock &) = delete;
    BookLock &operator=(const BookLock &) = delete;

  private:
    std::recursive_mutex &mutex_;
};

// Each source file contributes its methods to the class's method table.
void add_construction_methods(std::vector<PyMethodDef> &methods);  // construction.cpp
void add_tick_table_methods(std::vector<PyMethodDef> &methods);    // tick_table.cpp
void add_intake_methods(std::vector<PyMethodDef> &methods);        // intake.cpp
void add_order_entry_methods(std::vector<PyMethodDef> &methods);   // order_entry.cpp
void add_report_methods(std::vector<PyMethodDef> &methods);        // reports.cpp
void add_order_book_methods(std::vector<PyMethodDef> &methods);    // order_book.cpp
void add_modify_cancel_methods(std::vector<PyMethodDef> &methods); // modify_cancel.cpp
void add_engine_methods(std::vector<PyMethodDef> &methods);        // engine.cpp
void add_fill_methods(std::vector<PyMethodDef> &methods);          // fills.cpp

// ---- shared between the source files ----

// Matcher.match_deal (order_book.cpp), and its work once the arguments are checked,
// which the engine's loop calls directly: `code` interned, `close` finite and the
// close_obj float of it, `qty` not negative.
PyObject *match_deal(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
void match_tick(PyObject *self, PyObject *code, double close, PyObject *close_obj, PyObject *ts_obj, long long qty);

// container.get(key, default).
safe_ref get_or(nb::handle container, PyObject *key, PyObject *fallback);
// The constants module's enumerations as the module names them now.
safe_ref resolve_constants();

// (The four below are defined here so that the tick loop's field reads are inlined.)

// Is this exactly a Matcher (no subclass)? Then no class attribute can shadow an
// instance field and no method has been overridden in a class.
inline bool is_plain_matcher(PyObject *self) {
    // The class lives as long as the module, so its address can be kept.
    static PyTypeObject *const matcher_type = (PyTypeObject *) nb::type<Matcher>().ptr();
    return Py_TYPE(self) == matcher_type;
}

// A plain Matcher's __dict__ (borrowed), read from its slot without the reference
// that PyObject_GenericGetDict would hand out; null for a subclass instance or while
// the dict does not exist yet (or is not a plain dict).
inline PyObject *plain_instance_dict(PyObject *self) {
    if (!is_plain_matcher(self))
        return nullptr;
    PyObject **slot = instance_dict_slot(self);
    return slot && *slot && PyDict_CheckExact(*slot) ? *slot : nullptr;
}

// self.<name>: a plain Matcher's fields are read straight from its __dict__, which is
// what attribute lookup would find, without the walk through the class.
inline safe_ref field(PyObject *self, PyObject *name) {
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
inline bool uses_own_method(PyObject *self, PyObject *name) {
    PyObject *dict = plain_instance_dict(self);
    if (!dict)
        return false;
    if (PyDict_GetItemWithError(dict, name))
        return false;
    if (PyErr_Occurred())
        throw nb::python_error();
    return true;
}

// self.<name>(*args). When neither the instance nor a subclass replaces the method,
// its implementation is called directly, skipping the lookup and the bound call.
template <typename... Args>
safe_ref call_own_method(PyObject *self, PyObject *name, FastMethod impl, const Args &...args) {
    if (uses_own_method(self, name)) {
        PyObject *argv[sizeof...(Args) + 1] = {nb::handle(args).ptr()..., nullptr};
        return own(impl(self, argv, (Py_ssize_t) sizeof...(Args), nullptr));
    }
    return call_method(self, name, args...);
}

// The matcher's enumerations (fixed at construction) and names.<name>.
safe_ref constants(PyObject *self);
safe_ref constant(nb::handle names, PyObject *name);
// Enumeration.from_value(value), the enumeration found in `names`.
safe_ref from_value(nb::handle names, PyObject *enum_name, nb::handle value);
// The instrument's latest tick time.
safe_ref latest_tick_ts(PyObject *self, nb::handle code);
// self.add_response_to_queue(response), its own work done directly when not replaced.
void queue_response(PyObject *self, nb::handle response);

// The report methods' own work, called directly when the method is not replaced.
PyObject *build_order_response_method(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
safe_ref order_response(PyObject *self, nb::handle trade, nb::handle operation_type, nb::handle status_code,
                        nb::handle status_message);
safe_ref deal_response(PyObject *self, nb::handle trade);

// Reads the members and types matching uses from the enumerations `names` into the book.
void load_vocabulary(nb::handle names, Matcher::OrderBook &book);
// self.pending_orders, which must be a list (the scan walks its item array).
safe_ref pending_orders_of(PyObject *self);
// Takes `record` out of pending_orders and the index (`seq` and `hint` locate it).
void remove_record(PyObject *self, nb::handle record, const unsigned long long *seq, Py_ssize_t hint);
// Indexes `record` again after modify_order changed it in place.
void reindex(PyObject *self, nb::handle record, Py_ssize_t hint);
// Tells the order book that add_order appended `record` to `list` (pending_orders).
void book_entered(PyObject *self, nb::handle list, nb::handle record);

// ---- the fill model (fills.cpp) ----

// Why a deal filled: the Touch rule; an order that could trade on arrival (and IOC,
// FOK and market orders under Queue); a trade at a better price than the order's; its
// place in the queue reached at its price.
enum class FillReason : unsigned char { touch, aggressive, through, queue };
// What the model allows a resting record on the tick being matched: nothing yet (it has
// not arrived), or at most `most` of its open quantity.
struct FillDecision {
    bool waits = false;
    long long most = 0;
    FillReason reason = FillReason::touch;
};
// One tick's best bid and ask with their volumes.
struct FillQuote {
    double bid = 0, ask = 0;
    long long bid_volume = 0, ask_volume = 0;
    bool known = false;
};
// The decision for `record` on the current tick (match_tick, with a model set).
FillDecision fill_decision(FillModel &model, PyObject *record);
// A deal was made for that decision.
void fill_made(FillModel &model, FillReason reason);
// The book's changes the model follows: a record entered, taken out, or modified.
void fills_entered(PyObject *self, PyObject *record);
void fills_removed(PyObject *self, PyObject *record);
void fills_changed(PyObject *self, PyObject *record);
// The engine's loop: a tick's market time (before anything of the tick runs), the tick
// about to be matched (arrivals), and the tick done (queues move up, the quote is kept).
void fills_clock(FillModel &model, long long now_ns);
// Carries out the modifications and cancellations of `code` that arrive at this tick
// (before its arrivals and matching); true when any did.
bool fills_deliver(PyObject *self, FillModel &model, PyObject *code);
void fills_open_tick(FillModel &model, PyObject *code, double close, long long volume, const FillQuote &quote);
void fills_close_tick(FillModel &model);
// Does the model read the ticks' quotes (the queue model)?
bool fills_need_quotes(const FillModel &model);
// The records the model holds, for the collector.
int fills_traverse(const FillModel &model, visitproc visit, void *arg);

// Reads add_order's defaults (OrderCond.CASH, ...) from the constants module, once
// when the module loads (order_entry.cpp).
void load_order_defaults();

// Imports what the module needs when it is loaded (a failing import fails the load),
// in construction.cpp.
void load_dependencies(nb::module_ &m);

// Constructor (tp_init slot), in construction.cpp.
int matcher_init(PyObject *self, PyObject *args, PyObject *kwargs);

} // namespace tovik::matcher
