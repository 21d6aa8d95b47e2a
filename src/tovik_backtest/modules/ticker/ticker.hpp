// The tick replay's C++ side. Host-visible state (queues, flags, the market map, the
// tick schema, the replay parameters) lives in the instance's __dict__ as plain
// Python objects; this struct only holds the replay machinery Python must not see.
#pragma once

#include "pyhost.hpp"

#include <mutex>
#include <vector>

namespace tovik::ticker {

struct Ticker {
    // Serialises registrations in code_market_map between the host's merge and the
    // back-filling thread's merge (test-then-insert must be one step).
    std::mutex market_map_mutex;

    // ---- replay machinery (replay.cpp) ----
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

} // namespace tovik::ticker
