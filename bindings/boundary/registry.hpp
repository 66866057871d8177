// The registry of the package's functions: one row per function, each module's
// rows in the order of its function table. A row says what a caller sees: the
// name, the parameters with their defaults, the frame columns read and written,
// the formula, the NaN rules, the warm-up and the result; a rolling primitive's
// row also holds its kernel. The modules take their argument signatures and
// method tables from the rows, `formula` its primitives' dispatch; the stubs and
// the README are generated from them (tools/generate.py reads them through the
// private module Backtest._tables). A row is the one place to change all that.
//
// Python-free, so that every part of the build can include it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace backtest::registry {

inline constexpr std::size_t kMaxParameters = 4;
inline constexpr std::size_t kMaxColumns = 6;

struct Parameter {
    const char* name = nullptr;
    const char* type = nullptr;            // its annotation in the stub
    std::optional<long> default_value{};   // only trailing parameters have one
};

// Column names in order; unused places stay null.
using Columns = std::array<const char*, kMaxColumns>;

// The kernel of a rolling primitive: out[i] for the window of `window` values
// ending at i, with 1 <= window <= x.size() and out apart from x; `series` asks
// for the NaN semantics of a pandas Series argument.
struct Rolling {
    void (*kernel)(std::span<const double> x, std::size_t window, bool series, std::span<double> out);
    // The dtype of the all-NaN result for a window longer than the input: the
    // input's own when it is floating, or always float64.
    bool keeps_floating_dtype;
};

struct Function {
    const char* name = nullptr;
    std::array<Parameter, kMaxParameters> parameters{};
    const char* returns = "None";  // the return annotation in the stub

    // The stub's documentation, a line each; empty lines are left out.
    const char* summary = "";      // what the function computes
    Columns reads{};               // columns of the caller's frame (or file) read
    Columns writes{};              // columns written into the caller's frame
    const char* writes_note = "";  // when the columns are written, where not always
    const char* formula = "";      // the formula in one line
    const char* nan = "";          // how NaN (and infinities) pass through
    const char* warm_up = "";      // the leading rows or entries without a value
    const char* result = "";       // what is returned, in words

    // The function's __doc__ after its text signature, where it has one.
    const char* doc = nullptr;

    // The kernel of a rolling primitive, whose builtin is generated from it.
    std::optional<Rolling> rolling{};

    constexpr bool is_primitive() const { return rolling.has_value(); }

    constexpr std::size_t parameter_count() const {
        std::size_t count = 0;
        while (count < parameters.size() && parameters[count].name != nullptr) ++count;
        return count;
    }

    constexpr std::size_t required_count() const {
        std::size_t count = 0;
        while (count < parameter_count() && !parameters[count].default_value) ++count;
        return count;
    }
};

// Defaults only after the required parameters, and no name twice.
constexpr bool is_well_formed(const Function& f) {
    for (std::size_t i = f.required_count(); i < f.parameter_count(); ++i) {
        if (!f.parameters[i].default_value) return false;
    }
    for (std::size_t i = 0; i < f.parameter_count(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (std::string_view(f.parameters[i].name) == f.parameters[j].name) return false;
        }
    }
    return true;
}

template <std::size_t N>
constexpr bool is_well_formed(const std::array<const Function*, N>& table) {
    for (std::size_t i = 0; i < N; ++i) {
        if (!is_well_formed(*table[i])) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (std::string_view(table[i]->name) == table[j]->name) return false;
        }
    }
    return true;
}

// Stub annotations shared by the modules; the stubs define the aliases.
namespace types {
inline constexpr const char* kFrame = "pd.DataFrame";
inline constexpr const char* kSeries = "_Series";
inline constexpr const char* kArray = "_Array";
inline constexpr const char* kWindow = "SupportsIndex";
inline constexpr const char* kReal = "SupportsFloat";
}  // namespace types

}  // namespace backtest::registry
