#pragma once

// Stands in for the system browser: registered as the URL handler for http and https, it records
// what the program asked to open instead of launching anything. The opener may run in the
// service thread, so the record is locked.

#include <QDesktopServices>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QUrl>

class BrowserStub : public QObject {
    Q_OBJECT

public:
    BrowserStub() {
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
    }
    ~BrowserStub() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }

    QList<QUrl> opened() const {
        QMutexLocker lock(&mutex);
        return urls;
    }

public slots:
    void open(const QUrl &url) {
        QMutexLocker lock(&mutex);
        urls.append(url);
    }

private:
    mutable QMutex mutex;
    QList<QUrl> urls;
};
