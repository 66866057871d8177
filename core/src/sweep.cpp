#include "backtest/sweep.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <utility>

#include "backtest/signals.hpp"
#include "backtest/transforms.hpp"

namespace backtest::sweep {

namespace {

using signals::Average;
using signals::Entry;

// An entry as the index of the position a result file holds for it, indexed by
// entry + 1: short 0, flat 1, long 2, and the warm-up value, written as flat.
constexpr std::array<std::uint8_t, 4> kHeldAs{0, 1, 2, 1};
constexpr std::array<double, 3> kPositions{-1.0, 0.0, 1.0};

std::size_t held_as(Entry entry) { return kHeldAs[static_cast<std::size_t>(static_cast<int>(entry) + 1)]; }

void require(bool holds, const std::string& what) {
    if (!holds) throw std::invalid_argument(what);
}

void check_market(const Market& market) {
    require(market.begin <= market.end && market.end <= market.price_chg.size(),
            "the time window must lie within the price series");
}

void check_column(std::span<const double> column, const Market& market, const char* name) {
    require(column.size() == market.price_chg.size(), std::string("the column '") + name +
                                                          "' must have one value per bar of the price series");
}

void check_window(std::size_t window) { require(window >= 1, "a window must be at least 1"); }

std::span<const double> average_of(Average average, std::span<const double> sma, std::span<const double> ema,
                                   std::span<const double> wma) {
    switch (average) {
        case Average::sma: return sma;
        case Average::ema: return ema;
        case Average::wma: return wma;
        case Average::none: break;
    }
    return {};
}

// Checks the average a mode reads, when it reads one.
void check_average(Average average, std::span<const double> column, const Market& market) {
    static constexpr std::array<const char*, 4> names{"", "sma", "ema", "wma"};
    if (average != Average::none) check_column(column, market, names[static_cast<std::size_t>(average)]);
}

std::span<const double> rows_to_end(std::span<const double> column, const Market& market) {
    return column.empty() ? column : column.first(market.end);
}

// Decides rows `first` up to the end of the time window with `decide` into the
// worker's entries, then measures them. Rows past the window's end cannot
// change a figure, and no rule looks ahead, so they are never decided.
template <class Decide>
Figures decide_and_measure(const Market& market, std::size_t first, Scratch& scratch, Decide decide) {
    std::span<const Entry> decided;
    if (first < market.end) {
        const std::span<Entry> out = std::span<Entry>(scratch.entries).first(market.end - first);
        decide(first, out);
        decided = out;
    }
    return figures_of(market, first, decided, scratch.returns);
}

}  // namespace

std::size_t rows(const ThresholdGrid& grid) { return grid.windows.size() * grid.modes.size() * grid.thresholds.size(); }
std::size_t rows(const BandGrid& grid) { return grid.windows.size() * grid.modes.size() * grid.multipliers.size(); }
std::size_t rows(const MacdGrid& grid) { return grid.runs.size(); }

Figures figures_of(const Market& market, std::size_t first, std::span<const Entry> decided,
                   std::span<double> returns) {
    check_market(market);
    const std::size_t begin = market.begin;
    const std::size_t end = market.end;
    require(first >= end || decided.size() >= end - first, "the entries must reach the end of the time window");
    require(returns.size() >= end - begin, "the returns must have room for every bar of the time window");
    // The three leveraged positions and the fee of each change, computed once by
    // the formulas of the per-bar returns, so the same bits.
    std::array<double, 3> leveraged{};
    std::array<std::array<double, 3>, 3> fees{};
    for (std::size_t a = 0; a < 3; ++a) leveraged[a] = kPositions[a] * market.leverage;
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = 0; b < 3; ++b) fees[a][b] = performance::fee(leveraged[a], leveraged[b]);
    }
    const double* price_chg = market.price_chg.data();
    const Entry* entries = decided.data();
    // bars still in the warm-up are flat
    const auto position_at = [first, entries](std::size_t i) -> std::size_t {
        return i < first ? 1 : held_as(entries[i - first]);
    };
    Figures figures;
    performance::RunningSummary running;
    double* out = returns.data();
    if (begin < end) {
        std::size_t held = position_at(begin);
        std::int64_t trades = 0;
        out[0] = running.add(0.0);  // the first bar of the window earns and pays nothing
        for (std::size_t i = begin + 1; i < end; ++i) {
            const std::size_t position = position_at(i);
            out[i - begin] = running.add(price_chg[i] * leveraged[held] - fees[held][position]);
            trades += position != held ? 1 : 0;
            held = position;
        }
        figures.trades = trades;
    }
    // finished on a copy: the running state's address is never taken, so it
    // stays in registers throughout the loop
    figures.summary = performance::RunningSummary(running).finish(returns);
    return figures;
}

Sweep::Sweep(const Market& market, const ThresholdGrid& grid, std::span<Figures> out, std::size_t threads) {
    check_market(market);
    for (const std::size_t mode : grid.modes) require(mode < signals::kThresholdModes.size(), "unknown threshold mode");
    for (const ThresholdWindow& window : grid.windows) {
        check_window(window.window);
        check_column(window.signal, market, "signal");
        for (const std::size_t mode : grid.modes) {
            const Average average = signals::kThresholdModes[mode].average;
            check_average(average, average_of(average, window.sma, window.ema, window.wma), market);
        }
    }
    require(out.size() == rows(grid), "the output must hold one row per combination");
    const std::size_t modes = grid.modes.size();
    const std::size_t thresholds = grid.thresholds.size();
    start(
        rows(grid),
        [market, grid, out, modes, thresholds](std::size_t row, Scratch& scratch) {
            const ThresholdWindow& window = grid.windows[row / (modes * thresholds)];
            const std::size_t mode = grid.modes[(row / thresholds) % modes];
            const Average average = signals::kThresholdModes[mode].average;
            const signals::Columns columns{rows_to_end(window.signal, market),
                                           rows_to_end(average_of(average, window.sma, window.ema, window.wma), market),
                                           {},
                                           {},
                                           grid.thresholds[row % thresholds]};
            out[row] = decide_and_measure(market, window.window, scratch, [&](std::size_t first, std::span<Entry> to) {
                signals::decide_threshold(mode, columns, first, to);
            });
            return std::size_t{1};
        },
        threads, market, false);
}

Sweep::Sweep(const Market& market, const BandGrid& grid, std::span<Figures> out, std::size_t threads) {
    check_market(market);
    for (const std::size_t mode : grid.modes) require(mode < signals::kBandModes.size(), "unknown band mode");
    for (const BandWindow& window : grid.windows) {
        check_window(window.window);
        check_column(window.data, market, "data");
        check_column(window.sma, market, "sma");
        check_column(window.deviation, market, "deviation");
        for (const std::size_t mode : grid.modes) {
            const Average centre = signals::kBandModes[mode].centre;
            check_average(centre, average_of(centre, window.sma, window.ema, window.wma), market);
        }
    }
    require(out.size() == rows(grid), "the output must hold one row per combination");
    const std::size_t modes = grid.modes.size();
    const std::size_t multipliers = grid.multipliers.size();
    // One unit per window and multiplier: its bands serve every mode.
    start(
        grid.windows.size() * multipliers,
        [market, grid, out, modes, multipliers](std::size_t unit, Scratch& scratch) {
            const std::size_t w = unit / multipliers;
            const std::size_t k = unit % multipliers;
            const BandWindow& window = grid.windows[w];
            const std::size_t bars = market.end;
            const std::span<double> upper = std::span<double>(scratch.upper).first(bars);
            const std::span<double> lower = std::span<double>(scratch.lower).first(bars);
            transforms::upper_band(window.sma.first(bars), grid.multipliers[k], window.deviation.first(bars), upper);
            transforms::lower_band(window.sma.first(bars), grid.multipliers[k], window.deviation.first(bars), lower);
            for (std::size_t m = 0; m < modes; ++m) {
                const std::size_t mode = grid.modes[m];
                const Average centre = signals::kBandModes[mode].centre;
                const signals::Columns columns{rows_to_end(window.data, market),
                                               rows_to_end(average_of(centre, window.sma, window.ema, window.wma), market),
                                               upper, lower, 0.0};
                out[(w * modes + m) * multipliers + k] =
                    decide_and_measure(market, window.window, scratch, [&](std::size_t first, std::span<Entry> to) {
                        signals::decide_band(mode, columns, first, to);
                    });
            }
            return modes;
        },
        threads, market, true);
}

Sweep::Sweep(const Market& market, const MacdGrid& grid, std::span<Figures> out, std::size_t threads) {
    check_market(market);
    for (const MacdRun& run : grid.runs) {
        check_window(run.warm_up);
        check_column(run.macd, market, "MACD");
        check_column(run.signal, market, "Signal");
    }
    require(out.size() == rows(grid), "the output must hold one row per combination");
    start(
        grid.runs.size(),
        [market, grid, out](std::size_t row, Scratch& scratch) {
            const MacdRun& run = grid.runs[row];
            const signals::Columns columns{rows_to_end(run.macd, market), rows_to_end(run.signal, market)};
            out[row] = decide_and_measure(market, run.warm_up, scratch, [&](std::size_t first, std::span<Entry> to) {
                signals::decide_macd(columns, first, to);
            });
            return std::size_t{1};
        },
        threads, market, false);
}

Sweep::~Sweep() {
    cancel();
    join();
}

void Sweep::start(std::size_t units, Unit unit, std::size_t threads, const Market& market, bool bands) {
    require(threads >= 1, "a sweep needs at least one thread");
    unit_ = std::move(unit);
    units_ = units;
    entries_ = market.end;
    returns_ = market.end - market.begin;
    bands_ = bands ? market.end : 0;
    const std::size_t count = std::min(threads, units);
    running_ = count;
    try {
        for (std::size_t k = 0; k < count; ++k) workers_.emplace_back([this] { work(); });
    } catch (...) {
        // a thread that could not start: the others stop, and the sweep fails
        {
            const std::lock_guard lock(mutex_);
            running_ -= count - workers_.size();
        }
        cancel();
        join();
        throw;
    }
}

void Sweep::work() {
    try {
        Scratch scratch;
        scratch.entries.resize(entries_);
        scratch.returns.resize(returns_);
        scratch.upper.resize(bands_);
        scratch.lower.resize(bands_);
        while (!cancelled_.load(std::memory_order_relaxed)) {
            const std::size_t unit = next_.fetch_add(1, std::memory_order_relaxed);
            if (unit >= units_) break;
            done_.fetch_add(unit_(unit, scratch), std::memory_order_relaxed);
        }
    } catch (...) {
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        cancelled_.store(true, std::memory_order_relaxed);
    }
    const std::lock_guard lock(mutex_);
    --running_;
    stopped_.notify_all();
}

bool Sweep::wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return stopped_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

void Sweep::join() {
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

void Sweep::finish() {
    join();
    if (failure_) std::rethrow_exception(failure_);
    if (next_.load() < units_) throw std::runtime_error("the sweep was cancelled");
}

void evaluate(const Market& market, const ThresholdGrid& grid, std::span<Figures> out, std::size_t threads) {
    Sweep(market, grid, out, threads).finish();
}

void evaluate(const Market& market, const BandGrid& grid, std::span<Figures> out, std::size_t threads) {
    Sweep(market, grid, out, threads).finish();
}

void evaluate(const Market& market, const MacdGrid& grid, std::span<Figures> out, std::size_t threads) {
    Sweep(market, grid, out, threads).finish();
}

}  // namespace backtest::sweep
