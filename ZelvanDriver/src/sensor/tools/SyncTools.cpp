#include "sensor/tools/SyncTools.h"

#include "sensor/tools/ToolSupport.h"
#include "zelvan/RegisterController.h"

namespace zelvan {

namespace {

constexpr SyncSensor kImx636{.description = "Sync of DVS cameras with IMX636 sensors", .has_sync_pad = true};
constexpr SyncSensor kGenx320{.description = "Sync of DVS cameras with GenX320 sensors",
                              .has_sync_pad = false};

}  // namespace

SyncTool::SyncTool(std::shared_ptr<RegisterController> controller, const SyncSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "ro/"), sensor_(sensor) {
    addRegister2Map(
        FullParamteterInfo::makeEnum("mode",
                                     "Time base: the camera's own (standalone), its own driven out on "
                                     "the sync pad (master), or taken from the sync pad (slave)",
                                     {kStandalone, kMaster, kSlave}, kStandalone),
        [this](ParameterValue& v) {
            Mode mode = Mode::Standalone;
            if (!getMode(mode)) return false;
            v = std::string(modeText(mode));
            return true;
        },
        // The base class lets only the options through.
        [this](const ParameterValue& v) { return setMode(modeOf(std::get<std::string>(v))); });
}

const char* SyncTool::modeText(Mode mode) {
    switch (mode) {
        case Mode::Master:
            return kMaster;
        case Mode::Slave:
            return kSlave;
        case Mode::Standalone:
            break;
    }
    return kStandalone;
}

SyncTool::Mode SyncTool::modeOf(const std::string& text) {
    if (text == kMaster) return Mode::Master;
    if (text == kSlave) return Mode::Slave;
    return Mode::Standalone;
}

bool SyncTool::setMode(Mode mode) {
    const bool external = mode != Mode::Standalone;
    const bool master = mode != Mode::Slave;
    bool ok = writeField("time_base_ctrl", "time_base_mode", external ? 1 : 0);
    ok = ok && writeField("time_base_ctrl", "external_mode", master ? 1 : 0);
    ok = ok && writeField("time_base_ctrl", "external_mode_enable", external ? 1 : 0);
    if (ok && external && sensor_.has_sync_pad)
        ok = controller_->writeRegisterField("dig_pad2_ctrl", "pad_sync", master ? 0xC : 0xF) == 0;
    return ok;
}

bool SyncTool::getMode(Mode& mode) {
    uint32_t external = 0;
    uint32_t master = 0;
    if (!readField("time_base_ctrl", "time_base_mode", external) ||
        !readField("time_base_ctrl", "external_mode", master))
        return false;
    mode = external == 0 ? Mode::Standalone : (master != 0 ? Mode::Master : Mode::Slave);
    return true;
}

ToolInfo SyncTool::getToolInfo() const { return makeToolInfo(SYNC, {"mode"}, sensor_.description); }

Imx636Sync::Imx636Sync(std::shared_ptr<RegisterController> controller)
    : SyncTool(std::move(controller), kImx636) {}

Genx320Sync::Genx320Sync(std::shared_ptr<RegisterController> controller)
    : SyncTool(std::move(controller), kGenx320) {}

}  // namespace zelvan
