#pragma once

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

    void setFilename(const QString &filename);
    // Records a file as pending (false) or uploaded (true).
    void setFileUploaded(const QString &path, bool uploaded);
    // The scan's last file has been requested: it is uploaded once nothing is pending.
    void finishUploads();
    void setSaved(const QString &viewUrl);

signals:
    void updated();

private:
    QMap<QString, bool> files;
    int uploadingCount = 0;
    int uploadedCount = 0;
    Status currentStatus = BUILDING;
    QString name;
    QString url;
    const QString id;
};
