// A saved part's Deep Zoom tiles and OME-TIFF, checked against the composition of its cells and
// read back by readers other than the writer (tifffile for the structure, libtiff and OpenCV
// for the pixels).

#include "partfixture.h"
#include "pyramid.h"

#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <zip.h>

using namespace tavrona;
using fixture::json;

namespace {

struct DziInfo {
    int tileSize = 0;
    int overlap = 0;
    QString format;
    int width = 0;
    int height = 0;
};

// The Deep Zoom files, read from the zip they are kept in.
class DeepZoomZip {
public:
    explicit DeepZoomZip(const QString &path) {
        int error = 0;
        m_zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &error);
    }
    ~DeepZoomZip() {
        if (m_zip)
            zip_discard(m_zip);
    }
    QStringList names() const {
        QStringList list;
        for (zip_int64_t i = 0; m_zip && i < zip_get_num_entries(m_zip, 0); ++i)
            list << QString::fromUtf8(zip_get_name(m_zip, zip_uint64_t(i), 0));
        return list;
    }
    QByteArray read(const QString &name) const {
        zip_stat_t stat;
        if (!m_zip || zip_stat(m_zip, name.toUtf8().constData(), 0, &stat) != 0)
            return {};
        zip_file_t *file = zip_fopen(m_zip, name.toUtf8().constData(), 0);
        QByteArray data(qsizetype(stat.size), Qt::Uninitialized);
        const bool ok = file && zip_fread(file, data.data(), stat.size) == zip_int64_t(stat.size);
        if (file)
            zip_fclose(file);
        return ok ? data : QByteArray();
    }
    cv::Mat image(const QString &name) const {
        QByteArray bytes = read(name);
        if (bytes.isEmpty())
            return {};
        return cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8UC1, bytes.data()), cv::IMREAD_COLOR);
    }

private:
    zip_t *m_zip = nullptr;
};

DziInfo readDzi(const QByteArray &text) {
    DziInfo info;
    QXmlStreamReader xml(text);
    while (xml.readNextStartElement() || !xml.atEnd()) {
        if (xml.isStartElement() && xml.name() == QLatin1String("Image")) {
            info.tileSize = xml.attributes().value("TileSize").toInt();
            info.overlap = xml.attributes().value("Overlap").toInt();
            info.format = xml.attributes().value("Format").toString();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("Size")) {
            info.width = xml.attributes().value("Width").toInt();
            info.height = xml.attributes().value("Height").toInt();
        }
        if (xml.hasError())
            break;
        xml.readNext();
    }
    return info;
}

// One level reassembled from its tiles (overlap dropped); empty when a tile is missing or has
// the wrong size. *tiles counts the tile files of the level's folder.
cv::Mat assembleLevel(const DeepZoomZip &zip, int level, int width, int height, int *tiles,
                      QString *problem) {
    const int step = 254;
    const int columns = (width + step - 1) / step;
    const int rows = (height + step - 1) / step;
    const QString prefix = QStringLiteral("dz/dz_files/%1/").arg(level);
    *tiles = 0;
    for (const QString &name : zip.names())
        *tiles += name.startsWith(prefix) && name.size() > prefix.size();
    cv::Mat canvas(height, width, CV_8UC3, cv::Scalar::all(0));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const cv::Mat tile = zip.image(prefix + QStringLiteral("%1_%2.jpeg").arg(c).arg(r));
            const int left = c > 0 ? 1 : 0;
            const int top = r > 0 ? 1 : 0;
            const int x0 = c * step;
            const int y0 = r * step;
            const int w = std::min(step, width - x0);
            const int h = std::min(step, height - y0);
            const int expectedW = left + w + (x0 + w < width ? 1 : 0);
            const int expectedH = top + h + (y0 + h < height ? 1 : 0);
            if (tile.empty() || tile.cols != expectedW || tile.rows != expectedH) {
                *problem = QStringLiteral("tile %1/%2_%3 is %4 × %5, expected %6 × %7")
                               .arg(level)
                               .arg(c)
                               .arg(r)
                               .arg(tile.cols)
                               .arg(tile.rows)
                               .arg(expectedW)
                               .arg(expectedH);
                return {};
            }
            tile(cv::Rect(left, top, w, h)).copyTo(canvas(cv::Rect(x0, y0, w, h)));
        }
    }
    return canvas;
}

// Reads one directory of a TIFF (the first, or the n-th SubIFD of the first) with libtiff's
// RGBA interface, which decodes the JPEG tiles itself. BGR.
cv::Mat readTiffLevel(const QString &path, int subIfd, QString *problem) {
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff) {
        *problem = QStringLiteral("libtiff cannot open the file");
        return {};
    }
    if (subIfd > 0) {
        uint16_t count = 0;
        uint64_t *offsets = nullptr;
        if (!TIFFGetField(tiff, TIFFTAG_SUBIFD, &count, &offsets) || count < subIfd) {
            *problem = QStringLiteral("no SubIFD %1").arg(subIfd);
            TIFFClose(tiff);
            return {};
        }
        const uint64_t offset = offsets[subIfd - 1];
        if (!TIFFSetSubDirectory(tiff, offset)) {
            *problem = QStringLiteral("cannot enter SubIFD %1").arg(subIfd);
            TIFFClose(tiff);
            return {};
        }
    }
    uint32_t width = 0;
    uint32_t height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    cv::Mat rgba(int(height), int(width), CV_8UC4);
    if (!TIFFReadRGBAImageOriented(tiff, width, height, reinterpret_cast<uint32_t *>(rgba.data),
                                   ORIENTATION_TOPLEFT, 0)) {
        *problem = QStringLiteral("libtiff cannot decode the pixels");
        TIFFClose(tiff);
        return {};
    }
    TIFFClose(tiff);
    cv::Mat bgr;
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
    return bgr;
}

const char *const tiffStructure = R"(
import json, sys, tifffile
with tifffile.TiffFile(sys.argv[1]) as tif:
    series = tif.series[0]
    first = tif.pages[0]
    print(json.dumps({
        "is_ome": bool(tif.is_ome),
        "levels": [list(level.shape) for level in series.levels],
        "tiles": [[level.keyframe.tilewidth, level.keyframe.tilelength] for level in series.levels],
        "compression": [int(level.keyframe.compression) for level in series.levels],
        "subifds": len(first.subifds or []),
        "description": first.description,
    }))
)";

} // namespace

class TestPyramid : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void deepZoomAndOmeTiffMatchTheCells_data();
    void deepZoomAndOmeTiffMatchTheCells();
    void unreadableCellsAreWhiteAndCounted();
    void cancelStopsTheBuild_data();
    void cancelStopsTheBuild();
    void refusesAHugePart();

private:
    PyramidResult build(const fixture::PartPackage &package, const PyramidOptions &options,
                        const PyramidProgress &progress = {});

    std::unique_ptr<QTemporaryDir> m_dir;
    Storage m_storage;
    QString m_out;
};

void TestPyramid::initTestCase() {
    initImaging(2);
}

PyramidResult TestPyramid::build(const fixture::PartPackage &package, const PyramidOptions &options,
                                 const PyramidProgress &progress) {
    m_out = m_dir->filePath(QStringLiteral("out"));
    QDir(m_out).removeRecursively();
    QDir().mkpath(m_out);
    return buildPyramid(package.part, m_storage, package.containerId, m_out, options, progress);
}

void TestPyramid::deepZoomAndOmeTiffMatchTheCells_data() {
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("cellPx");
    QTest::addColumn<double>("mpp");
    QTest::addColumn<double>("magnification");
    // One cell smaller than a tile; a part that needs several tiles and levels in both files;
    // a part taller than wide whose cells hop between archives; no mpp and no magnification.
    QTest::newRow("one cell") << 1 << 1 << 200 << 0.5 << 20.0;
    QTest::newRow("9 x 5 cells of 256") << 9 << 5 << 256 << 0.25 << 40.0;
    QTest::newRow("3 x 7 cells of 384") << 3 << 7 << 384 << 0.1725 << 0.0;
    QTest::newRow("no mpp") << 4 << 3 << 256 << 0.0 << 0.0;
}

void TestPyramid::deepZoomAndOmeTiffMatchTheCells() {
    QFETCH(int, columns);
    QFETCH(int, rows);
    QFETCH(int, cellPx);
    QFETCH(double, mpp);
    QFETCH(double, magnification);
    m_dir = std::make_unique<QTemporaryDir>();
    m_storage.useFolder(m_dir->path());
    const fixture::PartPackage package = fixture::writePart(m_storage, columns, rows, cellPx, 10);
    PyramidOptions options;
    options.mpp = mpp;
    options.magnification = magnification;
    options.name = QStringLiteral("Slide <7> & part 1");
    std::vector<int> seen;
    const PyramidResult result =
        build(package, options, [&](int percent) { return seen.push_back(percent), true; });
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.skippedCells, 0);
    QCOMPARE(result.cells, columns * rows);
    QVERIFY(!seen.empty());
    QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    QCOMPARE(seen.back(), 100);

    const cv::Mat reference = fixture::composition(package);
    const int width = package.part.width;
    const int height = package.part.height;

    // Deep Zoom: the descriptor, every level's size and tiles, the top level's pixels.
    const DeepZoomZip zip(m_out + QStringLiteral("/dz.zip"));
    const DziInfo dzi = readDzi(zip.read(QStringLiteral("dz/dz.dzi")));
    QCOMPARE(dzi.tileSize, 254);
    QCOMPARE(dzi.overlap, 1);
    QCOMPARE(dzi.format, QStringLiteral("jpeg"));
    QCOMPARE(dzi.width, width);
    QCOMPARE(dzi.height, height);
    const int top = result.dziLevels - 1;
    QCOMPARE(1 << (top - 1) < std::max(width, height), true);
    QVERIFY(std::max(width, height) <= 1 << top);
    const QString beyond = QStringLiteral("dz/dz_files/%1/").arg(result.dziLevels);
    const QStringList names = zip.names();
    QVERIFY(std::none_of(names.begin(), names.end(),
                         [&](const QString &name) { return name.startsWith(beyond); }));
    for (int level = top; level >= 0; --level) {
        const int shift = top - level;
        const int lw = std::max(1, int(std::ceil(width / std::pow(2.0, shift))));
        const int lh = std::max(1, int(std::ceil(height / std::pow(2.0, shift))));
        int tiles = 0;
        QString problem;
        const cv::Mat assembled = assembleLevel(zip, level, lw, lh, &tiles, &problem);
        QVERIFY2(!assembled.empty(), qPrintable(problem));
        QCOMPARE(tiles, ((lw + 253) / 254) * ((lh + 253) / 254));
        if (level == top) {
            const double quality = fixture::psnr(assembled, reference);
            QVERIFY2(quality >= 38, qPrintable(QStringLiteral("PSNR %1 dB").arg(quality)));
        } else if (level == top - 1) {
            const double quality = fixture::psnr(assembled, fixture::halve(reference, true));
            QVERIFY2(quality >= 32,
                     qPrintable(QStringLiteral("level %1: PSNR %2 dB").arg(level).arg(quality)));
        }
    }

    // The OME-TIFF's structure, as tifffile reads it.
    const QString tiffPath = m_out + QStringLiteral("/image.ome.tif");
    QString error;
    const QByteArray out = fixture::python(QString::fromLatin1(tiffStructure), {tiffPath}, &error);
    QVERIFY2(!out.isEmpty(), qPrintable("tifffile (python3-tifffile) failed: " + error));
    const json structure = json::parse(out.toStdString());
    QVERIFY(structure["is_ome"].get<bool>());
    const json &levels = structure["levels"];
    QVERIFY(levels.size() >= 1);
    QVERIFY2(levels[0] == json({height, width, 3}), out.constData());
    QCOMPARE(structure["subifds"].get<int>(), int(levels.size()) - 1);
    for (size_t i = 0; i < levels.size(); ++i) {
        QVERIFY2(structure["tiles"][i] == json({512, 512}), out.constData());
        QCOMPARE(structure["compression"][i].get<int>(), 7); // JPEG
        if (i > 0) {
            QCOMPARE(levels[i][0].get<int>(), levels[i - 1][0].get<int>() / 2);
            QCOMPARE(levels[i][1].get<int>(), levels[i - 1][1].get<int>() / 2);
        }
    }
    const json &last = levels.back();
    QVERIFY2(std::max(last[0].get<int>(), last[1].get<int>()) < 1024, out.constData());

    // The OME-XML: size, physical size (µm) equal to the descriptor's mpp, magnification.
    QXmlStreamReader xml(QString::fromStdString(structure["description"].get<std::string>()));
    QString physicalX;
    QString physicalY;
    QString unit;
    QString nominal;
    QString name;
    int sizeX = 0;
    int sizeY = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto a = xml.attributes();
        if (xml.name() == QLatin1String("Pixels")) {
            sizeX = a.value("SizeX").toInt();
            sizeY = a.value("SizeY").toInt();
            physicalX = a.value("PhysicalSizeX").toString();
            physicalY = a.value("PhysicalSizeY").toString();
            unit = a.value("PhysicalSizeXUnit").toString();
        } else if (xml.name() == QLatin1String("Objective")) {
            nominal = a.value("NominalMagnification").toString();
        } else if (xml.name() == QLatin1String("Image")) {
            name = a.value("Name").toString();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(sizeX, width);
    QCOMPARE(sizeY, height);
    QCOMPARE(name, options.name);
    if (mpp > 0) {
        QCOMPARE(physicalX.toDouble(), mpp);
        QCOMPARE(physicalY.toDouble(), mpp);
        QCOMPARE(unit, QStringLiteral("µm"));
    } else {
        QVERIFY(physicalX.isEmpty() && physicalY.isEmpty());
    }
    if (magnification > 0)
        QCOMPARE(nominal.toDouble(), magnification);
    else
        QVERIFY(nominal.isEmpty());

    // Full-resolution pixels through libtiff and through OpenCV's TIFF reader; the first
    // reduced level through libtiff.
    QString problem;
    const cv::Mat full = readTiffLevel(tiffPath, 0, &problem);
    QVERIFY2(!full.empty(), qPrintable(problem));
    QVERIFY2(fixture::psnr(full, reference) >= 38,
             qPrintable(QStringLiteral("libtiff: PSNR %1 dB").arg(fixture::psnr(full, reference))));
    const cv::Mat opencv = cv::imread(tiffPath.toStdString(), cv::IMREAD_COLOR);
    QCOMPARE(opencv.cols, width);
    QCOMPARE(opencv.rows, height);
    QVERIFY2(
        fixture::psnr(opencv, reference) >= 38,
        qPrintable(QStringLiteral("OpenCV: PSNR %1 dB").arg(fixture::psnr(opencv, reference))));
    if (levels.size() > 1) {
        const cv::Mat reduced = readTiffLevel(tiffPath, 1, &problem);
        QVERIFY2(!reduced.empty(), qPrintable(problem));
        const double quality = fixture::psnr(reduced, fixture::halve(reference, false));
        QVERIFY2(quality >= 32, qPrintable(QStringLiteral("SubIFD 1: PSNR %1 dB").arg(quality)));
    }
}

void TestPyramid::unreadableCellsAreWhiteAndCounted() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_storage.useFolder(m_dir->path());
    fixture::PartPackage package = fixture::writePart(m_storage, 4, 2, 128, 4, 0);
    // Cell 1 names an entry its archive lacks, cell 6 an archive never uploaded, cell 3 is
    // not a JPEG: all three stay white, the others are drawn.
    package.part.cells[1].entry = QStringLiteral("99.jpg");
    package.part.cells[6].archive = QStringLiteral("00042.dat");
    {
        QFile file(m_storage.filePath(package.containerId, QStringLiteral("00002.dat")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fixture::archive({{QStringLiteral("3.jpg"), QByteArray("not a JPEG at all")}}));
        package.part.cells[3].archive = QStringLiteral("00002.dat");
    }
    const PyramidResult result = build(package, {});
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.skippedCells, 3);
    const cv::Mat reference = fixture::composition(package, {1, 3, 6});
    QString problem;
    const cv::Mat full = readTiffLevel(m_out + QStringLiteral("/image.ome.tif"), 0, &problem);
    QVERIFY2(!full.empty(), qPrintable(problem));
    QVERIFY(fixture::psnr(full, reference) >= 38);
    for (const int skipped : {1, 3, 6}) {
        const auto &cell = package.part.cells[size_t(skipped)];
        const cv::Scalar mean = cv::mean(full(cv::Rect(cell.x + 8, cell.y + 8, 112, 112)));
        QVERIFY2(mean[0] > 250 && mean[1] > 250 && mean[2] > 250,
                 qPrintable(QStringLiteral("cell %1 is not white").arg(skipped)));
    }
}

void TestPyramid::cancelStopsTheBuild_data() {
    QTest::addColumn<int>("at");
    QTest::newRow("early") << 10;
    QTest::newRow("late, while the TIFF is written") << 70;
}

void TestPyramid::cancelStopsTheBuild() {
    QFETCH(int, at);
    m_dir = std::make_unique<QTemporaryDir>();
    m_storage.useFolder(m_dir->path());
    const fixture::PartPackage package = fixture::writePart(m_storage, 12, 12, 256);
    int calls = 0;
    const PyramidResult result = build(package, {}, [&](int percent) {
        ++calls;
        return percent < at;
    });
    QVERIFY(!result.ok);
    QVERIFY(result.cancelled);
    QVERIFY(calls > 0);
    QVERIFY(!QFileInfo::exists(m_out + QStringLiteral("/image.ome.tif")));
    QVERIFY(!QFileInfo::exists(m_out + QStringLiteral("/dz.zip")));
}

void TestPyramid::refusesAHugePart() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_storage.useFolder(m_dir->path());
    fixture::PartPackage package = fixture::writePart(m_storage, 1, 1, 64);
    package.part.width = maxStitchedSidePx;
    package.part.height = maxStitchedSidePx;
    const PyramidResult result = build(package, {});
    QVERIFY(!result.ok);
    QVERIFY(result.error.contains(QStringLiteral("more than this server composes")));
    QVERIFY(QDir(m_out).isEmpty());
}

QTEST_GUILESS_MAIN(TestPyramid)
#include "tst_pyramid.moc"
