#include "diagram/pyplot.hpp"

#include "common/module.hpp"

namespace backtest::diagram::pyplot {

using namespace pybind11::literals;

py::object plt(py::handle module) { return boundary::module_global(module, "plt"); }

Subplots subplots(py::handle module, int width, int height) {
    const py::tuple made = plt(module).attr("subplots")("figsize"_a = py::make_tuple(width, height));
    return {made[0], made[1]};
}

void date_axis(py::handle module, py::handle figure, py::handle axes) {
    const py::object locator =
        boundary::module_global(module, "MaxNLocator")("integer"_a = true, "prune"_a = "lower", "nbins"_a = 12);
    axes.attr("xaxis").attr("set_major_locator")(locator);
    figure.attr("autofmt_xdate")("rotation"_a = 45);
}

}  // namespace backtest::diagram::pyplot
