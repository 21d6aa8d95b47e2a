#include "ticker.hpp"

namespace tovik::ticker {
void add_merge_methods(std::vector<PyMethodDef> &) {}
} // namespace tovik::ticker
