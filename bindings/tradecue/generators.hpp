// What the three generators share: reading frame columns, matching a mode,
// the unsupported-mode warning, and the pass that turns a rule into the
// position list.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "backtest/signals.hpp"
#include "boundary/module.hpp"

namespace backtest::tradecue {

namespace py = pybind11;

// df[name] (the frame's KeyError when missing).
py::object item(py::handle df, const char* name);

// df[name].values
py::object column_values(py::handle df, const char* name);

// The index of the first mode named `mode` (a str equal to a name), or, with
// the warning line printed, nothing.
std::optional<std::size_t> select_mode(py::handle mode, std::optional<std::size_t> (*find)(std::string_view));

// One of the core's passes and the index of the mode it decides.
struct Pass {
    void (*decide)(std::size_t mode, const signals::Columns& columns, std::size_t first,
                   std::span<signals::Entry> out);
    std::size_t mode;
};

// The MACD rule's pass in the shape of the others.
Pass macd_pass();

// A rule and the frame's columns it reads (their .values); the columns and the
// threshold that the rule's levels do not use may be null.
struct Rule {
    Pass pass;
    signals::LevelSource levels;
    py::handle series;
    py::handle average;
    py::handle upper;
    py::handle lower;
    py::handle threshold;
};

// `window` warm-up entries (the object `warm` repeated), then one entry per
// row from `window` to len(df) - 1: the ints 1, -1, 0 or the previous entry.
// The columns and the threshold are converted only when a row is decided.
py::list positions(py::handle df, const Rule& rule, std::size_t window, py::handle warm);

// The list of an unsupported mode: the warm-up entries only.
py::list warm_up_entries(py::handle warm, std::size_t window);

PyMethodDef threshold_method();
PyMethodDef band_method();
PyMethodDef macd_method();

}  // namespace backtest::tradecue
