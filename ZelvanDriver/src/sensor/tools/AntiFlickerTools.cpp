#include "sensor/tools/AntiFlickerTools.h"

#include <algorithm>
#include <cmath>

#include "sensor/tools/ToolSupport.h"

namespace zelvan {

namespace {

constexpr AntiFlickerSensor kImx636{.description = "Anti flicker of DVS cameras with IMX636 sensor.",
                                    .enable = "Reserved_0",
                                    .bypass = "afk_bypass",
                                    .param = "param"};
constexpr AntiFlickerSensor kGenx320{.description = "Anti flicker of DVS cameras with GenX320 sensor.",
                                     .enable = "enable",
                                     .bypass = "bypass",
                                     .param = "afk_param"};

constexpr int kFlickerPeriodUnitUs = 128;  // the cutoff periods count 128 us

int periodToHz(uint32_t period) {
    return static_cast<int>(
        std::lround(1e6 / (double(std::max<uint32_t>(period, 1)) * kFlickerPeriodUnitUs)));
}

uint32_t hzToPeriod(int hz) {
    const long period = std::lround(1e6 / (double(std::max(hz, 1)) * kFlickerPeriodUnitUs));
    return static_cast<uint32_t>(std::clamp<long>(period, 1, 255));
}

}  // namespace

AntiFlickerTool::AntiFlickerTool(std::shared_ptr<RegisterController> controller,
                                 const AntiFlickerSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "afk/"), sensor_(sensor) {
    const Register::Field* low = findField("filter_period", "max_cutoff_period");
    const Register::Field* high = findField("filter_period", "min_cutoff_period");
    const Register::Field* duty = findField("filter_period", "inverted_duty_cycle");
    addRegister2Map(
        FullParamteterInfo::makeBool("enable", "Filter the events of flickering light sources", false),
        [this](ParameterValue& v) {
            uint32_t on = 0;
            uint32_t bypass = 0;
            if (!readField("pipeline_control", sensor_.enable, on)) return false;
            if (!readField("pipeline_control", sensor_.bypass, bypass)) return false;
            v = on != 0 && bypass == 0;
            return true;
        },
        [this](const ParameterValue& v) {
            const bool on = std::get<bool>(v);
            return writeField("pipeline_control", sensor_.bypass, 0) &&
                   writeField("pipeline_control", sensor_.enable, on ? 1 : 0);
        });
    addRegister2Map(
        FullParamteterInfo::makeInt("band_low_freq", "Lowest flicker frequency filtered", kMinFrequencyHz,
                                    kMaxFrequencyHz, periodToHz(low ? low->get_default_value() : 156), "Hz"),
        [this](ParameterValue& v) {
            int hz = 0;
            if (!getFrequency("max_cutoff_period", hz)) return false;
            v = hz;
            return true;
        },
        [this](const ParameterValue& v) { return setFrequency("max_cutoff_period", std::get<int>(v)); });
    addRegister2Map(
        FullParamteterInfo::makeInt("band_high_freq", "Highest flicker frequency filtered", kMinFrequencyHz,
                                    kMaxFrequencyHz, periodToHz(high ? high->get_default_value() : 15), "Hz"),
        [this](ParameterValue& v) {
            int hz = 0;
            if (!getFrequency("min_cutoff_period", hz)) return false;
            v = hz;
            return true;
        },
        [this](const ParameterValue& v) { return setFrequency("min_cutoff_period", std::get<int>(v)); });
    const float duty_default = duty ? float(16 - int(duty->get_default_value())) * 100.0f / 16.0f : 50.0f;
    addRegister2Map(
        // The sensor holds the share in sixteenths, from one to all sixteen.
        FullParamteterInfo::makeFloat("duty_cycle", "Share of a flicker period the light is on",
                                      100.0f / 16.0f, 100.0f, duty_default, "%"),
        [this](ParameterValue& v) {
            uint32_t inverted = 0;
            if (!readField("filter_period", "inverted_duty_cycle", inverted)) return false;
            v = float(16 - int(inverted)) * 100.0f / 16.0f;
            return true;
        },
        [this](const ParameterValue& v) {
            const long inverted = std::lround(16.0 - double(std::get<float>(v)) * 16.0 / 100.0);
            return writeField("filter_period", "inverted_duty_cycle",
                              static_cast<uint32_t>(std::clamp<long>(inverted, 0, 15)));
        });
    addRegister2Map(
        FullParamteterInfo::makeEnum("filtering_mode",
                                     "BAND_STOP drops the flickering events, BAND_PASS keeps only them",
                                     {"BAND_STOP", "BAND_PASS"}, "BAND_STOP"),
        [this](ParameterValue& v) {
            uint32_t invert = 0;
            if (!readField(sensor_.param, "invert", invert)) return false;
            v = std::string(invert ? "BAND_PASS" : "BAND_STOP");
            return true;
        },
        [this](const ParameterValue& v) {
            return writeField(sensor_.param, "invert", std::get<std::string>(v) == "BAND_PASS" ? 1 : 0);
        });
    // A threshold the table lacks is logged and left out.
    addFieldParameter("start_threshold", "Flicker periods seen before a pixel counts as flickering",
                      sensor_.param, "counter_high", 1, 7);
    addFieldParameter("stop_threshold", "A flickering pixel is released when its count falls below this",
                      sensor_.param, "counter_low", 0, 7);
}

bool AntiFlickerTool::setFrequency(const std::string& field, int hz) {
    return writeField("filter_period", field, hzToPeriod(hz));
}

bool AntiFlickerTool::getFrequency(const std::string& field, int& hz) {
    uint32_t period = 0;
    if (!readField("filter_period", field, period)) return false;
    hz = std::clamp(periodToHz(period), kMinFrequencyHz, kMaxFrequencyHz);
    return true;
}

ToolInfo AntiFlickerTool::getToolInfo() const {
    return makeToolInfo(ANTI_FLICKER, registeredParameterNames(), sensor_.description);
}

Imx636AntiFlicker::Imx636AntiFlicker(std::shared_ptr<RegisterController> controller)
    : AntiFlickerTool(std::move(controller), kImx636) {}

Genx320AntiFlicker::Genx320AntiFlicker(std::shared_ptr<RegisterController> controller)
    : AntiFlickerTool(std::move(controller), kGenx320) {}

}  // namespace zelvan
