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

#include "boundary/registry.hpp"

namespace backtest::boundary {

// "name($module, a, b=9)\n--\n\n" followed by the function's documentation text.
std::string text_signature(const registry::Function& function);

// The arguments in parameter order: those passed are borrowed from the call,
// whose caller holds them; defaults of the optional parameters left out are
// created for the call and owned here until it returns.
class Arguments {
public:
    Arguments() = default;
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments() {
        for (PyObject* value : defaults_) Py_XDECREF(value);
    }

    PyObject* operator[](std::size_t i) const { return values_[i]; }

private:
    friend bool parse_arguments(const registry::Function&, PyObject* const*, Py_ssize_t, PyObject*, Arguments&);

    std::array<PyObject*, registry::kMaxParameters> values_{};
    std::array<PyObject*, registry::kMaxParameters> defaults_{};
};

// Returns false with a Python TypeError set when the call does not match.
bool parse_arguments(const registry::Function& function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out);

}  // namespace backtest::boundary
