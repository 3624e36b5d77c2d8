#pragma once

#include <QString>
#include <QUrl>

// Which addresses the program follows when the service hands it one: the presigned storage URL
// it uploads a file to, the log-in page and the saved scan's page it opens in the browser.
// https is followed anywhere; plain http only to this machine or to the service's own host (a
// local or in-house service). Everything else (file:, smb:, ftp:, javascript:, ...) is refused.
// Returns an empty string when the URL may be followed, otherwise why not, in words fit for a
// log line and a message: it names the scheme and host only, never the path or query (a
// presigned URL's query holds its signature).
QString urlRefusal(const QUrl &url, const QUrl &serviceUrl);
