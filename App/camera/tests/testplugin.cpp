// A camera plug-in for the tests: its cameras and behaviour come from the test's configuration
// for TEST_PLUGIN_LABEL, and everything it is asked to do goes into the shared journal.
#include "testcamera.h"

#include <boost/config.hpp>

#include <stdexcept>

namespace testplugin {
const std::string label = TEST_PLUGIN_LABEL;

class TestPlugin : public common::CameraPlugin {
public:
    void initialize() override { testcamera::Journal::add(label + " initialize"); }

    void startup() override {
        testcamera::Journal::add(label + " startup");
        if (testcamera::consumeStartupFailure(label))
            throw std::runtime_error(label + " camera system unavailable");
    }

    void shutdown() override { testcamera::Journal::add(label + " shutdown"); }

    std::vector<QSharedPointer<common::AbstractCamera>> cameras() override {
        testcamera::Journal::add(label + " cameras");
        std::vector<QSharedPointer<common::AbstractCamera>> result;
        std::vector<QWeakPointer<testcamera::FakeCamera>> made;
        for (auto spec : testcamera::pluginConfig(label).cameras) {
            spec.plugin = label;
            auto camera = QSharedPointer<testcamera::FakeCamera>::create(spec);
            made.push_back(camera);
            result.push_back(camera);
        }
        testcamera::recordMadeCameras(label, made);
        return result;
    }
};
} // namespace testplugin

extern "C" BOOST_SYMBOL_EXPORT testplugin::TestPlugin plugin;

// Built without a version (TEST_PLUGIN_UNVERSIONED), it stands for a plug-in made before the
// contract had one; built with TEST_PLUGIN_CONTRACT_OFFSET, for one of an older or a newer
// contract.
#ifndef TEST_PLUGIN_UNVERSIONED
#ifndef TEST_PLUGIN_CONTRACT_OFFSET
#define TEST_PLUGIN_CONTRACT_OFFSET 0
#endif
const int pluginContractVersion = common::contractVersion + TEST_PLUGIN_CONTRACT_OFFSET;
#endif

testplugin::TestPlugin plugin;
