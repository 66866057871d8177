#include "common/module.hpp"
#include "diagram/areas.hpp"
#include "diagram/results.hpp"

namespace backtest::diagram {

namespace {

using boundary::Signature;

constexpr Signature kProcessFile{"process_file",
                                 {"file_path", "leverage", "start_time", "end_time"},
                                 4,
                                 4,
                                 0,
                                 "Process a single file to calculate PnL and cumulative returns."};
constexpr Signature kDrawdown{
    "calculate_drawdown_and_recovery", {"cumu_series"}, 1, 1, 0, "Calculate max drawdown and recovery period."};
constexpr Signature kCombinedEquity{
    "plot_combined_equity", {"file_paths", "start_time", "end_time"}, 3, 3, 0, nullptr};

}  // namespace

std::vector<PyMethodDef> result_methods() {
    return {boundary::method<kProcessFile, &process_file>(), boundary::method<kDrawdown, &drawdown_and_recovery>(),
            boundary::method<kCombinedEquity, &combined_equity>()};
}

}  // namespace backtest::diagram
