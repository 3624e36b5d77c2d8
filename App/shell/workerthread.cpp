#include "shell/workerthread.h"

#include <QMetaObject>

WorkerThread::WorkerThread(QThread::Priority priority)
    : QObject(nullptr) {
    anchor.moveToThread(&thread);
    thread.start(priority);
}

WorkerThread::~WorkerThread() {
    if (!thread.isFinished()) {
        thread.quit();
        thread.wait();
    }
}

void WorkerThread::stop() {
    thread.quit();
    thread.wait();
}

void WorkerThread::drain() {
    if (!thread.isRunning() || QThread::currentThread() == &thread)
        return;
    QMetaObject::invokeMethod(
        &anchor, [] {}, Qt::BlockingQueuedConnection);
}
