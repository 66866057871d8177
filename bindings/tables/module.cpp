// Backtest._tables: the mode table and the registry of functions as Python
// data, for the generated stubs and README and for Python code that needs the
// names (the mode names, the indicators that write a signal). Private: the
// layout of its values may change with the tables.
//
// THRESHOLD_MODES, BAND_MODES: the mode names in their order of matching.
// INDICATORS: the formula functions taking (df, rolling_window) that write
//   processed_data, the signal of the threshold modes.
// MODES: {"threshold" | "band" | "macd": ((name, average, levels, clauses), ...)}
//   with average "sma" | "ema" | "wma" | None, levels the level source's name,
//   and clauses ((bounds, held, entry), ...) in order: bounds ((compare, level),
//   ...), held the entry the clause closes (1 | -1) or None, entry 1 | -1 | 0.
// FUNCTIONS: {"formula" | "tradecue" | "diagram": (row, ...)} in table order,
//   each row a dict of the registry's fields, parameters as (name, type,
//   default or None).
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "backtest/modes.hpp"
#include "diagram/registry.hpp"
#include "formula/registry.hpp"
#include "tradecue/registry.hpp"

namespace {

using namespace backtest;

// Steals `item`; null when it or the tuple is.
PyObject* set_item(PyObject* tuple, std::size_t i, PyObject* item) {
    if (item == nullptr) {
        Py_XDECREF(tuple);
        return nullptr;
    }
    if (tuple != nullptr) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item);
    else Py_DECREF(item);
    return tuple;
}

// A tuple of make(item) for each item of `items`.
template <class Items, class Make>
PyObject* tuple_of(const Items& items, std::size_t count, Make make) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
    for (std::size_t i = 0; i < count && tuple != nullptr; ++i) tuple = set_item(tuple, i, make(items[i]));
    return tuple;
}

PyObject* text(const char* value) { return value == nullptr ? Py_NewRef(Py_None) : PyUnicode_FromString(value); }

PyObject* text(std::string_view value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* columns(const registry::Columns& names) {
    std::size_t count = 0;
    while (count < names.size() && names[count] != nullptr) ++count;
    return tuple_of(names, count, [](const char* name) { return text(name); });
}

PyObject* parameter(const registry::Parameter& p) {
    PyObject* fallback = p.default_value ? PyLong_FromLong(*p.default_value) : Py_NewRef(Py_None);
    return Py_BuildValue("(ssN)", p.name, p.type, fallback);
}

PyObject* function(const registry::Function* f) {
    return Py_BuildValue("{s:s,s:N,s:s,s:s,s:N,s:N,s:s,s:s,s:s,s:s,s:s,s:N}",  //
                         "name", f->name,                                         //
                         "parameters", tuple_of(f->parameters, f->parameter_count(), parameter),
                         "returns", f->returns,        //
                         "summary", f->summary,        //
                         "reads", columns(f->reads),   //
                         "writes", columns(f->writes), //
                         "writes_note", f->writes_note,
                         "formula", f->formula,  //
                         "nan", f->nan,          //
                         "warm_up", f->warm_up,  //
                         "result", f->result,    //
                         "doc", text(f->doc));
}

// --- The mode table --------------------------------------------------------

const char* compare_name(signals::Compare compare) {
    switch (compare) {
        case signals::Compare::less: return "<";
        case signals::Compare::greater: return ">";
        case signals::Compare::less_equal: return "<=";
        case signals::Compare::greater_equal: return ">=";
    }
    return "?";
}

const char* level_name(signals::Level level) {
    switch (level) {
        case signals::Level::lower: return "lower";
        case signals::Level::upper: return "upper";
        case signals::Level::centre: return "centre";
    }
    return "?";
}

const char* source_name(signals::LevelSource source) {
    using L = signals::LevelSource;
    switch (source) {
        case L::fixed: return "fixed";
        case L::fixed_around_average: return "fixed_around_average";
        case L::scaled_average: return "scaled_average";
        case L::scaled_average_ordered: return "scaled_average_ordered";
        case L::average: return "average";
        case L::bands: return "bands";
        case L::bands_around_average: return "bands_around_average";
    }
    return "?";
}

PyObject* average_name(signals::Average average) {
    switch (average) {
        case signals::Average::none: return Py_NewRef(Py_None);
        case signals::Average::sma: return text("sma");
        case signals::Average::ema: return text("ema");
        case signals::Average::wma: return text("wma");
    }
    return Py_NewRef(Py_None);
}

PyObject* entry(signals::Entry value) { return PyLong_FromLong(static_cast<long>(value)); }

PyObject* clauses(const signals::ClauseList& list) {
    return tuple_of(list.clauses, list.size, [](const signals::Clause& clause) {
        PyObject* bounds = tuple_of(clause.bounds, clause.bound_count, [](const signals::Bound& bound) {
            return Py_BuildValue("(ss)", compare_name(bound.compare), level_name(bound.level));
        });
        PyObject* held = clause.needs_held ? entry(clause.held) : Py_NewRef(Py_None);
        return Py_BuildValue("(NNN)", bounds, held, entry(clause.result));
    });
}

PyObject* mode(PyObject* name, PyObject* average, signals::LevelSource levels, const signals::ClauseList& list) {
    return Py_BuildValue("(NNsN)", name, average, source_name(levels), clauses(list));
}

PyObject* modes() {
    PyObject* threshold = tuple_of(signals::kThresholdModes, signals::kThresholdModes.size(),
                                   [](const signals::ThresholdMode& m) {
                                       return mode(text(m.name()), average_name(m.average), m.levels, m.clauses());
                                   });
    PyObject* band = tuple_of(signals::kBandModes, signals::kBandModes.size(), [](const signals::BandMode& m) {
        return mode(text(m.name), average_name(m.centre), m.levels(), m.clauses());
    });
    PyObject* macd = PyTuple_New(1);
    macd = set_item(macd, 0, mode(text("macd"), Py_NewRef(Py_None), signals::kMacdLevels, signals::kMacdClauses));
    return Py_BuildValue("{s:N,s:N,s:N}", "threshold", threshold, "band", band, "macd", macd);
}

template <class Modes, class Name>
PyObject* names(const Modes& modes, Name name) {
    return tuple_of(modes, modes.size(), [&](const auto& m) { return text(name(m)); });
}

// --- The registry ------------------------------------------------------------

template <std::size_t N>
PyObject* functions(const std::array<const registry::Function*, N>& table) {
    return tuple_of(table, N, function);
}

// The frame functions a signal sweep can choose from: (df, rolling_window) in,
// processed_data among the columns written.
PyObject* indicators() {
    PyObject* list = PyList_New(0);
    for (const registry::Function* f : formula::kFunctions) {
        if (list == nullptr) break;
        const bool frame_and_window = f->parameter_count() == 2 && std::string_view(f->parameters[0].name) == "df" &&
                                      std::string_view(f->parameters[1].name) == "rolling_window";
        bool signal = false;
        for (const char* column : f->writes) {
            signal = signal || (column != nullptr && std::string_view(column) == "processed_data");
        }
        if (!frame_and_window || !signal) continue;
        PyObject* name = text(f->name);
        if (name == nullptr || PyList_Append(list, name) < 0) Py_CLEAR(list);
        Py_XDECREF(name);
    }
    if (list == nullptr) return nullptr;
    PyObject* tuple = PyList_AsTuple(list);
    Py_DECREF(list);
    return tuple;
}

int add(PyObject* module, const char* name, PyObject* value) {
    const int status = value == nullptr ? -1 : PyModule_AddObjectRef(module, name, value);
    Py_XDECREF(value);
    return status;
}

PyModuleDef definition{PyModuleDef_HEAD_INIT, "Backtest._tables",
                       "The mode table and the registry of functions as Python data (private).", -1,
                       nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tables() {
    PyObject* module = PyModule_Create(&definition);
    if (module == nullptr) return nullptr;
    if (add(module, "THRESHOLD_MODES",
            names(signals::kThresholdModes, [](const signals::ThresholdMode& m) { return m.name(); })) < 0 ||
        add(module, "BAND_MODES", names(signals::kBandModes, [](const signals::BandMode& m) { return m.name; })) < 0 ||
        add(module, "INDICATORS", indicators()) < 0 || add(module, "MODES", modes()) < 0 ||
        add(module, "FUNCTIONS",
            Py_BuildValue("{s:N,s:N,s:N}", "formula", functions(formula::kFunctions), "tradecue",
                          functions(tradecue::kFunctions), "diagram", functions(diagram::kFunctions))) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
