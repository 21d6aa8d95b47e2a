// Net equity marked at every tick of a back-test run: each open position at its own
// last tick price, the cash and costs of the fills so far (written by the host's
// recorder as each deal report reaches it), the running peak, the deepest fall and
// the longest time under a peak, the open round trip's extremes, and one row of open,
// high, low and close per interval. Money is in integer cents, so the figures add up
// exactly; a price is taken to the cent (rounded half to even, as the host rounds it).
#include "engine_state.hpp"
#include "matcher.hpp"

#include <cmath>

namespace tovik::matcher::engine_state {

namespace {
__extension__ typedef __int128 wide; // products of two amounts in cents

// fall / peak > best_fall / best_peak, in whole numbers (both peaks > 0).
bool larger_share(long long fall, long long peak, long long best_fall, long long best_peak) {
    return (wide) fall * best_peak > (wide) best_fall * peak;
}
} // namespace

void mark_price_held(const View &v, size_t c, long long px) {
    long long &last = v.at(price_cents, c);
    v[open_cents] += v.at(units, c) * v.at(factor, c) * (px - last);
    last = px;
}

void mark_equity_moved(const View &v, size_t c, long long now, const Rows &rows) {
    const long long equity = v[base_cents] + v[open_cents];
    const long long interval = v[interval_ns];
    const long long start = v[bucket] == kUnset ? kUnset : v[bucket] * interval;
    const bool same_row = start != kUnset && now >= start && now - start < interval;
    if (v[peak_ns] == kUnset)
        v[peak_ns] = now; // the capital is the first peak, held until the first tick
    if (equity >= v[peak_cents]) {
        if (v[under] && now - v[peak_ns] > v[duration_ns])
            v[duration_ns] = now - v[peak_ns];
        v[under] = 0;
        v[peak_cents] = equity;
        v[peak_ns] = now;
    } else {
        v[under] = 1;
    }
    const long long drawdown = equity - v[peak_cents]; // 0 or below
    if (-drawdown > v[drawdown_cents])
        v[drawdown_cents] = -drawdown;
    if (drawdown < 0 && v[peak_cents] > 0 &&
        larger_share(-drawdown, v[peak_cents], v[share_fall_cents], v[share_peak_cents])) {
        v[share_fall_cents] = -drawdown;
        v[share_peak_cents] = v[peak_cents];
    }
    v[last_ns] = now;

    // the row of the interval now is in
    if (!same_row) { // a division only for a new row
        const long long bucket_now = now >= 0 ? now / interval : -((-now + interval - 1) / interval);
        if (v[bucket] != kUnset && rows.data) { // no table given: only the open row is kept
            if (v[rows_written] >= rows.capacity)
                raise_value_error("drive_ticks(): the equity table has room for " + std::to_string(rows.capacity) +
                                  " rows, and the ticks need more; give one row per interval the ticks fall in");
            long long *row = rows.data + v[rows_written] * row_fields;
            row[row_time] = start;
            for (Py_ssize_t k = 0; k < 8; ++k)
                row[row_equity_open + k] = v.st[Slot::equity_open + k];
            ++v[rows_written];
        }
        v[bucket] = bucket_now;
        v[Slot::equity_open] = v[Slot::equity_high] = v[Slot::equity_low] = equity;
        v[Slot::drawdown_open] = v[Slot::drawdown_high] = v[Slot::drawdown_low] = drawdown;
    } else {
        if (equity > v[Slot::equity_high])
            v[Slot::equity_high] = equity;
        if (equity < v[Slot::equity_low])
            v[Slot::equity_low] = equity;
        if (drawdown > v[Slot::drawdown_high])
            v[Slot::drawdown_high] = drawdown;
        if (drawdown < v[Slot::drawdown_low])
            v[Slot::drawdown_low] = drawdown;
    }
    v[Slot::equity_close] = equity;
    v[Slot::drawdown_close] = drawdown;

    // the open round trip of the tick's code: its P&L before costs at this price
    const long long held = v.at(units, c);
    if (held != 0) {
        const long long pnl =
            v.at(cash_cents, c) + held * v.at(factor, c) * v.at(price_cents, c) - v.at(anchor_cents, c);
        if (pnl < v.at(trip_low_cents, c)) {
            v.at(trip_low_cents, c) = pnl;
            v.at(trip_low_ns, c) = now;
        }
        if (pnl > v.at(trip_high_cents, c)) {
            v.at(trip_high_cents, c) = pnl;
            v.at(trip_high_ns, c) = now;
        }
    }
}

void add_layout(PyObject *module) {
    safe_ref slots = own(PyDict_New());
#define TOVIK_ADD_SLOT(name)                                                                                           \
    check_status(PyDict_SetItemString(slots.ptr(), #name, own(PyLong_FromSsize_t(name)).ptr()));
    TOVIK_STATE_SLOTS(TOVIK_ADD_SLOT)
#undef TOVIK_ADD_SLOT
    safe_ref fields = own(PyTuple_New(code_fields)), row = own(PyTuple_New(row_fields));
    Py_ssize_t k = 0;
#define TOVIK_ADD_FIELD(name) PyTuple_SET_ITEM(fields.ptr(), k++, own(PyUnicode_FromString(#name)).release());
    TOVIK_STATE_CODE_FIELDS(TOVIK_ADD_FIELD)
#undef TOVIK_ADD_FIELD
    k = 0;
#define TOVIK_ADD_FIELD(name) PyTuple_SET_ITEM(row.ptr(), k++, own(PyUnicode_FromString(#name)).release());
    TOVIK_EQUITY_ROW_FIELDS(TOVIK_ADD_FIELD)
#undef TOVIK_ADD_FIELD
    check_status(PyModule_AddObjectRef(module, "STATE_SLOTS", own(PyDictProxy_New(slots.ptr())).ptr()));
    check_status(PyModule_AddObjectRef(module, "STATE_CODE_FIELDS", fields.ptr()));
    check_status(PyModule_AddObjectRef(module, "EQUITY_ROW_FIELDS", row.ptr()));
    check_status(PyModule_AddObjectRef(module, "TAIPEI_OFFSET_NS", own(PyLong_FromLongLong(kTaipeiOffsetNs)).ptr()));
    check_status(PyModule_AddObjectRef(module, "STATE_UNSET", own(PyLong_FromLongLong(kUnset)).ptr()));
}

} // namespace tovik::matcher::engine_state
