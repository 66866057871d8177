// Backtest.formula: binds np and pd, then the primitives and the frame-level
// functions in the order of the module's function table.
#include "formula/frame.hpp"
#include "formula/primitives.hpp"

namespace {

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest.formula", "Rolling-window indicators over one series.", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_formula() {
    static std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> all = backtest::formula::primitive_methods();
        const std::vector<PyMethodDef> frame = backtest::formula::frame_methods();
        all.insert(all.end(), frame.begin(), frame.end());
        all.push_back({nullptr, nullptr, 0, nullptr});
        return all;
    }();
    PyObject* module =
        backtest::boundary::create_module(definition, {{"np", "numpy"}, {"pd", "pandas"}}, methods.data());
    if (module != nullptr && !backtest::formula::keep_own_primitives(module)) Py_CLEAR(module);
    return module;
}
