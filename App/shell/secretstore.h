#pragma once

#include <QString>

#include <memory>

// Where the program keeps one secret, the service token: in the desktop keyring (the Secret
// Service or KWallet, through Qt Keychain) when one answers, otherwise in a file only its owner
// may read. A secret found in the file moves into the keyring as soon as the keyring answers.
//
// The keyring is asked in a thread of its own and each call waits at most timeoutMs for it: a
// keyring daemon that hangs (or a session bus that never answers) costs one wait, after which
// every store keeps to its file for the rest of the run. Calls block their caller for that long
// at most; use a store from one thread.
class SecretStore {
public:
    struct Options {
        QString service;  // the keyring's service name, e.g. "Tavrona Mireva"
        QString key;      // the entry under that service
        QString filePath; // the file used when no keyring answers
        // Long enough for the user to answer the keyring's unlock prompt.
        int timeoutMs = 10000;
    };
    enum class Place { Nowhere, Keyring, File };

    explicit SecretStore(Options options);

    // The stored secret, empty when there is none.
    QString read();
    // Stores the secret (an empty one removes it from both places). False when it could be
    // kept nowhere: then it lives only as long as the caller holds it.
    bool write(const QString &secret);
    // Where the last read found the secret or the last write put it.
    Place place() const { return lastPlace; }
    // False once the keyring has failed or not answered in this run.
    static bool keyringUsable();

private:
    struct Answer;
    enum class Job { Read, Write, Delete };
    // Runs one keyring job; nullptr when the keyring failed or did not answer in time.
    std::shared_ptr<Answer> ask(Job job, const QString &secret = {});
    bool writeFile(const QString &secret);
    bool readFile(QString &secret);
    void removeFile();

    Options options;
    Place lastPlace = Place::Nowhere;
};
