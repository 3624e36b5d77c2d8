#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace tavrona {

struct MultipartPart {
    QByteArray name;
    QByteArray fileName;                          // empty when the part had no filename parameter
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray data;
};

struct MultipartLimits {
    int maxParts = 32;
    int maxHeaderBytes = 8 * 1024;
    qint64 maxFieldBytes = 64 * 1024;
    // The part of this name carries the upload and gets the larger limit.
    QByteArray fileFieldName = "file";
    qint64 maxFileBytes = qint64(512) << 20;
};

struct MultipartResult {
    bool ok = false;
    int status = 400; // 400 for malformed bodies, 413 for a part over its limit
    QString error;
    QList<MultipartPart> parts;

    const MultipartPart *part(const QByteArray &name) const;
};

// The boundary parameter of a multipart/form-data Content-Type, or empty with an error.
QByteArray multipartBoundary(const QByteArray &contentType, QString *error);

// Parses a complete multipart/form-data body (RFC 7578 / RFC 2046). A delimiter only counts
// at the start of a line and when followed by "--", white space or a line end, so data that
// merely contains the boundary text stays data.
MultipartResult parseMultipart(const QByteArray &body, const QByteArray &boundary,
                               const MultipartLimits &limits = {});

// Splits a header value such as `form-data; name="a"; filename="b"` into its lower-cased
// first token and its parameters (names lower-cased, quoted strings unescaped).
QByteArray headerParameters(const QByteArray &value, QList<QPair<QByteArray, QByteArray>> *params);

} // namespace tavrona
