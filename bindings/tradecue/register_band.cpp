#include <array>

#include "boundary/convert.hpp"
#include "tradecue/generators.hpp"
#include "tradecue/registry.hpp"

namespace backtest::tradecue {

namespace {

using boundary::Arguments;
using signals::Average;

py::object np_nan(py::handle module) { return boundary::module_global(module, "np").attr("nan"); }

py::object entry_exit_band(py::handle module, const Arguments& args) {
    const py::handle df = args[0];
    // read whatever the mode, in this order, so a missing column fails first
    const std::array<py::object, 6> columns{column_values(df, "upper_band"), column_values(df, "lower_band"),
                                            column_values(df, "sma"),        column_values(df, "ema"),
                                            column_values(df, "wma"),        column_values(df, "data")};
    const py::object& upper = columns[0];
    const py::object& lower = columns[1];
    const py::object& data = columns[5];
    const std::size_t window = boundary::to_window(args[1], "rolling_window");
    const py::object warm = np_nan(module);
    const std::optional<std::size_t> index = select_mode(args[2], &signals::find_band_mode);
    if (!index) return warm_up_entries(warm, window);
    const signals::BandMode& mode = signals::kBandModes[*index];
    // sma, ema and wma follow the bands in `columns`, in the order of Average
    const py::handle centre =
        mode.centre == Average::none ? py::handle() : py::handle(columns[static_cast<std::size_t>(mode.centre) + 1]);
    const Rule rule{{&signals::decide_band, *index}, mode.levels(), data, centre, upper, lower, {}};
    return positions(df, rule, window, warm);
}

py::object entry_exit_macd(py::handle module, const Arguments& args) {
    const int first_larger = PyObject_RichCompareBool(args[1], args[2], Py_GT);
    if (first_larger < 0) throw py::error_already_set();
    const std::size_t window = first_larger == 1 ? boundary::to_window(args[1], "rolling_window1")
                                                 : boundary::to_window(args[2], "rolling_window2");
    const py::object warm = np_nan(module);
    const py::object macd = column_values(args[0], "MACD");
    const py::object signal = column_values(args[0], "Signal");
    const Rule rule{macd_pass(), signals::kMacdLevels, macd, signal, {}, {}, {}};
    return positions(args[0], rule, window, warm);
}

}  // namespace

PyMethodDef band_method() { return boundary::method<kEntryExitBand, &entry_exit_band>(); }

PyMethodDef macd_method() { return boundary::method<kEntryExitMacd, &entry_exit_macd>(); }

}  // namespace backtest::tradecue
