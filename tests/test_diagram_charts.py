"""Sweep heatmap, run chart, data-spread chart and bell curve, checked on the figures they show."""

import inspect

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.colors import to_rgba
from matplotlib.ticker import MaxNLocator
from scipy import stats

from Backtest import diagram


@pytest.fixture
def shown(monkeypatch):
    """The current figure at every plt.show(); all figures closed afterwards."""
    figures = []
    monkeypatch.setattr(plt, "show", lambda: figures.append(plt.gcf()))
    yield figures
    plt.close("all")


@pytest.fixture
def subplot_sizes(monkeypatch):
    sizes = []
    subplots = plt.subplots

    def recording(*args, **kwargs):
        sizes.append(kwargs["figsize"])
        return subplots(*args, **kwargs)

    monkeypatch.setattr(plt, "subplots", recording)
    return sizes


def sweep(rows, cols, sharpe=None):
    pairs = [(p1, p2) for p1 in range(rows) for p2 in range(10, 10 + cols)]
    values = np.linspace(0.0, 3.0, len(pairs)) if sharpe is None else sharpe
    return pd.DataFrame({"param1": [p[0] for p in pairs], "param2": [p[1] for p in pairs], "SR": values})


def run_frame(cumu):
    cumu = pd.Series(cumu, dtype=float)
    return pd.DataFrame({"datetime": [f"2024-01-01 {h:02d}:00" for h in range(len(cumu))], "cumu": cumu,
                         "close": 100.0 + np.arange(len(cumu)), "drawdown": cumu - cumu.cummax(),
                         "data": np.sin(np.arange(len(cumu)))})


def axes_titled(figure, title):
    return next(ax for ax in figure.axes if ax.get_title() == title)


def legend_texts(ax):
    return [text.get_text() for text in ax.get_legend().get_texts()]


@pytest.mark.parametrize("rows, cols, figsize, font_size", [
    (3, 4, (10, 5), 20),
    (6, 10, (12.0, 5), 20),
    (12, 12, (14.399999999999999, 8.399999999999999), 20),
    (20, 13, (15.6, 14.0), 12.5),
    (20, 40, (48.0, 14.0), 8),
])
def test_heatmap_scales_figure_and_fonts_with_the_sweep(shown, subplot_sizes, rows, cols, figsize, font_size):
    diagram.plot_heatmap(sweep(rows, cols))
    # Python's max keeps the integer floor unless the product exceeds it.
    assert subplot_sizes == [figsize]
    assert [type(v) for v in subplot_sizes[0]] == [type(v) for v in figsize]
    [figure] = shown
    heat_ax = figure.axes[0]
    assert len(heat_ax.texts) == rows * cols
    assert {text.get_fontsize() for text in heat_ax.texts} == {font_size}
    title = axes_titled(figure, "Sharpe Ratio Heatmap").title
    assert title.get_fontsize() == font_size + 5


def test_heatmap_is_white_up_to_one_and_darkest_at_the_table_maximum(shown):
    report = sweep(3, 4, sharpe=[0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 0.2, 0.4, 0.6, 0.8, 2.2])
    diagram.plot_heatmap(report)
    mesh = shown[0].axes[0].collections[0]
    assert mesh.get_clim() == (1, 3.0)
    assert mesh.cmap.N == 257
    colours = mesh.cmap(mesh.norm(np.array([0.0, 0.8, 1.0, 3.0])))
    assert colours[:3].tolist() == [list(to_rgba("white"))] * 3
    assert colours[3].tolist() == list(plt.get_cmap("YlGn")(1.0))


def test_heatmap_mirrors_the_rows_on_a_right_axis(shown):
    diagram.plot_heatmap(sweep(3, 4))
    figure = shown[0]
    left = figure.axes[0]
    right = axes_titled(figure, "Sharpe Ratio Heatmap")
    assert right is not left
    assert left.get_ylabel() == "param1 (Left Axis)"
    assert right.get_ylabel() == "param1 (Right Axis)"
    assert left.get_xlabel() == "param2"
    assert right.get_ylim() == left.get_ylim()
    assert list(right.get_yticks()) == list(left.get_yticks())
    assert [t.get_text() for t in right.get_yticklabels()] == ["0", "1", "2"]


@pytest.mark.parametrize("chart, left_label, title, figsize", [
    (lambda df: diagram.plot_single_diagram(df, sweep(2, 2)), "Cumulative Return",
     "Cumulative Return and Close Price Over Time", (12, 6)),
    (diagram.plot_data_spread, "Raw Data", "Data Spread and Close Price over Time", (20, 9)),
])
def test_time_charts_put_the_close_price_on_a_blue_right_axis(shown, subplot_sizes, chart, left_label, title,
                                                              figsize):
    chart(run_frame([0, 1, 3, 2, 1, 2, 3, 4, 2, 5, 6, 7, 8, 9, 10]))
    figure = shown[-1]
    assert subplot_sizes[-1] == figsize
    left, right = figure.axes
    assert (left.get_ylabel(), left.yaxis.label.get_color()) == (left_label, "red")
    assert (right.get_ylabel(), right.yaxis.label.get_color()) == ("Close Price", "blue")
    assert left.yaxis.get_tick_params()["labelcolor"] == "red"
    assert right.yaxis.get_tick_params()["labelcolor"] == "blue"
    assert right.get_title() == title
    assert left.get_xlabel() == "Date"
    assert left.get_legend()._loc == 2 and right.get_legend()._loc == 4
    assert legend_texts(right) == ["Close Price"]
    assert left.xaxis.get_gridlines()[0].get_visible()
    locator = left.xaxis.get_major_locator()
    assert isinstance(locator, MaxNLocator)
    assert (locator._nbins, locator._integer, locator._prune) == (12, True, "lower")
    assert {label.get_rotation() for label in left.get_xticklabels()} == {45}


@pytest.mark.parametrize("cumu, peak, trough", [
    ([0, 1, 3, 2, 1, 2, 3, 4], 2, 4),
    ([0, 2, 1, 3, 0.5], 3, 4),  # deepest point in the last row
    ([0, 3, 1, 3, 0], 1, 4),  # equal highs before the trough: the first counts
])
def test_run_chart_marks_peak_and_trough_of_the_maximum_drawdown(shown, cumu, peak, trough):
    df = run_frame(cumu)
    diagram.plot_single_diagram(df, sweep(2, 2))
    assert [f.axes[-1].get_title() for f in shown] == ["Sharpe Ratio Heatmap",
                                                       "Cumulative Return and Close Price Over Time"]
    left = shown[1].axes[0]
    peak_point, trough_point = left.collections
    assert peak_point.get_offsets().tolist() == [[peak, cumu[peak]]]
    assert trough_point.get_offsets().tolist() == [[trough, cumu[trough]]]
    assert [tuple(p.get_facecolor()[0]) for p in (peak_point, trough_point)] == [to_rgba("orange"),
                                                                               to_rgba("green")]
    assert {p.get_zorder() for p in (peak_point, trough_point)} == {5}
    curve, peak_line, trough_line = left.get_lines()
    assert curve.get_color() == "red" and list(curve.get_ydata()) == cumu
    assert [line.get_xdata()[0] for line in (peak_line, trough_line)] == df["datetime"][[peak, trough]].tolist()
    assert [(line.get_color(), line.get_linestyle(), line.get_linewidth()) for line in (peak_line, trough_line)] == [
        ("orange", "--", 1), ("green", "--", 1)]
    assert legend_texts(left) == ["Cumulative Return (Buy and Hold)", "Peak (Before MDD)", "Trough (MDD)",
                                  "Peak Date", "Trough Date"]


@pytest.mark.parametrize("relabel", [
    lambda df: df.set_axis(range(100, 100 + len(df))),
    lambda df: df.set_axis(pd.date_range("2024-01-01", periods=len(df), freq="h")),
    lambda df: df.set_axis(range(len(df) - 1, -1, -1)),
    lambda df: df.set_axis([f"r{i}" for i in range(len(df))]),
], ids=["offset", "datetime", "reversed", "text"])
def test_run_chart_marks_by_position_whatever_the_index(shown, relabel):
    cumu = [0, 1, 3, np.nan, 1, 2, 3, 4]
    diagram.plot_single_diagram(relabel(run_frame(cumu)), sweep(2, 2))
    peak_point, trough_point = shown[1].axes[0].collections
    assert peak_point.get_offsets().tolist() == [[2, 3.0]]
    assert trough_point.get_offsets().tolist() == [[4, 1.0]]


@pytest.mark.parametrize("cumu", [[0, 1, 2, 3], [1, 1, 2, 5], [0, 0, 0], [2]])
def test_run_chart_without_a_peak_before_the_deepest_point_is_shown_unmarked(shown, cumu):
    diagram.plot_single_diagram(run_frame(cumu), sweep(2, 2))
    assert len(shown) == 2
    left = shown[1].axes[0]
    assert len(left.collections) == 0 and len(left.get_lines()) == 1
    assert legend_texts(left) == ["Cumulative Return (Buy and Hold)"]


def test_run_chart_calls_the_heatmap_bound_in_the_module_first(shown, monkeypatch):
    calls = []
    monkeypatch.setattr(diagram, "plot_heatmap", lambda report: calls.append((report, len(shown))))
    report = sweep(2, 2)
    diagram.plot_single_diagram(run_frame([0, 2, 1]), report)
    assert calls == [(report, 0)] and len(shown) == 1


def test_data_spread_scatters_small_red_points(shown):
    df = run_frame([0, 1, 2, 3, 4])
    diagram.plot_data_spread(df)
    [points] = shown[0].axes[0].collections
    assert points.get_sizes().tolist() == [3]
    assert tuple(points.get_facecolor()[0]) == to_rgba("red")
    assert points.get_offsets()[:, 1].tolist() == df["data"].tolist()
    assert legend_texts(shown[0].axes[0]) == ["Data Spread"]


@pytest.mark.parametrize("values", [[-0.75, 1.75], [1.75, np.nan, -0.75, np.nan]])
def test_bell_curve_draws_the_fitted_normal_over_the_data_range(shown, values):
    diagram.plot_bell_curve(pd.DataFrame({"data": values}))
    [ax] = shown[0].axes
    [curve] = ax.get_lines()
    x = np.linspace(-0.75, 1.75, 100)
    assert curve.get_xdata().tolist() == x.tolist()
    np.testing.assert_allclose(curve.get_ydata(), stats.norm.pdf(x, 0.5, 1.25), rtol=1e-12)
    assert (to_rgba(curve.get_color()), curve.get_linewidth()) == (to_rgba("k"), 2)
    assert legend_texts(ax) == ["Fit Normal Distribution\nMean: 0.50, Std Dev: 1.25"]
    assert (ax.get_title(), ax.get_xlabel(), ax.get_ylabel()) == ("Bell Curve (Normal Distribution)", "Value",
                                                                   "Density")


def test_bell_curve_draws_on_the_current_figure(shown):
    figure = plt.figure(figsize=(3, 2))
    diagram.plot_bell_curve(pd.DataFrame({"data": [1.0, 2.0, 4.0]}))
    assert shown == [figure] and plt.get_fignums() == [figure.number]


class Recording:
    """Stands in for a module-level binding and records the attributes used through it."""

    def __init__(self, target):
        self.target, self.used = target, []

    def __getattr__(self, name):
        self.used.append(name)
        return getattr(self.target, name)

    def __call__(self, *args, **kwargs):
        self.used.append("()")
        return self.target(*args, **kwargs)


@pytest.mark.parametrize("chart, names", [
    (lambda: diagram.plot_heatmap(sweep(2, 3)), ["plt", "sns", "np"]),
    (lambda: diagram.plot_single_diagram(run_frame([0, 2, 1]), sweep(2, 2)), ["plt", "MaxNLocator"]),
    (lambda: diagram.plot_data_spread(run_frame([0, 2, 1])), ["plt", "MaxNLocator"]),
    (lambda: diagram.plot_bell_curve(pd.DataFrame({"data": [1.0, 2.0]})), ["plt", "np", "stats"]),
])
def test_charts_use_the_libraries_bound_in_the_module_at_call_time(shown, monkeypatch, chart, names):
    stand_ins = {name: Recording(getattr(diagram, name)) for name in names}
    for name, stand_in in stand_ins.items():
        monkeypatch.setattr(diagram, name, stand_in)
    chart()
    assert all(stand_in.used for stand_in in stand_ins.values())
    assert stand_ins["plt"].used[-1] == "show"


@pytest.mark.parametrize("function, signature", [
    (diagram.plot_single_diagram, "(df, report_df)"),
    (diagram.plot_heatmap, "(report_df)"),
    (diagram.plot_data_spread, "(df)"),
    (diagram.plot_bell_curve, "(df)"),
])
def test_chart_signatures(function, signature):
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ is None
    with pytest.raises(TypeError, match=rf"^{function.__name__}\(\) takes exactly"):
        function(*range(signature.count(",") + 2))
