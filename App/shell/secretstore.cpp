#include "shell/secretstore.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSaveFile>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include <atomic>

namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Set once the keyring failed or did not answer: the daemon is the session's, not a store's.
std::atomic<bool> keyringDown{false};

// The keyring's jobs run in one thread for the whole process: Qt Keychain queues its jobs in an
// object that lives in the thread of the first job, so that thread must outlive every job. The
// thread is never stopped (it may be stuck in a session bus that does not answer).
QObject *keyringWorker() {
    static QObject *const worker = [] {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("keyring"));
        auto *object = new QObject;
        object->moveToThread(thread);
        thread->start(QThread::LowPriority);
        return object;
    }();
    return worker;
}

} // namespace

struct SecretStore::Answer {
    QSemaphore done;
    QKeychain::Error error = QKeychain::OtherError;
    QString errorString = QStringLiteral("no answer from the keyring");
    QString data;
};

SecretStore::SecretStore(Options options)
    : options(std::move(options)) {}

bool SecretStore::keyringUsable() {
    return !keyringDown;
}

std::shared_ptr<SecretStore::Answer> SecretStore::ask(Job job, const QString &secret) {
    if (keyringDown)
        return nullptr;
    auto answer = std::make_shared<Answer>();
    QObject *worker = keyringWorker();
    QMetaObject::invokeMethod(
        worker,
        [answer, job, secret, worker, service = options.service, key = options.key,
         timeoutMs = options.timeoutMs] {
            QKeychain::Job *request = nullptr;
            if (job == Job::Read) {
                request = new QKeychain::ReadPasswordJob(service);
            } else if (job == Job::Write) {
                auto *write = new QKeychain::WritePasswordJob(service);
                write->setTextData(secret);
                request = write;
            } else {
                request = new QKeychain::DeletePasswordJob(service);
            }
            request->setAutoDelete(false);
            request->setKey(key);
            // Whichever comes first, the job's end or the time-out, answers. A job that has not
            // ended is never deleted: some back-ends call back into it whenever they end (after
            // a password prompt, say); it goes when it ends.
            auto over = std::make_shared<bool>(false);
            QObject::connect(
                request, &QKeychain::Job::finished, worker,
                [answer, job, over](QKeychain::Job *finished) {
                    finished->deleteLater();
                    if (*over)
                        return;
                    *over = true;
                    answer->error = finished->error();
                    answer->errorString = finished->errorString();
                    if (job == Job::Read && finished->error() == QKeychain::NoError)
                        answer->data =
                            static_cast<QKeychain::ReadPasswordJob *>(finished)->textData();
                    answer->done.release();
                });
            QTimer::singleShot(timeoutMs, worker, [answer, over] {
                if (*over)
                    return;
                *over = true;
                answer->done.release();
            });
            request->start();
        },
        Qt::QueuedConnection);
    // The worker answers within the time-out, unless the keyring blocks its thread outright.
    const bool answered = answer->done.tryAcquire(1, options.timeoutMs + 1000);
    const bool usable = answered && (answer->error == QKeychain::NoError ||
                                     answer->error == QKeychain::EntryNotFound);
    if (!usable) {
        if (!keyringDown.exchange(true))
            qDebug() << "Desktop keyring not used:" << answer->errorString;
        return nullptr;
    }
    return answer;
}

QString SecretStore::read() {
    QString secret;
    if (readFile(secret)) {
        // The file holds a secret only when the keyring could not take it: newer than anything
        // the keyring may still hold. It moves there once the keyring answers.
        const auto moved = ask(Job::Write, secret);
        if (moved && moved->error == QKeychain::NoError) {
            removeFile();
            lastPlace = Place::Keyring;
        } else {
            lastPlace = Place::File;
        }
        return secret;
    }
    const auto answer = ask(Job::Read);
    if (answer && answer->error == QKeychain::NoError && !answer->data.isEmpty()) {
        lastPlace = Place::Keyring;
        return answer->data;
    }
    lastPlace = Place::Nowhere;
    return {};
}

bool SecretStore::write(const QString &secret) {
    if (secret.isEmpty()) {
        ask(Job::Delete);
        removeFile();
        lastPlace = Place::Nowhere;
        return !QFile::exists(options.filePath);
    }
    if (const auto answer = ask(Job::Write, secret);
        answer && answer->error == QKeychain::NoError) {
        removeFile();
        lastPlace = Place::Keyring;
        return true;
    }
    if (writeFile(secret)) {
        lastPlace = Place::File;
        return true;
    }
    lastPlace = Place::Nowhere;
    return false;
}

bool SecretStore::writeFile(const QString &secret) {
    if (options.filePath.isEmpty())
        return false;
    QDir().mkpath(QFileInfo(options.filePath).absolutePath());
    QSaveFile file(options.filePath);
    // Owner-only before the first byte is written.
    const QByteArray bytes = secret.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnly) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning() << "The service token could not be stored in" << options.filePath
                   << file.errorString();
        return false;
    }
    return true;
}

bool SecretStore::readFile(QString &secret) {
    QFile file(options.filePath);
    if (options.filePath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    // A copy that others can read is made private again.
    if (file.permissions() & ~(ownerOnly | QFileDevice::ReadUser | QFileDevice::WriteUser))
        file.setPermissions(ownerOnly);
    secret = QString::fromUtf8(file.readAll());
    return !secret.isEmpty();
}

void SecretStore::removeFile() {
    if (!options.filePath.isEmpty())
        QFile::remove(options.filePath);
}
