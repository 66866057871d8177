// Charts of one parameter sweep, one run and one data set. Each body calls the
// plotting libraries in the order the chart is built; every library and sibling
// is looked up in the module namespace where it is first used, so callers can
// patch them. Figure sizes and font sizes use Python arithmetic and the builtin
// max/min so that they keep Python's int-or-float results.
#include "boundary/module.hpp"
#include "diagram/pyplot.hpp"
#include "diagram/areas.hpp"
#include "diagram/registry.hpp"

namespace backtest::diagram {

namespace {

namespace py = pybind11;
using namespace pybind11::literals;
using boundary::Arguments;
using boundary::builtin;
using boundary::module_global;

py::object column(py::handle frame, const char* name) { return frame[name]; }

// Right-hand axis of the run and data-spread charts: the close price in blue.
void close_price_axis(py::handle ax1, py::handle df) {
    py::object ax2 = pyplot::plot_close_twin(ax1, df, py::str("close"), "Close Price");
    ax2.attr("set_ylabel")("Close Price", "color"_a = "blue");
    ax2.attr("tick_params")("axis"_a = "y", "labelcolor"_a = "blue");
    ax2.attr("legend")("loc"_a = "lower right");
}

// Left-hand axis, already holding the red series: label, legend and grid.
void label_left_axis(py::handle ax1, const char* ylabel) {
    ax1.attr("set_ylabel")(ylabel, "color"_a = "red");
    ax1.attr("tick_params")("axis"_a = "y", "labelcolor"_a = "red");
    ax1.attr("legend")("loc"_a = "upper left");
    ax1.attr("grid")(true);
}

void title_time_axis(py::handle module, const pyplot::Subplots& chart, const char* title) {
    pyplot::plt(module).attr("title")(title);
    chart.axes.attr("set_xlabel")("Date");
    pyplot::date_axis(module, chart.figure, chart.axes);
}

py::object plot_heatmap_body(py::handle module, const Arguments& args) {
    py::object pivot_table = py::handle(args[0]).attr("pivot")("index"_a = "param1", "columns"_a = "param2",
                                                               "values"_a = "SR");
    const py::tuple shape = pivot_table.attr("shape");
    py::object rows = shape[0];
    py::object cols = shape[1];
    const py::object max = builtin("max");
    const py::object min = builtin("min");
    const py::tuple fig_size = py::make_tuple(max(10, cols * py::float_(1.2)), max(5, rows * py::float_(0.7)));
    // Each side is Python's int floor or the float product, so the figure is made here.
    py::object plt = pyplot::plt(module);
    const py::tuple created = plt.attr("subplots")("figsize"_a = fig_size);
    py::object ax1 = created[1];
    py::object font_size = max(8, min(20, py::int_(250) / max(rows, cols)));

    // White below the scale's floor, then 256 samples of the yellow-green map.
    py::object sns = module_global(module, "sns");
    py::object yellow_green = sns.attr("color_palette")("YlGn", "as_cmap"_a = true);
    py::object samples = yellow_green(module_global(module, "np").attr("linspace")(0, 1, 256)).attr("tolist")();
    py::object cmap = sns.attr("color_palette")(py::list(py::make_tuple("white")) + samples);
    py::object vmax = pivot_table.attr("max")().attr("max")();
    sns.attr("heatmap")(pivot_table, "annot"_a = true, "cmap"_a = cmap, "vmin"_a = 1, "vmax"_a = vmax,
                        "ax"_a = ax1, "annot_kws"_a = py::dict("size"_a = font_size));

    py::object ax2 = ax1.attr("twinx")();
    ax2.attr("set_ylim")(ax1.attr("get_ylim")());
    ax2.attr("set_yticks")(ax1.attr("get_yticks")());
    ax2.attr("set_yticklabels")(ax1.attr("get_yticklabels")());
    ax1.attr("set_ylabel")("param1 (Left Axis)");
    ax2.attr("set_ylabel")("param1 (Right Axis)");
    plt.attr("title")("Sharpe Ratio Heatmap", "fontsize"_a = font_size + py::int_(5));
    plt.attr("show")();
    return py::none();
}

// Peak and trough of the maximum drawdown as points and dashed lines, found by
// position (the first minimum, then the first maximum before it, NaN skipped),
// so that any index works. A run whose deepest drawdown is its first row has no
// peak before it and gets none.
void mark_maximum_drawdown(py::handle ax1, py::handle df) {
    py::object trough_index = column(df, "drawdown").attr("argmin")();
    py::object trough_value = column(df, "cumu").attr("iloc")[trough_index];
    py::object trough_date = column(df, "datetime").attr("iloc")[trough_index];
    py::object before_trough = column(df, "cumu").attr("iloc")[py::slice(py::none(), trough_index, py::none())];
    if (py::len(before_trough) == 0) return;
    py::object peak_index = before_trough.attr("argmax")();
    py::object peak_value = column(df, "cumu").attr("iloc")[peak_index];
    py::object peak_date = column(df, "datetime").attr("iloc")[peak_index];

    ax1.attr("scatter")(peak_date, peak_value, "color"_a = "orange", "zorder"_a = 5, "label"_a = "Peak (Before MDD)");
    ax1.attr("scatter")(trough_date, trough_value, "color"_a = "green", "zorder"_a = 5, "label"_a = "Trough (MDD)");
    ax1.attr("axvline")(peak_date, "color"_a = "orange", "linestyle"_a = "--", "linewidth"_a = 1,
                        "label"_a = "Peak Date");
    ax1.attr("axvline")(trough_date, "color"_a = "green", "linestyle"_a = "--", "linewidth"_a = 1,
                        "label"_a = "Trough Date");
}

py::object plot_single_diagram_body(py::handle module, const Arguments& args) {
    const py::handle df = args[0];
    module_global(module, "plot_heatmap")(py::handle(args[1]));
    const pyplot::Subplots chart = pyplot::subplots(module, 12, 6);
    py::object datetime = column(df, "datetime");
    py::object cumu = column(df, "cumu");
    chart.axes.attr("plot")(datetime, cumu, "label"_a = "Cumulative Return (Buy and Hold)", "color"_a = "red");
    label_left_axis(chart.axes, "Cumulative Return");
    close_price_axis(chart.axes, df);
    title_time_axis(module, chart, "Cumulative Return and Close Price Over Time");
    mark_maximum_drawdown(chart.axes, df);
    // Again, so that the legend of the left axis lists the drawdown marks too.
    chart.axes.attr("legend")("loc"_a = "upper left");
    pyplot::plt(module).attr("tight_layout")();
    pyplot::plt(module).attr("show")();
    return py::none();
}

py::object plot_data_spread_body(py::handle module, const Arguments& args) {
    const py::handle df = args[0];
    const pyplot::Subplots chart = pyplot::subplots(module, 20, 9);
    py::object datetime = column(df, "datetime");
    py::object data = column(df, "data");
    chart.axes.attr("scatter")(datetime, data, "label"_a = "Data Spread", "color"_a = "red", "marker"_a = "o",
                               "s"_a = 3);
    label_left_axis(chart.axes, "Raw Data");
    close_price_axis(chart.axes, df);
    title_time_axis(module, chart, "Data Spread and Close Price over Time");
    pyplot::plt(module).attr("tight_layout")();
    pyplot::plt(module).attr("show")();
    return py::none();
}

py::object plot_bell_curve_body(py::handle module, const Arguments& args) {
    py::object data = column(args[0], "data").attr("dropna")();
    py::object norm = module_global(module, "stats").attr("norm");
    const py::tuple fit = norm.attr("fit")(data);
    py::object mu = fit[0];
    py::object std = fit[1];
    py::object xmin = builtin("min")(data);
    py::object xmax = builtin("max")(data);
    py::object x = module_global(module, "np").attr("linspace")(xmin, xmax, 100);
    py::object p = norm.attr("pdf")(x, mu, std);
    const py::str label = py::str("Fit Normal Distribution\nMean: {:.2f}, Std Dev: {:.2f}").format(mu, std);
    py::object plt = pyplot::plt(module);
    plt.attr("plot")(x, p, "k", "linewidth"_a = 2, "label"_a = label);
    plt.attr("legend")();
    plt.attr("title")("Bell Curve (Normal Distribution)");
    plt.attr("xlabel")("Value");
    plt.attr("ylabel")("Density");
    plt.attr("show")();
    return py::none();
}

}  // namespace

std::vector<PyMethodDef> chart_methods() {
    return {boundary::method<kPlotSingleDiagram, &plot_single_diagram_body>(),
            boundary::method<kPlotHeatmap, &plot_heatmap_body>(),
            boundary::method<kPlotDataSpread, &plot_data_spread_body>(),
            boundary::method<kPlotBellCurve, &plot_bell_curve_body>()};
}

}  // namespace backtest::diagram
