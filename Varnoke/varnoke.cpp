#include "varnoke.h"

#include "vimbacamera.h"
#include "vimbaexception.h"

#include <QDebug>

const int pluginContractVersion = common::contractVersion;
Varnoke plugin;

Varnoke::Varnoke()
    : m_system(VmbCPP::VmbSystem::GetInstance()) {}

void Varnoke::startup() {
    qDebug() << "Vimba startup";
    checkVmb(m_system.Startup(), "Startup failed");
}

void Varnoke::shutdown() {
    checkVmb(m_system.Shutdown(), "Shutdown failed");
}

std::vector<QSharedPointer<common::AbstractCamera>> Varnoke::cameras() {
    qDebug() << "Get Vimba available cameras";
    VmbCPP::CameraPtrVector sdkCameras;
    checkVmb(m_system.GetCameras(sdkCameras), "GetCameras failed");
    qDebug() << "Vimba cameras found:" << sdkCameras.size();
    std::vector<QSharedPointer<common::AbstractCamera>> result;
    for (const auto &sdkCamera : sdkCameras) {
        try {
            result.push_back(QSharedPointer<common::AbstractCamera>(new VimbaCamera(sdkCamera)));
        } catch (const VimbaException &e) {
            qDebug() << "Failed to open camera - error:" << e.what();
        }
    }
    return result;
}
