// The three areas of the reporting module, each binding its functions to their
// registry rows; module.cpp puts them in the order of the registry.
#pragma once

#include <Python.h>

#include <vector>

namespace backtest::diagram {

std::vector<PyMethodDef> result_methods();       // process_file, drawdown, combined equity
std::vector<PyMethodDef> chart_methods();        // heatmap, single diagram, data spread, bell curve
std::vector<PyMethodDef> correlation_methods();  // strategy correlation and custom target correlation

}  // namespace backtest::diagram
