#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace tavrona {

struct StitchedCell {
    int x = 0;
    int y = 0;
    QString archive; // container path of the NNNNN.dat archive
    QString entry;   // entry name inside it
};

struct ScanImage {
    enum class Type { Stitched, Single };
    Type type = Type::Single;
    int width = 0; // stitched only
    int height = 0;
    std::vector<StitchedCell> cells;
    QString path; // single only: container path of the photo
};

struct ScanDescriptor {
    std::vector<ScanImage> images;
    double mpp = 0;
    double magnification = 0;
};

// Reads "scan.isd". References to cells ("00000.dat/1.jpg") are split at the ".dat/" into the
// archive and the entry. Every path is checked like an upload path.
bool parseScanDescriptor(const QByteArray &text, ScanDescriptor *out, QString *error);

// Largest side we accept for a stitched part, in pixels: far beyond any slide at full
// resolution, and small enough that scaled coordinates stay in int.
constexpr int maxStitchedSidePx = 1 << 24;

} // namespace tavrona
