// Backtest.formula: binds np and pd, then the primitives and the frame-level
// functions in the order of the registry.
#include "formula/frame.hpp"
#include "formula/primitives.hpp"

namespace {

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest.formula", "Rolling-window indicators over one series.", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_formula() {
    using namespace backtest::formula;
    PyObject* module = backtest::boundary::create_module(definition, {{"np", "numpy"}, {"pd", "pandas"}}, kFunctions,
                                                         {primitive_methods(), frame_methods()});
    if (module != nullptr && !keep_own_functions(module)) Py_CLEAR(module);
    return module;
}
