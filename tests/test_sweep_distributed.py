"""Sweeps of many instruments, on this machine and on a small cluster of worker processes."""

import sys
import time

import numpy as np
import pandas as pd
import pytest

from Backtest import sweep

HOURS = pd.date_range("2024-03-01", periods=700, freq="h")


def closes(seed, bars=len(HOURS), first=0):
    rng = np.random.default_rng(seed)
    return pd.Series(30_000 * np.exp(np.cumsum(rng.normal(0, 0.006, bars))), index=HOURS[first:first + bars])


# Instruments of different lengths and starts, so that trimming and time windows differ between them.
INSTRUMENTS = {"BTC": closes(1), "ETH": closes(2, 500, first=120), "SOL": closes(3, 300, first=40)}
SWEEPS = {
    "threshold": lambda prices, **kw: sweep.threshold_sweep(prices, [3, 13, 40, 96], [0.5, 1.5],
                                                            ["mr", "momentum_sideline", "mr_sma-s"],
                                                            "rolling_tanh_estimator", **kw),
    "band": lambda prices, **kw: sweep.band_sweep(prices, [5, 13, 30], [1.0, 2.0], ["mr_wma", "momentum_ema"], **kw),
    "macd": lambda prices, **kw: sweep.macd_sweep(prices, [3, 13], [12, 26], [4, 9], **kw),
}


def assert_identical(actual, expected):
    pd.testing.assert_frame_equal(actual, expected, check_exact=True)
    for name in ("SR", "CR", "MDD", "AR", "final_cumu", "recovery_days"):  # bit for bit, NaN included
        assert np.array_equal(actual[name].to_numpy().view(np.int64), expected[name].to_numpy().view(np.int64))


@pytest.mark.parametrize("kind", SWEEPS)
@pytest.mark.parametrize("form", ["dict", "close columns"])
def test_each_instruments_rows_are_its_own_sweep(kind, form):
    bounds = {"start_time": HOURS[100], "end_time": HOURS[450]}
    prices = INSTRUMENTS if form == "dict" else pd.DataFrame(INSTRUMENTS)  # NaN before and after each one
    report = SWEEPS[kind](prices, **bounds)
    assert list(report["instrument"].unique()) == list(INSTRUMENTS) and report.columns[0] == "instrument"
    for name, series in INSTRUMENTS.items():
        alone = SWEEPS[kind](series, **bounds)
        rows = report[report["instrument"] == name].drop(columns="instrument").reset_index(drop=True)
        pd.testing.assert_frame_equal(rows, alone, check_exact=True, check_dtype=False)
        assert rows.dtypes.to_dict() == alone.dtypes.to_dict()


# --- on a cluster ---------------------------------------------------------------

# Dask's own warnings while workers start and stop, turned into errors by the suite otherwise.
pytestmark = [
    pytest.mark.filterwarnings("ignore:Port .* is already in use:UserWarning"),
    pytest.mark.filterwarnings("ignore::ResourceWarning"),
    pytest.mark.filterwarnings("ignore:.*deprecated.*:DeprecationWarning:distributed"),
]


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        yield cluster


@pytest.fixture(scope="module")
def client(cluster):
    from distributed import Client

    with Client(cluster, set_as_default=False) as client:
        yield client


def our_tasks(records):
    return [r for r in records if str(r["key"]).split("-")[0].endswith("_sweep")]


CLUSTER_CASES = [("threshold", "BTC"), ("threshold", "all"), ("band", "all"), ("macd", "ETH"),
                 ("threshold", "address")]


@pytest.mark.parametrize(("kind", "instruments"), CLUSTER_CASES)
def test_cluster_reports_are_the_local_ones(cluster, client, monkeypatch, kind, instruments):
    from distributed import Client, get_task_stream

    prices = {"BTC": INSTRUMENTS["BTC"], "ETH": INSTRUMENTS["ETH"]}.get(instruments, INSTRUMENTS)
    target = client
    if instruments == "address":
        opened = []

        class Recorded(Client):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                opened.append(self)

        monkeypatch.setattr("distributed.Client", Recorded)
        target = cluster.scheduler_address
    with get_task_stream(client) as stream:
        remote = SWEEPS[kind](prices, client=target, start_time=HOURS[30])
    assert_identical(remote, SWEEPS[kind](prices, start_time=HOURS[30]))
    tasks = our_tasks(stream.data)
    assert len(tasks) > 1 and len({task["worker"] for task in tasks}) == 2
    if instruments == "address":
        assert [c.status for c in opened] == ["closed"]  # the client it opened is closed again


FAILURE = """
import Backtest.sweep as sweep
original = sweep._threshold_columns
def failing(market, windows, **options):
    if 13 in windows and len(market.close) == 700:  # BTC only
        sweep.failures = getattr(sweep, "failures", 0) + 1
        raise ZeroDivisionError("no window 13 today")
    return original(market, windows, **options)
failing.original = original
sweep._threshold_columns = failing
"""
RESTORE = "import Backtest.sweep as s\ns._threshold_columns = s._threshold_columns.original\ns.failures = 0"


def left_on_cluster(client):
    """Keys of sweeps still held or computed on the cluster, waited for briefly (cancelling is asynchronous)."""
    for _ in range(100):
        keys = {str(k) for keys in client.has_what().values() for k in keys}
        keys |= {str(k) for keys in client.processing().values() for k in keys}
        keys = {k for k in keys if k.split("-")[0].endswith("_sweep") or k.startswith("_Market-")}
        if not keys:
            return keys
        time.sleep(0.05)
    return keys


@pytest.mark.parametrize("stop", ["error in a task", "Ctrl-C"])
def test_a_stopped_sweep_raises_and_leaves_nothing_on_the_cluster(client, monkeypatch, stop):
    windows = list(range(5, 25))  # 13 falls in one block of each instrument
    if stop == "error in a task":
        client.run(exec, FAILURE, {})
        try:
            with pytest.raises(ZeroDivisionError, match="no window 13 today") as caught:
                sweep.threshold_sweep(INSTRUMENTS, windows, [1.0], ["mr"], client=client)
            failures = client.run(eval, "__import__('Backtest.sweep').sweep.__dict__.get('failures', 0)")
        finally:
            client.run(exec, RESTORE, {})
        notes = "\n".join(caught.value.__notes__)
        assert "in the sweep task of instrument 'BTC', windows [" in notes and "13" in notes
        assert sum(failures.values()) == 1  # raised once, never retried on another worker
    else:
        def interrupted(self, rows):
            raise KeyboardInterrupt

        monkeypatch.setattr(sweep._Progress, "finished", interrupted)
        with pytest.raises(KeyboardInterrupt):
            sweep.threshold_sweep(INSTRUMENTS, windows, [1.0], ["mr"], client=client)
    assert left_on_cluster(client) == set()


def test_a_closed_client_is_refused_before_work(cluster):
    from distributed import Client
    from distributed.client import ClosedClientError

    closed = Client(cluster, set_as_default=False)
    closed.close()
    with pytest.raises(ClosedClientError, match="the client is closed"):
        sweep.threshold_sweep(INSTRUMENTS, [24], [1.0], client=closed)


def test_an_address_without_dask_names_the_extra_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed now fails
    with pytest.raises(ImportError, match=r"pip install Backtest\[distributed\]"):
        sweep.band_sweep(INSTRUMENTS, [24], [1.0], client="tcp://127.0.0.1:8786")
