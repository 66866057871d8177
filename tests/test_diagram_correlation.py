"""Strategy correlation heatmaps and the custom target correlation: frames, figures, tables and printed lines."""

import copy
import inspect
import os
import pathlib

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from Backtest import diagram

TIMES = [f"2024-01-01 {h:02d}:00" for h in range(8)]


@pytest.fixture
def shown(monkeypatch):
    """The current figure at every plt.show(), closed as a user closes a blocking window."""
    figures = []

    def show():
        figures.append(plt.gcf())
        plt.close(figures[-1])

    monkeypatch.setattr(plt, "show", show)
    yield figures
    plt.close("all")


@pytest.fixture
def figure_sizes(monkeypatch):
    sizes = []
    figure = plt.figure

    def recording(*args, **kwargs):
        sizes.append(kwargs["figsize"])
        return figure(*args, **kwargs)

    monkeypatch.setattr(plt, "figure", recording)
    return sizes


def printed(capsys):
    return capsys.readouterr().out.splitlines()


def strategy_frame(cumu, times=TIMES, columns=("datetime", "new_pnl", "new_cumu", "close")):
    cumu = np.asarray(cumu, dtype=float)
    full = pd.DataFrame({"datetime": times[:len(cumu)], "new_pnl": np.diff(cumu, prepend=0.0), "new_cumu": cumu,
                         "close": 100.0 + np.arange(len(cumu))})
    return full[list(columns)]


@pytest.fixture
def strategy_files(monkeypatch):
    """process_file replaced by a lookup of prepared results (or errors) by path; records its calls."""
    results, calls = {}, []

    def process_file(file_path, leverage, start_time, end_time):
        calls.append((file_path, leverage, start_time, end_time))
        result = results[file_path]
        if isinstance(result, BaseException):
            raise result
        return result

    monkeypatch.setattr(diagram, "process_file", process_file)
    return results, calls


@pytest.fixture
def helper_calls(monkeypatch):
    calls = []
    monkeypatch.setattr(diagram, "plot_correlation_helper", lambda data_list, title: calls.append((title, data_list)))
    return calls


TITLES = ["Cumulative Returns Correlation Matrix Heatmap", "PnL Correlation Matrix Heatmap"]


def test_strategies_become_return_and_pnl_frames_in_map_order(strategy_files, helper_calls):
    results, calls = strategy_files
    results["b.csv"] = strategy_frame([1.0, 1.5, 1.2, 2.4])
    results["a.csv"] = strategy_frame([2.0, 1.0, 4.0])
    diagram.plot_correlation({"beta": ("b.csv", 2), "alpha": ["a.csv", 0.5]}, "start", None)
    assert calls == [("b.csv", 2, "start", None), ("a.csv", 0.5, "start", None)]
    assert [title for title, _ in helper_calls] == TITLES
    (_, returns), (_, pnl) = helper_calls
    assert [list(frame.columns) for frame in returns] == [["datetime", "beta"], ["datetime", "alpha"]]
    assert returns[0]["datetime"].tolist() == TIMES[1:4]
    np.testing.assert_allclose(returns[0]["beta"], [0.5, -0.2, 1.0])
    np.testing.assert_allclose(returns[1]["alpha"], [-0.5, 3.0])
    assert [list(frame.columns) for frame in pnl] == [["datetime", "beta"], ["datetime", "alpha"]]
    assert pnl[1]["datetime"].tolist() == TIMES[:3]
    assert pnl[1]["alpha"].tolist() == results["a.csv"]["new_pnl"].tolist()


@pytest.mark.filterwarnings("ignore:divide by zero:RuntimeWarning", "ignore:invalid value:RuntimeWarning")
def test_a_zero_cumulative_return_gives_non_finite_returns_and_keeps_the_strategy(strategy_files, helper_calls):
    results, _ = strategy_files
    results["z.csv"] = strategy_frame([0.0, 0.0, 0.5, 1.0])
    diagram.plot_correlation({"z": ("z.csv", 1)}, None, None)
    returns = helper_calls[0][1][0]["z"].tolist()
    assert np.isnan(returns[0]) and returns[1:] == [np.inf, 1.0]


@pytest.mark.parametrize("result, message", [
    (OSError("disk gone"), "disk gone"),
    (KeyError("pos"), "'pos'"),
    (strategy_frame([1, 2, 3], columns=("datetime", "new_cumu")), "'new_pnl' column not found in b.csv"),
    (strategy_frame([1, 2, 3], columns=("datetime", "new_pnl")), "'new_cumu' or 'datetime' column not found in b.csv"),
    (strategy_frame([1, 2, 3], columns=("new_pnl", "new_cumu")), "'new_cumu' or 'datetime' column not found in b.csv"),
])
def test_a_failing_strategy_is_reported_and_skipped(strategy_files, helper_calls, capsys, result, message):
    results, _ = strategy_files
    results.update({"a.csv": strategy_frame([1, 2, 3]), "b.csv": result, "c.csv": strategy_frame([3, 2, 1])})
    diagram.plot_correlation({"a": ("a.csv", 1), "b": ("b.csv", 1), "c": ("c.csv", 1)}, None, None)
    assert printed(capsys) == [f"Error processing file b.csv: {message}"]
    for _, frames in helper_calls:
        assert [frame.columns[1] for frame in frames] == ["a", "c"]


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_interrupts_while_loading_are_not_swallowed(strategy_files, helper_calls, error):
    strategy_files[0]["a.csv"] = error
    with pytest.raises(type(error)):
        diagram.plot_correlation({"a": ("a.csv", 1)}, None, None)
    assert helper_calls == []


def python_error(statement):
    try:
        statement()
    except Exception as error:  # the interpreter's own wording, to compare with
        return type(error), str(error)
    raise AssertionError("no error")


def unpack(value):
    file_path, leverage = value


@pytest.mark.parametrize("value", [("a.csv", 1, "extra"), ["a.csv"], (), 5, None, "abc"])
def test_a_value_that_is_not_a_pair_fails_as_unpacking_does(strategy_files, helper_calls, value):
    results, calls = strategy_files
    results["ok.csv"] = strategy_frame([1, 2])
    kind, message = python_error(lambda: unpack(value))
    with pytest.raises(kind) as raised:
        diagram.plot_correlation({"ok": ("ok.csv", 1), "bad": value}, None, None)
    assert str(raised.value) == message
    assert len(calls) == 1 and helper_calls == []


@pytest.mark.parametrize("file_paths", [None, [("a", ("a.csv", 1))], "a"])
def test_file_paths_must_be_a_mapping(file_paths):
    kind, message = python_error(lambda: file_paths.items())
    with pytest.raises(kind, match=f"^{message}$"):
        diagram.plot_correlation(file_paths, None, None)


def test_nothing_loaded_fails_when_the_heatmap_needs_a_first_frame(strategy_files, shown, capsys):
    strategy_files[0]["a.csv"] = FileNotFoundError("no a.csv")
    with pytest.raises(IndexError, match="^list index out of range$"):
        diagram.plot_correlation({"a": ("a.csv", 1)}, None, None)
    assert printed(capsys) == ["Error processing file a.csv: no a.csv"]
    assert shown == [] and plt.get_fignums() == []


def write_result_file(path, hours, seed):
    rng = np.random.default_rng(seed)
    times = pd.Timestamp("2024-01-01") + pd.to_timedelta(hours, unit="h")
    pd.DataFrame({"start_time": times.as_unit("ms").asi8, "datetime": times.strftime("%Y-%m-%d %H:%M:%S"),
                  "close": 100 + rng.normal(size=len(hours)).cumsum(), "pos": rng.integers(-1, 2, len(hours)),
                  "price_chg": rng.normal(0, 0.01, len(hours))}).to_csv(path)


def correlation_of(frames):
    merged = frames[0]
    for other in frames[1:]:
        merged = merged.merge(other, on="datetime")
    return merged.drop(columns="datetime").corr().to_numpy()


# process_file starts every window at a cumulative return of 0: the first returns divide by 0.
@pytest.mark.filterwarnings("ignore:divide by zero:RuntimeWarning", "ignore:invalid value:RuntimeWarning")
def test_result_files_are_correlated_over_their_common_window(tmp_path, monkeypatch, shown, capsys):
    monkeypatch.chdir(tmp_path)
    write_result_file("a.csv", np.arange(0, 30), seed=1)
    write_result_file("b.csv", np.arange(3, 40), seed=2)
    write_result_file("c.csv", np.arange(0, 30), seed=3)
    strategies = {"a": ("a.csv", 2), "missing": ("nowhere.csv", 1), "b": ("b.csv", 1), "c": ["c.csv", -0.5]}
    start, end = pd.Timestamp("2024-01-01 02:00"), pd.Timestamp("2024-01-02 01:00")
    diagram.plot_correlation(strategies, start, end)
    assert printed(capsys) == [
        "Error processing file nowhere.csv: [Errno 2] No such file or directory: 'nowhere.csv'"]
    loaded = [diagram.process_file(path, leverage, start, end) for path, leverage in
              (strategies["a"], strategies["b"], strategies["c"])]
    returns = [pd.DataFrame({"datetime": f["datetime"].to_numpy()[1:],
                             name: f["new_cumu"].to_numpy()[1:] / f["new_cumu"].to_numpy()[:-1] - 1})
               for name, f in zip("abc", loaded)]
    pnl = [pd.DataFrame({"datetime": f["datetime"], name: f["new_pnl"]}) for name, f in zip("abc", loaded)]
    assert [f.axes[0].get_title() for f in shown] == TITLES
    for figure, frames in zip(shown, (returns, pnl)):
        ax = figure.axes[0]
        assert [t.get_text() for t in ax.get_xticklabels()] == ["a", "b", "c"]
        np.testing.assert_allclose(ax.collections[0].get_array().reshape(3, 3), correlation_of(frames), rtol=1e-12)


def value_frames(count, rows=8, seed=1):
    rng = np.random.default_rng(seed)
    return [pd.DataFrame({"datetime": TIMES[:rows], f"s{i}": rng.normal(size=rows)}) for i in range(count)]


@pytest.mark.parametrize("count, size, annotation_size", [
    (1, 10.0, 150.0), (2, 10.0, 75.0), (8, 10.0, 18.75), (9, 10.799999999999999, 18.0), (20, 24.0, 18.0),
])
def test_helper_draws_a_square_heatmap_sized_by_the_number_of_strategies(shown, figure_sizes, count, size,
                                                                          annotation_size):
    frames = value_frames(count)
    diagram.plot_correlation_helper(frames, "Some Title")
    assert figure_sizes == [(size, size)] and type(figure_sizes[0][0]) is float
    [figure] = shown
    ax = figure.axes[0]
    expected = pd.concat([f.set_index("datetime") for f in frames], axis=1).corr()
    assert [t.get_text() for t in ax.texts] == [f"{v:.2f}" for v in expected.to_numpy().ravel()]
    assert {t.get_fontsize() for t in ax.texts} == {annotation_size}
    assert ax.collections[0].cmap.name == "coolwarm" and ax.get_aspect() == 1.0
    assert len(figure.axes) == 2  # with a colour bar
    assert (ax.get_title(), ax.title.get_fontsize()) == ("Some Title", 20)


def test_helper_correlates_only_the_timestamps_common_to_every_frame(shown):
    frames = [frame.iloc[start:] for frame, start in zip(value_frames(3, seed=4), (0, 2, 3))]
    frames[1] = frames[1].iloc[::-1]
    diagram.plot_correlation_helper(frames, "t")
    common = pd.concat([f.set_index("datetime") for f in frames], axis=1, join="inner").corr()
    np.testing.assert_allclose(shown[0].axes[0].collections[0].get_array().reshape(3, 3), common.to_numpy())


@pytest.mark.filterwarnings("ignore:All-NaN slice encountered:RuntimeWarning")
def test_helper_with_disjoint_timestamps_shows_empty_cells(shown):
    first, second = value_frames(2)
    diagram.plot_correlation_helper([first.iloc[:4], second.iloc[4:]], "t")
    assert len(shown) == 1 and len(shown[0].axes[0].texts) == 0


@pytest.mark.parametrize("count", [1, 3])
def test_helper_leaves_the_callers_frames_unchanged(shown, count):
    frames = value_frames(count)
    before = copy.deepcopy(frames)
    diagram.plot_correlation_helper(frames, "t")
    for frame, original in zip(frames, before):
        pd.testing.assert_frame_equal(frame, original)


@pytest.mark.parametrize("data_list, error, message, figures", [
    ([], IndexError, "list index out of range", 0),
    ([pd.DataFrame({"datetime": TIMES})], ZeroDivisionError, "float division by zero", 1),
])
def test_helper_errors(shown, data_list, error, message, figures):
    with pytest.raises(error, match=f"^{message}$"):
        diagram.plot_correlation_helper(data_list, "t")
    assert shown == [] and len(plt.get_fignums()) == figures


# --- custom target correlation ---------------------------------------------

METHODS = ["pearson", "spearman", "kendall"]


def market_table(rows=12, extra=0, seed=7):
    rng = np.random.default_rng(seed)
    table = pd.DataFrame({"start_time": np.arange(rows) * 3_600_000, "a": rng.normal(size=rows),
                          "name": [f"n{i}" for i in range(rows)], "b": rng.normal(size=rows),
                          "end_time": np.arange(1, rows + 1) * 3_600_000})
    for i in range(extra):
        table[f"x{i}"] = rng.normal(size=rows)
    return table


@pytest.fixture
def table_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    def write(table):
        # With its index, as the unnamed first column "Unnamed: 0" that must never be correlated.
        table.to_csv("table.csv")
        return "table.csv"

    return write


def forward_return(frame):
    return frame["a"] * 0.5 - frame["b"]


def expected_table(data, target, method):
    correlation = data.dropna().corr(method=method)[[target]]
    name = f"correlation_with_{target}_{method}"
    return correlation.rename(columns={target: name}).sort_values(name, ascending=False)


def saved_lines(prefix, max_lag, suffix=" (no lag)"):
    lines = [f"{m.capitalize()} correlation with target_custom{suffix} saved to {prefix}_{m}_no_lag.csv"
             for m in METHODS]
    for lag in range(1, max_lag + 1):
        lines += [f"{m.capitalize()} correlation with target_custom_lag_{lag} saved to {prefix}_{m}_lag_{lag}.csv"
                  for m in METHODS]
    return lines


def test_tables_hold_each_columns_correlation_with_the_target_and_its_lags(table_file, shown, capsys):
    table = market_table()
    table.loc[3, "b"] = np.nan
    diagram.plot_custom_correlation(table_file(table), "out/ratio", forward_return, max_lag=2)
    assert printed(capsys) == ["Created directory: out"] + saved_lines("out/ratio", 2)
    table["target_custom"] = forward_return(table)
    for method in METHODS:
        saved = pd.read_csv(f"out/ratio_{method}_no_lag.csv", index_col=0)
        expected = expected_table(table[["a", "b", "target_custom"]], "target_custom", method)
        pd.testing.assert_frame_equal(saved, expected, rtol=1e-12)
        for lag in (1, 2):
            lag_col = f"target_custom_lag_{lag}"
            data = table[["a", "b"]].assign(**{lag_col: table["target_custom"].shift(-lag)})
            saved = pd.read_csv(f"out/ratio_{method}_lag_{lag}.csv", index_col=0)
            pd.testing.assert_frame_equal(saved, expected_table(data, lag_col, method), rtol=1e-12)
    with open("out/ratio_kendall_lag_2.csv") as saved:
        assert saved.readline() == ",correlation_with_target_custom_lag_2_kendall\n"


def test_each_table_is_shown_as_a_one_row_heatmap(table_file, shown, figure_sizes):
    diagram.plot_custom_correlation(table_file(market_table()), "ratio", forward_return, max_lag=1)
    assert len(shown) == 6
    titles = [f.axes[0].get_title() for f in shown]
    assert titles == [f"{m.capitalize()} Correlation: Numeric Columns vs target_custom (No Lag)" for m in METHODS] + [
        f"{m.capitalize()} Correlation: Numeric Columns vs target_custom_lag_1" for m in METHODS]
    for figure in shown:
        ax = figure.axes[0]
        assert ax.title.get_fontsize() == 16
        assert len(figure.axes) == 2 and ax.collections[0].cmap.name == "coolwarm"
        assert len(ax.texts) == 3 and {t.get_fontsize() for t in ax.texts} == {8}
        assert [t.get_text() for t in ax.get_yticklabels()] == [ax.get_title().split(" vs ")[1].split(" ")[0]]
        ticks = ax.get_xticklabels()
        assert [t.get_text() for t in ticks][:2] == ["a", "b"]
        assert {(t.get_rotation(), t.get_ha(), t.get_fontsize()) for t in ticks} == {(45, "right", 8)}


@pytest.mark.parametrize("extra, width", [(0, 8.0), (3, 8.0), (8, 8.0), (9, 8.8), (18, 16.0)])
def test_heatmap_width_grows_with_the_number_of_candidate_columns(table_file, shown, figure_sizes, extra, width):
    diagram.plot_custom_correlation(table_file(market_table(rows=30, extra=extra)), "ratio", forward_return, 0)
    assert figure_sizes == [(width, 4)] * 3 and type(figure_sizes[0][0]) is float


@pytest.mark.parametrize("prefix, existing, created", [
    ("ratio", None, None),
    ("out/ratio", None, "out"),
    ("out/deeper/ratio", None, "out/deeper"),
    ("out/ratio", "out", None),
    ("out/", None, "out"),
])
def test_output_directory_is_created_when_missing(table_file, shown, capsys, prefix, existing, created):
    if existing:
        os.makedirs(existing)
    diagram.plot_custom_correlation(table_file(market_table()), prefix, forward_return, 0)
    lines = printed(capsys)
    assert lines == ([f"Created directory: {created}"] if created else []) + saved_lines(prefix, 0)
    assert pd.read_csv(f"{prefix}_spearman_no_lag.csv").shape == (3, 2)


@pytest.mark.parametrize("prefix", ["out/ratio", "ratio"])
def test_a_path_prefix_names_the_same_files_and_lines_as_its_text(table_file, shown, capsys, prefix):
    diagram.plot_custom_correlation(table_file(market_table()), pathlib.Path(prefix), forward_return, 1)
    lines = printed(capsys)
    assert lines == (["Created directory: out"] if "/" in prefix else []) + saved_lines(prefix, 1)
    assert all(os.path.exists(f"{prefix}_{m}_lag_1.csv") for m in METHODS)


@pytest.mark.parametrize("target, line", [
    (lambda f: 1 / 0, "Error applying target_series_func: division by zero"),
    (lambda f: f["missing"], "Error applying target_series_func: 'missing'"),
    (lambda f: f["name"], "Target series is missing or not numeric."),
    (lambda f: "text", "Target series is missing or not numeric."),
])
def test_target_failures_print_one_line_and_write_nothing(table_file, shown, capsys, target, line):
    diagram.plot_custom_correlation(table_file(market_table()), "out/ratio", target)
    assert printed(capsys) == ["Created directory: out", line]
    assert shown == [] and os.listdir("out") == []


def test_an_unreadable_file_prints_the_error(tmp_path, shown, capsys):
    missing = tmp_path / "missing.csv"
    diagram.plot_custom_correlation(str(missing), str(tmp_path / "ratio"), forward_return)
    [line] = printed(capsys)
    assert line.startswith(f"Error reading {missing}: [Errno 2] No such file or directory")


def test_only_time_columns_leave_nothing_to_correlate(table_file, shown, capsys):
    table = market_table()[["start_time", "name", "end_time"]]
    diagram.plot_custom_correlation(table_file(table), "ratio", lambda f: f["start_time"] * 2.0)
    assert printed(capsys) == ["No numeric columns found to correlate with."] and shown == []


def test_the_target_function_works_on_a_copy(table_file, shown):
    def meddling(frame):
        frame["a"] = 0.0
        frame["c"] = 1.0
        return forward_return(market_table())

    diagram.plot_custom_correlation(table_file(market_table()), "ratio", meddling, 0)
    table = market_table()
    table["target_custom"] = forward_return(table)
    saved = pd.read_csv("ratio_pearson_no_lag.csv", index_col=0)
    pd.testing.assert_frame_equal(saved, expected_table(table[["a", "b", "target_custom"]], "target_custom",
                                                        "pearson"), rtol=1e-12)


def test_lags_without_two_complete_rows_are_skipped(table_file, shown, capsys):
    diagram.plot_custom_correlation(table_file(market_table(rows=10)), "ratio", forward_return)
    lines = printed(capsys)
    assert lines == saved_lines("ratio", 8) + [f"Not enough data for lag {lag}" for lag in range(9, 25)]
    assert len(shown) == 27


@pytest.mark.parametrize("max_lag", [0, -3, False])
def test_no_lags_below_one(table_file, shown, capsys, max_lag):
    diagram.plot_custom_correlation(table_file(market_table()), "ratio", forward_return, max_lag)
    assert printed(capsys) == saved_lines("ratio", 0) and len(shown) == 3


@pytest.mark.filterwarnings("ignore:All-NaN slice encountered:RuntimeWarning")
def test_a_constant_target_sorts_its_undefined_correlations_last(table_file, shown):
    diagram.plot_custom_correlation(table_file(market_table()), "ratio", lambda f: 1.0, 0)
    with open("ratio_pearson_no_lag.csv") as saved:
        assert saved.read().splitlines()[1:] == ["a,", "b,", "target_custom,"]


def test_a_method_without_the_target_in_its_matrix_is_skipped(table_file, shown, capsys, monkeypatch):
    corr = pd.DataFrame.corr

    def corr_without_kendall_target(self, method="pearson", **kwargs):
        matrix = corr(self, method=method, **kwargs)
        return matrix.iloc[:, :-1] if method == "kendall" else matrix

    monkeypatch.setattr(pd.DataFrame, "corr", corr_without_kendall_target)
    diagram.plot_custom_correlation(table_file(market_table()), "ratio", forward_return, 1)
    lines = printed(capsys)
    assert lines[2] == "Kendall: Target missing in correlation matrix."
    assert lines[5] == "Kendall: target_custom_lag_1 missing in correlation matrix."
    assert len(lines) == 6 and len(shown) == 4


@pytest.mark.parametrize("target, error", [
    (lambda f: np.arange(3.0), ValueError),  # the column assignment is not guarded
    (lambda f: (_ for _ in ()).throw(KeyboardInterrupt), KeyboardInterrupt),
])
def test_unguarded_failures_reach_the_caller(table_file, shown, target, error):
    with pytest.raises(error):
        diagram.plot_custom_correlation(table_file(market_table()), "ratio", target)
    assert shown == []


@pytest.mark.parametrize("function, signature, doc", [
    (diagram.plot_correlation, "(file_paths, start_time, end_time)", None),
    (diagram.plot_correlation_helper, "(data_list, title)", "Helper function to plot correlation matrix."),
    (diagram.plot_custom_correlation, "(file_path, output_file_prefix, target_series_func, max_lag=24)", None),
])
def test_correlation_signatures(function, signature, doc):
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc
