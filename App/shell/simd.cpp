#include "shell/simd.h"

#include <QDebug>
#include <QtGlobal>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>

namespace simd {

namespace {

constexpr const char *variable = "MIREVA_PORTABLE_SIMD";

struct LevelName {
    Level level;
    const char *name;
};
constexpr std::array<LevelName, 4> names{{{Level::Portable, "portable"},
                                          {Level::Vector128, "vector128"},
                                          {Level::Ssse3, "ssse3"},
                                          {Level::Avx2, "avx2"}}};

Level detectLevel() {
#if defined(__GNUC__) && defined(__x86_64__)
    // The compiler's check also asks the system whether it saves the wide registers.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("ssse3"))
        return Level::Avx2;
    if (__builtin_cpu_supports("ssse3"))
        return Level::Ssse3;
    return Level::Vector128; // SSE2 is part of x86-64
#elif defined(__aarch64__)
    return Level::Vector128; // NEON is part of ARM64
#else
    return Level::Portable;
#endif
}

struct State {
    Level detected = Level::Portable;
    std::atomic<int> cap{int(Level::Avx2)};

    State() {
        detected = detectLevel();
        Level limit = Level::Avx2;
        if (qEnvironmentVariableIsSet(variable)) {
            const QByteArray value = qgetenv(variable);
            if (const std::optional<Level> asked = limitFromSetting(value)) {
                limit = *asked;
            } else {
                qWarning().nospace() << variable << "=" << value.constData()
                                     << " is not understood (use 1, portable, vector128, ssse3, "
                                        "avx2 or 0): the image kernels use the portable code";
                limit = Level::Portable;
            }
        }
        cap.store(int(limit));
        if (int(limit) < int(detected))
            qDebug().nospace() << "Image kernels limited to " << name(Level(limit))
                               << " code (the processor runs " << name(detected) << ")";
    }
};

State &state() {
    static State instance;
    return instance;
}

} // namespace

Level detected() {
    return state().detected;
}

Level active() {
    State &s = state();
    return Level(std::min(int(s.detected), s.cap.load(std::memory_order_relaxed)));
}

Level setLimit(Level limit) {
    return Level(state().cap.exchange(int(limit)));
}

const char *name(Level level) {
    for (const LevelName &entry : names)
        if (entry.level == level)
            return entry.name;
    return "unknown";
}

std::optional<Level> levelNamed(std::string_view name) {
    for (const LevelName &entry : names) {
        const std::string_view candidate(entry.name);
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            }))
            return entry.level;
    }
    return std::nullopt;
}

std::optional<Level> limitFromSetting(const QByteArray &value) {
    const QByteArray trimmed = value.trimmed();
    if (trimmed.isEmpty() || trimmed == "0")
        return Level::Avx2;
    if (trimmed == "1")
        return Level::Portable;
    return levelNamed(std::string_view(trimmed.constData(), size_t(trimmed.size())));
}

} // namespace simd
