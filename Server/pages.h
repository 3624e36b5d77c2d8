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

// The scan's viewer page; status is the scan's status JSON (see ScanHandlers), which the page's
// script turns into viewers, and keeps polling while parts are being made.
QString scan(const ScanRecord &scan, double mpp, double magnification, const QString &status);

QString crashReports(const QList<CrashReport> &reports);

} // namespace pages

} // namespace tavrona
