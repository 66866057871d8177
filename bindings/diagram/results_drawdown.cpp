// calculate_drawdown_and_recovery: pandas operations on the caller's series,
// measured on its index labels.
#include "boundary/module.hpp"
#include "diagram/results.hpp"

namespace backtest::diagram {

namespace {

// Days from the trough label to the first recovery label: a time span for a
// DatetimeIndex, otherwise a count of hourly bars.
py::object recovery_days(py::handle module, py::handle cumu_series, py::handle period) {
    const py::object datetime_index = boundary::module_global(module, "pd").attr("DatetimeIndex");
    if (py::isinstance(cumu_series.attr("index"), datetime_index)) {
        return checked(PyNumber_TrueDivide(period.attr("total_seconds")().ptr(), py::int_(86400).ptr()));
    }
    return checked(PyNumber_TrueDivide(period.ptr(), py::int_(24).ptr()));
}

}  // namespace

py::object drawdown_and_recovery(py::handle module, const boundary::Arguments& args) {
    const py::handle cumu_series = args[0];
    const py::object cumu_max = cumu_series.attr("cummax")();
    const py::object drawdown = checked(PyNumber_Subtract(cumu_series.ptr(), cumu_max.ptr()));
    const py::object mdd = drawdown.attr("min")();
    const py::int_ zero(0);
    if (!holds(mdd, zero, Py_LT)) return py::make_tuple(mdd, py::none());

    const py::object trough = drawdown.attr("idxmin")();
    const py::object after_trough = compare(cumu_series.attr("index"), trough, Py_GT);
    const py::object back_at_peak = compare(cumu_series, cumu_max[trough], Py_GE);
    const py::object recovered = checked(PyNumber_And(after_trough.ptr(), back_at_peak.ptr()));
    const py::object recovery_idxs = cumu_series[recovered].attr("index");
    if (py::len(recovery_idxs) == 0) return py::make_tuple(mdd, py::none());

    const py::object period = checked(PyNumber_Subtract(py::object(recovery_idxs[zero]).ptr(), trough.ptr()));
    return py::make_tuple(mdd, recovery_days(module, cumu_series, period));
}

}  // namespace backtest::diagram
