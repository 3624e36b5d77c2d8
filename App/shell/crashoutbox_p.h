#pragma once

// The outbox of crash reporting and its sender.

#include "shell/crashreport.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace crashreport {

// Lives in the crash-report thread: turns events into envelope files in the outbox folder and
// sends the outbox, oldest first, one request at a time, to the service the DSN names. What
// cannot be delivered waits there for a later attempt or the next start.
class Outbox : public QObject {
public:
    Outbox(const Dsn &dsn, const QString &folder, bool debug);

    // The file attached to every event, and the most envelopes kept.
    QString attachmentPath;
    int limit = 100;

    // Stores the event (with the attachment as it is now) and sends what is waiting.
    void enqueue(const Event &event);
    // Stores an envelope; the oldest envelopes beyond the limit go.
    void store(const QByteArray &envelope, const QByteArray &eventId);
    // Sends the oldest envelope, unless one is on its way or the service asked to wait.
    void flush();
    // Waits briefly for the envelope on its way, then gives up on it and stops sending.
    void shutdown();

private:
    void finished(QNetworkReply *done);

    Dsn dsn;
    QString folder;
    bool debug;
    QNetworkAccessManager *network = nullptr;
    QPointer<QNetworkReply> reply;
    QTimer *retryTimer;
    QString currentFile;
    qint64 sequence = 0;
    bool closing = false;
};

} // namespace crashreport
