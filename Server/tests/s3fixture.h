#pragma once

// An S3-compatible store for the tests: s3rver from the npm registry (pinned in
// Server/tests/node/package-lock.json, installed by scripts/install-deps), started on a free
// loopback port with its data in a temporary folder, stopped and removed with the object.
// s3rver knows one account, key "S3RVER" and secret "S3RVER"; it does not check V4 signatures,
// which tst_sigv4 and tst_sigv4_sdk check on their own.

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace fixture {

inline QString nodeProgram() {
    return QStringLiteral(MIREVA_NODE);
}

inline QString nodeTools() {
    return QStringLiteral(MIREVA_NODE_TOOLS);
}

// Empty when the test tools are installed, otherwise what to do about it.
inline QString nodeToolsProblem() {
    if (!QFileInfo(nodeProgram()).isExecutable())
        return QStringLiteral("node is missing (\"%1\"): run scripts/install-deps")
            .arg(nodeProgram());
    if (!QFileInfo::exists(nodeTools() + QStringLiteral("/node_modules/s3rver/package.json")))
        return QStringLiteral("the server's test tools are missing in %1: run "
                              "scripts/install-deps")
            .arg(nodeTools());
    return {};
}

// Runs a script of the test tools with input on its standard input; its standard output, or
// empty with *error set.
inline QByteArray runNodeScript(const QString &script, const QByteArray &input, QString *error) {
    QProcess process;
    process.setWorkingDirectory(nodeTools());
    process.start(nodeProgram(), {nodeTools() + QLatin1Char('/') + script});
    if (!process.waitForStarted(10000)) {
        *error = process.errorString();
        return {};
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        *error = QString::fromUtf8(process.readAllStandardError());
        process.kill();
        return {};
    }
    return process.readAllStandardOutput();
}

class S3rver {
public:
    static constexpr char accessKeyId[] = "S3RVER";
    static constexpr char secretAccessKey[] = "S3RVER";

    S3rver() = default;
    ~S3rver() { stop(); }
    S3rver(const S3rver &) = delete;
    S3rver &operator=(const S3rver &) = delete;

    bool start(const QStringList &buckets, QString *error) {
        if (const QString problem = nodeToolsProblem(); !problem.isEmpty()) {
            *error = problem;
            return false;
        }
        m_dir = std::make_unique<QTemporaryDir>();
        if (!m_dir->isValid()) {
            *error = QStringLiteral("cannot make a temporary folder for s3rver");
            return false;
        }
        // s3rver's listing continuation tokens use DES, which Node's OpenSSL 3 keeps among its
        // legacy algorithms.
        QStringList args{QStringLiteral("--openssl-legacy-provider"),
                         nodeTools() + QStringLiteral("/node_modules/s3rver/bin/s3rver.js"),
                         QStringLiteral("--directory"),
                         m_dir->path(),
                         QStringLiteral("--address"),
                         QStringLiteral("127.0.0.1"),
                         QStringLiteral("--port"),
                         QStringLiteral("0"),
                         QStringLiteral("--silent"),
                         QStringLiteral("--no-vhost-buckets")};
        for (const QString &bucket : buckets)
            args << QStringLiteral("--configure-bucket") << bucket;
        m_process.setProgram(nodeProgram());
        m_process.setArguments(args);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            *error = QStringLiteral("s3rver did not start: %1").arg(m_process.errorString());
            return false;
        }
        static const QRegularExpression listening(
            QStringLiteral("S3rver listening on ([0-9.]+):([0-9]+)"));
        QByteArray out;
        while (m_process.waitForReadyRead(20000)) {
            out += m_process.readAllStandardOutput();
            const auto match = listening.match(QString::fromUtf8(out));
            if (match.hasMatch()) {
                m_endpoint =
                    QUrl(QStringLiteral("http://%1:%2").arg(match.captured(1), match.captured(2)));
                return true;
            }
        }
        *error =
            QStringLiteral("s3rver did not start: %1 %2")
                .arg(QString::fromUtf8(out), QString::fromUtf8(m_process.readAllStandardError()));
        stop();
        return false;
    }

    void stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
        m_dir.reset();
    }

    QUrl endpoint() const { return m_endpoint; }
    // "s3://bucket?endpoint=…&region=…" as the server takes it.
    QString storageUrl(const QString &bucket, const QString &region = "us-east-1") const {
        return QStringLiteral("s3://%1?endpoint=%2&region=%3")
            .arg(bucket, m_endpoint.toString(), region);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QProcess m_process;
    QUrl m_endpoint;
};

} // namespace fixture
