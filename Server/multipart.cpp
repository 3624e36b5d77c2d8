#include "multipart.h"

namespace tavrona {

const MultipartPart *MultipartResult::part(const QByteArray &name) const {
    for (const MultipartPart &p : parts)
        if (p.name == name)
            return &p;
    return nullptr;
}

QByteArray headerParameters(const QByteArray &value, QList<QPair<QByteArray, QByteArray>> *params) {
    params->clear();
    qsizetype i = 0;
    const qsizetype n = value.size();
    auto skipSpace = [&] {
        while (i < n && (value[i] == ' ' || value[i] == '\t'))
            ++i;
    };
    skipSpace();
    const qsizetype firstStart = i;
    while (i < n && value[i] != ';')
        ++i;
    const QByteArray first = value.mid(firstStart, i - firstStart).trimmed().toLower();
    while (i < n) {
        ++i; // the ';'
        skipSpace();
        const qsizetype nameStart = i;
        while (i < n && value[i] != '=' && value[i] != ';')
            ++i;
        const QByteArray name = value.mid(nameStart, i - nameStart).trimmed().toLower();
        QByteArray paramValue;
        if (i < n && value[i] == '=') {
            ++i;
            skipSpace();
            if (i < n && value[i] == '"') {
                ++i;
                while (i < n && value[i] != '"') {
                    if (value[i] == '\\' && i + 1 < n)
                        ++i;
                    paramValue += value[i];
                    ++i;
                }
                if (i < n)
                    ++i; // closing quote
                while (i < n && value[i] != ';')
                    ++i;
            } else {
                const qsizetype valueStart = i;
                while (i < n && value[i] != ';')
                    ++i;
                paramValue = value.mid(valueStart, i - valueStart).trimmed();
            }
        }
        if (!name.isEmpty())
            params->append({name, paramValue});
    }
    return first;
}

QByteArray multipartBoundary(const QByteArray &contentType, QString *error) {
    QList<QPair<QByteArray, QByteArray>> params;
    const QByteArray type = headerParameters(contentType, &params);
    if (type != "multipart/form-data") {
        *error = QStringLiteral("Expected Content-Type multipart/form-data");
        return {};
    }
    for (const auto &[name, value] : params) {
        if (name != "boundary")
            continue;
        // RFC 2046: 1 to 70 characters, and it may not end in a space.
        if (value.isEmpty() || value.size() > 70 || value.endsWith(' ')) {
            *error = QStringLiteral("Invalid multipart boundary");
            return {};
        }
        for (char c : value) {
            if (uchar(c) < 0x20 || uchar(c) > 0x7e) {
                *error = QStringLiteral("Invalid multipart boundary");
                return {};
            }
        }
        return value;
    }
    *error = QStringLiteral("Missing multipart boundary");
    return {};
}

namespace {

MultipartResult failure(int status, const QString &error) {
    MultipartResult result;
    result.status = status;
    result.error = error;
    return result;
}

// True when a delimiter starting at pos (at the "--") really ends there: followed by "--"
// (close delimiter) or optional transport padding and CRLF.
bool delimiterEndsAt(const QByteArray &body, qsizetype afterDelimiter) {
    const qsizetype n = body.size();
    if (afterDelimiter + 1 < n && body[afterDelimiter] == '-' && body[afterDelimiter + 1] == '-')
        return true;
    qsizetype i = afterDelimiter;
    while (i < n && (body[i] == ' ' || body[i] == '\t'))
        ++i;
    return i + 1 < n && body[i] == '\r' && body[i + 1] == '\n';
}

} // namespace

MultipartResult parseMultipart(const QByteArray &body, const QByteArray &boundary,
                               const MultipartLimits &limits) {
    if (boundary.isEmpty())
        return failure(400, QStringLiteral("Missing multipart boundary"));
    const QByteArray delimiter = "--" + boundary;
    const QByteArray lineDelimiter = "\r\n" + delimiter;

    // The first delimiter may follow a preamble, which is ignored.
    qsizetype pos = -1;
    if (body.startsWith(delimiter) && delimiterEndsAt(body, delimiter.size())) {
        pos = 0;
    } else {
        qsizetype from = 0;
        while ((from = body.indexOf(lineDelimiter, from)) >= 0) {
            if (delimiterEndsAt(body, from + lineDelimiter.size())) {
                pos = from + 2;
                break;
            }
            ++from;
        }
    }
    if (pos < 0)
        return failure(400, QStringLiteral("Multipart body has no opening boundary"));

    MultipartResult result;
    for (;;) {
        qsizetype p = pos + delimiter.size();
        if (p + 1 < body.size() && body[p] == '-' && body[p + 1] == '-') {
            result.ok = true; // close delimiter; whatever follows is epilogue
            return result;
        }
        while (p < body.size() && (body[p] == ' ' || body[p] == '\t'))
            ++p;
        p += 2; // CRLF, checked by delimiterEndsAt

        if (result.parts.size() >= limits.maxParts)
            return failure(
                413, QStringLiteral("Too many multipart parts (at most %1)").arg(limits.maxParts));

        // Part headers end with an empty line; a part without headers starts with it.
        qsizetype contentStart;
        QByteArray headerBlock;
        if (body.mid(p, 2) == "\r\n") {
            contentStart = p + 2;
        } else {
            const qsizetype end = body.indexOf("\r\n\r\n", p);
            if (end < 0 || end - p > limits.maxHeaderBytes)
                return failure(end < 0 ? 400 : 413,
                               end < 0 ? QStringLiteral("Multipart part headers are not closed")
                                       : QStringLiteral("Multipart part headers are too large"));
            headerBlock = body.mid(p, end - p);
            contentStart = end + 4;
        }

        MultipartPart part;
        for (const QByteArray &line : headerBlock.split('\n')) {
            const QByteArray trimmed = line.endsWith('\r') ? line.chopped(1) : line;
            if (trimmed.isEmpty())
                continue;
            const qsizetype colon = trimmed.indexOf(':');
            if (colon <= 0)
                return failure(400, QStringLiteral("Malformed multipart part header"));
            part.headers.append(
                {trimmed.left(colon).trimmed().toLower(), trimmed.mid(colon + 1).trimmed()});
        }
        bool hasDisposition = false;
        for (const auto &[name, value] : part.headers) {
            if (name != "content-disposition")
                continue;
            QList<QPair<QByteArray, QByteArray>> params;
            if (headerParameters(value, &params) != "form-data")
                return failure(400, QStringLiteral("Multipart part is not form-data"));
            for (const auto &[paramName, paramValue] : params) {
                if (paramName == "name") {
                    part.name = paramValue;
                    hasDisposition = true;
                } else if (paramName == "filename") {
                    part.fileName = paramValue;
                }
            }
        }
        if (!hasDisposition || part.name.isEmpty())
            return failure(400, QStringLiteral("Multipart part without a field name"));

        const qsizetype limit =
            part.name == limits.fileFieldName ? limits.maxFileBytes : limits.maxFieldBytes;
        qsizetype next = -1;
        qsizetype from = contentStart;
        while ((from = body.indexOf(lineDelimiter, from)) >= 0) {
            if (from - contentStart > limit)
                break;
            if (delimiterEndsAt(body, from + lineDelimiter.size())) {
                next = from;
                break;
            }
            ++from;
        }
        if (next < 0) {
            const qsizetype seen = (from < 0 ? body.size() : from) - contentStart;
            if (seen > limit)
                return failure(413, QStringLiteral("Multipart field \"%1\" is larger than %2 bytes")
                                        .arg(QString::fromUtf8(part.name))
                                        .arg(limit));
            return failure(400, QStringLiteral("Multipart body has no closing boundary"));
        }
        part.data = body.mid(contentStart, next - contentStart);
        result.parts.append(std::move(part));
        pos = next + 2;
    }
}

} // namespace tavrona
