#pragma once

#include "scandescriptor.h"
#include "storage.h"

#include <QString>

#include <functional>

namespace tavrona {

// What a saved scan's stitched part becomes for the browser and for other programs: Deep Zoom
// tiles in one stored zip ("dz.zip" holding "dz/dz.dzi" and "dz/dz_files/<level>/<col>_<row>.jpeg":
// one file rather than thousands, cheap to create and to copy to an object store) and a
// pyramidal OME-TIFF ("image.ome.tif"), both written from one composed image that is never held
// in memory: its pixels are made, region by region, from the cells libvips asks for.
struct PyramidOptions {
    int tileQuality = 85;                 // Deep Zoom JPEG tiles, 254 px with 1 px overlap
    int tiffQuality = 90;                 // OME-TIFF JPEG tiles, 512 px
    qint64 cacheBytes = qint64(96) << 20; // decoded cells kept for neighbouring regions
    double mpp = 0;                       // µm per pixel; 0: unknown
    double magnification = 0;             // 0: unknown
    QString name;                         // the image's name in the OME-XML
};

struct PyramidResult {
    bool ok = false;
    bool cancelled = false;
    QString error;
    int width = 0;
    int height = 0;
    int cells = 0;
    int skippedCells = 0; // cells that could not be read: left white
    int dziLevels = 0;
    int tiffLevels = 0;
};

// Called with 0..100 as the work advances; returning false cancels the build.
using PyramidProgress = std::function<bool(int percent)>;

// Writes the part's files into outDir (an empty folder). Reads cells through storage; safe to
// call from several threads at once.
PyramidResult buildPyramid(const ScanImage &part, const Storage &storage,
                           const QString &containerId, const QString &outDir,
                           const PyramidOptions &options, const PyramidProgress &progress);

// The OME-XML stored as the TIFF's first ImageDescription.
QString omeXml(int width, int height, const PyramidOptions &options);

// Number of Deep Zoom levels of an image: down to 1 × 1 px.
int dziLevelCount(int width, int height);

// libvips for this process: started once, with its operation cache off (a server keeps no
// images between jobs) and threads worker threads per computation.
void initImaging(int threads);

// Lowers the calling thread's scheduling priority (nice 10): threads that make pyramids give
// way to the thread that answers requests.
void lowerThreadPriority();

// Largest part we compose, in pixels: a whole 75 × 25 mm slide at 0.25 µm per pixel.
constexpr qint64 maxPartPixels = qint64(30) * 1000 * 1000 * 1000;

} // namespace tavrona
