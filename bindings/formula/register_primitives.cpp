// The builtins of the rolling primitives, generated from the rows of the
// registry that hold a kernel: adding a row adds the builtin.
#include <array>
#include <utility>

#include "formula/primitives.hpp"

namespace backtest::formula {

namespace {

using boundary::Arguments;

// What the builtin computes for its two arguments, converted in parameter order.
py::object run(const Primitive& primitive, py::handle series, py::handle window) {
    const boundary::NumericSeries x = boundary::to_numeric(series);
    return boundary::compute(primitive, x, boundary::to_window(window, primitive.parameters[1].name));
}

template <const Primitive& P>
py::object primitive_body(py::handle, const Arguments& args) {
    static_assert(P.parameter_count() == 2 && P.required_count() == 2, "a primitive takes a series and a window");
    return run(P, args[0], args[1]);
}

template <std::size_t... I>
std::vector<PyMethodDef> primitive_methods(std::index_sequence<I...>) {
    std::vector<PyMethodDef> methods;
    (
        [&] {
            constexpr const registry::Function& row = *kFunctions[I];
            if constexpr (row.is_primitive()) methods.push_back(boundary::method<row, &primitive_body<row>>());
        }(),
        ...);
    return methods;
}

// The module's own builtins, kept when it is loaded, by their place in the table.
std::array<PyObject*, kFunctions.size()> own_builtins{};

bool is_own(py::handle bound, const Primitive& primitive) {
    for (std::size_t i = 0; i < kFunctions.size(); ++i) {
        if (kFunctions[i] == &primitive) return boundary::is_kept(bound, own_builtins[i]);
    }
    return false;
}

}  // namespace

bool keep_own_functions(py::handle module) noexcept {
    std::array<const char*, kFunctions.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = kFunctions[i]->name;
    return boundary::keep_builtins(module, names, own_builtins);
}

bool is_own_primitive(py::handle module, const Primitive& primitive) {
    return is_own(boundary::module_global(module, primitive.name), primitive);
}

py::object call_primitive(py::handle module, const Primitive& primitive, py::handle series, py::handle window) {
    py::object bound = boundary::module_global(module, primitive.name);
    if (!is_own(bound, primitive)) return bound(series, window);
    return run(primitive, series, window);
}

std::vector<PyMethodDef> primitive_methods() {
    return primitive_methods(std::make_index_sequence<kFunctions.size()>());
}

}  // namespace backtest::formula
