#include "mosaic/fftplans.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <compare>
#include <map>
#include <mutex>

namespace fftplans {

namespace {

struct Key {
    int rows;
    int cols;
    bool vectors;
    auto operator<=>(const Key &) const = default;
};

struct Cache {
    std::mutex mutex; // FFTW's planner and wisdom are not thread-safe
    std::map<Key, Plans> plans;
    QString path;
    bool pathChosen = false;
    bool imported = false;
};

Cache &cache() {
    static Cache instance;
    return instance;
}

unsigned flagsFor(bool vectors) {
    return FFTW_MEASURE | (vectors ? 0u : unsigned(FFTW_NO_SIMD));
}

QString pathLocked(Cache &c) {
    if (!c.pathChosen) {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        c.path =
            folder.isEmpty() ? QString() : QDir(folder).filePath(QStringLiteral("fftw_wisdom"));
        c.pathChosen = true;
    }
    return c.path;
}

void importLocked(Cache &c) {
    if (c.imported)
        return;
    c.imported = true;
    const QString path = pathLocked(c);
    if (path.isEmpty() || !QFile::exists(path))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Cannot read FFT wisdom" << path << file.errorString();
        return;
    }
    const QByteArray wisdom = file.readAll();
    // Wisdom only speeds planning up: a damaged file costs one slow start, nothing more.
    if (!fftwf_import_wisdom_from_string(wisdom.constData()))
        qWarning() << "Ignoring damaged FFT wisdom" << path;
}

void saveLocked(Cache &c) {
    const QString path = pathLocked(c);
    if (path.isEmpty())
        return;
    char *wisdom = fftwf_export_wisdom_to_string();
    if (!wisdom)
        return;
    const QByteArray text(wisdom);
    fftwf_free(wisdom);
    QDir().mkpath(QFileInfo(path).path());
    // Written aside and renamed, so that another instance never reads half a file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        qWarning() << "Cannot write FFT wisdom" << path << file.errorString();
}

struct Scratch {
    AlignedFloats real;
    AlignedFloats spectrum;
};

Scratch scratchFor(Key key) {
    const std::size_t reals = std::size_t(key.rows) * std::size_t(key.cols);
    const std::size_t complexes = std::size_t(key.rows) * std::size_t(key.cols / 2 + 1);
    return {alignedFloats(reals), alignedFloats(2 * complexes)};
}

fftwf_plan forwardPlan(Key key, const Scratch &s, unsigned flags) {
    return fftwf_plan_dft_r2c_2d(key.rows, key.cols, s.real.get(),
                                 reinterpret_cast<fftwf_complex *>(s.spectrum.get()), flags);
}

fftwf_plan inversePlan(Key key, const Scratch &s, unsigned flags) {
    return fftwf_plan_dft_c2r_2d(key.rows, key.cols,
                                 reinterpret_cast<fftwf_complex *>(s.spectrum.get()), s.real.get(),
                                 flags);
}

// Whether FFTW can make both plans from its wisdom alone.
bool wisdomCoversLocked(Key key, const Scratch &scratch, unsigned flags) {
    fftwf_plan forward = forwardPlan(key, scratch, flags | FFTW_WISDOM_ONLY);
    fftwf_plan inverse = inversePlan(key, scratch, flags | FFTW_WISDOM_ONLY);
    const bool both = forward && inverse;
    if (forward)
        fftwf_destroy_plan(forward);
    if (inverse)
        fftwf_destroy_plan(inverse);
    return both;
}

} // namespace

AlignedFloats alignedFloats(std::size_t count) {
    auto *p = static_cast<float *>(fftwf_malloc(sizeof(float) * std::max<std::size_t>(count, 1)));
    if (!p)
        throw std::bad_alloc();
    std::fill(p, p + count, 0.f);
    return AlignedFloats(p);
}

Plans plansFor(cv::Size size, bool vectors) {
    CV_Assert(size.width > 0 && size.height > 0);
    const Key key{size.height, size.width, vectors};
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    if (const auto found = c.plans.find(key); found != c.plans.end())
        return found->second;
    importLocked(c);
    // Planning may overwrite its arrays, so it gets arrays of its own; the plans then run on the
    // correlators' arrays, which are aligned alike.
    const Scratch scratch = scratchFor(key);
    const unsigned flags = flagsFor(vectors);
    const bool known = wisdomCoversLocked(key, scratch, flags);
    Plans plans{forwardPlan(key, scratch, flags), inversePlan(key, scratch, flags)};
    CV_Assert(plans.forward && plans.inverse);
    if (!known) {
        qDebug().noquote() << QStringLiteral("Planned FFTs of %1 x %2%3")
                                  .arg(size.width)
                                  .arg(size.height)
                                  .arg(vectors ? QString()
                                               : QStringLiteral(" without vector code"));
        saveLocked(c);
    }
    c.plans.emplace(key, plans);
    return plans;
}

QString wisdomPath() {
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    return pathLocked(c);
}

void setWisdomPath(const QString &path) {
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    c.path = path;
    c.pathChosen = true;
    c.imported = false;
}

bool knowsSize(cv::Size size, bool vectors) {
    const Key key{size.height, size.width, vectors};
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    importLocked(c);
    return wisdomCoversLocked(key, scratchFor(key), flagsFor(vectors));
}

void forgetWisdom() {
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    fftwf_forget_wisdom();
    c.imported = false;
}

} // namespace fftplans
