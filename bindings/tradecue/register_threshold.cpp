#include <array>

#include "boundary/convert.hpp"
#include "boundary/primitives.hpp"
#include "formula/registry.hpp"
#include "tradecue/averages.hpp"
#include "tradecue/generators.hpp"
#include "tradecue/registry.hpp"

namespace backtest::tradecue {

namespace {

using boundary::Arguments;
using boundary::Primitive;
using signals::Average;

struct MovingAverage {
    const Primitive& primitive;  // its name is the attribute of `formula`
    const char* column;          // frame column it is stored in
};

constexpr std::array<MovingAverage, 3> kAverages{{{formula::kRollingMean, "processed_sma"},
                                                  {formula::kRollingEma, "processed_ema"},
                                                  {formula::kRollingWma, "processed_wma"}}};

std::size_t index_of(Average average) { return static_cast<std::size_t>(average) - 1; }

// formula's own builtins of the averages, kept when this module is loaded: while
// `formula` still binds one, the kernel gives its result without a Python call;
// any replacement of the attribute is called instead.
std::array<PyObject*, kAverages.size()> own_averages{};

// Computes the mode's average through formula as bound now, stores it in the
// frame and returns the values the rule reads: those of the stored column.
py::object store_moving_average(py::handle module, py::handle df, py::handle signal, py::handle window_argument,
                                std::size_t window, Average average) {
    const MovingAverage& spec = kAverages[index_of(average)];
    py::object function = boundary::module_global(module, "formula").attr(spec.primitive.name);
    if (boundary::is_kept(function, own_averages[index_of(average)])) {
        py::array values = boundary::compute(spec.primitive, boundary::to_numeric(signal), window);
        boundary::store_column(df, spec.column, values);
        // a data frame's stored column holds these very values
        if (py::isinstance(df, boundary::pandas().attr("DataFrame"))) return values;
        return column_values(df, spec.column);
    }
    // stored as the replacement returned it, as `df[column] = ...` stores it
    df[spec.column] = function(signal, window_argument);
    return column_values(df, spec.column);
}

py::object entry_exit_threshold(py::handle module, const Arguments& args) {
    const py::handle df = args[0];
    const py::object signal = item(df, "processed_data");
    const py::object data = signal.attr("values");
    const std::size_t window = boundary::to_window(args[1], "rolling_window");
    const py::float_ warm(0.0);
    const std::optional<std::size_t> index = select_mode(args[3], &signals::find_threshold_mode);
    if (!index) return warm_up_entries(warm, window);
    const signals::ThresholdMode& mode = signals::kThresholdModes[*index];
    py::object average;
    if (mode.average != Average::none) average = store_moving_average(module, df, signal, args[1], window, mode.average);
    const Rule rule{{&signals::decide_threshold, *index}, mode.levels, data, average, {}, {}, args[2]};
    return positions(df, rule, window, warm);
}

}  // namespace

PyMethodDef threshold_method() { return boundary::method<kEntryExitThreshold, &entry_exit_threshold>(); }

bool keep_formula_averages(py::handle module) noexcept {
    PyObject* formula = PyObject_GetAttrString(module.ptr(), "formula");
    if (formula == nullptr) return false;
    std::array<const char*, kAverages.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = kAverages[i].primitive.name;
    const bool kept = boundary::keep_builtins(formula, names, own_averages);
    Py_DECREF(formula);
    return kept;
}

}  // namespace backtest::tradecue
