#include "diagram/results_strategy_map.hpp"

#include <array>

#include "boundary/module.hpp"

namespace backtest::diagram {

namespace {

py::object iterate(py::handle value) {
    PyObject* iterator = PyObject_GetIter(value.ptr());
    if (iterator != nullptr) return py::reinterpret_steal<py::object>(iterator);
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && PyType_GetSlot(type, Py_tp_iter) == nullptr &&
        !PySequence_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    }
    throw py::error_already_set();
}

// The next item, or a null object once the iterator is exhausted.
py::object next_item(const py::object& iterator) {
    py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item && PyErr_Occurred()) throw py::error_already_set();
    return item;
}

void report(py::handle file_path, const py::error_already_set& error) {
    boundary::print_line(py::str("Error processing file {}: {}").format(file_path, error.value()));
}

}  // namespace

std::pair<py::object, py::object> unpack_pair(py::handle value) {
    const py::object iterator = iterate(value);
    std::array<py::object, 2> items;
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i] = next_item(iterator);
        if (!items[i]) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", static_cast<int>(i));
            throw py::error_already_set();
        }
    }
    if (next_item(iterator)) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    return {std::move(items[0]), std::move(items[1])};
}

void for_each_strategy(py::handle file_paths, const StrategyLoad& load) {
    for (py::handle item : file_paths.attr("items")()) {
        const auto [name, pair] = unpack_pair(item);
        const auto [file_path, leverage] = unpack_pair(pair);
        try {
            load(name, file_path, leverage);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            report(file_path, error);
        }
    }
}

}  // namespace backtest::diagram
