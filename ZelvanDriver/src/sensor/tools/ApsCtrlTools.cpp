#include "sensor/tools/ApsCtrlTools.h"

#include "sensor/tools/ToolSupport.h"

namespace zelvan {

Imx415ApsCtrl::Imx415ApsCtrl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    // A field the table lacks is logged and its parameter left out.
    addBoolFieldParameter("auto_exposure", "Automatic exposure", "aps_exposure", "aps_auto_exposure_en");
    addBoolFieldParameter("auto_gain", "Automatic gain", "aps_auto_gain", "aps_auto_gain_en");
    addBoolFieldParameter("auto_white_balance", "Automatic white balance", "aps_white_balance",
                          "aps_auto_white_balance_en");
    addFieldParameter("gain", "Analog gain code (without automatic gain)", "aps_gain_control",
                      "aps_gain_pgc");
    // The exposure time the board uses for each frame (without automatic exposure); the fusion camera
    // times frames with it.
    addFieldParameter("exposure_time", "Exposure time of each frame (without automatic exposure)",
                      "aps_shutter", "aps_shutter_sweep_time", "us");
    addRegister2Map(
        FullParamteterInfo::makeInt("black_level", "Black level offset of the frames", 0, kBlackLevelMax,
                                    kBlackLevelDefault),
        [this](ParameterValue& v) {
            uint32_t raw = 0;
            if (!readRegisterValue("aps_blk_level", raw)) return false;
            v = static_cast<int>(raw & 0x3FF);
            return true;
        },
        [this](const ParameterValue& v) {
            return writeRegisterValue("aps_blk_level", static_cast<uint32_t>(std::get<int>(v)));
        });
}

namespace {
constexpr const char* kLegacyExposureName = "shutter_sweep_time";
}

bool Imx415ApsCtrl::getParam(const std::string& name, int& value) {
    return CameraToolRegisterWithCallback::getParam(name == kLegacyExposureName ? "exposure_time" : name,
                                                    value);
}

bool Imx415ApsCtrl::setParam(const std::string& name, int value) {
    return CameraToolRegisterWithCallback::setParam(name == kLegacyExposureName ? "exposure_time" : name,
                                                    value);
}

ToolInfo Imx415ApsCtrl::getToolInfo() const {
    return makeToolInfo(APS_CTRL, registeredParameterNames(), "Ctrl of APS cameras with IMX415 sonsors");
}

}  // namespace zelvan
