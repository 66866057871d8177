// Backtest._sweep: the boundary of the sweep engine, private to Backtest.sweep.
//
// The front prepares each block of windows (indicator columns computed by
// `formula`) and calls one of the three functions below; they convert the
// columns, run the engine's workers without the GIL and return the figures of
// the block's rows. Arguments, all positional:
//   market:  (price_chg, begin, end, leverage): the per-bar price changes as the
//            result file gives them back, the time window's rows [begin, end)
//   windows: threshold: (window, signal, sma, ema, wma) per window;
//            band: (window, data, sma, ema, wma, deviation) per window;
//            macd: (warm_up, macd, signal) per combination;
//            a column that no mode of the grid reads may be None
//   grid:    (mode indices, thresholds or multipliers)
//   control: (threads, progress): progress is None or a callable that receives
//            the number of combinations done, from the calling thread
// Result: a dict of arrays, one value per row: SR, CR, MDD, recovery_days, AR,
// final_cumu (float64) and trades (int64).
// `returns(market, positions)` gives the same for one run of given positions,
// with its per-bar returns.
#include <Python.h>

#include <chrono>
#include <algorithm>
#include <array>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

#include "backtest/performance.hpp"
#include "backtest/sweep.hpp"
#include "boundary/convert.hpp"
#include "boundary/module.hpp"

namespace backtest::sweep_boundary {

namespace {

namespace py = pybind11;
using boundary::Arguments;
using boundary::NumericSeries;

// The private functions' rows: their parameters, for the argument parser.
constexpr registry::Function kThreshold{"threshold", {{{"market"}, {"windows"}, {"grid"}, {"control"}}}};
constexpr registry::Function kBand{"band", {{{"market"}, {"windows"}, {"grid"}, {"control"}}}};
constexpr registry::Function kMacd{"macd", {{{"market"}, {"runs"}, {"control"}}}};
constexpr registry::Function kReturns{"returns", {{{"market"}, {"positions"}}}};

// How often the waiting thread looks at signals and reports progress.
constexpr std::chrono::milliseconds kPoll{50};

// Keeps the converted columns alive while the engine reads them.
class Columns {
public:
    std::span<const double> add(py::handle column) {
        if (column.is_none()) return {};
        kept_.push_back(boundary::to_numeric(column));
        return kept_.back().span();
    }

private:
    // moving an array object keeps its buffer where it is
    std::vector<NumericSeries> kept_;
};

std::size_t to_size(py::handle object) {
    const std::size_t value = PyLong_AsSize_t(object.ptr());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

py::tuple fields(py::handle item, std::size_t count, const char* what) {
    py::tuple tuple(py::reinterpret_borrow<py::object>(item));
    if (tuple.size() != count) throw py::value_error(std::string(what) + " must have " + std::to_string(count) + " fields");
    return tuple;
}

sweep::Market to_market(py::handle argument, Columns& columns) {
    const py::tuple market = fields(argument, 4, "market");
    return {columns.add(market[0]), to_size(market[1]), to_size(market[2]), boundary::to_real(market[3])};
}

struct Control {
    std::size_t threads;
    py::handle progress;
};

Control to_control(py::handle argument) {
    const py::tuple control = fields(argument, 2, "control");
    return {boundary::to_window(control[0], "threads"), control[1]};
}

template <class T, class Convert>
std::vector<T> each(py::handle sequence, Convert convert) {
    std::vector<T> items;
    for (py::handle item : py::reinterpret_borrow<py::iterable>(sequence)) items.push_back(convert(item));
    return items;
}

struct Values {
    std::vector<std::size_t> modes;
    std::vector<double> values;
};

Values to_grid(py::handle argument) {
    const py::tuple grid = fields(argument, 2, "grid");
    const auto to_real = [](py::handle value) { return boundary::to_real(value); };
    return {each<std::size_t>(grid[0], to_size), each<double>(grid[1], to_real)};
}

// The GIL released for the whole life of the object, taken back briefly by `with_gil`.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    template <class F>
    auto with_gil(F f) noexcept {
        PyEval_RestoreThread(state_);
        auto result = f();
        state_ = PyEval_SaveThread();
        return result;
    }

private:
    PyThreadState* state_;
};

// With the GIL: false, with the Python error set, on a pending signal (Ctrl-C
// raises KeyboardInterrupt here) or when the progress callable fails.
bool poll(py::handle progress, std::size_t done) noexcept {
    if (PyErr_CheckSignals() < 0) return false;
    if (progress.is_none()) return true;
    PyObject* count = PyLong_FromSize_t(done);
    if (count == nullptr) return false;
    PyObject* result = PyObject_CallOneArg(progress.ptr(), count);
    Py_DECREF(count);
    Py_XDECREF(result);
    return result != nullptr;
}

// Runs the sweep on its workers while this thread waits without the GIL,
// taking it back every kPoll for signals and progress. On a signal or a
// failing progress call the workers stop after their current combination and
// that Python error is raised; nothing of the block is returned.
template <class Grid>
std::vector<sweep::Figures> run(const sweep::Market& market, const Grid& grid, const Control& control) {
    std::vector<sweep::Figures> out(sweep::rows(grid));
    bool interrupted = false;
    try {
        // releasing the GIL is safe: the workers read only buffers converted
        // above, which this call keeps alive, and write `out`; the Python error
        // of a failed poll stays in this thread's state until it is raised
        WithoutGil released;
        sweep::Sweep running(market, grid, out, control.threads);
        while (!running.wait_for(kPoll)) {
            interrupted = !released.with_gil([&] { return poll(control.progress, running.done()); });
            if (interrupted) break;
        }
        if (!interrupted) running.finish();
        // otherwise the sweep's destructor cancels and joins the workers
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
    if (interrupted) throw py::error_already_set();
    return out;
}

py::dict report(const std::vector<sweep::Figures>& rows) {
    const std::size_t n = rows.size();
    std::array<py::array_t<double>, 6> columns;
    for (py::array_t<double>& column : columns) column = boundary::new_array(n);
    py::array_t<std::int64_t> trades(static_cast<py::ssize_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const performance::Summary& s = rows[i].summary;
        const std::array<double, 6> values{s.sharpe_ratio, s.calmar_ratio,  s.max_drawdown,
                                           s.recovery_days, s.annual_return, s.final_cumu};
        for (std::size_t k = 0; k < columns.size(); ++k) columns[k].mutable_data()[i] = values[k];
        trades.mutable_data()[i] = rows[i].trades;
    }
    py::dict result;
    const std::array<const char*, 6> names{"SR", "CR", "MDD", "recovery_days", "AR", "final_cumu"};
    for (std::size_t k = 0; k < columns.size(); ++k) result[names[k]] = columns[k];
    result["trades"] = trades;
    return result;
}

// A window of a block (a MACD run: its warm-up) and its N columns, from the
// tuple of them.
template <class Window, std::size_t N>
Window window_of(py::handle item, Columns& columns) {
    const py::tuple values = fields(item, 1 + N, "a window of a block");
    return [&]<std::size_t... K>(std::index_sequence<K...>) {
        return Window{boundary::to_window(values[0], "window"), columns.add(values[K + 1])...};
    }(std::make_index_sequence<N>{});
}

// The figures of a block of windows, each with N columns, crossed with the
// grid's modes and values (MACD: the runs alone).
template <class Grid, class Window, std::size_t N>
py::object block(const Arguments& args) {
    Columns columns;
    const sweep::Market market = to_market(args[0], columns);
    const std::vector<Window> windows =
        each<Window>(args[1], [&](py::handle item) { return window_of<Window, N>(item, columns); });
    if constexpr (std::is_same_v<Grid, sweep::MacdGrid>) {
        return report(run(market, Grid{windows}, to_control(args[2])));
    } else {
        const Values grid = to_grid(args[2]);
        return report(run(market, Grid{windows, grid.modes, grid.values}, to_control(args[3])));
    }
}

py::object threshold(py::handle, const Arguments& args) { return block<sweep::ThresholdGrid, sweep::ThresholdWindow, 4>(args); }
py::object band(py::handle, const Arguments& args) { return block<sweep::BandGrid, sweep::BandWindow, 5>(args); }
py::object macd(py::handle, const Arguments& args) { return block<sweep::MacdGrid, sweep::MacdRun, 2>(args); }

// One run of given positions (one per bar, NaN already written as 0): the
// window's new_pnl and new_cumu as process_file computes them, and the
// figures of the report (the above plus the deviation of the returns).
py::object returns(py::handle, const Arguments& args) {
    Columns columns;
    const sweep::Market market = to_market(args[0], columns);
    const std::span<const double> positions = columns.add(args[1]);
    if (positions.size() != market.price_chg.size()) throw py::value_error("one position per bar is needed");
    if (!(market.begin <= market.end && market.end <= positions.size())) {
        throw py::value_error("the time window must lie within the price series");
    }
    const std::size_t n = market.end - market.begin;
    py::array_t<double> pnl = boundary::new_array(n);
    py::array_t<double> cumu = boundary::new_array(n);
    std::vector<double> scratch(n);
    performance::Summary summary{};
    {
        // releasing the GIL is safe: only buffers owned or kept alive here are touched
        py::gil_scoped_release released;
        const std::span<double> pnl_out = boundary::writable(pnl);
        performance::net_returns(positions.subspan(market.begin, n), market.price_chg.subspan(market.begin, n),
                                 market.leverage, pnl_out, boundary::writable(cumu));
        std::copy(pnl_out.begin(), pnl_out.end(), scratch.begin());
        summary = performance::summarize(scratch);
    }
    py::dict figures = report({sweep::Figures{summary, 0}});
    figures["deviation"] = summary.deviation;
    return py::make_tuple(pnl, cumu, figures);
}

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest._sweep",
                       "The native sweep engine behind Backtest.sweep (private).", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace backtest::sweep_boundary

PyMODINIT_FUNC PyInit__sweep() {
    using namespace backtest::sweep_boundary;
    using backtest::boundary::method;
    static constexpr std::array<const backtest::registry::Function*, 4> rows{&kThreshold, &kBand, &kMacd, &kReturns};
    return backtest::boundary::create_module(definition, {}, rows,
                                             {{method<kThreshold, &threshold>(), method<kBand, &band>(),
                                               method<kMacd, &macd>(), method<kReturns, &returns>()}});
}
