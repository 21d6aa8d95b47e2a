// The fill model's state, shared by fills.cpp (the models) and fill_requests.cpp (the
// modifications and cancellations on their way to the exchange).
#pragma once

#include "matcher.hpp"

#include <climits>
#include <map>
#include <vector>

namespace tovik::matcher {

// splitmix64: the jitter's draws, the same on every platform for one seed.
inline unsigned long long next_random(unsigned long long &state) {
    unsigned long long z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

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

// The matcher's fill model, or null when none is set.
inline FillModel *model_of(PyObject *self) { return nb::inst_ready(self) ? native(self).fills.get() : nullptr; }

// defer_request and late_requests (fill_requests.cpp).
void add_fill_request_methods(std::vector<PyMethodDef> &methods);

} // namespace tovik::matcher
