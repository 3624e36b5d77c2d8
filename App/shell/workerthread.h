#pragma once

#include <QObject>
#include <QThread>

// Base of the four facades: owns one worker thread, started with a fixed priority at
// construction. The derived facade moves its worker object into the thread.
class WorkerThread : public QObject {
public:
    explicit WorkerThread(QThread::Priority priority);
    ~WorkerThread() override;

    // Asks the thread's event loop to quit and waits for it without a time limit.
    void stop();

protected:
    QThread thread;
};
