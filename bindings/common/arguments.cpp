#include "common/arguments.hpp"

namespace backtest::boundary {

std::string Signature::text_signature() const {
    std::string text = std::string(name) + "($module";
    for (std::size_t i = 0; i < count; ++i) {
        text += ", ";
        text += parameters[i];
        if (i >= required) text += "=" + std::to_string(default_value);
    }
    text += ")\n--\n\n";
    if (doc != nullptr) text += doc;
    return text;
}

namespace {

void raise_count_error(const Signature& s, bool too_many, Py_ssize_t given) {
    const char* quantifier = s.required == s.count ? "exactly" : (too_many ? "at most" : "at least");
    const auto expected = static_cast<Py_ssize_t>(too_many ? s.count : s.required);
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 s.name, quantifier, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter called `keyword`, or -1.
Py_ssize_t parameter_index(const Signature& s, PyObject* keyword) {
    for (std::size_t i = 0; i < s.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, s.parameters[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool parse_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out) {
    const auto count = static_cast<Py_ssize_t>(s.count);
    if (nargs > count) {
        raise_count_error(s, true, nargs);
        return false;
    }
    auto& values = out.values_;
    for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const Py_ssize_t index = parameter_index(s, PyTuple_GET_ITEM(kwnames, k));
        if (index >= nargs) values[static_cast<std::size_t>(index)] = args[nargs + k];
    }
    for (std::size_t i = 0; i < s.count; ++i) {
        if (values[i] != nullptr) continue;
        if (i < s.required) {
            raise_count_error(s, false, static_cast<Py_ssize_t>(i));
            return false;
        }
        values[i] = out.defaults_[i] = PyLong_FromLong(s.default_value);
        if (values[i] == nullptr) return false;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(s, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, keyword);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, keyword);
            return false;
        }
    }
    return true;
}

}  // namespace backtest::boundary
