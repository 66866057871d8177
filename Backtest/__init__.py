"""Compiled core of a trading-strategy research workflow.

Modules: ``Backtest.formula`` (rolling indicators), ``Backtest.tradecue``
(position series) and ``Backtest.diagram`` (performance reports and charts).
"""

__version__ = "0.1.0"
__all__ = ["formula", "tradecue", "diagram"]
