// Correlation heatmaps: between several strategies' returns and PnL, and
// between the numeric columns of a table and a caller-defined target, without
// and with forward lags. Bodies read in the order the steps run; the libraries
// and the sibling functions are looked up in the module namespace where they
// are used, so callers can patch them.
#include <array>
#include <optional>

#include "boundary/module.hpp"
#include "diagram/pyplot.hpp"
#include "diagram/areas.hpp"
#include "diagram/registry.hpp"
#include "diagram/results_strategy_map.hpp"

namespace backtest::diagram {

namespace {

namespace py = pybind11;
using namespace pybind11::literals;
using boundary::Arguments;
using boundary::builtin;
using boundary::module_global;
using boundary::print_line;
bool truthy(py::handle value) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

// `item in container`.
bool contains(py::handle container, py::handle item) {
    const int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

// Runs `step`. An exception derived from Exception is caught and its text
// returned; anything else (KeyboardInterrupt, SystemExit) goes on up.
template <class Step>
std::optional<py::str> failure_of(Step&& step) {
    try {
        step();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return py::str(error.value());
    }
    return std::nullopt;
}

[[noreturn]] void raise_value_error(const py::str& message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
}

// --- Strategy correlation -------------------------------------------------

py::object load_strategy(py::handle module, py::handle file_path, py::handle leverage, const Arguments& args) {
    py::object strategy_data =
        module_global(module, "process_file")(file_path, leverage, py::handle(args[1]), py::handle(args[2]));
    py::object columns = strategy_data.attr("columns");
    if (!contains(columns, py::str("new_cumu")) || !contains(columns, py::str("datetime"))) {
        raise_value_error(py::str("'new_cumu' or 'datetime' column not found in {}").format(file_path));
    }
    if (!contains(columns, py::str("new_pnl"))) {
        raise_value_error(py::str("'new_pnl' column not found in {}").format(file_path));
    }
    return strategy_data;
}

py::object two_column_frame(py::handle module, py::handle time, py::handle name, py::handle values) {
    py::dict columns;
    columns["datetime"] = time;
    columns[name] = values;
    return module_global(module, "pd").attr("DataFrame")(columns);
}

// Growth of the cumulative return from each row to the next, stamped with the
// later row's time, and the per-bar PnL. NumPy's rules apply to a zero
// denominator (inf or NaN, not an error).
void append_strategy_frames(py::handle module, py::handle strategy_name, py::handle strategy_data,
                            py::list& returns_list, py::list& pnl_list) {
    py::object cumulative_returns = strategy_data["new_cumu"].attr("values");
    py::object time = strategy_data["datetime"].attr("values")[py::slice(1, std::nullopt, std::nullopt)];
    py::object periodic_returns = cumulative_returns[py::slice(1, std::nullopt, std::nullopt)] /
                                      cumulative_returns[py::slice(std::nullopt, -1, std::nullopt)] -
                                  py::int_(1);
    returns_list.append(two_column_frame(module, time, strategy_name, periodic_returns));
    py::object pnl = strategy_data["new_pnl"].attr("values");
    py::object time_pnl = strategy_data["datetime"].attr("values");
    pnl_list.append(two_column_frame(module, time_pnl, strategy_name, pnl));
}

py::object plot_correlation_body(py::handle module, const Arguments& args) {
    py::list returns_list;
    py::list pnl_list;
    for_each_strategy(args[0], [&](py::handle strategy_name, py::handle file_path, py::handle leverage) {
        py::object strategy_data = load_strategy(module, file_path, leverage, args);
        append_strategy_frames(module, strategy_name, strategy_data, returns_list, pnl_list);
    });
    module_global(module, "plot_correlation_helper")(returns_list, "Cumulative Returns Correlation Matrix Heatmap");
    module_global(module, "plot_correlation_helper")(pnl_list, "PnL Correlation Matrix Heatmap");
    return py::none();
}

py::object plot_correlation_helper_body(py::handle module, const Arguments& args) {
    const py::handle data_list = args[0];
    py::object merged_data = data_list[py::int_(0)];
    for (py::handle other : data_list[py::slice(1, std::nullopt, std::nullopt)]) {
        merged_data = module_global(module, "pd").attr("merge")(merged_data, other, "on"_a = "datetime",
                                                                "how"_a = "inner");
    }
    // Not in place: with a single frame, merged_data is still the caller's frame.
    merged_data = merged_data.attr("drop")("columns"_a = py::list(py::make_tuple("datetime")));
    py::object correlation_matrix = merged_data.attr("corr")();
    const py::int_ n(py::len(correlation_matrix));
    py::object size = builtin("max")(py::float_(10.0), n * py::float_(1.2));
    py::object plt = pyplot::plt(module);
    plt.attr("figure")("figsize"_a = py::make_tuple(size, size));
    py::object annotation_size = size / n * py::int_(15);
    module_global(module, "sns").attr("heatmap")(correlation_matrix, "annot"_a = true, "fmt"_a = ".2f",
                                                 "cmap"_a = "coolwarm", "cbar"_a = true, "square"_a = true,
                                                 "annot_kws"_a = py::dict("size"_a = annotation_size));
    plt.attr("title")(py::handle(args[1]), "fontsize"_a = 20);
    plt.attr("show")();
    return py::none();
}

// --- Custom target correlation --------------------------------------------

struct Method {
    const char* name;
    const char* title;
};

constexpr std::array<Method, 3> kMethods{{{"pearson", "Pearson"}, {"spearman", "Spearman"}, {"kendall", "Kendall"}}};

// The column correlated against and how it reads in titles, lines and file names.
struct TargetColumn {
    py::str name;           // target_custom or target_custom_lag_<lag>
    py::str missing_label;  // names it when a correlation matrix lacks it
    py::str title_suffix;
    py::str saved_suffix;
    py::str file_suffix;
};

// One correlation table per method: shown as a one-row heatmap, saved sorted
// from the strongest positive correlation down.
struct TargetCorrelation {
    py::handle module;
    py::handle output_file_prefix;
    py::tuple figsize;

    void run(py::handle data, const TargetColumn& target) const {
        for (const Method& method : kMethods) correlate(data, target, method);
    }

    void correlate(py::handle data, const TargetColumn& target, const Method& method) const {
        py::object corr_matrix = data.attr("corr")("method"_a = method.name);
        if (!contains(corr_matrix.attr("columns"), target.name)) {
            print_line(py::str("{}: {} missing in correlation matrix.").format(method.title, target.missing_label));
            return;
        }
        py::object target_column = corr_matrix[py::list(py::make_tuple(target.name))];
        py::object target_corr = target_column.attr("T");
        const py::str sorted_name = py::str("correlation_with_{}_{}").format(target.name, method.name);
        py::dict renamed;
        renamed[target.name] = sorted_name;
        py::object sorted_corr =
            target_column.attr("rename")("columns"_a = renamed).attr("sort_values")("by"_a = sorted_name,
                                                                                    "ascending"_a = false);
        show_heatmap(target_corr, py::str("{} Correlation: Numeric Columns vs {}{}")
                                      .format(method.title, target.name, target.title_suffix));
        py::object output_file = output_file_prefix + py::str("_") + py::str(method.name) + target.file_suffix;
        sorted_corr.attr("to_csv")(output_file, "index"_a = true);
        print_line(py::str("{} correlation with {}{} saved to {}")
                       .format(method.title, target.name, target.saved_suffix, output_file));
    }

    void show_heatmap(py::handle target_corr, const py::str& title) const {
        py::object plt = pyplot::plt(module);
        plt.attr("figure")("figsize"_a = figsize);
        module_global(module, "sns").attr("heatmap")(target_corr, "annot"_a = true, "fmt"_a = ".2f",
                                                     "cmap"_a = "coolwarm", "cbar"_a = true,
                                                     "annot_kws"_a = py::dict("size"_a = 8));
        plt.attr("title")(title, "fontsize"_a = 16);
        plt.attr("xticks")("rotation"_a = 45, "ha"_a = "right", "fontsize"_a = 8);
        plt.attr("tight_layout")();
        plt.attr("show")();
    }
};

void create_output_directory(py::handle module, py::handle output_file_prefix) {
    py::object os = module_global(module, "os");
    py::object output_dir = os.attr("path").attr("dirname")(output_file_prefix);
    if (!truthy(output_dir) || truthy(os.attr("path").attr("exists")(output_dir))) return;
    os.attr("makedirs")(output_dir);
    print_line(py::str("Created directory: {}").format(output_dir));
}

// Every column but "Unnamed: 0", the unnamed index column of a frame saved
// with its index.
py::object read_table(py::handle module, py::handle file_path) {
    const py::cpp_function keeps_column([](py::handle col) { return col.not_equal(py::str("Unnamed: 0")); },
                                        py::arg("col"));
    return module_global(module, "pd").attr("read_csv")(file_path, "usecols"_a = keeps_column);
}

void assign_column(py::handle df, py::handle name, py::handle values) {
    df.attr("loc")[py::make_tuple(py::slice(), name)] = values;
}

bool is_numeric_column(py::handle module, py::handle df, py::handle name) {
    return truthy(module_global(module, "pd").attr("api").attr("types").attr("is_numeric_dtype")(df[name]));
}

// Numeric columns in frame order, without the time columns and the target.
py::list candidate_columns(py::handle module, py::handle df, const py::str& target_name) {
    const py::list excluded(py::make_tuple("start_time", "end_time", target_name));
    py::list numeric_cols;
    for (py::handle col : df.attr("columns")) {
        if (is_numeric_column(module, df, col) && !contains(excluded, col)) numeric_cols.append(col);
    }
    return numeric_cols;
}

py::object complete_rows(py::handle df, const py::list& numeric_cols, py::handle target) {
    py::object columns = numeric_cols + py::list(py::make_tuple(target));
    return df[columns].attr("dropna")();
}

py::object plot_custom_correlation_body(py::handle module, const Arguments& args) {
    const py::handle file_path = args[0];
    // Any path-like prefix: the file names are built by joining text to it.
    const py::object output_file_prefix = module_global(module, "os").attr("fspath")(py::handle(args[1]));
    create_output_directory(module, output_file_prefix);

    py::object df;
    if (const auto failure = failure_of([&] { df = read_table(module, file_path); })) {
        print_line(py::str("Error reading {}: {}").format(file_path, *failure));
        return py::none();
    }
    py::object target_series;
    // The caller's function gets a copy, so it cannot change the frame analysed here.
    if (const auto failure = failure_of([&] { target_series = py::handle(args[2])(df.attr("copy")()); })) {
        print_line(py::str("Error applying target_series_func: {}").format(*failure));
        return py::none();
    }
    const py::str target_name("target_custom");
    assign_column(df, target_name, target_series);
    if (!contains(df.attr("columns"), target_name) || !is_numeric_column(module, df, target_name)) {
        print_line(py::str("Target series is missing or not numeric."));
        return py::none();
    }
    const py::list numeric_cols = candidate_columns(module, df, target_name);
    if (numeric_cols.empty()) {
        print_line(py::str("No numeric columns found to correlate with."));
        return py::none();
    }

    py::object width = builtin("max")(py::float_(8.0), py::int_(numeric_cols.size()) * py::float_(0.8));
    const TargetCorrelation analysis{module, output_file_prefix, py::make_tuple(width, 4)};
    analysis.run(complete_rows(df, numeric_cols, target_name),
                 {target_name, py::str("Target"), py::str(" (No Lag)"), py::str(" (no lag)"), py::str("_no_lag.csv")});

    for (py::handle lag : builtin("range")(1, py::handle(args[3]) + py::int_(1))) {
        const py::str lag_col = py::str("{}_lag_{}").format(target_name, lag);
        assign_column(df, lag_col, df[target_name].attr("shift")(-lag));
        py::object lag_data = complete_rows(df, numeric_cols, lag_col);
        if (py::len(lag_data) < 2) {
            print_line(py::str("Not enough data for lag {}").format(lag));
            continue;
        }
        analysis.run(lag_data, {lag_col, lag_col, py::str(""), py::str(""), py::str("_lag_{}.csv").format(lag)});
    }
    return py::none();
}

}  // namespace

std::vector<PyMethodDef> correlation_methods() {
    return {boundary::method<kPlotCorrelation, &plot_correlation_body>(),
            boundary::method<kPlotCorrelationHelper, &plot_correlation_helper_body>(),
            boundary::method<kPlotCustomCorrelation, &plot_custom_correlation_body>()};
}

}  // namespace backtest::diagram
