// The rolling primitives as the module exposes them, and the late-bound calls
// through which the frame-level functions use them.
#pragma once

#include <Python.h>

#include <vector>

#include "boundary/module.hpp"
#include "boundary/primitives.hpp"
#include "formula/registry.hpp"

namespace backtest::formula {

namespace py = pybind11;
using boundary::Primitive;

// Keeps the module's own builtins, when it is loaded, for the identity checks
// below; false with a Python error set on failure.
bool keep_own_functions(py::handle module) noexcept;

// True while the module binds the primitive's name to our own builtin, so that
// callers may run the kernel directly with the semantics of a call.
bool is_own_primitive(py::handle module, const Primitive& primitive);

// Calls what the module binds to the primitive's name now: the kernel directly
// while the name still refers to our builtin, the bound object otherwise.
py::object call_primitive(py::handle module, const Primitive& primitive, py::handle series, py::handle window);

// A builtin for each row of the registry that has a kernel.
std::vector<PyMethodDef> primitive_methods();

}  // namespace backtest::formula
