#include "diagram/registry.hpp"

namespace backtest::diagram {

std::vector<PyMethodDef> result_methods() { return {}; }

}  // namespace backtest::diagram
