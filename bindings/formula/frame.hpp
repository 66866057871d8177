// The frame-level functions: normalisations, RSI, Bollinger bands and MACD,
// writing their columns into the caller's frame.
#pragma once

#include <Python.h>

#include <array>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "boundary/convert.hpp"
#include "formula/primitives.hpp"

namespace backtest::formula {

std::vector<PyMethodDef> frame_methods();

using boundary::Float64Array;

// A window argument, checked before anything is written, and the caller's
// object itself, which a replaced primitive receives unchanged.
struct Window {
    py::handle object;
    std::size_t size;
};

Window checked_window(py::handle object, const char* parameter);

inline std::span<const double> values_of(const Float64Array& array) {
    return {array.data(), static_cast<std::size_t>(array.size())};
}

inline std::span<double> output_of(Float64Array& array) {
    return {array.mutable_data(), static_cast<std::size_t>(array.size())};
}

// NumPy's own vectorised exp or tanh (`ufunc`) of `input` written into `output`,
// which may be `input` itself; an overflow to infinity stays silent, as pandas
// keeps its column arithmetic silent.
void numpy_function(const char* ufunc, const Float64Array& input, const Float64Array& output);

// One call of a frame-level function: the caller's frame, its `data` column as
// float64, the columns written so far, and the steps that write them. The
// primitives are looked up in the module at each step: while a name refers to
// our builtin its kernel runs on the float64 values with the semantics of a
// pandas Series argument; a replaced primitive receives the Series (or other
// object) that the step names and its result is used as returned.
class FrameCall {
public:
    // Reads df['data'] through the frame, so that a frame without it raises
    // pandas' own KeyError before anything is written.
    FrameCall(py::handle module, py::handle frame);

    py::object frame() const { return py::reinterpret_borrow<py::object>(frame_); }
    py::handle module() const { return module_; }

    // df[name] as the frame gives it now.
    py::object column(const char* name) const { return frame_[name]; }

    // The float64 values of `data` or of the latest column of that name this call wrote.
    Float64Array values(const char* name) const;
    std::span<const double> span(const char* name) const { return values_of(values(name)); }

    // primitive(df[source], window), without writing it, as a new array that
    // later steps may write over.
    Float64Array rolling(const Primitive& primitive, const char* source, const Window& window);

    // primitive(argument(), window) where the kernel reads `source` instead of
    // the Python object that argument() builds for a replaced primitive.
    Float64Array rolling(const Primitive& primitive, const Float64Array& source, const std::function<py::object()>& argument,
                         const Window& window);

    // df[name] = primitive(df[source], window)
    void assign_rolling(const char* name, const Primitive& primitive, const char* source, const Window& window);

    // df[name] = kernel(inputs..., out), element by element.
    template <class Kernel, class... Inputs>
    void assign(const char* name, Kernel kernel, Inputs... inputs) {
        write(name, compute(kernel, inputs...));
    }

    // df[name] = kernel(inputs..., out) with `out` written over `target`, a
    // column of ours that no other step reads after this one; an input may be
    // `target` itself, which spares the frame's column a fresh allocation.
    template <class Kernel, class... Inputs>
    void assign_over(const char* name, Float64Array target, Kernel kernel, Inputs... inputs) {
        run(kernel, inputs..., std::span<double>{target.mutable_data(), rows_});
        write(name, std::move(target));
    }

    // A new column of the frame's length filled by kernel(inputs..., out).
    template <class Kernel, class... Inputs>
    Float64Array compute(Kernel kernel, Inputs... inputs) const {
        Float64Array result = new_column();
        run(kernel, inputs..., std::span<double>{result.mutable_data(), rows_});
        return result;
    }

    // An uninitialised column of the frame's length.
    Float64Array new_column() const { return Float64Array(static_cast<py::ssize_t>(rows_)); }

    // N uninitialised columns of the frame's length, for a kernel writing them all.
    template <std::size_t N>
    std::array<Float64Array, N> new_columns() const {
        std::array<Float64Array, N> columns;
        for (Float64Array& column : columns) column = new_column();
        return columns;
    }

    // df[name] = values
    void write(const char* name, Float64Array values);

    // df[names[k]] = columns[k], in order.
    template <std::size_t N>
    void write(const char* const (&names)[N], std::array<Float64Array, N>& columns) {
        for (std::size_t k = 0; k < N; ++k) write(names[k], std::move(columns[k]));
    }

    // kernel(arguments...) on buffers of this call.
    template <class Kernel, class... Arguments>
    static void run(Kernel kernel, const Arguments&... arguments) {
        // releasing the GIL is safe: the kernel touches only buffers that this
        // call keeps alive, and reads no Python object
        py::gil_scoped_release unlocked;
        kernel(arguments...);
    }

private:
    // A replaced primitive's result as float64 values of the frame's length.
    Float64Array checked(const py::handle result) const;

    py::handle module_;
    py::handle frame_;
    Float64Array data_;
    std::size_t rows_;
    std::vector<std::pair<std::string, Float64Array>> written_;
};

}  // namespace backtest::formula
