#include "ticker.hpp"

namespace tovik::ticker {
void add_replay_methods(std::vector<PyMethodDef> &) {}
} // namespace tovik::ticker
