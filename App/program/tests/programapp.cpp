// Helper of tst_entry: runs the program's entry function with a test main window and a test
// crash-report DSN. Arguments: main QML URL, crash-report DSN. The QML module ProgramTest gives the
// test windows a way to make a slot in a worker thread throw.
#include "program/entry.h"
#include "shell/workerthread.h"

#include <QCoreApplication>
#include <QQmlEngine>

#include <stdexcept>

class FailingWorker : public QObject {
    Q_OBJECT
public slots:
    void fail(const QString &message) { throw std::runtime_error(message.toStdString()); }
};

class FailingThread : public WorkerThread {
public:
    FailingThread()
        : WorkerThread(QThread::NormalPriority) {
        worker->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    }
    FailingWorker *worker = new FailingWorker;
};

class Probe : public QObject {
    Q_OBJECT
public:
    Probe() {
        connect(this, &Probe::failRequested, failing.worker, &FailingWorker::fail);
        connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { failing.stop(); });
    }
    Q_INVOKABLE void throwInWorker(const QString &message) { emit failRequested(message); }

signals:
    void failRequested(const QString &message);

private:
    FailingThread failing;
};

int main(int argc, char *argv[]) {
    if (argc < 3)
        return 2;
    qmlRegisterSingletonType<Probe>(
        "ProgramTest", 1, 0, "Probe",
        [](QQmlEngine *, QJSEngine *) -> QObject * { return new Probe; });
    const QUrl mainQml(QString::fromLocal8Bit(argv[1]));
    const QString dsn = QString::fromLocal8Bit(argv[2]);
    return mirevaMain(argc, argv, mainQml, dsn);
}

#include "programapp.moc"
