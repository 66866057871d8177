#include "diagram/pyplot.hpp"

#include "boundary/module.hpp"

namespace backtest::diagram::pyplot {

using namespace pybind11::literals;

py::object plt(py::handle module) { return boundary::module_global(module, "plt"); }

Subplots subplots(py::handle module, int width, int height) {
    const py::tuple made = plt(module).attr("subplots")("figsize"_a = py::make_tuple(width, height));
    return {made[0], made[1]};
}

py::object plot_close_twin(py::handle axes, py::handle frame, py::handle close, const char* label,
                           std::optional<int> linewidth) {
    py::object twin = axes.attr("twinx")();
    py::object dates = frame[py::str("datetime")];
    py::object prices = frame[close];
    py::dict style("label"_a = label, "color"_a = "blue");
    if (linewidth) style["linewidth"] = *linewidth;
    twin.attr("plot")(dates, prices, **style);
    return twin;
}

void date_axis(py::handle module, py::handle figure, py::handle axes) {
    const py::object locator =
        boundary::module_global(module, "MaxNLocator")("integer"_a = true, "prune"_a = "lower", "nbins"_a = 12);
    axes.attr("xaxis").attr("set_major_locator")(locator);
    figure.attr("autofmt_xdate")("rotation"_a = 45);
}

}  // namespace backtest::diagram::pyplot
