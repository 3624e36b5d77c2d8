// The worker thread of the facades: started at once, drained on request, stopped for good.
#include "shell/workerthread.h"

#include <QTest>

#include <atomic>

namespace {
class Worker : public QObject {
    Q_OBJECT
public:
    std::atomic<int> handled = 0;
public slots:
    void handle() {
        QThread::msleep(20); // slower than the caller, so an early return would show
        ++handled;
    }
};

class Facade : public WorkerThread {
    Q_OBJECT
public:
    Facade()
        : WorkerThread(QThread::NormalPriority) {
        worker.moveToThread(&thread);
        connect(this, &Facade::request, &worker, &Worker::handle);
    }
    ~Facade() override { stop(); }
    Worker worker;
signals:
    void request();
};
} // namespace

class TestWorkerThread : public QObject {
    Q_OBJECT

private slots:
    void drainWaitsForEverythingQueuedBefore() {
        Facade facade;
        QVERIFY(facade.worker.thread() != QThread::currentThread());
        for (int i = 0; i < 5; ++i)
            emit facade.request();
        facade.drain();
        QCOMPARE(facade.worker.handled.load(), 5);
    }

    void drainAfterStopReturnsAtOnce() {
        Facade facade;
        facade.stop();
        emit facade.request(); // nobody left to handle it: waiting for it would never end
        facade.drain();
        QCOMPARE(facade.worker.handled.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestWorkerThread)
#include "tst_workerthread.moc"
