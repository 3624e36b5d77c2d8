#pragma once

#include "http.h"

namespace tavrona {

struct ServiceContext;

// Crash reports: the intake of envelopes the program (or any client of the same protocol)
// sends, and the pages that list and hand out the stored ones.
class CrashReportHandlers {
public:
    explicit CrashReportHandlers(ServiceContext &context)
        : m_context(context) {}

    HttpReply envelope(const HttpRequest &request); // POST /api/{project}/envelope/
    HttpReply list(const HttpRequest &request);     // GET /crash-reports
    HttpReply file(const HttpRequest &request);     // GET /crash-reports/{report}

private:
    static QString key(const QString &reportId);

    ServiceContext &m_context;
};

} // namespace tavrona
