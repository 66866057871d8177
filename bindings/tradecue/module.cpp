// Backtest.tradecue: binds np and formula, then the three generators.
#include "tradecue/averages.hpp"
#include "tradecue/generators.hpp"

namespace {

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest.tradecue", "Position series from trading rules.", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tradecue() {
    using namespace backtest::tradecue;
    static PyMethodDef methods[] = {threshold_method(), band_method(), macd_method(), {nullptr, nullptr, 0, nullptr}};
    PyObject* module =
        backtest::boundary::create_module(definition, {{"np", "numpy"}, {"formula", "Backtest.formula"}}, methods);
    if (module != nullptr && !keep_formula_averages(module)) Py_CLEAR(module);
    return module;
}
