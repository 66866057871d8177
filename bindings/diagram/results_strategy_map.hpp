// The strategy map of the multi-strategy reports: {name: (file_path, leverage)}
// walked in insertion order, one protected load per strategy.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <utility>

namespace backtest::diagram {

namespace py = pybind11;

// `first, second = value` with the interpreter's own errors: TypeError for a
// value that cannot be iterated, ValueError for too few or too many items.
std::pair<py::object, py::object> unpack_pair(py::handle value);

using StrategyLoad = std::function<void(py::handle name, py::handle file_path, py::handle leverage)>;

// For each item of file_paths.items(): unpacks the name and its pair first,
// unprotected, then runs `load`. A Python exception of the Exception family
// from it is reported as "Error processing file <path>: <error>" and the walk
// goes on; any other exception reaches the caller.
void for_each_strategy(py::handle file_paths, const StrategyLoad& load);

}  // namespace backtest::diagram
