// Frame sensor control of the fusion camera (board register table): "auto_exposure", "auto_gain",
// "auto_white_balance", "black_level", "exposure_time", "gain". One sensor only, so no descriptor.
// "shutter_sweep_time", the name earlier versions also listed for the exposure field, is still taken
// by getParam and setParam (files saved then hold it) but no longer listed, so that a file holds the
// exposure once.
#pragma once

#include <memory>
#include <string>

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

    using CameraToolRegisterWithCallback::getParam;
    using CameraToolRegisterWithCallback::setParam;
    bool getParam(const std::string& name, int& value) override;
    bool setParam(const std::string& name, int value) override;
};

}  // namespace zelvan
