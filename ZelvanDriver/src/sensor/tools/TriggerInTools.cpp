#include "sensor/tools/TriggerInTools.h"

#include "sensor/tools/ToolSupport.h"

namespace zelvan {

namespace {

constexpr TriggerInSensor kImx636{.description = "Trigger in of DVS cameras with IMX636 sensors",
                                  .reg = "edf/trigger_in",
                                  .field = "enable"};
constexpr TriggerInSensor kGenx320{.description = "Trigger in of DVS cameras with GenX320 sensor",
                                   .reg = "ro/readout_ctrl",
                                   .field = "ext_trigger_in_en"};

}  // namespace

TriggerInTool::TriggerInTool(std::shared_ptr<RegisterController> controller, const TriggerInSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller)), sensor_(sensor) {
    // The default is the sensor's reset state of the input.
    const Register::Field* gate = findField(sensor_.reg, sensor_.field);
    addRegister2Map(
        FullParamteterInfo::makeBool("enable", "Let the edges of the trigger input into the event stream",
                                     gate && gate->get_default_value() != 0),
        [this](ParameterValue& v) {
            uint32_t raw = 0;
            if (!readField(sensor_.reg, sensor_.field, raw)) return false;
            v = raw != 0;
            return true;
        },
        [this](const ParameterValue& v) {
            return writeField(sensor_.reg, sensor_.field, std::get<bool>(v) ? 1 : 0);
        });
}

ToolInfo TriggerInTool::getToolInfo() const {
    return makeToolInfo(TRIGGER_IN, {"enable"}, sensor_.description);
}

Imx636TriggerIn::Imx636TriggerIn(std::shared_ptr<RegisterController> controller)
    : TriggerInTool(std::move(controller), kImx636) {}

Genx320TriggerIn::Genx320TriggerIn(std::shared_ptr<RegisterController> controller)
    : TriggerInTool(std::move(controller), kGenx320) {}

}  // namespace zelvan
