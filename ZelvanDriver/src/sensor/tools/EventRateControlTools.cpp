#include "sensor/tools/EventRateControlTools.h"

#include <algorithm>

#include "sensor/tools/ToolSupport.h"

namespace zelvan {

namespace {

constexpr EventRateControlSensor kImx636{.description = "ERC of DVS cameras with IMX636 sensor",
                                         .enable_reg = "erc_enable",
                                         .enable_field = "erc_en",
                                         .bypass_field = nullptr,
                                         .period_reg = "reference_period",
                                         .period_field = "erc_reference_period",
                                         .target_reg = "td_target_event_rate",
                                         .target_field = "target_event_rate"};
constexpr EventRateControlSensor kGenx320{.description = "ERC of DVS cameras with GenX320 sensor",
                                          .enable_reg = "pipeline_control",
                                          .enable_field = "enable",
                                          .bypass_field = "bypass",
                                          .period_reg = "ref_period_flavor",
                                          .period_field = "reference_period",
                                          .target_reg = "td_target_event_count",
                                          .target_field = "val"};

constexpr uint32_t kDefaultReferencePeriodUs = 128;

FullParamteterInfo enableInfo() {
    return FullParamteterInfo::makeBool("enable", "Set whether the Event Rate Control function is enabled",
                                        false);
}

FullParamteterInfo rateInfo(int32_t max) {
    return FullParamteterInfo::makeInt("max_event_rate", "Set threshold", 0, max, max, "MEv/s");
}

}  // namespace

EventRateControlTool::EventRateControlTool(std::shared_ptr<RegisterController> controller,
                                           const EventRateControlSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "erc/"), sensor_(sensor) {
    params_info_ = {enableInfo(), rateInfo(max_limit_)};
    addRegister2Map(
        params_info_[0],
        [this](ParameterValue& v) {
            bool on = false;
            if (!readEnable(on)) return false;
            v = on;
            return true;
        },
        [this](const ParameterValue& v) { return setEnable(std::get<bool>(v)); });
    addRegister2Map(
        params_info_[1],
        [this](ParameterValue& v) {
            int rate = 0;
            if (!getMaxEventRate(rate)) return false;
            v = rate;
            return true;
        },
        [this](const ParameterValue& v) { return setMaxEventRate(std::get<int>(v)); });
}

bool EventRateControlTool::setMaxLimitEventRate(uint32_t limit) {
    // Not alone with the getters and setters: they read and write the same limit and registers.
    const auto lock = lockParameters();
    max_limit_ = static_cast<int32_t>(std::min<uint32_t>(limit, kMaxEventRate));
    // The rate that the next enable applies stays within the limit.
    max_event_rate_ = std::min(max_event_rate_, max_limit_);
    params_info_[1] = rateInfo(max_limit_);
    // The parameter was registered in the constructor under this name and kind.
    static_cast<void>(updateParameterInfo(params_info_[1]));
    return boundRunningRate();
}

bool EventRateControlTool::boundRunningRate() {
    bool on = false;
    int rate = 0;
    if (!readEnable(on)) return false;
    if (!on) return true;
    if (!getMaxEventRate(rate)) return false;
    return rate <= max_limit_ || setMaxEventRate(max_event_rate_);
}

bool EventRateControlTool::writeEnable(bool enable) {
    if (sensor_.bypass_field && !writeField(sensor_.enable_reg, sensor_.bypass_field, 0)) return false;
    return writeField(sensor_.enable_reg, sensor_.enable_field, enable ? 1 : 0);
}

bool EventRateControlTool::readEnable(bool& enable) {
    // The block runs when it is enabled and not bypassed.
    uint32_t on = 0;
    uint32_t bypass = 0;
    if (!readField(sensor_.enable_reg, sensor_.enable_field, on)) return false;
    if (sensor_.bypass_field && !readField(sensor_.enable_reg, sensor_.bypass_field, bypass)) return false;
    enable = on != 0 && bypass == 0;
    return true;
}

bool EventRateControlTool::setEnable(bool enable) {
    // The controller starts on the tool's rate, not on whatever target the sensor holds.
    if (enable && !setMaxEventRate(max_event_rate_)) return false;
    return writeEnable(enable);
}

bool EventRateControlTool::setMaxEventRate(int rate) {
    if (!writeTarget(rate)) return false;
    max_event_rate_ = rate;
    return true;
}

bool EventRateControlTool::getMaxEventRate(int& rate) {
    bool on = false;
    if (!readEnable(on)) return false;
    if (!on) {
        rate = max_event_rate_;
        return true;
    }
    return readTarget(rate);
}

// Writes the target event count per reference period for `rate` MEv/s (events per microsecond).
bool EventRateControlTool::writeTarget(int rate) {
    uint32_t period = 0;
    if (!readField(sensor_.period_reg, sensor_.period_field, period)) return false;
    if (period == 0) {
        period = kDefaultReferencePeriodUs;
        if (!writeField(sensor_.period_reg, sensor_.period_field, period)) return false;
    }
    return writeField(sensor_.target_reg, sensor_.target_field, static_cast<uint32_t>(rate) * period);
}

// Reads back the rate (MEv/s) the controller applies: the target event count per reference period.
bool EventRateControlTool::readTarget(int& rate) {
    uint32_t period = 0;
    uint32_t target = 0;
    if (!readField(sensor_.period_reg, sensor_.period_field, period) ||
        !readField(sensor_.target_reg, sensor_.target_field, target))
        return false;
    if (period == 0) period = kDefaultReferencePeriodUs;
    rate = static_cast<int>(target / period);  // the target field is at most 22 bits wide
    return true;
}

ToolInfo EventRateControlTool::getToolInfo() const {
    return makeToolInfo(EVENT_RATE_CONTROL, {"enable", "max_event_rate"}, sensor_.description);
}

Imx636EventRateControl::Imx636EventRateControl(std::shared_ptr<RegisterController> controller)
    : EventRateControlTool(std::move(controller), kImx636) {}

Genx320EventRateControl::Genx320EventRateControl(std::shared_ptr<RegisterController> controller)
    : EventRateControlTool(std::move(controller), kGenx320) {}

}  // namespace zelvan
