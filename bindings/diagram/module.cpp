// Backtest.diagram: binds the plotting and data libraries, then the report
// functions of its three areas in the order of the registry.
#include "boundary/module.hpp"
#include "diagram/areas.hpp"
#include "diagram/registry.hpp"

namespace {

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest.diagram", "Performance reports and charts of strategy results.",
                       -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_diagram() {
    using namespace backtest::diagram;
    return backtest::boundary::create_module(definition,
                                             {{"plt", "matplotlib.pyplot"},
                                              {"sns", "seaborn"},
                                              {"pd", "pandas"},
                                              {"np", "numpy"},
                                              {"os", "os"},
                                              {"MaxNLocator", "matplotlib.ticker", "MaxNLocator"},
                                              {"stats", "scipy.stats"}},
                                             kFunctions, {chart_methods(), correlation_methods(), result_methods()});
}
