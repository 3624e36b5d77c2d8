#pragma once

#include <QApplication>
#include <QMutex>

#include <optional>
#include <stdexcept>

// The application object. Any exception that escapes the delivery of an event, in any thread, is
// logged, reported and swallowed here, so one failing slot does not take the program down; the
// last one is kept for the entry function to report again when the event loop has ended.
class Application : public QApplication {
public:
    Application(int &argc, char **argv);
    ~Application() override;

    bool notify(QObject *receiver, QEvent *event) override;

    // The message of the most recent exception caught in notify(), if any.
    std::optional<std::runtime_error> lastException() const;

private:
    void recordException(const std::runtime_error &exception);

    // notify() runs in every thread that delivers events.
    mutable QMutex exceptionMutex;
    std::optional<std::runtime_error> exception;
};
