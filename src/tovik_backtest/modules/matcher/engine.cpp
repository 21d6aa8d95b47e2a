// The back-test engine's tick loop: one day's merged tick table walked on the host's
// thread, each tick handed to this matcher and to the strategy without a queue or a
// thread hop. Python is called only for what it must see: the strategy's on_tick, the
// reports (gathered in a list while route_reports is set), and the session closes
// (when a tick passes the boundary the host wrote into the state array).
#include "buffers.hpp"
#include "engine_state.hpp"
#include "matcher.hpp"

#include <cmath>
#include <memory>

namespace tovik::matcher {
namespace {

using namespace engine_state;

// Taipei wall time, as the tick cache's ns stamps are, minus UTC, in seconds.
constexpr double kOffsetSeconds = (double) (kTaipeiOffsetNs / 1000000000LL);

void require_callable(PyObject *h, const char *func, const char *arg) {
    if (h != Py_None && !PyCallable_Check(h))
        raise_type_error(std::string(func) + "(): argument '" + arg + "' must be callable or None, not " +
                         type_name_of(h));
}

void require_str_list(PyObject *h, const char *func, const char *arg) {
    require_list(h, func, arg);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(h); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(h, i)))
            raise_type_error(std::string(func) + "(): argument '" + arg + "' must hold only str, not " +
                             type_name_of(PyList_GET_ITEM(h, i)));
}

safe_ref call0(PyObject *fn) { return own(PyObject_CallNoArgs(fn)); }
safe_ref call1(PyObject *fn, PyObject *arg) { return own(PyObject_CallOneArg(fn, arg)); }

// The loop's view of one instrument: its code and market text, and its entry in the
// matcher's current_tick_infos (made as set_current_tick makes it).
struct Code {
    PyObject *code;   // interned, held for the call
    PyObject *market; // borrowed from the host's list
};

// The package's own position book classes, when their instances' fields are what
// attribute access reads and writes: no class (or metaclass) in the way defines a data
// descriptor for them. Then the fields are written in the instance __dict__ directly,
// which is what assignment does, at half its cost; any other class goes through the
// attribute protocol or its own set_current_tick.
struct Book {
    safe_ref positions_type, position_type; // null: not plain
};

bool plain_fields(PyObject *type, std::initializer_list<PyObject *> names) {
    PyTypeObject *t = (PyTypeObject *) type;
    if (PyType_GetSlot(t, Py_tp_setattro) != (void *) PyObject_GenericSetAttr ||
        PyType_GetSlot(t, Py_tp_getattro) != (void *) PyObject_GenericGetAttr)
        return false; // its own attribute access
    for (PyObject *name : names) {
        safe_ref found = optional_attr(type, name);
        if (found.ptr() && Py_TYPE(found.ptr())->tp_descr_set)
            return false;
    }
    return true;
}

Book load_book() {
    safe_ref module = import_module(TOVIK_KEY("tovik_backtest.modules.positions.positions"));
    Book book{get_attr(module, TOVIK_KEY("Positions")), get_attr(module, TOVIK_KEY("Position"))};
    if (!plain_fields(book.positions_type.ptr(), {TOVIK_KEY("current_tick"), TOVIK_KEY("positions")}))
        book.positions_type = safe_ref();
    if (!plain_fields(book.position_type.ptr(), {TOVIK_KEY("last_price")}))
        book.position_type = safe_ref();
    return book;
}

// obj.<name> = value, in obj's __dict__ when `fast` (see Book).
void set_field(PyObject *obj, PyObject *name, PyObject *value, bool fast) {
    if (!fast) {
        check_status(PyObject_SetAttr(obj, name, value));
        return;
    }
    safe_ref fields = own(PyObject_GenericGetDict(obj, nullptr));
    check_status(PyDict_SetItem(fields.ptr(), name, value));
}

// positions.set_current_tick(tick). For the package's own Positions class its work is
// done here: remember the tick, mark the instrument's position to the close. Its lock
// only guards against other threads, and in an engine run the book is touched on this
// thread alone (the desk enters orders here, not through the intake worker).
void mark_positions(nb::handle positions, const Book &types, PyObject *code, PyObject *tick, PyObject *close) {
    if (!types.positions_type.ptr() || Py_TYPE(positions.ptr()) != (PyTypeObject *) types.positions_type.ptr()) {
        call_method(positions, TOVIK_KEY("set_current_tick"), nb::handle(tick));
        return;
    }
    safe_ref fields = own(PyObject_GenericGetDict(positions.ptr(), nullptr));
    check_status(PyDict_SetItem(fields.ptr(), TOVIK_KEY("current_tick"), tick));
    PyObject *held = PyDict_GetItemWithError(fields.ptr(), TOVIK_KEY("positions"));
    if (!held && PyErr_Occurred())
        throw nb::python_error();
    safe_ref book = safe_ref::borrow(held);
    if (!held || !PyDict_CheckExact(held)) { // its own method says what becomes of that
        call_method(positions, TOVIK_KEY("set_current_tick"), nb::handle(tick));
        return;
    }
    PyObject *pos = PyDict_GetItemWithError(held, code);
    if (pos) {
        safe_ref position = safe_ref::borrow(pos);
        set_field(pos, TOVIK_KEY("last_price"), close,
                  types.position_type.ptr() && Py_TYPE(pos) == (PyTypeObject *) types.position_type.ptr());
    } else if (PyErr_Occurred()) {
        throw nb::python_error();
    }
}

PyObject *route_reports(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"route_reports", {"sink"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    if (a[0] != Py_None && !PyList_CheckExact(a[0]))
        raise_type_error("route_reports(): argument 'sink' must be a list or None, not " + type_name_of(a[0]));
    if (!nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Matcher 尚未初始化: 請先呼叫 Matcher()");
    Matcher &m = native(self);
    PyObject *old = m.report_sink;
    m.report_sink = a[0] == Py_None ? nullptr : Py_NewRef(a[0]);
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

// The quote columns (best bid, its volume, best ask, its volume) the fill model reads;
// a Queue model needs them, a Touch model none.
class TickQuotes {
  public:
    TickQuotes(PyObject *arg, Py_ssize_t rows, const FillModel *model) {
        if (!arg || arg == Py_None) {
            if (model && fills_need_quotes(*model))
                raise_value_error("drive_ticks(): the queue fill model needs quotes: pass quotes=[bid_price, "
                                  "bid_volume, ask_price, ask_volume]");
            return;
        }
        if (!PyList_CheckExact(arg) || PyList_GET_SIZE(arg) != 4)
            raise_type_error("drive_ticks(): argument 'quotes' must be a list of four columns (bid_price, "
                             "bid_volume, ask_price, ask_volume) or None, not " +
                             type_name_of(arg));
        for (Py_ssize_t k = 0; k < 4; ++k)
            items_.push_back(safe_ref::borrow(PyList_GET_ITEM(arg, k)));
        bid_ = std::make_unique<Column<double>>(items_[0].ptr(), "drive_ticks", "quotes");
        bid_volume_ = std::make_unique<Column<long long>>(items_[1].ptr(), "drive_ticks", "quotes");
        ask_ = std::make_unique<Column<double>>(items_[2].ptr(), "drive_ticks", "quotes");
        ask_volume_ = std::make_unique<Column<long long>>(items_[3].ptr(), "drive_ticks", "quotes");
        if (bid_->size() != rows || bid_volume_->size() != rows || ask_->size() != rows || ask_volume_->size() != rows)
            raise_value_error("drive_ticks(): the quote columns must be as long as ts");
    }
    FillQuote at(Py_ssize_t i) const {
        if (!bid_)
            return FillQuote{};
        return FillQuote{bid_->data()[i], ask_->data()[i], bid_volume_->data()[i], ask_volume_->data()[i], true};
    }

  private:
    std::vector<safe_ref> items_;
    std::unique_ptr<Column<double>> bid_, ask_;
    std::unique_ptr<Column<long long>> bid_volume_, ask_volume_;
};

PyObject *drive_ticks(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<14> params{"drive_ticks",
                                   {"ts", "code", "close", "qty", "tick_type", "codes", "markets", "state",
                                    "backfilling", "on_tick", "on_reports", "on_boundary", "quotes", "equity"},
                                   12};
    PyObject *a[14];
    parse_args(params, args, nargsf, kwnames, a);
    const char *f = params.func;
    require_str_list(a[5], f, "codes");
    require_str_list(a[6], f, "markets");
    if (!PyBool_Check(a[8]))
        raise_type_error(std::string(f) + "(): argument 'backfilling' must be bool, not " + type_name_of(a[8]));
    for (size_t i = 9; i < 12; ++i)
        require_callable(a[i], f, params.names[i]);
    Column<long long> ts(a[0], f, "ts"), code(a[1], f, "code"), qty(a[3], f, "qty"), tick_type(a[4], f, "tick_type");
    Column<double> close(a[2], f, "close");
    Column<long long> state(a[7], f, "state", true);
    std::unique_ptr<Column<long long>> equity_rows;
    if (a[13] && a[13] != Py_None)
        equity_rows = std::make_unique<Column<long long>>(a[13], f, "equity", true);
    const Py_ssize_t rows = ts.size();
    if (code.size() != rows || close.size() != rows || qty.size() != rows || tick_type.size() != rows)
        raise_value_error("drive_ticks(): the columns ts, code, close, qty and tick_type must be of one length");
    const Py_ssize_t n_codes = PyList_GET_SIZE(a[5]);
    if (PyList_GET_SIZE(a[6]) != n_codes)
        raise_value_error("drive_ticks(): codes and markets must be of one length");
    if (state.size() != View::size(n_codes))
        raise_value_error("drive_ticks(): state must have " + std::to_string(View::size(n_codes)) + " slots for " +
                          std::to_string(n_codes) + " codes");
    if (equity_rows && equity_rows->size() % row_fields != 0)
        raise_value_error("drive_ticks(): equity must hold whole rows of " + std::to_string(row_fields) + " items");
    if (state.data()[interval_ns] <= 0)
        raise_value_error("drive_ticks(): the state's interval_ns must be > 0, not " +
                          std::to_string(state.data()[interval_ns]));
    for (Py_ssize_t i = 0; i < rows; ++i)
        if (code.data()[i] < 0 || code.data()[i] >= n_codes)
            raise_value_error("drive_ticks(): row " + std::to_string(i) + " has code index " +
                              std::to_string(code.data()[i]) + ", outside the " + std::to_string(n_codes) + " codes");
    if (!nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Matcher 尚未初始化: 請先呼叫 Matcher()");
    const TickQuotes quotes(a[12], rows, a[8] == Py_True ? nullptr : native(self).fills.get());

    const Book book = load_book();
    const bool backfilling = a[8] == Py_True;
    PyObject *on_tick = a[9] == Py_None ? nullptr : a[9];
    PyObject *on_reports = a[10] == Py_None ? nullptr : a[10];
    PyObject *on_boundary = a[11] == Py_None ? nullptr : a[11];
    // Interned copies of the codes: the matcher interns each tick's code, which costs a
    // lookup unless it is interned already.
    std::vector<Code> codes((size_t) n_codes);
    std::vector<safe_ref> interned;
    interned.reserve((size_t) n_codes);
    for (Py_ssize_t c = 0; c < n_codes; ++c) {
        PyObject *text = Py_NewRef(PyList_GET_ITEM(a[5], c));
        PyUnicode_InternInPlace(&text);
        interned.push_back(safe_ref::steal(text));
        codes[(size_t) c] = Code{text, PyList_GET_ITEM(a[6], c)};
    }
    long long *st = state.data();
    const View view{st, n_codes};
    const Rows rows_out{equity_rows ? equity_rows->data() : nullptr,
                        equity_rows ? equity_rows->size() / row_fields : 0};
    st[rows_written] = 0;

    // The host's callbacks may replace the lists; they are held for the call.
    safe_ref codes_held = safe_ref::borrow(a[5]), markets_held = safe_ref::borrow(a[6]);
    safe_ref self_held = safe_ref::borrow(self);

    // Reports made so far reach the host whenever a step may have made some.
    auto hand_over = [&] {
        PyObject *sink = native(self).report_sink;
        if (on_reports && sink && PyList_GET_SIZE(sink) > 0)
            call0(on_reports);
    };

    // Every record of a code starts as a copy of its blank: the replay's keys in its
    // order, and the values all its records share. Copying a dict costs less than
    // filling a new one.
    std::vector<safe_ref> blanks;
    blanks.reserve((size_t) n_codes);
    for (const Code &c : codes) {
        PyObject *blank = blanks.emplace_back(own(PyDict_New())).ptr();
        for (PyObject *key : {TOVIK_KEY("market_type"), TOVIK_KEY("timestamp"), TOVIK_KEY("code"), TOVIK_KEY("close"),
                              TOVIK_KEY("qty"), TOVIK_KEY("tick_type")})
            check_status(PyDict_SetItem(blank, key, Py_None));
        check_status(PyDict_SetItem(blank, TOVIK_KEY("market_type"), c.market));
        check_status(PyDict_SetItem(blank, TOVIK_KEY("code"), c.code));
        check_status(PyDict_SetItem(blank, TOVIK_KEY("is_simulate"), Py_False));
        check_status(PyDict_SetItem(blank, TOVIK_KEY("is_backfilling"), backfilling ? Py_True : Py_False));
    }

    for (Py_ssize_t i = 0; i < rows; ++i) {
        const size_t c = (size_t) code.data()[i];
        // utils.format_nano_ts_to_second_ts(ts, 8), the same double operations.
        const double stamp = (double) ts.data()[i] / 1e9 - kOffsetSeconds;
        view.at(latest_row, c) = i;

        safe_ref stamp_obj = own(PyFloat_FromDouble(stamp));
        safe_ref close_obj = own(PyFloat_FromDouble(close.data()[i]));
        safe_ref qty_obj = own(PyLong_FromLongLong(qty.data()[i]));
        safe_ref type_obj = own(PyLong_FromLongLong(tick_type.data()[i]));
        safe_ref record = own(PyDict_Copy(blanks[c].ptr()));
        PyObject *r = record.ptr();
        check_status(PyDict_SetItem(r, TOVIK_KEY("timestamp"), stamp_obj.ptr()));
        check_status(PyDict_SetItem(r, TOVIK_KEY("close"), close_obj.ptr()));
        check_status(PyDict_SetItem(r, TOVIK_KEY("qty"), qty_obj.ptr()));
        check_status(PyDict_SetItem(r, TOVIK_KEY("tick_type"), type_obj.ptr()));

        if (backfilling) { // warm-up: the strategy only learns the tick
            if (on_tick)
                call1(on_tick, r);
            continue;
        }
        // orders.tick_ts_ns: microseconds first, rounded half to even like round().
        const long long market_ns = (long long) std::nearbyint(stamp * 1e6) * 1000 + kTaipeiOffsetNs;
        st[now_ns] = market_ns;
        FillModel *const model = native(self).fills.get();
        if (model)
            fills_clock(*model, market_ns);
        if (on_boundary && market_ns > st[boundary_ns]) {
            safe_ref at = own(PyLong_FromLongLong(market_ns));
            call1(on_boundary, at.ptr()); // day orders expire, session marks are taken
            hand_over();
        }

        // set_current_tick's work: the instrument's latest tick and time.
        safe_ref infos = field(self, TOVIK_KEY("current_tick_infos"));
        PyObject *entry =
            PyDict_CheckExact(infos.ptr()) ? PyDict_GetItemWithError(infos.ptr(), codes[c].code) : nullptr;
        if (entry && PyDict_CheckExact(entry)) {
            check_status(PyDict_SetItem(entry, TOVIK_KEY("tick"), r));
            check_status(PyDict_SetItem(entry, TOVIK_KEY("ts"), stamp_obj.ptr()));
            mark_positions(field(self, TOVIK_KEY("positions")), book, codes[c].code, r, close_obj.ptr());
        } else {
            if (PyErr_Occurred())
                throw nb::python_error();
            call_method(self, TOVIK_KEY("set_current_tick"), record);
        }

        mark_price(view, c, close.data()[i]); // a fill of this tick is booked at its price

        // An empty book can fill nothing: match_deal is skipped.
        if (model) {
            if (fills_deliver(self, *model, codes[c].code)) // requests arriving now
                hand_over();
            fills_open_tick(*model, codes[c].code, close.data()[i], qty.data()[i], quotes.at(i));
        }
        safe_ref pending = field(self, TOVIK_KEY("pending_orders"));
        if (!PyList_CheckExact(pending.ptr()) || PyList_GET_SIZE(pending.ptr()) > 0) {
            const long long tick_qty = qty.data()[i];
            const double tick_close = close.data()[i];
            // match_deal's own checks refuse the rest, with its messages
            if (tick_qty >= 0 && std::isfinite(tick_close) && uses_own_method(self, TOVIK_KEY("match_deal")))
                match_tick(self, codes[c].code, tick_close, close_obj.ptr(), stamp_obj.ptr(), tick_qty);
            else
                call_method(self, TOVIK_KEY("match_deal"), nb::handle(codes[c].code), close_obj, qty_obj, stamp_obj);
            if (model)
                fills_close_tick(*model); // before the strategy's callbacks place anything new
            hand_over();
        }
        if (model)
            fills_close_tick(*model);
        // the recorder's part (money.Recorder.mark): counts, exposure, equity
        ++view.at(ticks, c);
        if (st[exposed])
            ++st[exposed_ticks];
        mark_equity(view, c, market_ns, rows_out);
        if (on_tick) {
            call1(on_tick, r);
            hand_over();
        }
    }
    Py_RETURN_NONE;
}

PyObject *set_quiet(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    static const Params<1> params{"set_quiet", {"quiet"}, 1};
    PyObject *a[1];
    parse_args(params, args, nargsf, kwnames, a);
    if (!PyBool_Check(a[0]))
        raise_type_error("set_quiet(): argument 'quiet' must be bool, not " + type_name_of(a[0]));
    if (!nb::inst_ready(self))
        raise(PyExc_RuntimeError, "Matcher 尚未初始化: 請先呼叫 Matcher()");
    native(self).quiet = a[0] == Py_True;
    Py_RETURN_NONE;
}

} // namespace

void add_engine_methods(std::vector<PyMethodDef> &methods) {
    methods.push_back(TOVIK_METHOD("set_quiet", set_quiet,
                                   "set_quiet($self, quiet)\n--\n\n"
                                   "Print no console line (none is even formatted) for accepted requests.\n\n"
                                   "quiet=True covers accepted orders, modifications and cancellations;\n"
                                   "errors are still printed."));
    methods.push_back(TOVIK_METHOD("route_reports", route_reports,
                                   "route_reports($self, sink)\n--\n\n"
                                   "Send every report to a list instead of response_queue.\n\n"
                                   "Reports are appended to `sink` in order; None restores the queue. The\n"
                                   "back-test engine's way to collect reports on its own thread."));
    methods.push_back(
        TOVIK_METHOD("drive_ticks", drive_ticks,
                     "drive_ticks($self, ts, code, close, qty, tick_type, codes, markets, state, backfilling, on_tick, "
                     "on_reports, on_boundary, quotes=None, equity=None)\n--\n\n"
                     "Replay one merged tick table through this matcher and the callbacks.\n\n"
                     "Columns are int64/float64 arrays (code holds indices into codes and markets); the\n"
                     "walk runs on the calling thread. state is a\n"
                     "writable int64 array shared with the host, laid out as STATE_SLOTS and STATE_CODE_FIELDS\n"
                     "say; each tick marks net equity there. equity, a writable int64 array of whole rows\n"
                     "(EQUITY_ROW_FIELDS), receives each interval's row as the next one begins. on_boundary(now_ns)\n"
                     "runs before a tick later than boundary_ns; on_reports() whenever the routed sink holds\n"
                     "reports; on_tick(record) for every tick (record as Ticker's replay makes it). quotes:\n"
                     "[bid_price, bid_volume, ask_price, ask_volume], what a queue fill model reads."));
}

} // namespace tovik::matcher
