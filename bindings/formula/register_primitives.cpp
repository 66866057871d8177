#include <array>

#include "formula/primitives.hpp"

namespace backtest::formula {

namespace {

using boundary::Arguments;
using boundary::compute;
using boundary::NumericSeries;
using boundary::Signature;

constexpr const char* kRollingSumDoc =
    "\n"
    "    Compute the rolling sum of a 1D array using NumPy.\n"
    "\n"
    "    Parameters:\n"
    "    x (numpy array): Input 1D array.\n"
    "    window (int): Window size for the rolling sum.\n"
    "\n"
    "    Returns:\n"
    "    numpy array: Rolling sum array.\n";

constexpr Signature kRollingSum{"rolling_sum", {"x", "window"}, 2, 2, 0, kRollingSumDoc};
constexpr Signature kRollingMean{"rolling_mean", {"array", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingEma{"rolling_ema", {"data", "window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingWma{"rolling_wma", {"data", "window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingStd{"rolling_std", {"array", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingMin{"rolling_min", {"array", "rolling_window"}, 2, 2, 0, nullptr};
constexpr Signature kRollingMax{"rolling_max", {"array", "rolling_window"}, 2, 2, 0, nullptr};

constexpr std::array<const Signature*, 7> kSignatures{&kRollingSum, &kRollingMean, &kRollingEma, &kRollingWma,
                                                      &kRollingStd, &kRollingMin,  &kRollingMax};

const Signature& signature_of(Primitive primitive) { return *kSignatures[static_cast<std::size_t>(primitive)]; }

// What the builtin computes for its two arguments, converted in parameter order.
py::object run(Primitive primitive, py::handle series, py::handle window) {
    const NumericSeries x = boundary::to_numeric(series);
    return compute(primitive, x, boundary::to_window(window, signature_of(primitive).parameters[1]));
}

template <Primitive P>
py::object primitive_body(py::handle, const Arguments& args) {
    return run(P, args[0], args[1]);
}

template <Primitive P>
PyMethodDef method() {
    return boundary::method<*kSignatures[static_cast<std::size_t>(P)], &primitive_body<P>>();
}

const char* name_of(Primitive primitive) { return signature_of(primitive).name; }

// The module's own builtins, kept when it is loaded, in the order of Primitive.
std::array<PyObject*, kSignatures.size()> own_builtins{};

bool is_own(py::handle bound, Primitive primitive) {
    return boundary::is_kept(bound, own_builtins[static_cast<std::size_t>(primitive)]);
}

}  // namespace

bool keep_own_primitives(py::handle module) noexcept {
    std::array<const char*, kSignatures.size()> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = kSignatures[i]->name;
    return boundary::keep_builtins(module, names, own_builtins);
}

bool is_own_primitive(py::handle module, Primitive primitive) {
    return is_own(boundary::module_global(module, name_of(primitive)), primitive);
}

py::object call_primitive(py::handle module, Primitive primitive, py::handle series, py::handle window) {
    py::object bound = boundary::module_global(module, name_of(primitive));
    if (!is_own(bound, primitive)) return bound(series, window);
    return run(primitive, series, window);
}

std::vector<PyMethodDef> primitive_methods() {
    return {method<Primitive::sum>(), method<Primitive::mean>(),   method<Primitive::ema>(),
            method<Primitive::wma>(), method<Primitive::stddev>(), method<Primitive::min>(),
            method<Primitive::max>()};
}

}  // namespace backtest::formula
