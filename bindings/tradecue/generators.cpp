#include "tradecue/generators.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <vector>

#include "common/convert.hpp"

#ifdef Py_GIL_DISABLED
#error "position lists get their storage here as the build with the GIL lays it out"
#endif

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

double to_threshold(py::handle threshold) {
    const double value = PyFloat_AsDouble(threshold.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

signals::Columns read_columns(const Rule& rule, std::size_t rows, std::vector<boundary::NumericSeries>& converted) {
    signals::Columns columns{first_rows(rule.series, rows, converted)};
    if (signals::uses_average(rule.levels)) columns.average = first_rows(rule.average, rows, converted);
    if (signals::uses_bands(rule.levels)) {
        columns.upper = first_rows(rule.upper, rows, converted);
        columns.lower = first_rows(rule.lower, rows, converted);
    }
    if (signals::uses_threshold(rule.levels)) columns.threshold = to_threshold(rule.threshold);
    return columns;
}

// An empty list with room for `size` items. PyList_New would zero the room
// first, a pass over megabytes that the items then overwrite. The items are
// written into the room, beyond the list's length, which `finish_list` sets
// once they all are: whatever fails before, the list is a valid empty one.
py::list list_with_room(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "rolling_window is too large for a list");
        throw py::error_already_set();
    }
    py::list list = py::reinterpret_steal<py::list>(PyList_New(0));
    if (!list) throw py::error_already_set();
    if (size == 0) return list;
    // PyMem_New refuses sizes whose bytes overflow, as PyList_New does
    PyObject** room = PyMem_New(PyObject*, size);
    if (room == nullptr) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    auto* object = reinterpret_cast<PyListObject*>(list.ptr());
    object->ob_item = room;  // freed with the list, as any list storage
    object->allocated = static_cast<Py_ssize_t>(size);
    return list;
}

std::span<PyObject*> room_of(const py::list& list) {
    const auto* object = reinterpret_cast<const PyListObject*>(list.ptr());
    return {object->ob_item, static_cast<std::size_t>(object->allocated)};
}

void add_references(PyObject* object, std::size_t count) {
    Py_SET_REFCNT(object, Py_REFCNT(object) + static_cast<Py_ssize_t>(count));
}

// The items are stored without touching reference counts; each entry object
// then gains all its references at once, as list repetition does. The small
// ints are immortal from Python 3.12 on, and immortal objects keep no count.
void add_item_references(PyObject* object, std::span<PyObject* const> items) {
    if (_Py_IsImmortal(object)) return;
    add_references(object, static_cast<std::size_t>(std::count(items.begin(), items.end(), object)));
}

// Keeps the list out of the collector's reach, hence out of every other
// thread's, while its room is written without the GIL.
class Untracked {
public:
    explicit Untracked(const py::list& list) : list_(list.ptr()) { PyObject_GC_UnTrack(list_); }
    ~Untracked() { PyObject_GC_Track(list_); }
    Untracked(const Untracked&) = delete;
    Untracked& operator=(const Untracked&) = delete;

private:
    PyObject* list_;
};

// Writes the entry object of each decided row into the list's room, after the
// `first` warm-up items.
void decide_into(const Rule& rule, const signals::Columns& columns, std::size_t first,
                 const signals::EntryItems& objects, const py::list& list) {
    const std::span<PyObject*> decided = room_of(list).subspan(first);
    const Untracked untracked(list);
    // releasing the GIL is safe: the pass reads buffers that the caller keeps alive
    // and writes the room of a list that no other thread can reach
    py::gil_scoped_release unlocked;
    rule.decide(columns, first, objects, {reinterpret_cast<void**>(decided.data()), decided.size()});
}

// Fills the `window` leading items with `warm`, gives each object its
// references and makes the whole room the list's items.
py::list finish_list(py::list list, py::handle warm, std::size_t window, std::span<const py::object> ints) {
    const std::span<PyObject*> items = room_of(list);
    std::fill_n(items.begin(), window, warm.ptr());
    // warm-up items can only lead, before the first decision
    const auto leading = std::find_if(items.begin() + static_cast<std::ptrdiff_t>(window), items.end(),
                                      [&warm](PyObject* item) { return item != warm.ptr(); });
    add_references(warm.ptr(), static_cast<std::size_t>(leading - items.begin()));
    const std::span<PyObject* const> decided(leading, items.end());
    for (const py::object& value : ints) add_item_references(value.ptr(), decided);
    Py_SET_SIZE(list.ptr(), static_cast<Py_ssize_t>(items.size()));
    return list;
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
    if (rows <= window) return warm_up_entries(warm, window);
    std::vector<boundary::NumericSeries> converted;
    const signals::Columns columns = read_columns(rule, rows, converted);
    const std::array<py::object, 3> ints{py::int_(-1), py::int_(0), py::int_(1)};
    // indexed by entry + 1: short, flat, long, warm-up
    const signals::EntryItems objects{ints[0].ptr(), ints[1].ptr(), ints[2].ptr(), warm.ptr()};
    py::list list = list_with_room(rows);
    decide_into(rule, columns, window, objects, list);
    return finish_list(std::move(list), warm, window, ints);
}

py::list warm_up_entries(py::handle warm, std::size_t window) {
    return finish_list(list_with_room(window), warm, window, {});
}

}  // namespace backtest::tradecue
