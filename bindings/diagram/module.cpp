// Backtest.diagram: binds the plotting and data libraries, then the report functions.
#include "common/module.hpp"

namespace {

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest.diagram", "Performance reports and charts of strategy results.",
                       -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_diagram() {
    static PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
    return backtest::boundary::create_module(definition,
                                             {{"plt", "matplotlib.pyplot"},
                                              {"sns", "seaborn"},
                                              {"pd", "pandas"},
                                              {"np", "numpy"},
                                              {"os", "os"},
                                              {"MaxNLocator", "matplotlib.ticker", "MaxNLocator"},
                                              {"stats", "scipy.stats"}},
                                             methods);
}
