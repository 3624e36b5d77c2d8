#pragma once

// How the image kernels choose their vector code: the processor's features are detected once,
// and every kernel asks here which level it may use before it runs. The environment variable
// MIREVA_PORTABLE_SIMD (read once, at the first question) lowers the level for the whole
// process, so that the portable and the narrower paths run, and are tested, on machines that
// would never pick them:
//   MIREVA_PORTABLE_SIMD=1 (or "portable")            plain C++ in every kernel
//   MIREVA_PORTABLE_SIMD=vector128 | ssse3 | avx2     at most that level
//   unset, empty or 0                                 the best level the processor runs

#include <QByteArray>
#include <QMetaType>

#include <optional>
#include <string_view>

namespace simd {

// Each level includes the ones below it.
enum class Level : int {
    Portable = 0,  // plain C++: no vector code of our own
    Vector128 = 1, // 128-bit vectors of the build's baseline (SSE2 on x86-64, NEON on ARM64),
                   // written with OpenCV's universal intrinsics
    Ssse3 = 2,     // x86-64 with SSSE3 byte shuffles
    Avx2 = 3,      // x86-64 with AVX2
};

// The best level this processor runs.
Level detected();
// The level kernels use now: detected(), lowered by MIREVA_PORTABLE_SIMD and by setLimit().
Level active();
// Whether a kernel may run its code for `level`.
inline bool use(Level level) {
    return int(level) <= int(active());
}

// Caps the level kernels use from now on (a cap above detected() means detected()); returns the
// previous cap. The environment variable's cap is the first one. Safe from any thread; a
// kernel already running finishes on the path it chose.
Level setLimit(Level limit);

const char *name(Level level);
std::optional<Level> levelNamed(std::string_view name);
// The cap a value of MIREVA_PORTABLE_SIMD asks for; nullopt when it names nothing known.
std::optional<Level> limitFromSetting(const QByteArray &value);

// Caps the level for one scope, as the tests and benchmarks that compare paths do.
class ScopedLimit {
public:
    explicit ScopedLimit(Level limit)
        : previous(setLimit(limit)) {}
    ~ScopedLimit() { setLimit(previous); }
    ScopedLimit(const ScopedLimit &) = delete;
    ScopedLimit &operator=(const ScopedLimit &) = delete;

private:
    Level previous;
};

} // namespace simd

Q_DECLARE_METATYPE(simd::Level)
