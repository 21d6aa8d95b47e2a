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
#include "fill_model.hpp"

#include <climits>
#include <cmath>
#include <map>
#include <string>

namespace tovik::matcher {
namespace {

constexpr long long kUnlimited = LLONG_MAX;

} // namespace

namespace {

const char *const kReasonNames[] = {"touch", "aggressive", "through", "queue"};

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

} // namespace

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
    methods.push_back(TOVIK_METHOD("fill_reasons", fill_reasons,
                                   "fill_reasons($self)\n--\n\n"
                                   "Why each deal of the fill model filled, in deal order.\n\n"
                                   "Each is 'touch', 'aggressive', 'through' or 'queue'."));
}

} // namespace tovik::matcher
