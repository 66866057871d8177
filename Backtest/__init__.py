"""Compiled core of a trading-strategy research workflow.

Modules: ``Backtest.formula`` (rolling indicators), ``Backtest.tradecue``
(position series), ``Backtest.diagram`` (performance reports and charts) and
``Backtest.sweep`` (whole parameter grids evaluated in memory).
"""

__version__ = "0.1.0"
__all__ = ["formula", "tradecue", "diagram", "sweep"]
