#include "tradecue/generators.hpp"

#include <array>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "boundary/convert.hpp"

namespace backtest::tradecue {

namespace {

std::optional<std::string_view> mode_text(py::handle mode) {
    if (!PyUnicode_Check(mode.ptr())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(mode.ptr(), &size);
    if (text == nullptr) {
        // text that cannot be encoded (lone surrogates) equals no name
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(text, static_cast<std::size_t>(size));
}

void warn_unsupported(py::handle mode) {
    PyObject* line =
        PyUnicode_FromFormat("Warning: Unsupported backtest_mode '%S' - skipping this iteration.", mode.ptr());
    if (line == nullptr) throw py::error_already_set();
    boundary::print_line(py::reinterpret_steal<py::str>(line));
}

std::size_t frame_rows(py::handle df) {
    const Py_ssize_t rows = PyObject_Length(df.ptr());
    if (rows < 0) throw py::error_already_set();
    return static_cast<std::size_t>(rows);
}

// The first `rows` values of a column as float64; `converted` keeps the buffer alive.
std::span<const double> first_rows(py::handle values, std::size_t rows,
                                   std::vector<boundary::NumericSeries>& converted) {
    converted.push_back(boundary::to_numeric(values));
    const std::span<const double> all = converted.back().span();
    if (all.size() < rows) {
        throw py::index_error("a column holds " + std::to_string(all.size()) + " values for a frame of " +
                              std::to_string(rows) + " rows");
    }
    return all.first(rows);
}

signals::Columns read_columns(const Rule& rule, std::size_t rows, std::vector<boundary::NumericSeries>& converted) {
    signals::Columns columns{first_rows(rule.series, rows, converted)};
    if (signals::uses_average(rule.levels)) columns.average = first_rows(rule.average, rows, converted);
    if (signals::uses_bands(rule.levels)) {
        columns.upper = first_rows(rule.upper, rows, converted);
        columns.lower = first_rows(rule.lower, rows, converted);
    }
    if (signals::uses_threshold(rule.levels)) columns.threshold = boundary::to_real(rule.threshold);
    return columns;
}

// A list of `size` items, each null until it is set.
py::list new_list(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "rolling_window is too large for a list");
        throw py::error_already_set();
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
    if (list == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(list);
}

// Sets the items from `begin` on to the objects that `pick` chooses, each with
// a reference of its own.
template <class Pick>
void set_items(const py::list& list, std::size_t begin, std::size_t count, Pick pick) {
    for (std::size_t k = 0; k < count; ++k) {
        PyObject* object = pick(k);
        Py_INCREF(object);
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(begin + k), object);
    }
}

void set_warm_up(const py::list& list, std::size_t window, py::handle warm) {
    set_items(list, 0, window, [&warm](std::size_t) { return warm.ptr(); });
}

void decide_macd(std::size_t, const signals::Columns& columns, std::size_t first, std::span<signals::Entry> out) {
    signals::decide_macd(columns, first, out);
}

}  // namespace

Pass macd_pass() { return {&decide_macd, 0}; }

py::object item(py::handle df, const char* name) {
    PyObject* value = PyObject_GetItem(df.ptr(), py::str(name).ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

py::object column_values(py::handle df, const char* name) { return item(df, name).attr("values"); }

std::optional<std::size_t> select_mode(py::handle mode, std::optional<std::size_t> (*find)(std::string_view)) {
    const std::optional<std::string_view> text = mode_text(mode);
    const std::optional<std::size_t> index = text ? find(*text) : std::nullopt;
    if (!index) warn_unsupported(mode);
    return index;
}

py::list positions(py::handle df, const Rule& rule, std::size_t window, py::handle warm) {
    const std::size_t rows = frame_rows(df);
    if (rows <= window) return warm_up_entries(warm, window);
    std::vector<boundary::NumericSeries> converted;
    const signals::Columns columns = read_columns(rule, rows, converted);
    // the list before the scratch entries: allocated after them, its storage
    // tends to come from fresh pages, whose faults cost more than the pass
    py::list list = new_list(rows);
    const auto decided = std::make_unique_for_overwrite<signals::Entry[]>(rows - window);
    const std::span<signals::Entry> entries(decided.get(), rows - window);
    {
        // releasing the GIL is safe: the pass reads buffers that `converted` and
        // the caller keep alive and writes memory of its own
        py::gil_scoped_release unlocked;
        rule.pass.decide(rule.pass.mode, columns, window, entries);
    }
    const std::array<py::object, 3> ints{py::int_(-1), py::int_(0), py::int_(1)};
    // indexed by entry + 1: short, flat, long, warm-up
    const std::array<PyObject*, 4> objects{ints[0].ptr(), ints[1].ptr(), ints[2].ptr(), warm.ptr()};
    set_warm_up(list, window, warm);
    set_items(list, window, entries.size(), [&objects, &entries](std::size_t k) {
        return objects[static_cast<std::size_t>(static_cast<int>(entries[k]) + 1)];
    });
    return list;
}

py::list warm_up_entries(py::handle warm, std::size_t window) {
    py::list list = new_list(window);
    set_warm_up(list, window, warm);
    return list;
}

}  // namespace backtest::tradecue
