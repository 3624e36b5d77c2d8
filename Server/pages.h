#pragma once

#include "database.h"

#include <QList>
#include <QString>

namespace tavrona {

// The server's few browser pages. Every text that came from a user or a client is escaped.
namespace pages {

QString message(const QString &title, const QString &text);
QString index(const QString &baseUrl);
QString activation(const QString &code, const User &suggested, const QString &error = {});
QString activationConfirmed(const User &user);

struct ScanPageImage {
    bool stitched = false;
    int width = 0; // stitched: the part's full size
    int height = 0;
    int cells = 0;
    QString source; // image URL path
};
QString scan(const ScanRecord &scan, double mpp, double magnification,
             const QList<ScanPageImage> &images);

QString crashReports(const QList<CrashReport> &reports);

} // namespace pages

} // namespace tavrona
