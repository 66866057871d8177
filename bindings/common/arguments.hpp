// One argument parser for every function of the package.
//
// Functions are registered as METH_FASTCALL | METH_KEYWORDS builtins. The
// parser accepts positional-or-keyword parameters, fills trailing optional ones
// with their integer default and raises the package's argument messages:
//   "f() takes exactly|at least|at most N positional argument(s) (M given)"
//   "f() got an unexpected keyword argument 'k'"
//   "f() got multiple values for keyword argument 'k'"
// where M is the positional count when there are too many, and otherwise the
// position of the first missing required parameter.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace backtest::boundary {

inline constexpr std::size_t kMaxParameters = 4;

struct Signature {
    const char* name;
    std::array<const char*, kMaxParameters> parameters;
    std::size_t count;     // number of parameters
    std::size_t required;  // the first `required` parameters have no default
    long default_value;    // default of every optional (trailing) parameter
    const char* doc;       // documentation text after the signature, or nullptr

    // "name($module, a, b=9)\n--\n\n" followed by the documentation text.
    std::string text_signature() const;
};

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
    friend bool parse_arguments(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Arguments&);

    std::array<PyObject*, kMaxParameters> values_{};
    std::array<PyObject*, kMaxParameters> defaults_{};
};

// Returns false with a Python TypeError set when the call does not match.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out);

}  // namespace backtest::boundary
