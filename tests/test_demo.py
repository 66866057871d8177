"""The study of examples/ runs end to end on a reduced grid."""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STUDY = ROOT / "examples" / "study.py"


def test_study_writes_figures_tables_and_summary(tmp_path):
    env = dict(os.environ, BACKTEST_DEMO_QUICK="1", BACKTEST_DEMO_OUT=str(tmp_path / "out"), MPLBACKEND="Agg",
               PYTHONPATH=str(ROOT))
    done = subprocess.run([sys.executable, str(STUDY)], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    out = tmp_path / "out"
    pngs = {p.name for p in out.glob("*.png")}
    assert {"combined_equity_1.png", "combined_equity_2.png", "strategy_correlation_1.png", "best_run_1.png"} <= pngs
    assert any(name.startswith("heatmap_") for name in pngs)
    assert {"sweep_threshold.png", "sweep_band.png", "sweep_macd.png"} <= pngs
    assert "best_run_2.png" in pngs  # the sweep heatmap first, then the run chart
    assert len(list((out / "results").glob("*.csv"))) == 5  # the best three threshold runs, band and MACD
    tables = {p.name for p in (out / "tables").glob("*.csv")}
    assert {"forward_return_pearson_no_lag.csv", "forward_return_kendall_lag_2.csv"} <= tables
    assert "sweep: 78 runs (threshold 16, band 60, macd 2)" in done.stdout
    assert "'SR': " in done.stdout
    assert "Study finished in" in done.stdout.splitlines()[-1]
