#pragma once

#include "http.h"

namespace tavrona {

struct ServiceContext;

// Saved scans: the program saves a container whose package is complete, and the browser views
// the scan's page and its images (stitched parts composed once, then served from the cache).
class ScanHandlers {
public:
    explicit ScanHandlers(ServiceContext &context)
        : m_context(context) {}

    HttpReply save(const HttpRequest &request);  // POST .../container/{container}/save
    HttpReply page(const HttpRequest &request);  // GET /scans/{scan}
    HttpReply image(const HttpRequest &request); // GET /scans/{scan}/images/{image}

private:
    ServiceContext &m_context;
};

} // namespace tavrona
