#include "formula/frame.hpp"

namespace backtest::formula {

std::vector<PyMethodDef> frame_methods() { return {}; }

}  // namespace backtest::formula
