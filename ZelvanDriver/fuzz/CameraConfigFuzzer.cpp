// Feeds arbitrary bytes to the camera configuration reader and applies what it accepts to the tools of
// two opened simulated cameras, one of the IMX636 family and one GenX320. The cameras are opened once;
// every input starts from the state they had after opening. Whatever state an input leaves, the
// configuration exported from it must load back without a refused value and export the same again.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "camera/CameraConfigFile.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace {

struct Target {
    std::shared_ptr<zelvan::DvsCamera> camera;
    nlohmann::json opened;  // the configuration right after opening
};

std::vector<Target> g_targets;

std::shared_ptr<zelvan::DvsCamera> open(zelvan::DvsCameraManager& manager, const std::string& product) {
    for (const auto& d : manager.getCameraDescs())
        if (d.product == product) return manager.openCamera(d.serial);
    return nullptr;
}

// Applies a document that must be taken whole.
void applyWhole(zelvan::DvsCamera& camera, const nlohmann::json& document) {
    if (!zelvan::config::applyDocument(camera, document).complete()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvan::Logger::Instance().setLevel(zelvan::LOG_ERROR + 1);
    auto configs = zelvan::sim::SimulatedCameras::defaultConfigs();
    for (auto& c : configs) c.settle_scale = 0;
    zelvan::sim::SimulatedCameras::instance().reset(configs);
    static zelvan::DvsCameraManager manager;
    for (const char* product : {"EVK4", "Zelvan.320camera"}) {
        auto camera = open(manager, product);
        if (!camera) std::abort();
        g_targets.push_back({camera, zelvan::config::exportDocument(*camera)});
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    nlohmann::json document;
    if (zelvan::config::readDocument(in, "fuzz input", document) != zelvan::ConfigError::None) return 0;
    for (Target& target : g_targets) {
        zelvan::DvsCamera& camera = *target.camera;
        applyWhole(camera, target.opened);
        const zelvan::config::ApplyResult result = zelvan::config::applyDocument(camera, document);
        if (result.failed) std::abort();  // the tools refuse, they never throw
        const nlohmann::json state = zelvan::config::exportDocument(camera);
        applyWhole(camera, state);
        if (zelvan::config::exportDocument(camera) != state) std::abort();
    }
    return 0;
}
