#include "simd/dispatch.hpp"

#include <atomic>
#include <cstdlib>

namespace backtest::simd {

// One table per compiled copy of simd/kernels.cpp.
namespace sse2 {
extern const Kernels kernels;
}
#if defined(__x86_64__)
namespace avx2 {
extern const Kernels kernels;
}
namespace avx512 {
extern const Kernels kernels;
}
#endif

namespace {

const Kernels* table_of(Path path) {
    switch (path) {
        case Path::sse2: return &sse2::kernels;
#if defined(__x86_64__)
        case Path::avx2: return &avx2::kernels;
        case Path::avx512: return &avx512::kernels;
#else
        default: return nullptr;
#endif
    }
    return nullptr;
}

Path widest_supported() {
    Path widest = Path::sse2;
    for (Path path : kPaths) {
        if (supported(path)) widest = path;
    }
    return widest;
}

std::atomic<const Kernels*> chosen{table_of(choose(widest_supported(), std::getenv("BACKTEST_SIMD")))};

}  // namespace

const char* name_of(Path path) {
    switch (path) {
        case Path::sse2: return "sse2";
        case Path::avx2: return "avx2";
        case Path::avx512: return "avx512";
    }
    return "";
}

std::optional<Path> path_named(std::string_view name) {
    for (Path path : kPaths) {
        if (name == name_of(path)) return path;
    }
    return std::nullopt;
}

bool supported(Path path) {
#if defined(__x86_64__)
    __builtin_cpu_init();  // the choice is made while libraries load, maybe before libgcc's own constructor
    switch (path) {
        case Path::sse2: return true;
        case Path::avx2: return __builtin_cpu_supports("avx2");
        case Path::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
    }
    return false;
#else
    return path == Path::sse2;
#endif
}

Path choose(Path widest, const char* requested) {
    if (requested == nullptr) return widest;
    const std::optional<Path> named = path_named(requested);
    return named && *named <= widest ? *named : widest;
}

const Kernels& active() { return *chosen.load(std::memory_order_relaxed); }

const Kernels* kernels_for(Path path) { return supported(path) ? table_of(path) : nullptr; }

bool use(Path path) {
    const Kernels* kernels = kernels_for(path);
    if (kernels == nullptr) return false;
    chosen.store(kernels, std::memory_order_relaxed);
    return true;
}

}  // namespace backtest::simd
