// The outbox of crash reporting and its sender.
#include "crashoutbox_p.h"

#include "shell/redaction.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>

namespace crashreport {

namespace {
const QString envelopeSuffix = QStringLiteral(".envelope");
constexpr int shutdownTimeoutMs = 2000;
constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
} // namespace

Outbox::Outbox(const Dsn &dsn, const QString &folder, bool debug)
    : dsn(dsn)
    , folder(folder)
    , debug(debug)
    , retryTimer(new QTimer(this)) {
    retryTimer->setSingleShot(true);
    QObject::connect(retryTimer, &QTimer::timeout, this, [this] { flush(); });
}

void Outbox::enqueue(const Event &event) {
    Event complete = event;
    if (!attachmentPath.isEmpty()) {
        QFile file(attachmentPath);
        complete.hasAttachment = true;
        complete.attachmentName = QFileInfo(attachmentPath).fileName();
        if (file.open(QIODevice::ReadOnly))
            complete.attachmentData = file.readAll();
    }
    store(buildEnvelope(complete, QDateTime::currentDateTimeUtc()), event.eventId);
    flush();
}

void Outbox::store(const QByteArray &unredacted, const QByteArray &eventId) {
    const QByteArray envelope = redactEnvelope(unredacted);
    // Names sort in the order the events happened, also within one millisecond.
    const QString name = QStringLiteral("%1-%2-%3%4")
                             .arg(QDateTime::currentMSecsSinceEpoch(), 15, 10, QLatin1Char('0'))
                             .arg(++sequence, 9, 10, QLatin1Char('0'))
                             .arg(QString::fromLatin1(eventId), envelopeSuffix);
    QSaveFile file(folder + QLatin1Char('/') + name);
    // An envelope carries the log: only its owner may read it.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnly) ||
        file.write(envelope) != envelope.size() || !file.commit())
        qWarning() << "Crash report could not be stored in" << folder;
    const QStringList names =
        QDir(folder).entryList({QLatin1Char('*') + envelopeSuffix}, QDir::Files, QDir::Name);
    qsizetype excess = names.size() - qMax(1, limit);
    for (qsizetype i = 0; i < names.size() && excess > 0; ++i) {
        const QString oldest = folder + QLatin1Char('/') + names[i];
        if (reply && oldest == currentFile)
            continue; // on its way
        QFile::remove(oldest);
        --excess;
        qWarning() << "Crash-report outbox full, oldest report dropped";
    }
}

void Outbox::flush() {
    // While closing, what is left waits in the outbox for the next start.
    if (closing || reply || retryTimer->isActive())
        return;
    const QStringList names =
        QDir(folder).entryList({QLatin1Char('*') + envelopeSuffix}, QDir::Files, QDir::Name);
    if (names.isEmpty())
        return;
    currentFile = folder + QLatin1Char('/') + names.first();
    QFile file(currentFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Crash report could not be read, dropped:" << currentFile;
        QFile::remove(currentFile);
        QTimer::singleShot(0, this, [this] { flush(); });
        return;
    }
    // Also what an earlier version left in the outbox leaves without its secrets.
    const QByteArray envelope =
        withSentAt(redactEnvelope(file.readAll()), QDateTime::currentDateTimeUtc());
    if (!network)
        network = new QNetworkAccessManager(this);
    QNetworkRequest request(QUrl(dsn.envelopeUrl()));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-sentry-envelope"));
    request.setRawHeader("X-Sentry-Auth", dsn.authHeader());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *posted = network->post(request, envelope);
    reply = posted;
    QObject::connect(posted, &QNetworkReply::finished, this, [this, posted] { finished(posted); });
}

void Outbox::finished(QNetworkReply *done) {
    done->deleteLater();
    if (done != reply)
        return; // given up on during shutdown
    reply = nullptr;
    const int status = done->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 200 && status < 300) {
        if (debug)
            qDebug() << "Crash report sent:" << QFileInfo(currentFile).fileName();
        QFile::remove(currentFile);
        flush();
    } else if (status == 429) {
        const int seconds =
            retryAfterSeconds(done->rawHeader("Retry-After"), QDateTime::currentDateTimeUtc());
        if (debug)
            qDebug() << "Crash reports rate-limited for" << seconds << "s";
        retryTimer->start(std::chrono::seconds(seconds));
    } else if (status >= 400 && status < 500) {
        // The service refuses this envelope for good; keeping it would block the outbox.
        qWarning() << "Crash report refused by the service, dropped; status" << status;
        QFile::remove(currentFile);
        flush();
    } else if (debug) {
        // Service down or unreachable: the outbox keeps the envelope for a later attempt.
        qDebug() << "Crash report not sent:" << done->errorString();
    }
}

void Outbox::shutdown() {
    closing = true;
    if (reply) {
        QEventLoop loop;
        QTimer::singleShot(shutdownTimeoutMs, &loop, &QEventLoop::quit);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (reply) {
        QNetworkReply *pending = reply;
        reply = nullptr;
        QObject::disconnect(pending, nullptr, this, nullptr);
        pending->abort();
        pending->deleteLater();
    }
    retryTimer->stop();
    delete network;
    network = nullptr;
}

} // namespace crashreport
