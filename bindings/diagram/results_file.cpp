// process_file: pandas reads and windows the file; the per-bar returns are one
// native pass over the window's columns.
#include <cstdint>
#include <variant>

#include "backtest/performance.hpp"
#include "boundary/convert.hpp"
#include "boundary/module.hpp"
#include "diagram/results.hpp"

namespace backtest::diagram {

namespace {

using boundary::NumericSeries;

// int(bound.timestamp() * 1000), or None for an open side.
py::object bound_in_ms(py::handle bound) {
    if (bound.is_none()) return py::none();
    const py::object seconds = bound.attr("timestamp")();
    return checked(PyNumber_Long(checked(PyNumber_Multiply(seconds.ptr(), py::int_(1000).ptr())).ptr()));
}

// df[df['start_time'] <op> bound_ms], or the frame unchanged for an open side.
py::object keep_rows(const py::object& frame, const py::object& bound_ms, int op) {
    if (bound_ms.is_none()) return frame;
    return frame[compare(frame[py::str("start_time")], bound_ms, op)];
}

struct Returns {
    py::array_t<double> pnl;
    py::array_t<double> cumu;
};

using IntegerArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// 64-bit integer positions (the usual -1/0/1 column) are read as stored, which
// spares a float64 copy of the column; any other dtype goes through the converter.
std::variant<IntegerArray, NumericSeries> position_column(const py::object& column) {
    const py::object dtype = column.attr("dtype");
    if (py::isinstance<py::dtype>(dtype) && dtype.cast<py::dtype>().kind() == 'i' &&
        dtype.cast<py::dtype>().itemsize() == sizeof(std::int64_t)) {
        return IntegerArray::ensure(column.attr("to_numpy")());
    }
    return boundary::to_numeric(column);
}

std::span<const std::int64_t> span_of(const IntegerArray& array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
}
std::span<const double> span_of(const NumericSeries& series) { return series.span(); }

template <class Position>
Returns run_kernel(std::span<const Position> pos, std::span<const double> price_chg, double leverage) {
    if (pos.size() != price_chg.size()) throw py::value_error("'pos' and 'price_chg' differ in length");
    Returns returns{boundary::new_array(pos.size()), boundary::new_array(pos.size())};
    std::span<double> pnl = boundary::writable(returns.pnl);
    std::span<double> cumu = boundary::writable(returns.cumu);
    {
        // Releasing the GIL is safe: the kernel reads and writes only these
        // buffers, which this call owns or keeps alive, and touches no refcount.
        py::gil_scoped_release release;
        performance::net_returns(pos, price_chg, leverage, pnl, cumu);
    }
    return returns;
}

// Columns are read in the order the computation needs them, so a missing one
// raises pandas' KeyError for its name: 'pos' before 'price_chg'.
Returns net_returns(const py::object& frame, py::handle leverage) {
    const auto pos = position_column(frame[py::str("pos")]);
    // Leverage multiplies float64 positions, so it is taken as a float; text and
    // other non-numbers are refused rather than repeated or parsed.
    const double scale = boundary::to_real(leverage, "leverage");
    const NumericSeries price_chg = boundary::to_numeric(frame[py::str("price_chg")]);
    return std::visit([&](const auto& column) { return run_kernel(span_of(column), price_chg.span(), scale); }, pos);
}

bool has_column(const py::object& frame, const char* name) {
    const int found = PySequence_Contains(frame.attr("columns").ptr(), py::str(name).ptr());
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

// datetime, new_pnl, new_cumu, close with the window's fresh index; the columns
// passed through share their data with the window frame.
py::object processed_frame(const py::object& pd, py::object& frame, Returns returns) {
    if (!has_column(frame, "datetime") || !has_column(frame, "close")) {
        // The selection itself raises pandas' KeyError naming what is missing.
        frame[py::str("new_pnl")] = std::move(returns.pnl);
        frame[py::str("new_cumu")] = std::move(returns.cumu);
        return frame[py::list(py::make_tuple("datetime", "new_pnl", "new_cumu", "close"))];
    }
    py::dict columns;
    columns["datetime"] = frame[py::str("datetime")];
    columns["new_pnl"] = std::move(returns.pnl);
    columns["new_cumu"] = std::move(returns.cumu);
    columns["close"] = frame[py::str("close")];
    return pd.attr("DataFrame")(columns, py::arg("copy") = false);
}

}  // namespace

py::object process_file(py::handle module, const boundary::Arguments& args) {
    const py::object pd = boundary::module_global(module, "pd");
    py::object frame = pd.attr("read_csv")(py::handle(args[0]));
    const py::object start_ms = bound_in_ms(args[2]);
    const py::object end_ms = bound_in_ms(args[3]);
    frame = keep_rows(frame, start_ms, Py_GE);
    frame = keep_rows(frame, end_ms, Py_LT);
    frame = frame.attr("reset_index")(py::arg("drop") = true);
    return processed_frame(pd, frame, net_returns(frame, args[1]));
}

}  // namespace backtest::diagram
