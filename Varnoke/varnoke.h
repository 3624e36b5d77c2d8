#pragma once

#include "common/cameraplugin.h"

#include <VmbCPP/VmbCPP.h>

// The plug-in: the vendor SDK's cameras behind the host's contract.
class Varnoke : public common::CameraPlugin {
public:
    Varnoke();
    void startup() override;
    void shutdown() override;
    std::vector<QSharedPointer<common::AbstractCamera>> cameras() override;

private:
    VmbCPP::VmbSystem &m_system;
};

extern "C" __attribute__((visibility("default"))) Varnoke plugin;
