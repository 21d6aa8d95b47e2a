// The tick replay's C++ side. Host-visible state (queues, flags, the market map, the
// tick schema, the replay parameters) lives in the instance's __dict__ as plain
// Python objects; this struct only holds the replay machinery Python must not see.
#pragma once

#include "pyhost.hpp"

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tovik::ticker {
using namespace tovik::host;

// A replay's or back-filling's walk over its table (replay.cpp).
struct ReplayProducer;

// A thread send_ticks started, waiting to learn which replay it belongs to.
struct ReplayLaunch {
    PyObject *thread; // the threading.Thread object, compared by identity only
    bool backfilling; // started on `backfilling` (else on the replay body)
    std::uint64_t generation;
    bool backfilling_asked; // replay only: back-filling was asked for this replay
};

struct Ticker {
    // Serialises registrations in code_market_map between the host's merge and the
    // back-filling thread's merge (test-then-insert must be one step).
    std::mutex market_map_mutex;

    // ---- replay machinery (replay.cpp) ----
    // Read and written only with the GIL held (wake_count aside): the GIL orders the
    // replay thread, the back-filling thread and the host threads that grant tokens.

    // Bumped by every send_ticks. A replay or back-filling thread carries the value it
    // started with and leaves quietly once it differs, so an old replay never takes a
    // new replay's token nor puts into its queues.
    std::uint64_t replay_generation = 0;
    // Queue puts and takes on behalf of a replay that are under way; send_ticks lets
    // them finish before it empties the queues. Under park_mutex; park_cv is notified
    // when it drops to zero.
    int queue_calls_in_flight = 0;
    // The generation of the replay whose thread send_ticks started and which has not
    // ended yet (0: none). A send_ticks that replaces it hands the new replay a token.
    std::uint64_t live_replay = 0;
    // The producer whose thread is parked waiting for a token: allow_next_tick builds
    // and queues its next record on the granting thread instead of waking it.
    std::shared_ptr<ReplayProducer> parked;
    // Where replay and back-filling threads sleep while they wait for a token or the
    // back-filling notice. wake_count (under park_mutex) goes up at every wake, so a
    // wake between a thread's last look and its sleep is not lost. The mutex is taken
    // with or without the GIL but never held while waiting for the GIL.
    std::mutex park_mutex;
    std::condition_variable park_cv;
    std::uint64_t wake_count = 0;
    // Threads started by send_ticks that have not yet begun to run.
    std::vector<ReplayLaunch> launches;
};

inline Ticker &native(PyObject *self) { return *nb::inst_ptr<Ticker>(self); }

// Each source file contributes its methods to the class's method table, in the
// class's declaration order: core, cache, merge, replay.
void add_core_methods(std::vector<PyMethodDef> &methods);   // core.cpp
void add_cache_methods(std::vector<PyMethodDef> &methods);  // cache.cpp
void add_merge_methods(std::vector<PyMethodDef> &methods);  // merge.cpp
void add_replay_methods(std::vector<PyMethodDef> &methods); // replay.cpp

// Imports what the module needs when it is loaded (a failing import fails the load),
// in core.cpp.
void load_dependencies(nb::module_ &m);

// Constructor (tp_init slot), in core.cpp.
int ticker_init(PyObject *self, PyObject *args, PyObject *kwargs);

// ---- helpers shared by the source files (core.cpp) ----

nb::object polars();

// Refuses a text that would not stay a plain file-name part: empty, "." or "..", or
// holding a path separator or NUL (ValueError naming the text).
void require_safe_name_part(nb::handle text, const char *what);

// Cache file name of one instrument and day: "<code> <date> - ticks.csv".
nb::object tick_filename(nb::handle code, nb::handle date);

// Broker contract: api.Contracts.Stocks[code] for "Stock", else api.Contracts.Futures[code].
nb::object make_contract(PyObject *self, nb::handle code, nb::handle market_type);

// Data directory joined with the sub-folders (created) and then file_name (None: the folder).
nb::object save_path(nb::handle file_name, std::initializer_list<const char *> sub_folders);

// The broker's not-logged-in refusal; the merge gives such a day up at once.
inline constexpr const char *kNotLoggedIn = "永豐 API 尚未初始化, 請先登入永豐 API";

} // namespace tovik::ticker
