#pragma once

#include "database.h"
#include "http.h"
#include "objectstore.h"
#include "scandescriptor.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <list>
#include <memory>
#include <optional>

typedef struct zip zip_t;

namespace tavrona {

struct ServiceContext;

// Saved scans: the program saves a container whose package is complete (checked on a worker),
// and the browser views the scan's page: each stitched part as Deep Zoom tiles once the job
// pool has made it, with its OME-TIFF to download, and the photos.
class ScanHandlers {
public:
    explicit ScanHandlers(ServiceContext &context);
    ~ScanHandlers();

    HttpReply save(const HttpRequest &request);       // POST .../container/{container}/save
    HttpReply page(const HttpRequest &request);       // GET /scans/{scan}
    HttpReply status(const HttpRequest &request);     // GET /scans/{scan}/status
    HttpReply image(const HttpRequest &request);      // GET /scans/{scan}/images/{image} (photos)
    HttpReply dzi(const HttpRequest &request);        // GET /scans/{scan}/parts/{part}.dzi
    HttpReply tile(const HttpRequest &request);       // .../{part}_files/{level}/{col}_{row}.jpeg
    HttpReply omeTiff(const HttpRequest &request);    // GET /scans/{scan}/parts/{part}.ome.tif
    HttpReply package(const HttpRequest &request);    // GET /scans/{scan}/package.zip
    HttpReply viewerFile(const HttpRequest &request); // GET /viewer/{file*}

private:
    struct SavedScan {
        std::shared_ptr<const ScanRecord> scan;
        std::shared_ptr<const ScanDescriptor> descriptor;
        QList<QPair<int, int>> parts; // part number, image index
        QList<Job> jobs;
        nlohmann::json partJson(int part) const;
        nlohmann::json statusJson() const;
    };
    std::optional<SavedScan> load(const HttpRequest &request);
    std::optional<Job> readyPart(const HttpRequest &request, SavedScan *saved, int *part,
                                 HttpReply *instead);
    struct PackageCheck {
        HttpReply refusal = HttpReply::json(nlohmann::json::object()); // status 200: passed
        QByteArray descriptorText;
        ScanDescriptor descriptor;
        QList<StoredObject> files; // the container's files as the check found them
    };
    // Runs on a worker: reads the store only.
    PackageCheck checkPackage(const QString &containerId);
    QByteArray readDeepZoom(const QString &zipPath, const QString &entry, bool *found);

    ServiceContext &m_context;
    QObject m_thread; // lives in the server's thread: workers hand results back through it
    std::list<std::pair<QString, zip_t *>> m_zips; // most recently used first
    std::list<std::pair<QString, std::pair<std::shared_ptr<const ScanRecord>,
                                           std::shared_ptr<const ScanDescriptor>>>>
        m_scans; // most recently used first
    // Packages being packed, with the requests waiting for each.
    QHash<QString, QList<QPair<std::shared_ptr<PendingReply>, HttpRequest>>> m_packing;
    QThreadPool m_checks; // destroyed first: waits for running checks
};

} // namespace tavrona
