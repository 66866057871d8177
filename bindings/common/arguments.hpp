// One argument parser for every function of the package.
//
// Functions are registered as METH_FASTCALL | METH_KEYWORDS builtins. The
// parser reads the parameters from the function's registry row; it accepts
// positional-or-keyword parameters, fills trailing optional ones with their
// integer default and raises the package's argument messages:
//   "f() takes exactly|at least|at most N positional argument(s) (M given)"
//   "f() got an unexpected keyword argument 'k'"
//   "f() got multiple values for keyword argument 'k'"
// where M is the positional count when there are too many, and otherwise the
// position of the first missing required parameter.
#pragma once

#include <Python.h>

#include <array>
#include <string>

#include "common/registry.hpp"

namespace backtest::boundary {

// "name($module, a, b=9)\n--\n\n" followed by the function's documentation text.
std::string text_signature(const registry::Function& function);

// Borrowed references to the arguments in parameter order; optional
// parameters left out hold their default (an immortal small int).
using Arguments = std::array<PyObject*, registry::kMaxParameters>;

// Returns false with a Python TypeError set when the call does not match.
bool parse_arguments(const registry::Function& function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out);

}  // namespace backtest::boundary
