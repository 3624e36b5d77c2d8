#include "handlers/crashreports.h"

#include "envelope.h"
#include "objectstore.h"
#include "pages.h"
#include "servicecontext.h"

namespace tavrona {

QString CrashReportHandlers::key(const QString &reportId) {
    return QStringLiteral("crash-reports/%1.envelope").arg(reportId);
}

HttpReply CrashReportHandlers::envelope(const HttpRequest &request) {
    const ServerOptions &options = m_context.options;
    const QString project = request.param(QStringLiteral("project"));
    if (project != options.crashProject)
        return HttpReply::error(404, QStringLiteral("unknown project"));
    QString error;
    QByteArray auth = request.header("x-sentry-auth");
    if (auth.isEmpty() && request.query.hasQueryItem(QStringLiteral("sentry_key")))
        auth = "Sentry sentry_version=7, sentry_key=" +
               request.query.queryItemValue(QStringLiteral("sentry_key")).toUtf8();
    if (!checkSentryAuth(auth, options.crashKey, &error))
        return HttpReply::error(401, error);
    const QByteArray encoding = request.header("content-encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return HttpReply::error(415, QStringLiteral("compressed envelopes are not accepted"));
    if (request.body.size() > options.maxEnvelopeBytes)
        return HttpReply::error(413, QStringLiteral("the envelope is too large"));
    Envelope envelope;
    if (!parseEnvelope(request.body, &envelope, &error))
        return HttpReply::error(400, error);

    CrashReport report;
    report.id = ServiceContext::randomHex(16);
    report.receivedAt = m_context.now();
    report.project = project;
    report.eventId = envelope.eventId().left(64);
    QStringList types;
    for (const EnvelopeItem &item : envelope.items)
        types << QString::fromUtf8(item.type).left(40);
    report.itemTypes = types.join(QStringLiteral(", "));
    report.summary = envelope.summary().left(500);
    report.size = request.body.size();

    // The file first: a listed report always has its envelope.
    if (!m_context.store->put(key(report.id), request.body, &error) ||
        !m_context.db.addCrashReport(report)) {
        qWarning().noquote() << "Cannot store crash report" << report.id << ":"
                             << (error.isEmpty() ? m_context.db.lastError() : error);
        return HttpReply::error(500, QStringLiteral("cannot store the envelope"));
    }
    return HttpReply::json({{"id", utf8(report.eventId.isEmpty() ? report.id : report.eventId)}});
}

HttpReply CrashReportHandlers::list(const HttpRequest &) {
    return HttpReply::html(pages::crashReports(m_context.db.crashReports(500)));
}

HttpReply CrashReportHandlers::file(const HttpRequest &request) {
    const QString id = request.param(QStringLiteral("report"));
    if (!Storage::isContainerId(id) || !m_context.db.crashReport(id))
        return HttpReply::error(404, QStringLiteral("no such crash report"));
    QString error;
    bool missing = false;
    auto envelope = m_context.store->read(key(id), 0, -1, &error, &missing);
    if (!envelope) {
        if (!missing)
            qWarning().noquote() << "Cannot read crash report" << id << ":" << error;
        return HttpReply::error(missing ? 404 : 503, missing
                                                         ? QStringLiteral("no such crash report")
                                                         : QStringLiteral("the storage cannot "
                                                                          "be read right now"));
    }
    HttpReply reply;
    reply.contentType = "application/x-sentry-envelope";
    reply.body = std::move(*envelope);
    reply.headers.append(
        {"Content-Disposition", "attachment; filename=\"" + id.toLatin1() + ".envelope\""});
    return reply;
}

} // namespace tavrona
