// Matplotlib through the module's own bindings `plt` and `MaxNLocator`, looked
// up at every call so that callers can patch them in the module.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

namespace backtest::diagram::pyplot {

namespace py = pybind11;

struct Subplots {
    py::object figure;
    py::object axes;
};

// The module's `plt` as bound now.
py::object plt(py::handle module);

// fig, ax = plt.subplots(figsize=(width, height))
Subplots subplots(py::handle module, int width, int height);

// twin = axes.twinx(), then twin.plot(frame['datetime'], frame[close], label=label,
// color='blue'[, linewidth=linewidth]): the close price on the right-hand axis of
// a chart that sets a series against it. Returns the twin axes, for its labels.
py::object plot_close_twin(py::handle axes, py::handle frame, py::handle close, const char* label,
                           std::optional<int> linewidth = std::nullopt);

// An x axis of date texts: at most 12 intervals on whole category slots with
// the lowest tick left out, then the figure's date labels turned by 45 degrees.
void date_axis(py::handle module, py::handle figure, py::handle axes);

}  // namespace backtest::diagram::pyplot
