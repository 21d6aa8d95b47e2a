#include "ticker.hpp"

namespace tovik::ticker {
void add_cache_methods(std::vector<PyMethodDef> &) {}
} // namespace tovik::ticker
