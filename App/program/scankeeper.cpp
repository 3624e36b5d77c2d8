#include "program/scankeeper.h"

#include "mosaic/bigbuilderthread.h"
#include "mosaic/scanfolder.h"
#include "mosaic/scanjournal.h"
#include "service/apithread.h"
#include "service/scan.h"
#include "shell/settings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

ScanKeeper::ScanKeeper(ApiThread *api, BigBuilderThread *bigBuilder, Settings *settings)
    : m_api(api)
    , m_bigBuilder(bigBuilder)
    , m_settings(settings) {
    // Direct, in the GUI thread where the signal is emitted: the builder exists before anyone
    // else hears of the scan.
    connect(api, &ApiThread::currentScanChanged, this, &ScanKeeper::onCurrentScanChanged,
            Qt::DirectConnection);
    connect(bigBuilder, &BigBuilderThread::uploadRequested, this, &ScanKeeper::onUploadRequested);
    connect(api, &ApiThread::fileUploaded, this,
            [this](QString containerID, QString containerPath, QString, QString etag) {
                onFileUploaded(containerID, containerPath, etag);
            });
    connect(api, &ApiThread::saveRequested, this, &ScanKeeper::onSaveRequested);
    connect(api, &ApiThread::scanSaved, this, &ScanKeeper::onScanSaved);
    connect(api, &ApiThread::scanDiscarded, this, &ScanKeeper::onScanDiscarded);
}

ScanKeeper::~ScanKeeper() = default;

void ScanKeeper::onCurrentScanChanged(Scan *scan) {
    if (!scan)
        return;
    ScanInfo info;
    info.containerId = scan->containerId();
    info.owner = scan->owner();
    info.startedAt = scan->startedAt();
    info.mpp = m_settings->mpp();
    info.magnification = m_settings->magnification();
    m_bigBuilder->start(info);
    if (!info.owner.isEmpty())
        return;
    // Its user was not known yet: the journal learns the owner when the service does.
    const QString containerID = info.containerId;
    QPointer<Scan> watched(scan);
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(scan, &Scan::updated, this, [this, watched, containerID, connection] {
        if (!watched || watched->owner().isEmpty())
            return;
        if (ScanJournal *scanJournal = journal(containerID))
            scanJournal->setOwner(watched->owner());
        disconnect(*connection);
    });
}

void ScanKeeper::onUploadRequested(const QString &containerID, const QString &containerPath,
                                   const QString &filePath, bool finish) {
    m_api->uploadFile(containerID, containerPath, filePath, finish);
}

ScanJournal *ScanKeeper::journal(const QString &containerID) {
    if (m_removed.contains(containerID))
        return nullptr;
    const auto it = m_journals.find(containerID);
    if (it != m_journals.end())
        return it->second.get();
    const QString folder = m_bigBuilder->scanFolder(containerID);
    if (folder.isEmpty())
        return nullptr;
    auto opened = std::make_unique<ScanJournal>(folder, ScanJournal::Mode::OpenExisting);
    if (!opened->isOpen()) {
        qWarning() << "The journal of container" << containerID
                   << "cannot be opened:" << opened->errorString();
        return nullptr;
    }
    return m_journals.emplace(containerID, std::move(opened)).first->second.get();
}

void ScanKeeper::onFileUploaded(const QString &containerID, const QString &containerPath,
                                const QString &etag) {
    if (ScanJournal *scanJournal = journal(containerID))
        scanJournal->confirmUpload(containerPath, etag);
}

void ScanKeeper::onSaveRequested(const QString &containerID, const QString &filename) {
    if (ScanJournal *scanJournal = journal(containerID))
        scanJournal->setSaveName(filename);
}

void ScanKeeper::onScanSaved(const QString &containerID, const QString &viewUrl) {
    if (ScanJournal *scanJournal = journal(containerID))
        scanJournal->setSaved(viewUrl);
    removeScan(containerID);
}

void ScanKeeper::onScanDiscarded(const QString &containerID) {
    if (ScanJournal *scanJournal = journal(containerID))
        scanJournal->setDiscarded();
    removeScan(containerID);
}

void ScanKeeper::removeScan(const QString &containerID) {
    m_journals.erase(containerID);
    m_removed.insert(containerID);
    m_bigBuilder->removeScan(containerID);
}

QStringList ScanKeeper::recover() {
    QStringList recovered;
    const QString root = m_bigBuilder->scansFolder();
    if (root.isEmpty())
        return recovered;
    scanfolder::removeUnfinishedRemovals(root);
    for (const QString &folder : scanfolder::scanFolders(root))
        recover(folder, recovered);
    return recovered;
}

void ScanKeeper::recover(const QString &folder, QStringList &recovered) {
    auto scanJournal = std::make_unique<ScanJournal>(folder, ScanJournal::Mode::OpenExisting);
    const std::optional<JournalState> state =
        scanJournal->isOpen() ? scanJournal->read() : std::nullopt;
    if (!state) {
        qWarning() << "The scan in" << folder
                   << "cannot be taken up:" << scanJournal->errorString();
        return;
    }
    const QString containerID = state->info.containerId;
    if (containerID.isEmpty() || m_bigBuilder->scanFolder(containerID) != folder) {
        qWarning() << "The folder" << folder << "does not hold the scan it is named after";
        return;
    }
    scanJournal.reset();
    // Saved or discarded, but the folder outlived the run that said so.
    if (state->discarded || state->saved) {
        m_bigBuilder->removeScan(containerID);
        return;
    }
    // Nothing was stored: nothing to keep.
    if (!state->finished && state->cells.isEmpty() && state->images.isEmpty()) {
        qDebug() << "Removing the empty scan of container" << containerID;
        m_bigBuilder->removeScan(containerID);
        return;
    }

    QStringList uploaded;
    bool finishUploaded = false;
    QList<JournalFile> toUpload;
    for (const JournalFile &file : state->files) {
        const QString path = folder + QLatin1Char('/') + file.localName;
        if (!file.etag.isEmpty()) {
            uploaded.append(path);
            finishUploaded = finishUploaded || file.finish;
        } else {
            toUpload.append(file);
        }
    }
    qDebug() << "Taking up the scan of container" << containerID << "of" << state->info.owner
             << "started" << state->info.startedAt << ":" << state->cells.size() << "cells,"
             << toUpload.size() << "files to upload" << (state->finished ? "" : "(not finished)");
    m_api->resumeScan(containerID, state->info.owner, state->info.startedAt, uploaded,
                      finishUploaded);
    recovered.append(containerID);

    // The descriptor goes last, after every file it names is asked for.
    std::stable_partition(toUpload.begin(), toUpload.end(),
                          [](const JournalFile &file) { return !file.finish; });
    for (const JournalFile &file : std::as_const(toUpload)) {
        const QString path = folder + QLatin1Char('/') + file.localName;
        // A file that is not what the journal says (it never reached the disk before a power
        // cut) must not reach the service: without it the upload fails for good, and says so.
        if (QFileInfo::exists(path) && scanfolder::fileMd5Hex(path) != file.md5) {
            qWarning() << "The file" << path << "is damaged and is not uploaded";
            QFile::remove(path);
        }
        m_api->uploadFile(containerID, file.containerPath, path, file.finish);
    }
    if (!state->finished)
        m_bigBuilder->resume(containerID);
    if (!state->saveName.isEmpty())
        m_api->saveScan(containerID, state->saveName);
}
