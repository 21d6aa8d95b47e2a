// The int64 state array a back-test host shares with drive_ticks: its slots, the
// per-code fields after them, and the rows of the equity table. The extension exports
// these numbers (STATE_SLOTS, STATE_CODE_FIELDS, EQUITY_ROW_FIELDS) so the host's
// named layout reads them from here instead of writing them out again.
#pragma once

#include <Python.h>

#include <cmath>

namespace tovik::matcher::engine_state {

// Market time of the tick cache: Taipei wall time written as epoch ns, minus UTC.
constexpr long long kTaipeiOffsetNs = 8LL * 3600 * 1000000000LL;
constexpr long long kUnset = -9223372036854775807LL - 1; // a time or bucket not yet known

// clang-format off
#define TOVIK_STATE_SLOTS(X)                                                                                           \
    X(now_ns)           /* market time of the tick being handled */                                                    \
    X(boundary_ns)      /* a tick later than this calls on_boundary */                                                 \
    X(exposed)          /* nonzero while a position is open (the host keeps it) */                                     \
    X(exposed_ticks)    /* ticks handled with a position open */                                                       \
    X(interval_ns)      /* length of one row of the equity table */                                                    \
    X(base_cents)       /* capital plus cash paid and received, less costs */                                          \
    X(open_cents)       /* the open positions at their last tick prices */                                             \
    X(peak_cents)       /* highest net equity so far (the capital to begin with) */                                    \
    X(peak_ns)          /* when equity was last at its peak */                                                         \
    X(under)            /* nonzero while equity is below its peak */                                                   \
    X(drawdown_cents)   /* deepest fall from a peak */                                                                 \
    X(share_fall_cents) /* the fall that is the largest share of its peak, */                                          \
    X(share_peak_cents) /* and that peak */                                                                            \
    X(duration_ns)      /* longest time from a peak to its recovery */                                                 \
    X(last_ns)          /* time of the last tick marked */                                                             \
    X(bucket)           /* interval number of the open row, then the open row: */                                      \
    X(equity_open)                                                                                                     \
    X(equity_high)                                                                                                     \
    X(equity_low)                                                                                                      \
    X(equity_close)                                                                                                    \
    X(drawdown_open)                                                                                                   \
    X(drawdown_high)                                                                                                   \
    X(drawdown_low)                                                                                                    \
    X(drawdown_close)                                                                                                  \
    X(rows_written)     /* rows written to the table during this call */                                               \
    X(per_code)         /* then each per-code field, one slot per code */

#define TOVIK_STATE_CODE_FIELDS(X)                                                                                     \
    X(ticks)            /* ticks of the code handled */                                                                \
    X(latest_row)       /* row of its latest tick in the table being driven, -1 none */                                \
    X(units)            /* net position: shares or contracts, buys positive */                                         \
    X(factor)           /* TWD per price point per unit */                                                             \
    X(cash_cents)       /* cash paid (-) and received (+) for its fills */                                             \
    X(price_cents)      /* its last tick price */                                                                      \
    X(anchor_cents)     /* the open round trip's P&L is cash + units x factor x price - anchor */                      \
    X(trip_low_cents)   /* the open trip's lowest and highest P&L, */                                                  \
    X(trip_high_cents)                                                                                                 \
    X(trip_low_ns)      /* and when they were reached */                                                               \
    X(trip_high_ns)

#define TOVIK_EQUITY_ROW_FIELDS(X)                                                                                     \
    X(time) X(equity_open) X(equity_high) X(equity_low) X(equity_close)                                                \
    X(drawdown_open) X(drawdown_high) X(drawdown_low) X(drawdown_close)
// clang-format on

#define TOVIK_ENUM_ITEM(name) name,
enum Slot : Py_ssize_t { TOVIK_STATE_SLOTS(TOVIK_ENUM_ITEM) };
enum CodeField : Py_ssize_t { TOVIK_STATE_CODE_FIELDS(TOVIK_ENUM_ITEM) code_fields };
#undef TOVIK_ENUM_ITEM
#define TOVIK_ROW_ITEM(name) row_##name,
enum RowField : Py_ssize_t { TOVIK_EQUITY_ROW_FIELDS(TOVIK_ROW_ITEM) row_fields };
#undef TOVIK_ROW_ITEM

// The array seen through its layout, for `n` codes.
struct View {
    long long *st;
    Py_ssize_t n;
    long long &operator[](Slot s) const { return st[s]; }
    long long &at(CodeField f, size_t c) const { return st[per_code + f * n + (Py_ssize_t) c]; }
    static Py_ssize_t size(Py_ssize_t codes) { return per_code + code_fields * codes; }
};

// The equity table being written: rows of row_fields int64 each.
struct Rows {
    long long *data = nullptr;
    Py_ssize_t capacity = 0; // rows
};

// The tick's price (close, in TWD) marks its code's open position (equity.cpp).
void mark_price_held(const View &v, size_t c, long long px);
inline void mark_price(const View &v, size_t c, double close) {
    const long long px = (long long) std::nearbyint(close * 100.0); // to the cent, half to even
    if (v.at(units, c) != 0)
        mark_price_held(v, c, px);
    else
        v.at(price_cents, c) = px;
}

// After the tick's fills: net equity, its peak and fall, the open row and the code's
// open round trip, at market time now (equity.cpp).
void mark_equity_moved(const View &v, size_t c, long long now, const Rows &rows);
inline void mark_equity(const View &v, size_t c, long long now, const Rows &rows) {
    // Most ticks move nothing: no position of the code open, equity where the last mark
    // left it, in the same row. Then the peak, the falls and the row stay, and only the
    // times go on.
    if (v[bucket] != kUnset && v.at(units, c) == 0 && v[base_cents] + v[open_cents] == v[Slot::equity_close]) {
        const long long start = v[bucket] * v[interval_ns];
        if (now >= start && now - start < v[interval_ns]) {
            if (!v[under])
                v[peak_ns] = now;
            v[last_ns] = now;
            return;
        }
    }
    mark_equity_moved(v, c, now, rows);
}
// The module's exported layout (names to numbers) and the Taipei offset.
void add_layout(PyObject *module);

} // namespace tovik::matcher::engine_state
