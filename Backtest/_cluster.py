"""Sweeps on a Dask cluster: an instrument x a block of units per task.

Private to Backtest.sweep. Each instrument's market (closes, price changes,
time window) is scattered to the cluster once; every task of that instrument
names it as a dependency, so a worker fetches it at most once and keeps it
while the sweep lasts. A task computes the indicator columns of its block once
and runs the native engine over them, on one thread unless `threads` says
otherwise. The figures come back in completion order and are put in row order
here, so the report is the local one, bit for bit.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import pickle
import traceback
import uuid
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

INSTALL_LINE = "pip install Backtest[distributed]"
# A task should last at least this long on one thread: Dask spends a few
# milliseconds on each task, which must stay small beside its work.
_TASK_SECONDS = 0.25
# ... unless the grid is too small to keep every worker thread busy: then at
# least this many tasks per thread, so that no worker waits at the end.
_TASKS_PER_THREAD = 2


def _distributed():
    try:
        import distributed
    except ImportError as error:
        raise ImportError("running a sweep on a cluster needs Dask's distributed scheduler:\n"
                          f"    {INSTALL_LINE}") from error
    return distributed


def check_client(client: Any) -> None:
    """Refuses what is neither a Client nor a scheduler address, before any work starts."""
    distributed = _distributed()
    if not isinstance(client, (str, distributed.Client)):
        raise TypeError("client must be None, a dask.distributed.Client or a scheduler address such as "
                        f"'tcp://host:8786', not {type(client).__name__}")
    if isinstance(client, distributed.Client) and client.status in ("closing", "closed"):
        # Dask's own error, which a closed client raises only once a task is submitted
        from distributed.client import ClosedClientError

        raise ClosedClientError("the client is closed: no sweep can run on it")


@dataclass(frozen=True)
class _Failed:
    """What a task returns when our code raised: Dask never retries it, the caller raises it."""

    error: BaseException
    remote_traceback: str


def _aligned(market):
    """The market with its arrays on 8-byte boundaries: Dask may unpickle an array
    at any offset of its message, and the engine reads whole doubles."""
    arrays = {name: getattr(market, name) for name in ("close", "price_chg")}
    if all(array.flags.aligned for array in arrays.values()):
        return market
    return dataclasses.replace(market, **{name: np.require(array, requirements=["A", "C"])
                                          for name, array in arrays.items()})


def _task(market, work, units: tuple, threads: int):
    try:
        return work.figures(_aligned(market), units, threads)
    except Exception as error:  # noqa: BLE001 - returned to the caller, which raises it
        text = "".join(traceback.format_exception(error))
        try:
            pickle.dumps(error)
        except Exception:  # noqa: BLE001 - an exception that cannot travel goes as its text
            error = RuntimeError(f"{type(error).__name__}: {error}")
        return _Failed(error, text)


def _blocks(count: int, per_block: int) -> list[tuple[int, int]]:
    """[first, stop) of each block: `count` units in ceil(count / per_block) blocks of even sizes."""
    parts = math.ceil(count / per_block)
    bounds = np.linspace(0, count, parts + 1).round().astype(int)
    return [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:])]


def units_per_task(seconds_per_unit: float, total_units: int, slots: int) -> int:
    """Units in one task: enough for _TASK_SECONDS, unless that leaves fewer than
    _TASKS_PER_THREAD tasks per worker thread."""
    long_enough = math.ceil(_TASK_SECONDS / seconds_per_unit) if seconds_per_unit > 0 else total_units
    balanced = max(1, total_units // (_TASKS_PER_THREAD * max(1, slots)))
    return max(1, min(long_enough, balanced))


def run(client: Any, work, markets: Sequence, names: Sequence, named: bool, threads: int,
        progress: bool | None) -> list[dict]:
    """The figures of every block, in row order (see the module's docstring)."""
    distributed = _distributed()
    own = isinstance(client, str)
    if own:
        client = distributed.Client(client, set_as_default=False)
    try:
        return _run(distributed, client, work, markets, names, named, threads, progress)
    finally:
        if own:
            client.close()


def _run(distributed, client, work, markets, names, named, threads, progress) -> list[dict]:
    from Backtest.sweep import _block_label, _Progress, _shown

    nthreads = client.nthreads()
    slots = sum(nthreads.values())
    total_units = len(markets) * len(work.units)
    plan = []  # (instrument, first, stop) of each task, in row order
    for index, market in enumerate(markets):
        per_task = units_per_task(work.seconds_per_unit(len(market.close), threads), total_units, slots)
        plan += [(index, first, stop) for first, stop in _blocks(len(work.units), per_task)]

    label = f"{work.grid.kind}_sweep-{uuid.uuid4().hex[:12]}"
    expected = sum(len(work.units) * work.seconds_per_unit(len(market.close), threads) for market in markets)
    bar = _Progress(len(plan), _shown(progress, expected / max(1, slots)), unit="task")
    parts: list[Any] = [None] * len(plan)
    data, futures = [], []
    try:
        # Dask sends a task to a worker that holds its instrument: with at least
        # as many instruments as workers they are spread one copy each, so that
        # no worker holds every instrument of a large sweep (work stealing moves
        # the rest); with fewer, every worker gets every instrument, or some idle.
        data = client.scatter(list(markets), hash=False, broadcast=len(markets) < len(nthreads))
        for task, (index, first, stop) in enumerate(plan):
            futures.append(client.submit(_task, data[index], work, work.units[first:stop], threads,
                                         key=f"{label}-{task}", retries=0, pure=False))
        order = {future.key: task for task, future in enumerate(futures)}
        for future, result in distributed.as_completed(futures, loop=client.loop, with_results=True,
                                                          raise_errors=False):
            task = order[future.key]
            index, first, stop = plan[task]
            block = _block_label(names[index], named, work.unit_name, work.units[first:stop])
            where = f"in the sweep task of {block}"
            if isinstance(result, _Failed):
                error = result.error
                error.add_note(where)
                error.add_note("the task's traceback on its worker:\n" + result.remote_traceback.rstrip())
                raise error
            if future.status != "finished":  # the scheduler's error: a lost worker, a cancelled task
                error = result[1] if isinstance(result, tuple) else result
                error.add_note(where)
                raise error
            parts[task] = result
            bar.finished(1)
    finally:
        bar.close()
        # done or not, nothing of this sweep stays on the cluster; on Ctrl-C or
        # an error this cancels the tasks not yet run (a failure to reach the
        # scheduler here must not hide the sweep's own outcome)
        with contextlib.suppress(Exception):
            client.cancel(futures + list(data))
    return parts
