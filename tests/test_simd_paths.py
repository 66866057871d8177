"""The kernels are compiled for several instruction sets and one is chosen
when the package loads; BACKTEST_SIMD forces one. Each path the processor
supports, forced in a fresh interpreter, gives the bits of the baseline path
for every primitive (arrays and Series, with NaN, infinities and signed
zeros) and for the frame functions built on them."""

import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = r"""
import hashlib, numpy as np, pandas as pd
from Backtest import formula as F
rng = np.random.default_rng(7)
digest = hashlib.sha256()
for n in (1000, 4099, 30011):
    x = 1000 + np.cumsum(rng.standard_normal(n))
    specials = rng.integers(0, 400, n)
    x = np.where(specials == 0, np.nan, np.where(specials == 1, np.inf, np.where(specials == 2, -np.inf, x)))
    x = np.where(specials == 3, -0.0, np.where(specials == 4, 0.0, x))
    clean = np.where(np.isfinite(x), x, 1.0)
    for data in (x, clean):
        for window in (1, 2, 3, 14, 23, 24, 25, 50, 200, 2500):
            for name in ("sum", "mean", "ema", "wma", "std", "min", "max"):
                for series in (data, pd.Series(data)):
                    digest.update(np.asarray(getattr(F, "rolling_" + name)(series, window)).tobytes())
        for name in ("rolling_mean_normalize", "rolling_zscore", "rolling_bollinger_bands", "rolling_rsi",
                     "rolling_l1_normalization"):
            args = (20, 2.0) if name == "rolling_bollinger_bands" else (20,)
            frame = getattr(F, name)(pd.DataFrame({"data": data}), *args)
            for column in frame.columns:
                digest.update(frame[column].to_numpy(dtype=float).tobytes())
print(digest.hexdigest())
"""


def cpu_flags():
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    for line in text.splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


REQUIRES = {"sse2": set(), "avx2": {"avx2"}, "avx512": {"avx512f", "avx512dq", "avx512vl", "avx512bw"}}


def digest_on(path, monkeypatch):
    if path is None:
        monkeypatch.delenv("BACKTEST_SIMD", raising=False)
    else:
        monkeypatch.setenv("BACKTEST_SIMD", path)
    done = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.fixture(scope="module")
def baseline():
    with pytest.MonkeyPatch.context() as monkeypatch:
        return digest_on("sse2", monkeypatch)


# an unknown name falls back to the widest path, as does no name at all
@pytest.mark.parametrize("path", ["avx2", "avx512", None, "no-such-path"])
def test_each_path_gives_the_bits_of_the_baseline(path, baseline, monkeypatch):
    if path in REQUIRES and not REQUIRES[path] <= cpu_flags():
        pytest.skip(f"this processor has no {path}")
    assert digest_on(path, monkeypatch) == baseline
