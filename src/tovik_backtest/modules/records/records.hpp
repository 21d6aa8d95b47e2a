// The `records` extension: functions over the tick cache's binary records.
#pragma once

#include "args.hpp"
#include "buffers.hpp"
#include "methods.hpp"
#include "safe_ref.hpp"

#include <vector>

namespace tovik::records {

void add_merge_functions(std::vector<PyMethodDef> &functions); // merge.cpp

} // namespace tovik::records
