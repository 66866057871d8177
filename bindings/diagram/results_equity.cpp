// plot_combined_equity: the strategies of the map as one portfolio whose
// per-bar return is the sum of theirs; summary figures on one line, then the
// portfolio and the strategies charted against a close price.
#include <limits>

#include "boundary/module.hpp"
#include "diagram/pyplot.hpp"
#include "diagram/results.hpp"
#include "diagram/results_strategy_map.hpp"

namespace backtest::diagram {

namespace {

using namespace pybind11::literals;

py::list datetime_column() { return py::list(py::make_tuple("datetime")); }

// Each row's sum over every column but the datetime texts.
py::object sum_without_datetime(const py::object& frame) {
    return frame.attr("drop")("columns"_a = datetime_column()).attr("sum")("axis"_a = 1);
}

// df[['datetime', column]].rename(columns={column: name})
py::object strategy_column(const py::object& frame, const char* column, py::handle name) {
    py::dict renamed;
    renamed[column] = name;
    return frame[py::list(py::make_tuple("datetime", column))].attr("rename")("columns"_a = renamed);
}

struct Loaded {
    py::list cumu_list;
    py::list pnl_list;
    py::list close_list;
    py::object first_name;  // of the first strategy that loaded; null while none has
};

Loaded load_strategies(py::handle module, const boundary::Arguments& args) {
    const py::handle start_time = args[1];
    const py::handle end_time = args[2];
    Loaded loaded;
    for_each_strategy(args[0], [&](py::handle name, py::handle file_path, py::handle leverage) {
        const py::object frame =
            boundary::module_global(module, "process_file")(file_path, leverage, start_time, end_time);
        loaded.cumu_list.append(strategy_column(frame, "new_cumu", name));
        loaded.pnl_list.append(strategy_column(frame, "new_pnl", name));
        loaded.close_list.append(strategy_column(frame, "close", name));
        if (!loaded.first_name) loaded.first_name = py::reinterpret_borrow<py::object>(name);
    });
    return loaded;
}

// Per-row sum of the strategies' returns, aligned by row position.
py::object portfolio_returns(py::handle module, const py::list& pnl_list) {
    const py::object pnl_merge = boundary::module_global(module, "pd")
                                     .attr("concat")(pnl_list, "axis"_a = 1)
                                     .attr("drop_duplicates")("subset"_a = datetime_column());
    return sum_without_datetime(pnl_merge);
}

py::object multiply(py::handle a, py::handle b) { return checked(PyNumber_Multiply(a.ptr(), b.ptr())); }
py::object divide(py::handle a, py::handle b) { return checked(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

void print_summary(py::handle module, const py::object& total_pnl) {
    const py::int_ zero(0);
    const py::object mean = total_pnl.attr("mean")();
    const py::object std = total_pnl.attr("std")();
    // Hourly bars: 8760 to a year.
    const py::object sharp_ratio =
        holds(std, zero, Py_NE)
            ? multiply(divide(mean, std), boundary::module_global(module, "np").attr("sqrt")(8760))
            : py::object(zero);
    const py::object ar = multiply(multiply(mean, py::int_(365)), py::int_(24));
    const py::object total_cumu = total_pnl.attr("cumsum")();
    const auto [mdd, recovery_period] =
        unpack_pair(boundary::module_global(module, "calculate_drawdown_and_recovery")(total_cumu));
    const py::object cr = holds(mdd, zero, Py_NE) ? divide(ar, checked(PyNumber_Absolute(mdd.ptr())))
                                                  : py::float_(std::numeric_limits<double>::infinity());
    py::dict summary;
    summary["SR"] = sharp_ratio;
    summary["CR"] = cr;
    summary["MDD"] = mdd;
    summary["Recovery Period (days)"] = recovery_period;
    summary["AR"] = ar;
    boundary::print_line(py::str(summary));
}

// The cumulative-return frames joined on the datetime texts common to all.
py::object merge_cumulative(py::handle module, const py::list& cumu_list) {
    const py::object merge = boundary::module_global(module, "pd").attr("merge");
    py::object merged = cumu_list[0];
    for (std::size_t i = 1; i < cumu_list.size(); ++i) {
        merged = merge(merged, cumu_list[i], "on"_a = datetime_column(), "how"_a = "inner");
    }
    return merged;
}

void label_returns_axes(py::handle axes, const char* title) {
    axes.attr("set_xlabel")("Time");
    axes.attr("set_ylabel")("Cumulative Return");
    axes.attr("set_title")(title);
    axes.attr("legend")("loc"_a = "upper left");
    axes.attr("grid")(true);
}

// The close price of the charts: a frame's `datetime` and its column `name`.
struct Close {
    py::object frame;
    py::object name;
};

py::object plot_close_twin(py::handle axes, const Close& close) {
    return pyplot::plot_close_twin(axes, close.frame, close.name, "Close", 2);
}

void label_close_axis(py::handle axes) {
    axes.attr("set_ylabel")("Close Price");
    axes.attr("legend")("loc"_a = "upper right");
}

void draw_portfolio(py::handle module, const py::object& merged_cumu, const Close& close) {
    const py::object total_cumulative_returns = sum_without_datetime(merged_cumu);
    const pyplot::Subplots figure = pyplot::subplots(module, 20, 8);
    figure.axes.attr("plot")(merged_cumu[py::str("datetime")], total_cumulative_returns,
                             "label"_a = "Total Cumulative Returns", "color"_a = "red", "linewidth"_a = 2);
    label_returns_axes(figure.axes, "Total Cumulative Returns and Close Price");
    label_close_axis(plot_close_twin(figure.axes, close));
    pyplot::date_axis(module, figure.figure, figure.axes);
}

void draw_strategies(py::handle module, const py::object& merged_cumu, const Close& close) {
    const pyplot::Subplots figure = pyplot::subplots(module, 20, 8);
    const py::object dates = merged_cumu[py::str("datetime")];
    for (py::handle column : merged_cumu.attr("columns")) {
        if (!holds(column, py::str("datetime"), Py_NE)) continue;
        figure.axes.attr("plot")(dates, merged_cumu[column], "label"_a = column, "linestyle"_a = "--");
    }
    label_returns_axes(figure.axes, "Cumulative Returns of Each Strategy and BTC Close");
    const py::object twin = plot_close_twin(figure.axes, close);
    pyplot::date_axis(module, figure.figure, figure.axes);
    label_close_axis(twin);
}

}  // namespace

py::object combined_equity(py::handle module, const boundary::Arguments& args) {
    const Loaded loaded = load_strategies(module, args);
    const py::object total_pnl = portfolio_returns(module, loaded.pnl_list);
    print_summary(module, total_pnl);

    const py::object merged_cumu = merge_cumulative(module, loaded.cumu_list);
    // The close price of the first strategy that loaded, under its own name, so
    // that a failing first entry of the map leaves the charts intact.
    const Close close{loaded.close_list[0], loaded.first_name};
    draw_portfolio(module, merged_cumu, close);
    draw_strategies(module, merged_cumu, close);
    const py::object plt = pyplot::plt(module);
    plt.attr("tight_layout")();
    plt.attr("show")();
    return py::none();
}

}  // namespace backtest::diagram
