#include "boundary/convert.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace backtest::boundary {

namespace {

bool is_missing(py::handle item) {
    static const auto* na = new py::object(pandas().attr("NA"));
    return item.is_none() || item.is(*na);
}

// By the item's own type, subclasses included, which runs no Python code: an
// isinstance check would consult `__class__`, which any object may compute.
bool is_complex(py::handle item) {
    static const auto* complex_scalar = new py::object(numpy().attr("complexfloating"));
    return PyComplex_Check(item.ptr()) ||
           PyType_IsSubtype(Py_TYPE(item.ptr()), reinterpret_cast<PyTypeObject*>(complex_scalar->ptr()));
}

// Object arrays are converted item by item so that text is refused rather than
// parsed and pd.NA becomes NaN. An item's __float__ may replace items of the
// array, or the array's buffer itself, so every item is held by a reference of
// ours, taken before any Python code runs.
Float64Array objects_to_float64(const py::array& objects) {
    std::vector<py::object> held;
    {
        const py::array contiguous = numpy().attr("ascontiguousarray")(objects);
        const auto* items = static_cast<PyObject* const*>(contiguous.data());
        held.reserve(static_cast<std::size_t>(contiguous.size()));
        for (py::ssize_t i = 0; i < contiguous.size(); ++i) {
            held.push_back(py::reinterpret_borrow<py::object>(items[i]));
        }
    }
    Float64Array result(static_cast<py::ssize_t>(held.size()));
    double* out = result.mutable_data();
    for (std::size_t i = 0; i < held.size(); ++i) {
        const py::handle item = held[i];
        if (is_missing(item)) {
            out[i] = std::numeric_limits<double>::quiet_NaN();
        } else if (PyUnicode_Check(item.ptr()) || PyBytes_Check(item.ptr()) || is_complex(item)) {
            throw py::type_error("expected a series of real numbers, got an item of type '" +
                                 std::string(Py_TYPE(item.ptr())->tp_name) + "'");
        } else {
            out[i] = PyFloat_AsDouble(item.ptr());
            if (out[i] == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        }
    }
    return result;
}

// What every call of a primitive looks up, found once: on 1,000 values a
// lookup through a fresh name string costs a tenth of the kernel.
struct Lookups {
    py::object series = pandas().attr("Series");
    py::object numpy_dtype = numpy().attr("dtype");
    py::object asarray = numpy().attr("asarray");
    py::object dtype = py::reinterpret_steal<py::object>(PyUnicode_InternFromString("dtype"));
    py::object to_numpy = py::reinterpret_steal<py::object>(PyUnicode_InternFromString("to_numpy"));
    py::object values = py::reinterpret_steal<py::object>(PyUnicode_InternFromString("_values"));
    py::object ndarray = numpy().attr("ndarray");
};

const Lookups& lookups() {
    static const auto* found = new Lookups();
    return *found;
}

py::array as_ndarray(py::handle object, SeriesKind kind) {
    const Lookups& names = lookups();
    if (kind != SeriesKind::series) return names.asarray(object);
    // A Series backed by a NumPy array holds it as its values: read directly,
    // they spare to_numpy's read-only view and its shared-memory test, most of
    // a call on 1,000 values. Anything else (extension arrays, or a pandas
    // without the attribute) takes the public path below.
    if (PyObject* values = PyObject_GetAttr(object.ptr(), names.values.ptr())) {
        auto held = py::reinterpret_steal<py::object>(values);
        if (Py_IS_TYPE(values, reinterpret_cast<PyTypeObject*>(names.ndarray.ptr()))) {
            return py::reinterpret_steal<py::array>(held.release());
        }
    } else {
        PyErr_Clear();
    }
    py::object dtype = object.attr(names.dtype);
    // a NumPy dtype is an instance of a subclass of np.dtype: a C check of the
    // type, where isinstance would go through the metaclass's hook
    if (PyObject_TypeCheck(dtype.ptr(), reinterpret_cast<PyTypeObject*>(names.numpy_dtype.ptr()))) {
        return object.attr(names.to_numpy)();
    }
    // pandas extension dtypes (nullable integers, floats, booleans, ...)
    if (!pandas().attr("api").attr("types").attr("is_numeric_dtype")(dtype).cast<bool>()) {
        throw py::type_error("expected a numeric series, got dtype " + py::str(dtype).cast<std::string>());
    }
    return object.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = numpy().attr("nan"));
}

// The kinds of NumPy dtype that convert to float64: bools, integers, floats
// and objects (converted item by item).
bool is_convertible_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'O'; }

Float64Array numbers_to_float64(const py::array& array) {
    if (array.dtype().kind() == 'O') return objects_to_float64(array);
    Float64Array converted = Float64Array::ensure(array);
    if (!converted) throw py::type_error("could not convert the series to float64");
    // The kernels read doubles as doubles: a view at an odd offset (sliced from
    // raw bytes, or unpickled) is copied into aligned storage first.
    if (reinterpret_cast<std::uintptr_t>(converted.data()) % alignof(double) != 0) {
        converted = Float64Array::ensure(numpy().attr("require")(converted, "float64", py::make_tuple("C", "A")));
    }
    return converted;
}

}  // namespace

const py::module_& numpy() {
    static const auto* np = new py::module_(py::module_::import("numpy"));
    return *np;
}

const py::module_& pandas() {
    static const auto* pd = new py::module_(py::module_::import("pandas"));
    return *pd;
}

NumericSeries to_numeric(py::handle object) {
    SeriesKind kind = SeriesKind::sequence;
    if (py::isinstance(object, lookups().series)) {
        kind = SeriesKind::series;
    } else if (py::isinstance<py::array>(object)) {
        kind = SeriesKind::array;
    }
    py::array array = as_ndarray(object, kind);
    // the dtype first, so that text is refused as text even when it is a scalar
    const char code = array.dtype().kind();
    if (!is_convertible_kind(code)) {
        throw py::type_error("expected a numeric series, got dtype " + py::str(array.dtype()).cast<std::string>());
    }
    if (array.ndim() != 1) {
        throw py::value_error("expected a one-dimensional series, got " + std::to_string(array.ndim()) +
                              " dimensions");
    }
    const py::dtype dtype = code == 'f' ? array.dtype() : py::dtype::of<double>();
    return {numbers_to_float64(array), kind, dtype};
}

std::size_t to_window(py::handle object, const char* parameter) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(object.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) return std::numeric_limits<std::size_t>::max();
    if (overflow < 0 || value < 1) {
        throw py::value_error(std::string(parameter) + " must be a positive integer, got " +
                              py::str(index).cast<std::string>());
    }
    return static_cast<std::size_t>(value);
}

void store_column(py::handle frame, const char* name, const py::array& values) {
    py::object stored = values;
    if (py::isinstance(frame, pandas().attr("DataFrame"))) {
        stored = pandas().attr("Series")(values, py::arg("index") = frame.attr("index"), py::arg("copy") = false);
    }
    if (PyObject_SetItem(frame.ptr(), py::str(name).ptr(), stored.ptr()) < 0) throw py::error_already_set();
}

double to_real(py::handle object, const char* refused_as) {
    if (refused_as != nullptr && !PyNumber_Check(object.ptr())) {
        throw py::type_error(std::string(refused_as) + " must be a real number, not '" + Py_TYPE(object.ptr())->tp_name +
                             "'");
    }
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

py::array_t<double> new_array(std::size_t n) { return py::array_t<double>(static_cast<py::ssize_t>(n)); }

py::array full_nan(std::size_t n, const py::dtype& dtype) {
    return numpy().attr("full")(n, numpy().attr("nan"), py::arg("dtype") = dtype);
}

}  // namespace backtest::boundary
