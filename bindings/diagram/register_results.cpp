#include "boundary/module.hpp"
#include "diagram/areas.hpp"
#include "diagram/registry.hpp"
#include "diagram/results.hpp"

namespace backtest::diagram {

std::vector<PyMethodDef> result_methods() {
    return {boundary::method<kProcessFile, &process_file>(),
            boundary::method<kCalculateDrawdownAndRecovery, &drawdown_and_recovery>(),
            boundary::method<kPlotCombinedEquity, &combined_equity>()};
}

}  // namespace backtest::diagram
