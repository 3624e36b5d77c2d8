#pragma once

// Starting tavrona-server from another program (tests, the end-to-end report) on a free
// loopback port, and learning its base URL from its start-up line.

#include <QByteArray>
#include <QDebug>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace tavrona {

// Starts the tavrona-server executable on a free port; returns its base URL, or empty.
inline QString startServer(QProcess &process, const QString &program, const QString &dataDir,
                           const QStringList &extra = {}) {
    process.setProgram(program);
    process.setArguments(QStringList{"--port", "0", "--data", dataDir} + extra);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start();
    if (!process.waitForStarted(10000))
        return {};
    static const QRegularExpression listening(QStringLiteral("listening on (http://\\S+/)"));
    QByteArray out;
    while (process.waitForReadyRead(10000)) {
        out += process.readAllStandardOutput();
        const auto match = listening.match(QString::fromUtf8(out));
        if (match.hasMatch())
            return match.captured(1);
    }
    qWarning() << "server did not start:" << out << process.readAllStandardError();
    return {};
}

} // namespace tavrona
