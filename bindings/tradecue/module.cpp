// Backtest.tradecue: binds np and formula, then the three generators in the
// order of the registry.
#include "tradecue/averages.hpp"
#include "tradecue/generators.hpp"
#include "tradecue/registry.hpp"

namespace {

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest.tradecue", "Position series from trading rules.", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tradecue() {
    using namespace backtest::tradecue;
    PyObject* module = backtest::boundary::create_module(definition, {{"np", "numpy"}, {"formula", "Backtest.formula"}},
                                                         kFunctions, {{threshold_method(), band_method(), macd_method()}});
    if (module != nullptr && !keep_formula_averages(module)) Py_CLEAR(module);
    return module;
}
