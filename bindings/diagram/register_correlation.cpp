#include "diagram/registry.hpp"

namespace backtest::diagram {

std::vector<PyMethodDef> correlation_methods() { return {}; }

}  // namespace backtest::diagram
