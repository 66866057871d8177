// Backtest.diagram: binds the plotting and data libraries, then the report
// functions in the order of the module's function table.
#include <algorithm>
#include <array>
#include <string_view>

#include "common/module.hpp"
#include "diagram/areas.hpp"

namespace {

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest.diagram", "Performance reports and charts of strategy results.",
                       -1, nullptr, nullptr, nullptr, nullptr, nullptr};

constexpr std::array<std::string_view, 10> kTableOrder{
    "plot_single_diagram", "plot_heatmap",   "plot_data_spread",
    "plot_correlation",    "plot_correlation_helper", "process_file",
    "calculate_drawdown_and_recovery", "plot_combined_equity", "plot_bell_curve",
    "plot_custom_correlation"};

std::size_t table_position(const PyMethodDef& method) {
    return static_cast<std::size_t>(std::find(kTableOrder.begin(), kTableOrder.end(), method.ml_name) -
                                    kTableOrder.begin());
}

std::vector<PyMethodDef> ordered_methods() {
    std::vector<PyMethodDef> all;
    for (auto area : {backtest::diagram::chart_methods, backtest::diagram::correlation_methods,
                      backtest::diagram::result_methods}) {
        const std::vector<PyMethodDef> methods = area();
        all.insert(all.end(), methods.begin(), methods.end());
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const PyMethodDef& a, const PyMethodDef& b) { return table_position(a) < table_position(b); });
    all.push_back({nullptr, nullptr, 0, nullptr});
    return all;
}

}  // namespace

PyMODINIT_FUNC PyInit_diagram() {
    static std::vector<PyMethodDef> methods = ordered_methods();
    return backtest::boundary::create_module(definition,
                                             {{"plt", "matplotlib.pyplot"},
                                              {"sns", "seaborn"},
                                              {"pd", "pandas"},
                                              {"np", "numpy"},
                                              {"os", "os"},
                                              {"MaxNLocator", "matplotlib.ticker", "MaxNLocator"},
                                              {"stats", "scipy.stats"}},
                                             methods.data());
}
