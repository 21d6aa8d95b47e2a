// The fill models of a back-test run: when a resting order may fill, and how much.
//
// Touch: a limit order fills on any tick whose price reaches its limit, as match_deal
// has always matched. Queue: a limit order waits behind the volume displayed at its
// price when it arrived (its queue ahead, Q); a trade at its price first uses up Q and
// only the volume beyond fills the order, while a trade at a better price fills it as
// Touch does. Under both, a request arrives at the first tick of its instrument at or
// after its placing time plus the latency (and a seeded jitter), and an IOC, FOK or
// market order is decided on its arrival tick (order_book.cpp cancels the unfilled rest).
//
// The model is a matcher's own setting (set_fill_model); without one, match_deal keeps
// its rule for its callers. The engine's loop tells the model the clock and each tick's
// quote (fills_clock, fills_open_tick, fills_close_tick). Orders are tracked only where
// the model needs them: under Queue, or with a latency; Touch without latency tracks none.
#include "matcher.hpp"

#include <climits>
#include <cmath>
#include <map>
#include <string>

namespace tovik::matcher {

namespace {

constexpr long long kUnlimited = LLONG_MAX;

// splitmix64: the jitter's draws, the same on every platform for one seed.
unsigned long long next_random(unsigned long long &state) {
    unsigned long long z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace

// One tracked resting order. The record is held (and visited by the collector) until
// the order leaves the book; its open quantity is read from the record when needed.
struct FillOrder {
    PyObject *record = nullptr; // owned
    PyObject *code = nullptr;   // interned, owned
    bool buy = false;
    bool limit_rod = false; // a plain limit ROD order: the one kind that queues
    double price = 0;
    unsigned long long earliest = 0; // the first tick number it may arrive at
    long long arrival_ns = LLONG_MIN;
    bool arrived = false, aggressive = false, known = false;
    unsigned long long rank = 0; // arrival order
    double ahead = 0;            // Q: the volume ahead of it at its price
};

// A modification or cancellation on its way to the exchange. The record is the order
// as it rested when the request was made (held, and visited by the collector).
struct FillRequest {
    PyObject *record = nullptr, *trade_id = nullptr, *code = nullptr; // owned
    PyObject *qty = nullptr, *price = nullptr;                        // owned, or null
    bool cancel = false;
    unsigned long long earliest = 0;
    long long arrival_ns = LLONG_MIN;
};

struct FillModel {
    bool queue = false;
    bool proportional = false;
    long long latency_ns = 0, jitter_ns = 0;
    unsigned long long random_state = 0;

    // The clock: ticks counted over the whole run, the market time of the latest.
    unsigned long long tick_no = 0;
    long long now_ns = LLONG_MIN;

    // The tick being matched, while the loop matches it (live).
    bool live = false;
    PyObject *code = nullptr; // borrowed for the tick
    double close = 0;
    long long volume = 0;
    FillQuote quote;

    std::map<PyObject *, FillQuote> last;              // the latest quote per code (keys owned)
    std::map<unsigned long long, FillOrder> orders;    // by entry number, ascending
    std::map<PyObject *, unsigned long long> entry_of; // record -> entry number
    unsigned long long next_entry = 0, next_rank = 0;
    std::vector<unsigned char> reasons;   // one per deal, in deal order
    std::map<PyObject *, long long> late; // late requests per code (keys owned)
    std::vector<FillRequest> requests;    // in the order they were made

    bool tracks() const { return queue || latency_ns > 0 || jitter_ns > 0; }

    FillModel() = default;
    FillModel(const FillModel &) = delete;
    FillModel &operator=(const FillModel &) = delete;
    ~FillModel() { // with the GIL held (the matcher's dealloc, or set_fill_model)
        for (auto &kv : orders) {
            Py_XDECREF(kv.second.record);
            Py_XDECREF(kv.second.code);
        }
        for (auto &kv : last)
            Py_DECREF(kv.first);
        for (auto &kv : late)
            Py_DECREF(kv.first);
        for (FillRequest &r : requests)
            for (PyObject *p : {r.record, r.trade_id, r.code, r.qty, r.price})
                Py_XDECREF(p);
    }
    // The delay of a request made now: the latency plus a draw of the jitter.
    long long delay() {
        long long d = latency_ns;
        if (jitter_ns > 0)
            d += (long long) (next_random(random_state) % (unsigned long long) (jitter_ns + 1));
        return d;
    }
    long long arrival_of_now() { return now_ns == LLONG_MIN ? LLONG_MIN : now_ns + delay(); }
};

namespace {

const char *const kReasonNames[] = {"touch", "aggressive", "through", "queue"};

FillModel *model_of(PyObject *self) { return nb::inst_ready(self) ? native(self).fills.get() : nullptr; }

long long open_quantity(PyObject *record) {
    if (!PyDict_Check(record))
        return 0;
    PyObject *q = PyDict_GetItemWithError(record, TOVIK_KEY("quantity"));
    if (!q) {
        PyErr_Clear();
        return 0;
    }
    if (!PyLong_Check(q))
        return 0;
    long long value = PyLong_AsLongLong(q);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return value > 0 ? value : 0;
}

// The open quantity of our orders on the same side and price that reached the
// exchange before `order`.
double ours_ahead(const FillModel &m, const FillOrder &order) {
    double sum = 0;
    for (const auto &kv : m.orders) {
        const FillOrder &o = kv.second;
        if (&o != &order && o.arrived && o.rank < order.rank && o.code == order.code && o.buy == order.buy &&
            o.limit_rod && o.price == order.price)
            sum += (double) open_quantity(o.record);
    }
    return sum;
}

// A buy sees the bid as its own side and the ask as the other; a sell the reverse.
struct Side {
    double own, other;
    long long own_volume;
};
Side side_of(const FillQuote &q, bool buy) {
    return buy ? Side{q.bid, q.ask, q.bid_volume} : Side{q.ask, q.bid, q.ask_volume};
}
// Is price a better than b for the side (higher for a buy, lower for a sell)?
bool better(bool buy, double a, double b) { return buy ? a > b : a < b; }

// On arrival: aggressive, or its queue from the quote of the instrument's last tick.
void place(const FillModel &m, FillOrder &o) {
    auto found = m.last.find(o.code);
    if (found == m.last.end() || !found->second.known)
        return; // no quote yet: the level is unknown until one shows it
    const Side s = side_of(found->second, o.buy);
    const double p = o.price;
    if (s.other > 0 && !better(o.buy, s.other, p)) { // p reaches the other side's best
        o.aggressive = true;
        return;
    }
    if (p == s.own) {
        o.known = true;
        o.ahead = (double) s.own_volume + ours_ahead(m, o);
    } else if (s.own <= 0 || better(o.buy, p, s.own)) { // a new best price
        o.known = true;
        o.ahead = ours_ahead(m, o);
    }
}

// After a tick of the order's instrument: the traded volume at its price and the new
// displayed size move it up.
void requeue(const FillModel &m, FillOrder &o) {
    const double p = o.price;
    const Side now = side_of(m.quote, o.buy);
    const bool own_behind = now.own <= 0 || better(o.buy, p, now.own); // the displayed best is worse than p
    if (!o.known) {
        if (now.own == p) {
            o.known = true;
            o.ahead = (double) now.own_volume + ours_ahead(m, o);
        } else if (own_behind) {
            o.known = true;
            o.ahead = ours_ahead(m, o);
        }
        return;
    }
    const bool traded_at_p = m.close == p;
    if (traded_at_p)
        o.ahead = std::max(0.0, o.ahead - (double) m.volume);
    if (m.proportional) {
        auto found = m.last.find(o.code);
        if (found != m.last.end() && found->second.known) {
            const Side before = side_of(found->second, o.buy);
            if (before.own == p && now.own == p && before.own_volume > 0) {
                const double fall = (double) (before.own_volume - now.own_volume);
                const double unexplained = fall - (traded_at_p ? (double) m.volume : 0.0);
                if (unexplained > 0)
                    o.ahead = std::max(0.0, o.ahead - unexplained * o.ahead / (double) before.own_volume);
            }
        }
    }
    if (now.own == p && (double) now.own_volume < o.ahead)
        o.ahead = (double) now.own_volume;
    else if (own_behind)
        o.ahead = ours_ahead(m, o);
}

void forget(FillModel &m, PyObject *record) {
    auto found = m.entry_of.find(record);
    if (found == m.entry_of.end())
        return;
    auto at = m.orders.find(found->second);
    m.entry_of.erase(found);
    if (at == m.orders.end())
        return;
    const FillOrder &gone = at->second;
    if (m.queue && gone.arrived && gone.limit_rod) {
        // what is left of it (nothing once filled) no longer stands ahead of our later orders
        const double open = (double) open_quantity(gone.record);
        for (auto &kv : m.orders) {
            FillOrder &o = kv.second;
            if (&o != &gone && o.arrived && o.known && o.rank > gone.rank && o.code == gone.code && o.buy == gone.buy &&
                o.limit_rod && o.price == gone.price)
                o.ahead = std::max(0.0, o.ahead - open);
        }
    }
    PyObject *held = gone.record, *code = gone.code;
    m.orders.erase(at);
    Py_XDECREF(code);
    Py_XDECREF(held); // last: a finaliser may run, and the model is consistent by now
}

PyObject *text_or_null(PyObject *record, PyObject *key) {
    PyObject *v = PyDict_GetItemWithError(record, key);
    if (!v)
        PyErr_Clear();
    return v;
}

bool is_text(PyObject *value, const char *text) {
    if (!value)
        return false;
    safe_ref s = safe_ref::steal(PyObject_Str(value));
    if (!s.ptr()) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(s.ptr(), text) == 0;
}

// Reads the order's side, price and kind from its record; false when it is not a
// plain record of a known kind (then it is not tracked and fills as Touch does).
bool describe(PyObject *record, FillOrder &o) {
    if (!PyDict_CheckExact(record))
        return false;
    PyObject *code = text_or_null(record, TOVIK_KEY("code"));
    PyObject *action = text_or_null(record, TOVIK_KEY("action"));
    PyObject *price = text_or_null(record, TOVIK_KEY("price"));
    if (!code || !PyUnicode_CheckExact(code) || !action || !price || !PyFloat_Check(price))
        return false;
    o.buy = is_text(action, "Buy");
    o.price = PyFloat_AS_DOUBLE(price);
    o.limit_rod = is_text(text_or_null(record, TOVIK_KEY("price_type")), "LMT") &&
                  is_text(text_or_null(record, TOVIK_KEY("order_type")), "ROD");
    Py_INCREF(code);
    PyUnicode_InternInPlace(&code);
    o.code = code;
    return true;
}

// ---------------------------------------------------------------------------
// Methods

PyObject *set_fill_model(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<5> params{"set_fill_model", {"kind", "cancels", "latency_ns", "jitter_ns", "seed"}, 1};
    PyObject *a[5];
    parse_args(params, args, nargsf, kwnames, a);
    const char *f = params.func;
    Matcher &matcher = native_ready(self);
    if (a[0] == Py_None) {
        matcher.fills.reset();
        Py_RETURN_NONE;
    }
    require_str(a[0], f, "kind");
    const std::string kind = PyUnicode_AsUTF8(a[0]);
    if (kind != "touch" && kind != "queue")
        raise_value_error("set_fill_model(): kind must be 'touch' or 'queue', not '" + kind + "'");
    std::string cancels = "none";
    if (a[1] && a[1] != Py_None) {
        require_str(a[1], f, "cancels");
        cancels = PyUnicode_AsUTF8(a[1]);
    }
    if (cancels != "none" && cancels != "proportional")
        raise_value_error("set_fill_model(): cancels must be 'none' or 'proportional', not '" + cancels + "'");
    long long numbers[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        PyObject *v = a[2 + k];
        if (!v)
            continue;
        if (!PyLong_CheckExact(v))
            raise_type_error(std::string(f) + "(): argument '" + params.names[2 + k] + "' must be int, not " +
                             type_name_of(v));
        int overflow = 0;
        numbers[k] = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (k < 2 && numbers[k] < 0))
            raise_value_error(std::string(f) + "(): argument '" + params.names[2 + k] +
                              "' must be a whole number of nanoseconds >= 0, not " + str_of(v));
    }
    safe_ref pending = field(self, TOVIK_KEY("pending_orders"));
    if (PyList_Check(pending.ptr()) && PyList_GET_SIZE(pending.ptr()) > 0)
        raise(PyExc_RuntimeError, "set_fill_model(): orders are resting; set the fill model before any is placed");
    std::unique_ptr<FillModel, FillModelDeleter> model(new FillModel());
    model->queue = kind == "queue";
    model->proportional = cancels == "proportional";
    model->latency_ns = numbers[0];
    model->jitter_ns = numbers[1];
    model->random_state = (unsigned long long) numbers[2];
    matcher.fills = std::move(model);
    Py_RETURN_NONE;
}

PyObject *fill_reasons(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"fill_reasons", {"unused"}, 0};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    native_ready(self);
    FillModel *m = model_of(self);
    const size_t n = m ? m->reasons.size() : 0;
    safe_ref list = own(PyList_New((Py_ssize_t) n));
    for (size_t i = 0; i < n; ++i) {
        PyObject *name = PyUnicode_InternFromString(kReasonNames[m->reasons[i]]);
        if (!name)
            throw nb::python_error();
        PyList_SET_ITEM(list.ptr(), (Py_ssize_t) i, name);
    }
    return list.release();
}

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

void FillModelDeleter::operator()(FillModel *m) const { delete m; }

FillDecision fill_decision(FillModel &m, PyObject *record) {
    FillDecision touch{false, kUnlimited, m.queue ? FillReason::aggressive : FillReason::touch};
    if (!m.live)
        return FillDecision{false, kUnlimited, FillReason::touch};
    auto found = m.entry_of.find(record);
    if (found == m.entry_of.end())
        return touch;
    auto at = m.orders.find(found->second);
    if (at == m.orders.end() || at->second.code != m.code)
        return touch;
    const FillOrder &o = at->second;
    if (!o.arrived)
        return FillDecision{true, 0, FillReason::touch};
    if (!m.queue)
        return touch;
    if (!o.limit_rod || o.aggressive)
        return FillDecision{false, kUnlimited, FillReason::aggressive};
    if (better(o.buy, o.price, m.close))
        return FillDecision{false, kUnlimited, FillReason::through};
    if (m.close == o.price && o.known) {
        const double beyond = std::floor((double) m.volume - o.ahead);
        return FillDecision{false, beyond > 0 ? (long long) beyond : 0, FillReason::queue};
    }
    return FillDecision{false, 0, FillReason::queue};
}

void fill_made(FillModel &m, FillReason reason) { m.reasons.push_back((unsigned char) reason); }

void fills_entered(PyObject *self, PyObject *record) {
    FillModel *m = model_of(self);
    if (!m || !m->tracks())
        return;
    FillOrder o;
    if (!describe(record, o))
        return;
    o.record = Py_NewRef(record);
    o.earliest = m->tick_no;
    o.arrival_ns = m->arrival_of_now();
    forget(*m, record); // a record entered again starts afresh
    const unsigned long long entry = m->next_entry++;
    m->orders.emplace(entry, o);
    m->entry_of[record] = entry;
}

void fills_removed(PyObject *self, PyObject *record) {
    if (FillModel *m = model_of(self))
        forget(*m, record);
}

void fills_changed(PyObject *self, PyObject *record) {
    FillModel *m = model_of(self);
    if (!m)
        return;
    auto found = m->entry_of.find(record);
    if (found == m->entry_of.end())
        return;
    FillOrder &o = m->orders.at(found->second);
    PyObject *price = PyDict_Check(record) ? text_or_null(record, TOVIK_KEY("price")) : nullptr;
    if (!price || !PyFloat_Check(price) || PyFloat_AS_DOUBLE(price) == o.price)
        return; // a quantity cut keeps the order's place
    // a new price is a new place in the queue, taken when the change arrives
    o.price = PyFloat_AS_DOUBLE(price);
    o.arrived = o.aggressive = o.known = false;
    o.ahead = 0;
    o.earliest = m->tick_no;
    o.arrival_ns = m->now_ns;
}

void fills_clock(FillModel &m, long long now_ns) {
    ++m.tick_no;
    m.now_ns = now_ns;
}

void fills_open_tick(FillModel &m, PyObject *code, double close, long long volume, const FillQuote &quote) {
    if (!m.tracks())
        return; // Touch without latency: every order fills as match_deal fills it
    m.code = code;
    m.close = close;
    m.volume = volume;
    m.quote = quote;
    m.live = true;
    for (auto &kv : m.orders) {
        FillOrder &o = kv.second;
        if (o.arrived || o.code != code || m.tick_no < o.earliest || m.now_ns < o.arrival_ns)
            continue;
        o.arrived = true;
        o.rank = m.next_rank++;
        if (m.queue && o.limit_rod)
            place(m, o);
    }
}

void fills_close_tick(FillModel &m) {
    if (!m.live)
        return;
    m.live = false;
    if (m.queue)
        for (auto &kv : m.orders) {
            FillOrder &o = kv.second;
            if (o.arrived && o.code == m.code && o.limit_rod && !o.aggressive)
                requeue(m, o);
        }
    auto found = m.last.find(m.code);
    if (found == m.last.end())
        found = m.last.emplace(Py_NewRef(m.code), FillQuote{}).first;
    found->second = m.quote;
    m.code = nullptr;
}

bool fills_need_quotes(const FillModel &m) { return m.queue; }

int fills_traverse(const FillModel &m, visitproc visit, void *arg) {
    for (const auto &kv : m.orders)
        Py_VISIT(kv.second.record);
    for (const FillRequest &r : m.requests)
        Py_VISIT(r.record);
    return 0;
}

void add_fill_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(
        TOVIK_METHOD("set_fill_model", set_fill_model,
                     "set_fill_model($self, kind, cancels='none', latency_ns=0, jitter_ns=0, seed=0)\n--\n\n"
                     "Decide fills by a back-test run's fill model; None restores match_deal's own rule.\n\n"
                     "kind 'touch' fills a limit order on any tick at its price, 'queue' behind the volume\n"
                     "displayed at its price on arrival (cancels='proportional': an unexplained fall of that\n"
                     "size moves it up too). Requests arrive latency_ns (plus up to jitter_ns, drawn from\n"
                     "seed) after the tick they were placed on; an IOC, FOK or market order is decided on\n"
                     "its arrival tick. Set before any order is placed."));
    methods.push_back(TOVIK_METHOD("defer_request", defer_request,
                                   "defer_request($self, trade_id, cancel, qty=None, price=None)\n--\n\n"
                                   "Send a cancellation (cancel=True) or a modification of a resting order\n"
                                   "that reaches the exchange after the fill model's latency.\n\n"
                                   "It is carried out at the first tick of the order's instrument at or after\n"
                                   "its arrival time; when the order is no longer open then, the exchange\n"
                                   "refuses it with an order report (status code 99), counted in\n"
                                   "late_requests()."));
    methods.push_back(TOVIK_METHOD("late_requests", late_requests,
                                   "late_requests($self)\n--\n\n"
                                   "Requests that arrived after their order had left the book, per code."));
    methods.push_back(TOVIK_METHOD("fill_reasons", fill_reasons,
                                   "fill_reasons($self)\n--\n\n"
                                   "Why each deal of the fill model filled, in deal order: 'touch',\n"
                                   "'aggressive', 'through' or 'queue'."));
}

} // namespace tovik::matcher
