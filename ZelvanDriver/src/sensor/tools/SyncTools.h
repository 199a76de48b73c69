// Synchronisation: "mode" is "standalone" (own time base), "master" (own time base, driven out on the sync
// pad) or "slave" (time base taken from the sync pad).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// What sets the synchronisation of one sensor apart. Descriptors are constants of static storage duration.
struct SyncSensor {
    const char* description;  // of the tool's ToolInfo
    bool has_sync_pad;        // the camera drives or reads its sync pad through dig_pad2_ctrl.pad_sync
};

class SyncTool : public CameraToolRegisterWithCallback {
public:
    static constexpr const char* kStandalone = "standalone";
    static constexpr const char* kMaster = "master";
    static constexpr const char* kSlave = "slave";

    ToolInfo getToolInfo() const override;

protected:
    SyncTool(std::shared_ptr<RegisterController> controller, const SyncSensor& sensor);

private:
    enum class Mode : uint8_t { Standalone, Master, Slave };
    static const char* modeText(Mode mode);
    static Mode modeOf(const std::string& text);

    [[nodiscard]] bool setMode(Mode mode);
    [[nodiscard]] bool getMode(Mode& mode);

    const SyncSensor& sensor_;
};

class Imx636Sync : public SyncTool {
public:
    explicit Imx636Sync(std::shared_ptr<RegisterController> controller);
};

class Genx320Sync : public SyncTool {
public:
    explicit Genx320Sync(std::shared_ptr<RegisterController> controller);
};

}  // namespace zelvan
