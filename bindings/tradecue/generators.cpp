#include "tradecue/generators.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/convert.hpp"

namespace backtest::tradecue {

namespace {

using signals::Entry;

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

double to_threshold(py::handle threshold) {
    const double value = PyFloat_AsDouble(threshold.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

// Entries of the decided rows, left uninitialised for the pass to write.
struct Decisions {
    std::unique_ptr<Entry[]> entries;
    std::size_t size = 0;

    std::span<const Entry> view() const { return {entries.get(), size}; }
};

Decisions decide(const Rule& rule, std::size_t rows, std::size_t first) {
    std::vector<boundary::NumericSeries> converted;
    signals::Columns columns{first_rows(rule.series, rows, converted)};
    if (signals::uses_average(rule.levels)) columns.average = first_rows(rule.average, rows, converted);
    if (signals::uses_bands(rule.levels)) {
        columns.upper = first_rows(rule.upper, rows, converted);
        columns.lower = first_rows(rule.lower, rows, converted);
    }
    if (signals::uses_threshold(rule.levels)) columns.threshold = to_threshold(rule.threshold);
    Decisions decided{std::make_unique_for_overwrite<Entry[]>(rows - first), rows - first};
    {
        // releasing the GIL is safe: the pass reads buffers that `converted` keeps
        // alive and writes a C++ array; no Python object is touched
        py::gil_scoped_release unlocked;
        rule.decide(columns, first, {decided.entries.get(), decided.size});
    }
    return decided;
}

void add_references(PyObject* object, std::size_t count) {
    Py_SET_REFCNT(object, Py_REFCNT(object) + static_cast<Py_ssize_t>(count));
}

// The items are stored without touching reference counts, then each of the four
// entry objects gains all its references at once, as list repetition does: a
// million items cost little more than the list's memory.
py::list position_list(py::handle warm, std::size_t window, std::span<const Entry> decided) {
    if (window > static_cast<std::size_t>(PY_SSIZE_T_MAX) - decided.size()) {
        PyErr_SetString(PyExc_OverflowError, "rolling_window is too large for a list");
        throw py::error_already_set();
    }
    const std::size_t size = window + decided.size();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
    if (list == nullptr) throw py::error_already_set();
    py::list result = py::reinterpret_steal<py::list>(list);
    // indexed by entry + 1: short, flat, long, warm-up
    const std::array<py::object, 3> ints{py::int_(-1), py::int_(0), py::int_(1)};
    const std::array<PyObject*, 4> objects{ints[0].ptr(), ints[1].ptr(), ints[2].ptr(), warm.ptr()};
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    std::fill_n(items, window, warm.ptr());
    // Counted in the same pass: the sum and the sum of squares of the entries
    // give the longs and the shorts (the warm-up code 2 adds 2 and 4).
    std::int64_t sum = 0;
    std::int64_t squares = 0;
    std::size_t warm_count = window;
    for (std::size_t k = 0; k < decided.size(); ++k) {
        const int value = static_cast<int>(decided[k]);
        items[window + k] = objects[static_cast<std::size_t>(value + 1)];
        sum += value;
        squares += value * value;
    }
    // warm-up codes can only lead, before the first decision
    const auto leading = static_cast<std::size_t>(
        std::find_if(decided.begin(), decided.end(), [](Entry entry) { return entry != Entry::warm_up; }) -
        decided.begin());
    sum -= 2 * static_cast<std::int64_t>(leading);
    squares -= 4 * static_cast<std::int64_t>(leading);
    warm_count += leading;
    const auto longs = static_cast<std::size_t>((squares + sum) / 2);
    const auto shorts = static_cast<std::size_t>((squares - sum) / 2);
    add_references(ints[0].ptr(), shorts);
    add_references(ints[1].ptr(), decided.size() - leading - longs - shorts);
    add_references(ints[2].ptr(), longs);
    add_references(warm.ptr(), warm_count);
    return result;
}

}  // namespace

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
    const Decisions decided = rows > window ? decide(rule, rows, window) : Decisions{};
    return position_list(warm, window, decided.view());
}

py::list warm_up_entries(py::handle warm, std::size_t window) { return position_list(warm, window, {}); }

}  // namespace backtest::tradecue
