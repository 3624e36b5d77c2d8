#include "camera/cameramanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>
#include <QTimer>

#include <boost/dll/import.hpp>
#include <boost/dll/shared_library.hpp>
#include <boost/dll/shared_library_load_mode.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <locale>
#include <mutex>
#include <stdexcept>

namespace {
constexpr int frameIntervalMs = 30;
constexpr int propertiesIntervalMs = 1000;
constexpr double previewBoxPx = 768.;

// Boost.Filesystem takes its path locale from the environment the first time it converts a
// path, and throws when the environment names a locale the system lacks (LANG=pl_PL.UTF-8
// without that locale generated): then no plug-in could ever be imported. In that case its
// locale is set up once under the UTF-8 C locale; the environment is restored at once.
void ensureUsablePathLocale() {
    static std::once_flag once;
    std::call_once(once, [] {
        try {
            std::locale probe("");
            return;
        } catch (const std::runtime_error &) {
        }
        const bool wasSet = qEnvironmentVariableIsSet("LC_ALL");
        const QByteArray saved = qgetenv("LC_ALL");
        qputenv("LC_ALL", "C.UTF-8");
        try {
            boost::filesystem::path::imbue(std::locale(""));
        } catch (const std::runtime_error &e) {
            qWarning() << "Cannot set up a locale for plug-in paths:" << e.what();
        }
        if (wasSet)
            qputenv("LC_ALL", saved);
        else
            qunsetenv("LC_ALL");
    });
}

// Whether the loaded library declares the contract version this program was built with; says
// why not otherwise.
bool acceptsContract(const boost::dll::shared_library &library, const QString &name) {
    const char *const versionSymbol = "pluginContractVersion";
    if (!library.has(versionSymbol)) {
        qWarning().nospace() << "Refused plugin " << name
                             << ": it declares no contract version (this program needs version "
                             << common::contractVersion << ")";
        return false;
    }
    const int version = library.get<const int>(versionSymbol);
    if (version != common::contractVersion) {
        qWarning().nospace() << "Refused plugin " << name << ": built for contract version "
                             << version << ", this program needs version "
                             << common::contractVersion;
        return false;
    }
    return true;
}
} // namespace

QStringList CameraManager::defaultPluginNames() {
    return {QStringLiteral("Varnoke"), QStringLiteral("Sendrik")};
}

CameraManager::CameraManager(QObject *parent)
    : CameraManager(defaultPluginNames(), parent) {}

CameraManager::CameraManager(const QStringList &pluginNames, QObject *parent)
    : QObject(parent)
    , pluginNames(pluginNames)
    , propertiesTimer(new QTimer(this)) {
    propertiesTimer->setInterval(propertiesIntervalMs);
    connect(propertiesTimer, &QTimer::timeout, this, &CameraManager::updateProperties);
    propertiesTimer->start();
}

CameraManager::~CameraManager() {
    // Every object a plug-in made must be gone before the plug-in shuts down and its library
    // may be unloaded.
    properties.clear();
    cameras.clear();
    currentCamera.reset();
    cameraOpen.store(false, std::memory_order_release);
    for (const auto &plugin : plugins) {
        // Nothing may leave a destructor: a failing shutdown is logged and the others still run.
        try {
            plugin->shutdown();
        } catch (const std::exception &e) {
            qWarning() << "Plugin shutdown failed:" << e.what();
        }
    }
    plugins.clear();
}

void CameraManager::loadPlugins() {
    if (!pluginsImported) {
        ensureUsablePathLocale();
        for (const QString &name : std::as_const(pluginNames)) {
            qDebug() << "Loading plugin" << name;
            try {
                boost::dll::shared_library library(
                    name.toStdString(), boost::dll::load_mode::append_decorations |
                                            boost::dll::load_mode::search_system_folders);
                // A plug-in of another contract would be called through another layout: it is
                // refused before anything of it is used.
                if (!acceptsContract(library, name))
                    continue;
                auto plugin =
                    boost::dll::import <common::CameraPlugin>(std::move(library), "plugin");
                plugin->initialize();
                plugins.push_back(plugin);
                qDebug() << "Plugin successfully loaded";
            } catch (const boost::system::system_error &e) {
                qDebug() << "Failed to load plugin" << name << "reason:";
                qDebug() << e.what();
            }
        }
        pluginsImported = true;
    }
    for (; pluginsStarted < plugins.size(); ++pluginsStarted)
        plugins[pluginsStarted]->startup();
}

void CameraManager::findAvailableCameras() {
    if (!pluginsLoaded) {
        loadPlugins();
        pluginsLoaded = true;
    }
    cameras.clear();
    setCamera({});
    for (const auto &plugin : plugins) {
        for (auto &camera : plugin->cameras()) {
            qDebug() << QString::fromStdString(camera->name());
            cameras.push_back(std::move(camera));
        }
    }
    QList<CameraInfo> list;
    list.reserve(qsizetype(cameras.size()));
    for (const auto &camera : cameras)
        list.append({QString::fromStdString(camera->id()), QString::fromStdString(camera->name())});
    emit availableCamerasChanged(list);
}

void CameraManager::setCamera(QSharedPointer<common::AbstractCamera> camera) {
    if (camera == currentCamera)
        return;
    if (currentCamera) {
        currentCamera->stop();
        properties.clear();
    }
    qDebug() << "Set camera start";
    currentCamera = camera;
    cameraOpen.store(false, std::memory_order_release);
    if (currentCamera) {
        try {
            currentCamera->start();
        } catch (const std::exception &) {
            currentCamera.reset();
        }
    }
    cameraOpen.store(bool(currentCamera), std::memory_order_release);
    qDebug() << "Set camera stop";

    QList<CameraPropertyFrontend *> frontends;
    properties.clear();
    if (currentCamera) {
        for (auto &[name, backend] : currentCamera->properties())
            properties.push_back(QSharedPointer<CameraProperty>::create(name, backend));
        QThread *guiThread = QCoreApplication::instance()->thread();
        for (const auto &property : properties) {
            auto *frontend = new CameraPropertyFrontend(property.data());
            frontend->moveToThread(guiThread);
            frontends.append(frontend);
        }
    }
    // The receiver gets a handle that does not own the camera: a queued copy of an owning pointer
    // could otherwise destroy the camera in the GUI thread, or after its plug-in shut down.
    QSharedPointer<common::AbstractCamera> handle;
    if (currentCamera)
        handle = QSharedPointer<common::AbstractCamera>(currentCamera.data(),
                                                        [](common::AbstractCamera *) {});
    emit cameraChanged(handle, frontends);
}

void CameraManager::setCameraId(QString cameraId) {
    for (const auto &camera : cameras) {
        if (QString::fromStdString(camera->id()) == cameraId) {
            setCamera(camera);
            return;
        }
    }
    setCamera({});
}

void CameraManager::update() {
    // An exception from the step leaves here before the next step is scheduled: the loop ends.
    frameStep();
    QTimer::singleShot(frameIntervalMs, this, &CameraManager::update);
}

void CameraManager::frameStep() {
    const QSharedPointer<common::AbstractCamera> camera = currentCamera;
    if (!camera)
        return;
    cv::Mat frame = camera->frame();
    if (frame.empty())
        return;

    if (vignettingProfileGeneration) {
        accumulateVignetting(frame);
    } else if (vignettingCorrectionEnabled) {
        const cv::Size size = camera->size();
        const cv::Mat &profile = vignettingProfile.profile();
        if (size.width == profile.cols && size.height == profile.rows && !profile.empty())
            vignettingProfile.apply(frame);
    }

    const cv::Size size = previewSize(camera->size());
    if (size.width <= 0 || size.height <= 0 || frame.cols <= 0 || frame.rows <= 0)
        return;
    FrameInfo info;
    cv::resize(frame, info.smallImage, size, 0., 0., cv::INTER_LINEAR);
    info.sharpness = sharpness(info.smallImage);
    info.image = frame;
    info.sequence = ++publishedFrames;
    info.publishedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    emit updated(info);
}

void CameraManager::accumulateVignetting(const cv::Mat &frame) {
    // Frames of another size (another camera, or a changed resolution) cannot be added to the
    // accumulation, and the ones gathered so far describe other optics: start over.
    if (frame.size() != vignettingProfile.generationSize()) {
        qDebug() << "Vignetting profile generation restarted: frame size changed from"
                 << vignettingProfile.generationSize().width
                 << vignettingProfile.generationSize().height << "to" << frame.cols << frame.rows;
        vignettingProfile.startGeneration(frame.size());
    }
    vignettingProfile.addFrame(frame);
    if (vignettingProfile.isComplete()) {
        vignettingProfile.finishGeneration();
        vignettingProfileGeneration = false;
        emit vignettingProfileGenerationFinished();
    } else {
        emit vignettingProfileProgress(vignettingProfile.progress());
    }
}

cv::Size CameraManager::previewSize(cv::Size cameraSize) {
    const int w = cameraSize.width;
    const int h = cameraSize.height;
    if (w == 0 || h == 0)
        return {w, h};
    const double scale = std::min({1., previewBoxPx / w, previewBoxPx / h});
    return {int(w * scale), int(h * scale)};
}

void CameraManager::updateProperties() {
    for (const auto &property : properties) {
        property->updateActive();
        property->update();
    }
}

void CameraManager::setVignettingProfileGeneration(bool value) {
    if (value == vignettingProfileGeneration)
        return;
    vignettingProfileGeneration = value;
    if (value)
        vignettingProfile.startGeneration(currentCamera ? currentCamera->size() : cv::Size());
}

void CameraManager::setVignettingCorrectionEnabled(bool value) {
    vignettingCorrectionEnabled = value;
    qDebug() << "vignetting correction: " << value;
}

void CameraManager::beginScanning() {
    for (const auto &property : properties)
        property->beginScanning();
}

void CameraManager::endScanning() {
    for (const auto &property : properties)
        property->endScanning();
}
