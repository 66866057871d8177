// The sweep engine: the summary figures of every combination of a parameter
// grid over one price series, each as its strategy result file would give
// them, evaluated on worker threads.
//
// A combination's position series is decided into a compact buffer of entries
// and its per-bar returns into another, both of one thread's own; nothing of a
// combination outlives it but its figures. The grid is cut into fixed units
// (one combination, or one band of a window and multiplier with all its
// modes), which the workers claim in turn: a unit's figures depend on nothing
// but the unit, so they are the same for any number of threads and any order
// of claiming.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "backtest/modes.hpp"
#include "backtest/performance.hpp"

namespace backtest::sweep {

// The price series as the result files hold it, and the rows their time window
// keeps.
struct Market {
    // Per bar: the relative price change from the bar before (0 for the first),
    // as the result file gives it back.
    std::span<const double> price_chg;
    std::size_t begin = 0;  // first row of the time window
    std::size_t end = 0;    // one past its last row
    double leverage = 1.0;
};

// The row of the report of one combination.
struct Figures {
    performance::Summary summary;
    // Bars of the time window, its first excluded, whose position differs from
    // the previous bar's.
    std::int64_t trades = 0;
};

// One window of a threshold grid: its indicator signal and the moving averages
// of the signal that the grid's modes read (the others may be empty).
struct ThresholdWindow {
    std::size_t window = 1;
    std::span<const double> signal;
    std::span<const double> sma;
    std::span<const double> ema;
    std::span<const double> wma;
};

// Rows: window x mode x threshold, outer to inner. Modes index the threshold
// mode table.
struct ThresholdGrid {
    std::span<const ThresholdWindow> windows;
    std::span<const std::size_t> modes;
    std::span<const double> thresholds;
};

// One window of a band grid: the series the bands enclose, its moving averages
// (those the grid's modes read) and its rolling deviation.
struct BandWindow {
    std::size_t window = 1;
    std::span<const double> data;
    std::span<const double> sma;
    std::span<const double> ema;
    std::span<const double> wma;
    std::span<const double> deviation;
};

// Rows: window x mode x multiplier, outer to inner. Modes index the band mode
// table; each band is mean + multiplier * deviation and mean - multiplier *
// deviation around the simple average.
struct BandGrid {
    std::span<const BandWindow> windows;
    std::span<const std::size_t> modes;
    std::span<const double> multipliers;
};

// One MACD combination: the MACD line, its signal line, and the warm-up length
// (the larger of the short and long windows).
struct MacdRun {
    std::size_t warm_up = 1;
    std::span<const double> macd;
    std::span<const double> signal;
};

// Rows: the runs in order.
struct MacdGrid {
    std::span<const MacdRun> runs;
};

std::size_t rows(const ThresholdGrid& grid);
std::size_t rows(const BandGrid& grid);
std::size_t rows(const MacdGrid& grid);

// The figures of one position series: `decided` holds the entries of rows
// first .. first + decided.size() - 1, every earlier row is flat (warm-up), and
// rows past the decided ones are not read, so `decided` must reach at least to
// the end of the time window. `returns` is scratch space of at least the
// window's length.
Figures figures_of(const Market& market, std::size_t first, std::span<const signals::Entry> decided,
                   std::span<double> returns);

// A worker's buffers, reused from one combination to the next.
struct Scratch {
    std::vector<signals::Entry> entries;
    std::vector<double> returns;
    std::vector<double> upper;
    std::vector<double> lower;
};

// A sweep running on worker threads, started by the constructor; `out` gets one
// Figures per row of the grid. The grid, the market and `out` must outlive the
// sweep. Sizes that do not fit (a column shorter or longer than the price
// series, a time window past its end, a mode out of the table, `out` not one
// per row, no thread) throw std::invalid_argument before any thread starts.
class Sweep {
public:
    Sweep(const Market& market, const ThresholdGrid& grid, std::span<Figures> out, std::size_t threads);
    Sweep(const Market& market, const BandGrid& grid, std::span<Figures> out, std::size_t threads);
    Sweep(const Market& market, const MacdGrid& grid, std::span<Figures> out, std::size_t threads);
    // Cancels what is left and waits for the workers.
    ~Sweep();

    Sweep(const Sweep&) = delete;
    Sweep& operator=(const Sweep&) = delete;

    // Waits at most `timeout`; true once every worker has stopped.
    bool wait_for(std::chrono::milliseconds timeout);

    // Combinations evaluated so far.
    std::size_t done() const { return done_.load(std::memory_order_relaxed); }

    // Asks the workers to stop after their current unit.
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }

    // Waits for the workers, then throws the first failure of one of them, or
    // std::runtime_error when the sweep was cancelled before its end.
    void finish();

private:
    // Evaluates unit `unit` with a worker's own scratch buffers; returns how
    // many combinations it evaluated.
    using Unit = std::function<std::size_t(std::size_t unit, Scratch& scratch)>;

    // Starts min(threads, units) workers, whose buffers are sized for the
    // market (band buffers only when `bands`).
    void start(std::size_t units, Unit unit, std::size_t threads, const Market& market, bool bands);
    void work();
    void join();

    Unit unit_;
    std::size_t units_ = 0;
    std::size_t entries_ = 0;
    std::size_t returns_ = 0;
    std::size_t bands_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> done_{0};
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::condition_variable stopped_;
    std::size_t running_ = 0;
    std::exception_ptr failure_;
    std::vector<std::thread> workers_;
};

// Runs a sweep to its end on the calling thread's behalf.
void evaluate(const Market& market, const ThresholdGrid& grid, std::span<Figures> out, std::size_t threads);
void evaluate(const Market& market, const BandGrid& grid, std::span<Figures> out, std::size_t threads);
void evaluate(const Market& market, const MacdGrid& grid, std::span<Figures> out, std::size_t threads);

}  // namespace backtest::sweep
