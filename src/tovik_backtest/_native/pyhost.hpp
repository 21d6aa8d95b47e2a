// What both extensions need from the host interpreter, one header per concern:
//   abi.hpp      full-C-API shortcuts and their stable-ABI equivalents
//   errors.hpp   raising host exceptions, checking C-API results
//   text.hpp     interned keys, str()/repr() of host objects, coloured lines
//   args.hpp     exact-type argument checks and fast-call argument parsing
//   calls.hpp    modules, attribute reads, method and function calls
//   safe_ref.hpp an owned reference safe to drop on a daemon thread at exit
//   methods.hpp  the shutdown-safe method trampoline and method tables
//   console.hpp  console lines and JSON error records through the utils module
//   shutdown.hpp long calls parked at interpreter exit (the atexit hook)
#pragma once

#include "args.hpp"
#include "calls.hpp"
#include "console.hpp"
#include "errors.hpp"
#include "methods.hpp"
#include "safe_ref.hpp"
#include "shutdown.hpp"
#include "text.hpp"

// Standard headers the modules have long had through this one.
#include <cxxabi.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>
