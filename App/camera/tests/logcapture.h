#pragma once

// Records the program's log lines while it lives (from any thread), still passing them on.

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture {
public:
    LogCapture() {
        QMutexLocker lock(&mutex());
        current() = this;
        previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() {
        qInstallMessageHandler(previous);
        QMutexLocker lock(&mutex());
        current() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const {
        QMutexLocker lock(&mutex());
        return captured;
    }
    void clear() {
        QMutexLocker lock(&mutex());
        captured.clear();
    }
    // Lines that start with the given text.
    QStringList linesStartingWith(const QString &prefix) const {
        QStringList found;
        for (const QString &line : lines())
            if (line.startsWith(prefix))
                found.append(line);
        return found;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message) {
        QtMessageHandler next = nullptr;
        {
            QMutexLocker lock(&mutex());
            if (LogCapture *capture = current()) {
                capture->captured.append(message);
                next = capture->previous;
            }
        }
        if (next)
            next(type, context, message);
    }
    static QMutex &mutex() {
        static QMutex instance;
        return instance;
    }
    static LogCapture *&current() {
        static LogCapture *instance = nullptr;
        return instance;
    }

    QtMessageHandler previous = nullptr;
    QStringList captured;
};
