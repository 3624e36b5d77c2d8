#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <map>
#include <memory>

class ApiThread;
class BigBuilderThread;
class Scan;
class ScanJournal;
class Settings;

// Keeps the scans across runs of the program: what passes between the full-resolution builder
// and the service about a scan, and the scan folders' journals that make it last.
//
// A new scan of the service starts a builder with the scan's owner and calibration; the
// builder's upload requests go to the service; what the service confirms (each file with its
// ETag, the name a save was asked for, the save) goes into the scan's journal, and a saved or
// discarded scan's folder is removed. At start, recover() takes up every scan an earlier run
// left in the scans folder: a scan still being taken is closed as "Finish" would close it, the
// uploads the journal does not show confirmed are asked for again (they go once the scan's owner
// is logged in), and a save asked for before is made once the scan is uploaded.
class ScanKeeper : public QObject {
    Q_OBJECT

public:
    ScanKeeper(ApiThread *api, BigBuilderThread *bigBuilder, Settings *settings);
    ~ScanKeeper() override;

    // Takes up the scans of earlier runs; returns their container IDs.
    QStringList recover();

private:
    void onCurrentScanChanged(Scan *scan);
    void onUploadRequested(const QString &containerID, const QString &containerPath,
                           const QString &filePath, bool finish);
    void onFileUploaded(const QString &containerID, const QString &containerPath,
                        const QString &etag);
    void onSaveRequested(const QString &containerID, const QString &filename);
    void onScanSaved(const QString &containerID, const QString &viewUrl);
    void onScanDiscarded(const QString &containerID);
    // The journal of a container's scan, opened in this (the GUI) thread; null when the scan
    // has no folder (yet, or any more).
    ScanJournal *journal(const QString &containerID);
    void removeScan(const QString &containerID);
    void recover(const QString &folder, QStringList &recovered);

    ApiThread *m_api;
    BigBuilderThread *m_bigBuilder;
    Settings *m_settings;
    std::map<QString, std::unique_ptr<ScanJournal>> m_journals;
    // Scans whose folder is removed: nothing more is recorded for them.
    QSet<QString> m_removed;
};
