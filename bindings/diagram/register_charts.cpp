#include "diagram/registry.hpp"

namespace backtest::diagram {

std::vector<PyMethodDef> chart_methods() { return {}; }

}  // namespace backtest::diagram
