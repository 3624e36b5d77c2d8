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

    // Returns once the worker thread has handled everything queued to it before this call (the
    // queued slots of its objects included). Called from the thread that stops it; does nothing
    // once the thread has stopped.
    void drain();

protected:
    QThread thread;

private:
    // Lives in the worker thread: what drain() queues its marker to.
    QObject anchor;
};
