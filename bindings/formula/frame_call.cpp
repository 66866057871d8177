#include <cstring>
#include <stdexcept>

#include "boundary/primitives.hpp"
#include "formula/frame.hpp"

namespace backtest::formula {

using boundary::numpy;

void numpy_function(const char* ufunc, const Float64Array& input, const Float64Array& output) {
    const py::object settings = numpy().attr("seterr")(py::arg("over") = "ignore");
    try {
        numpy().attr(ufunc)(input, py::arg("out") = output);
    } catch (...) {
        numpy().attr("seterr")(**settings);
        throw;
    }
    numpy().attr("seterr")(**settings);
}

Window checked_window(py::handle object, const char* parameter) {
    return {object, boundary::to_window(object, parameter)};
}

FrameCall::FrameCall(py::handle module, py::handle frame)
    : module_(module),
      frame_(frame),
      data_(boundary::to_numeric(frame["data"]).values),
      rows_(static_cast<std::size_t>(data_.size())) {}

Float64Array FrameCall::values(const char* name) const {
    for (auto it = written_.rbegin(); it != written_.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    if (std::strcmp(name, "data") == 0) return data_;
    throw std::logic_error(std::string("column not written yet: ") + name);
}

Float64Array FrameCall::rolling(const Primitive& primitive, const char* source, const Window& window) {
    return rolling(primitive, values(source), [&] { return column(source); }, window);
}

Float64Array FrameCall::rolling(const Primitive& primitive, const Float64Array& source,
                                const std::function<py::object()>& argument, const Window& window) {
    if (!is_own_primitive(module_, primitive)) {
        // copied, so that writing over it never touches an array the replacement keeps
        const Float64Array result = checked(call_primitive(module_, primitive, argument(), window.object));
        return Float64Array(result.size(), result.data());
    }
    const boundary::NumericSeries series{source, boundary::SeriesKind::series, py::dtype::of<double>()};
    return Float64Array::ensure(boundary::compute(primitive, series, window.size));
}

void FrameCall::assign_rolling(const char* name, const Primitive& primitive, const char* source, const Window& window) {
    if (is_own_primitive(module_, primitive)) return write(name, rolling(primitive, source, window));
    // The replaced primitive's result goes into the frame as returned, and the
    // frame's column is what later steps read, as a column assignment would do.
    frame_[name] = call_primitive(module_, primitive, column(source), window.object);
    written_.emplace_back(name, checked(column(name)));
}

void FrameCall::write(const char* name, Float64Array values) {
    boundary::store_column(frame_, name, values);
    written_.emplace_back(name, std::move(values));
}

Float64Array FrameCall::checked(const py::handle result) const {
    Float64Array values = boundary::to_numeric(result).values;
    if (static_cast<std::size_t>(values.size()) != rows_) {
        throw py::value_error("a replaced rolling primitive returned " + std::to_string(values.size()) +
                              " values for a frame of " + std::to_string(rows_) + " rows");
    }
    return values;
}

}  // namespace backtest::formula
