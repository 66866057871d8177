// The one input converter: every series and window reaches the core through here.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <span>

namespace backtest::boundary {

namespace py = pybind11;

// How the caller passed the series; pandas Series and NumPy arrays differ in
// how some primitives treat NaN.
enum class SeriesKind { array, series, sequence };

// Contiguous float64, converted from any real dtype when needed.
using Float64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct NumericSeries {
    Float64Array values;  // contiguous float64, read by position
    SeriesKind kind;
    py::dtype dtype;  // the input's dtype when it is floating, else float64

    std::span<const double> span() const { return {values.data(), static_cast<std::size_t>(values.size())}; }
    std::size_t size() const { return static_cast<std::size_t>(values.size()); }
};

// NumPy and pandas as imported once; the references live as long as the
// process and are never released at exit.
const py::module_& numpy();
const py::module_& pandas();

// Any one-dimensional numeric input (array, Series, list; ints, bools, floats of
// any width, object arrays of numbers, pandas nullable types) as float64 with
// None and pd.NA as NaN. Complex and non-numeric input raise TypeError, input
// that is not one-dimensional raises ValueError.
NumericSeries to_numeric(py::handle object);

// A window argument: TypeError without __index__, ValueError below 1. Windows
// beyond any length saturate, since they only select the all-NaN result.
std::size_t to_window(py::handle object, const char* parameter);

// A real-number argument as a double, as float() takes it (through __float__
// or __index__), with Python's own TypeError for anything else. With
// `refused_as`, an object that is not a number at all (text, lists, None) is
// refused first as "<refused_as> must be a real number, not '<type>'".
double to_real(py::handle object, const char* refused_as = nullptr);

// A new float64 array of n values, uninitialised.
py::array_t<double> new_array(std::size_t n);

// An all-NaN array of n values with the given dtype.
py::array full_nan(std::size_t n, const py::dtype& dtype);

// frame[name] = values. A pandas DataFrame copies an array it is given but
// takes over a Series on its own index, so a new array of ours is stored that
// way; other frame-like objects receive the array itself.
void store_column(py::handle frame, const char* name, const py::array& values);

// The output of a primitive as a span to write into.
inline std::span<double> writable(py::array_t<double>& array) {
    return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

}  // namespace backtest::boundary
