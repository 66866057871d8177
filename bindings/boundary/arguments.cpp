#include "boundary/arguments.hpp"

namespace backtest::boundary {

std::string text_signature(const registry::Function& f) {
    std::string text = std::string(f.name) + "($module";
    for (std::size_t i = 0; i < f.parameter_count(); ++i) {
        const registry::Parameter& p = f.parameters[i];
        text += ", ";
        text += p.name;
        if (p.default_value) {
            text += '=';
            text += std::to_string(*p.default_value);
        }
    }
    text += ")\n--\n\n";
    if (f.doc != nullptr) text += f.doc;
    return text;
}

namespace {

void raise_count_error(const registry::Function& f, bool too_many, Py_ssize_t given) {
    const std::size_t count = f.parameter_count();
    const std::size_t required = f.required_count();
    const char* quantifier = required == count ? "exactly" : (too_many ? "at most" : "at least");
    const auto expected = static_cast<Py_ssize_t>(too_many ? count : required);
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.name, quantifier, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter called `keyword`, or -1.
Py_ssize_t parameter_index(const registry::Function& f, PyObject* keyword) {
    for (std::size_t i = 0; i < f.parameter_count(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, f.parameters[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

bool parse_arguments(const registry::Function& f, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Arguments& out) {
    const auto count = static_cast<Py_ssize_t>(f.parameter_count());
    if (nargs > count) {
        raise_count_error(f, true, nargs);
        return false;
    }
    auto& values = out.values_;
    for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const Py_ssize_t index = parameter_index(f, PyTuple_GET_ITEM(kwnames, k));
        if (index >= nargs) values[static_cast<std::size_t>(index)] = args[nargs + k];
    }
    for (std::size_t i = 0; i < f.parameter_count(); ++i) {
        if (values[i] != nullptr) continue;
        if (i < f.required_count()) {
            raise_count_error(f, false, static_cast<Py_ssize_t>(i));
            return false;
        }
        values[i] = out.defaults_[i] = PyLong_FromLong(*f.parameters[i].default_value);
        if (values[i] == nullptr) return false;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(f, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.name, keyword);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f.name, keyword);
            return false;
        }
    }
    return true;
}

}  // namespace backtest::boundary
