#pragma once

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QString>

// One container on the service and how far its files have got. Created and updated only by
// ApiThread, in the GUI thread.
class Scan : public QObject {
    Q_OBJECT
    Q_PROPERTY(int uploading READ uploading NOTIFY updated)
    Q_PROPERTY(int uploaded READ uploaded NOTIFY updated)
    Q_PROPERTY(Status status READ status NOTIFY updated)
    Q_PROPERTY(QString filename READ filename WRITE setFilename NOTIFY updated)
    Q_PROPERTY(QString viewUrl READ viewUrl NOTIFY updated)
    Q_PROPERTY(QString containerId READ containerId NOTIFY updated)
    // When it was started, and whether an earlier run of the program left it behind.
    Q_PROPERTY(QDateTime startedAt READ startedAt NOTIFY updated)
    Q_PROPERTY(bool recovered READ recovered NOTIFY updated)
    // The e-mail address of the user whose container it is; empty while not known.
    Q_PROPERTY(QString owner READ owner NOTIFY updated)
    // Its uploads wait for its owner to log in (again).
    Q_PROPERTY(bool waitingForLogIn READ waitingForLogIn NOTIFY updated)
    // A file of it was refused for good: it cannot be saved; `error` says why.
    Q_PROPERTY(bool failed READ failed NOTIFY updated)
    Q_PROPERTY(QString error READ error NOTIFY updated)
    // The name it was asked to be saved under, and whether that save is still on its way.
    Q_PROPERTY(QString saveName READ saveName NOTIFY updated)
    Q_PROPERTY(bool saving READ saving NOTIFY updated)

public:
    enum Status { BUILDING = 0, UPLOADING = 1, UPLOADED = 2, SAVED = 3 };
    Q_ENUM(Status)

    explicit Scan(QString containerId, QObject *parent = nullptr);

    int uploading() const { return uploadingCount; }
    int uploaded() const { return uploadedCount; }
    Status status() const { return currentStatus; }
    QString filename() const { return name; }
    QString viewUrl() const { return url; }
    QString containerId() const { return id; }
    QDateTime startedAt() const { return started; }
    bool recovered() const { return fromEarlierRun; }
    QString owner() const { return ownerEmail; }
    bool waitingForLogIn() const { return waiting; }
    bool failed() const { return !failure.isEmpty(); }
    QString error() const { return failure; }
    QString saveName() const { return nameToSave; }
    bool saving() const { return savePending; }
    bool discarded() const { return isDiscarded; }

    void setFilename(const QString &filename);
    // Records a file as pending (false) or uploaded (true).
    void setFileUploaded(const QString &path, bool uploaded);
    // The scan's last file has been requested: it is uploaded once nothing is pending.
    void finishUploads();
    void setSaved(const QString &viewUrl);
    void setStartedAt(const QDateTime &startedAt);
    void setRecovered(bool recovered);
    void setOwner(const QString &owner);
    void setWaitingForLogIn(bool waiting);
    // Keeps the first reason.
    void setFailed(const QString &reason);
    void setSaveName(const QString &name);
    void setSaving(bool saving);
    void setDiscarded();

signals:
    void updated();

private:
    void updateStatus();

    QMap<QString, bool> files;
    int uploadingCount = 0;
    int uploadedCount = 0;
    bool finishRequested = false;
    Status currentStatus = BUILDING;
    QString name;
    // Saved; the page address may still be empty (one the program does not open).
    bool isSaved = false;
    QString url;
    const QString id;
    QDateTime started;
    bool fromEarlierRun = false;
    QString ownerEmail;
    bool waiting = false;
    QString failure;
    QString nameToSave;
    bool savePending = false;
    bool isDiscarded = false;
};
