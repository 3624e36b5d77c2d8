#include "shell/workerthread.h"

WorkerThread::WorkerThread(QThread::Priority priority)
    : QObject(nullptr) {
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
