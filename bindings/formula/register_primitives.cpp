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

// Calls visit(method, i) with the method of each row i of the table that is a primitive.
template <class Visit, std::size_t... I>
void for_each_primitive(Visit visit, std::index_sequence<I...>) {
    (
        [&] {
            constexpr const registry::Function& row = *kFunctions[I];
            if constexpr (row.is_primitive()) visit(boundary::method<row, &primitive_body<row>>(), I);
        }(),
        ...);
}

template <class Visit>
void for_each_primitive(Visit visit) {
    for_each_primitive(visit, std::make_index_sequence<kFunctions.size()>());
}

// The entry point of each primitive's builtin, by its place in the table.
const std::array<PyCFunction, kFunctions.size()>& entry_points() {
    static const std::array<PyCFunction, kFunctions.size()> entries = [] {
        std::array<PyCFunction, kFunctions.size()> all{};
        for_each_primitive([&](const PyMethodDef& method, std::size_t i) { all[i] = method.ml_meth; });
        return all;
    }();
    return entries;
}

PyCFunction entry_of(const Primitive& primitive) {
    for (std::size_t i = 0; i < kFunctions.size(); ++i) {
        if (kFunctions[i] == &primitive) return entry_points()[i];
    }
    return nullptr;
}

}  // namespace

bool is_own_primitive(py::handle module, const Primitive& primitive) {
    return boundary::is_builtin(boundary::module_global(module, primitive.name), entry_of(primitive));
}

py::object call_primitive(py::handle module, const Primitive& primitive, py::handle series, py::handle window) {
    py::object bound = boundary::module_global(module, primitive.name);
    if (!boundary::is_builtin(bound, entry_of(primitive))) return bound(series, window);
    return run(primitive, series, window);
}

std::vector<PyMethodDef> primitive_methods() {
    std::vector<PyMethodDef> methods;
    for_each_primitive([&](const PyMethodDef& method, std::size_t) { methods.push_back(method); });
    return methods;
}

}  // namespace backtest::formula
