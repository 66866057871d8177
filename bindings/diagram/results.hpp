// The result-file area of the reporting module: one strategy's processed frame,
// the drawdown of a cumulative series and the combined equity report.
#pragma once

#include <pybind11/pybind11.h>

#include "boundary/arguments.hpp"

namespace backtest::diagram {

namespace py = pybind11;

py::object process_file(py::handle module, const boundary::Arguments& args);
py::object drawdown_and_recovery(py::handle module, const boundary::Arguments& args);
py::object combined_equity(py::handle module, const boundary::Arguments& args);

// A new reference returned by the C API, or its pending Python error thrown.
inline py::object checked(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// `a <op> b` as an object (an element-wise mask for pandas operands).
inline py::object compare(py::handle a, py::handle b, int op) {
    return checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// `bool(a <op> b)`, with none of PyObject_RichCompareBool's identity shortcut,
// so that a NaN compares as the interpreter compares it.
inline bool holds(py::handle a, py::handle b, int op) {
    const int truth = PyObject_IsTrue(compare(a, b, op).ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

}  // namespace backtest::diagram
