// Frame sensor control of the fusion camera (board register table): "auto_exposure", "auto_gain",
// "auto_white_balance", "black_level", "exposure_time", "gain", "shutter_sweep_time" ("exposure_time"
// and "shutter_sweep_time" are the same register field). One sensor only, so no descriptor.
#pragma once

#include <memory>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

class Imx415ApsCtrl : public CameraToolRegisterWithCallback {
public:
    // The black level register holds a 10-bit level, 50 after reset.
    static constexpr int kBlackLevelMax = 1023;
    static constexpr int kBlackLevelDefault = 50;

    explicit Imx415ApsCtrl(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

}  // namespace zelvan
