#include "sensor/CameraTools.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "zelvan/Logger.h"
#include "zelvan/RegisterController.h"

namespace zelvan {

namespace {

constexpr int kFlickerPeriodUnitUs = 128;  // the anti-flicker cutoff periods count 128 us
constexpr uint32_t kErcDefaultReferencePeriodUs = 128;

int periodToHz(uint32_t period) {
    return static_cast<int>(
        std::lround(1e6 / (double(std::max<uint32_t>(period, 1)) * kFlickerPeriodUnitUs)));
}

uint32_t hzToPeriod(int hz) {
    const long period = std::lround(1e6 / (double(std::max(hz, 1)) * kFlickerPeriodUnitUs));
    return static_cast<uint32_t>(std::clamp<long>(period, 1, 255));
}

ToolInfo makeInfo(ToolType type, std::vector<std::string> params, const char* description) {
    ToolInfo info;
    info.type = type;
    info.name = toolTypeName(type);
    info.params = std::move(params);
    info.description = description;
    return info;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Biases

namespace {
const char* biasDescription(const std::string& name) {
    if (name.rfind("bias_fo", 0) == 0)
        return "Low-pass filter of the photoreceptor: higher values follow faster changes";
    if (name.rfind("bias_hpf", 0) == 0)
        return "High-pass filter: higher values suppress slow brightness changes";
    if (name.rfind("bias_diff_on", 0) == 0)
        return "ON contrast threshold: higher values need a larger increase of brightness for an ON event";
    if (name.rfind("bias_diff_off", 0) == 0)
        return "OFF contrast threshold: higher values need a larger decrease of brightness for an OFF event";
    if (name.rfind("bias_diff", 0) == 0) return "Reference level of the contrast thresholds";
    if (name.rfind("bias_refr", 0) == 0)
        return "Refractory period: higher values shorten the dead time of a pixel after an event";
    if (name.rfind("bias_pr", 0) == 0)
        return "Photoreceptor bias: higher values respond faster at the cost of noise";
    return "Bias current";
}

const std::vector<std::string> kImx636BiasNames = {"bias_fo",   "bias_hpf",      "bias_diff_on",
                                                   "bias_diff", "bias_diff_off", "bias_refr"};
const std::vector<std::string> kGenx320BiasNames = {"bias_pr_hv0",      "bias_fo_hv0",   "bias_hpf_lv0",
                                                    "bias_diff_on_lv0", "bias_diff_lv0", "bias_diff_off_lv0",
                                                    "bias_refr_lv0"};
}  // namespace

Imx636Biases::Imx636Biases(std::shared_ptr<RegisterController> controller)
    : CameraToolRegister(std::move(controller), "bias/") {
    for (const auto& name : kImx636BiasNames)
        addFieldParameter(name, biasDescription(name), name, "idac_ctl");
}

ToolInfo Imx636Biases::getToolInfo() const {
    return makeInfo(BIASES, kImx636BiasNames, "Biases of DVS cameras with IMX636 sensor");
}

Genx320Biases::Genx320Biases(std::shared_ptr<RegisterController> controller)
    : CameraToolRegister(std::move(controller), "bias/") {
    for (const auto& name : kGenx320BiasNames)
        addFieldParameter(name, biasDescription(name), name, "bias_ctl");
}

ToolInfo Genx320Biases::getToolInfo() const {
    return makeInfo(BIASES, kGenx320BiasNames, "Biases of DVS cameras with GenX320 sensor");
}

// ---------------------------------------------------------------------------------------------------------
// Trigger input

TriggerInTool::TriggerInTool(std::shared_ptr<RegisterController> controller, std::string reg,
                             std::string field)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    // The default is the sensor's reset state of the input.
    const Register::Field* gate = findField(reg, field);
    addRegister2Map(
        FullParamteterInfo::makeBool("enable", "Let the edges of the trigger input into the event stream",
                                     gate && gate->get_default_value() != 0),
        [this, reg, field](ParameterValue& v) {
            uint32_t raw = 0;
            if (!readField(reg, field, raw)) return false;
            v = raw != 0;
            return true;
        },
        [this, reg, field](const ParameterValue& v) {
            return writeField(reg, field, std::get<bool>(v) ? 1 : 0);
        });
}

Imx636TriggerIn::Imx636TriggerIn(std::shared_ptr<RegisterController> controller)
    : TriggerInTool(std::move(controller), "edf/trigger_in", "enable") {}

ToolInfo Imx636TriggerIn::getToolInfo() const {
    return makeInfo(TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors");
}

Genx320TriggerIn::Genx320TriggerIn(std::shared_ptr<RegisterController> controller)
    : TriggerInTool(std::move(controller), "ro/readout_ctrl", "ext_trigger_in_en") {}

ToolInfo Genx320TriggerIn::getToolInfo() const {
    return makeInfo(TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with GenX320 sensor");
}

// ---------------------------------------------------------------------------------------------------------
// Synchronisation

SyncTool::SyncTool(std::shared_ptr<RegisterController> controller, bool has_sync_pad)
    : CameraToolRegisterWithCallback(std::move(controller), "ro/"), has_sync_pad_(has_sync_pad) {
    addRegister2Map(
        FullParamteterInfo::makeEnum("mode",
                                     "Time base: the camera's own (standalone), its own driven out on "
                                     "the sync pad (master), or taken from the sync pad (slave)",
                                     {kStandalone, kMaster, kSlave}, kStandalone),
        [this](ParameterValue& v) {
            std::string mode;
            if (!getMode(mode)) return false;
            v = mode;
            return true;
        },
        [this](const ParameterValue& v) { return setMode(std::get<std::string>(v)); });
}

bool SyncTool::setMode(const std::string& mode) {
    const bool external = mode != kStandalone;
    const bool master = mode != kSlave;
    bool ok = writeField("time_base_ctrl", "time_base_mode", external ? 1 : 0);
    ok = ok && writeField("time_base_ctrl", "external_mode", master ? 1 : 0);
    ok = ok && writeField("time_base_ctrl", "external_mode_enable", external ? 1 : 0);
    if (ok && external && has_sync_pad_)
        ok = controller_->writeRegisterField("dig_pad2_ctrl", "pad_sync", master ? 0xC : 0xF) == 0;
    return ok;
}

bool SyncTool::getMode(std::string& mode) {
    uint32_t external = 0;
    uint32_t master = 0;
    if (!readField("time_base_ctrl", "time_base_mode", external) ||
        !readField("time_base_ctrl", "external_mode", master))
        return false;
    mode = external == 0 ? kStandalone : (master != 0 ? kMaster : kSlave);
    return true;
}

Imx636Sync::Imx636Sync(std::shared_ptr<RegisterController> controller)
    : SyncTool(std::move(controller), true) {}

ToolInfo Imx636Sync::getToolInfo() const {
    return makeInfo(SYNC, {"mode"}, "Sync of DVS cameras with IMX636 sensors");
}

Genx320Sync::Genx320Sync(std::shared_ptr<RegisterController> controller)
    : SyncTool(std::move(controller), false) {}

ToolInfo Genx320Sync::getToolInfo() const {
    return makeInfo(SYNC, {"mode"}, "Sync of DVS cameras with GenX320 sensors");
}

// ---------------------------------------------------------------------------------------------------------
// Anti-flicker

AntiFlickerTool::AntiFlickerTool(std::shared_ptr<RegisterController> controller, std::string pipeline_enable,
                                 std::string param)
    : CameraToolRegisterWithCallback(std::move(controller), "afk/"),
      pipeline_enable_(std::move(pipeline_enable)),
      param_(std::move(param)) {
    const Register::Field* low = findField("filter_period", "max_cutoff_period");
    const Register::Field* high = findField("filter_period", "min_cutoff_period");
    const Register::Field* duty = findField("filter_period", "inverted_duty_cycle");
    addRegister2Map(
        FullParamteterInfo::makeBool("enable", "Filter the events of flickering light sources", false),
        [this](ParameterValue& v) {
            uint32_t on = 0;
            uint32_t bypass = 0;
            if (!readField("pipeline_control", pipeline_enable_, on)) return false;
            if (!readField("pipeline_control", pipeline_enable_ == "enable" ? "bypass" : "afk_bypass",
                           bypass))
                return false;
            v = on != 0 && bypass == 0;
            return true;
        },
        [this](const ParameterValue& v) {
            const bool on = std::get<bool>(v);
            const char* bypass = pipeline_enable_ == "enable" ? "bypass" : "afk_bypass";
            return writeField("pipeline_control", bypass, 0) &&
                   writeField("pipeline_control", pipeline_enable_, on ? 1 : 0);
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
        FullParamteterInfo::makeFloat("duty_cycle", "Share of a flicker period the light is on", 0.0f, 100.0f,
                                      duty_default, "%"),
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
            if (!readField(param_, "invert", invert)) return false;
            v = std::string(invert ? "BAND_PASS" : "BAND_STOP");
            return true;
        },
        [this](const ParameterValue& v) {
            return writeField(param_, "invert", std::get<std::string>(v) == "BAND_PASS" ? 1 : 0);
        });
    addFieldParameter("start_threshold", "Flicker periods seen before a pixel counts as flickering", param_,
                      "counter_high", 1, 7);
    addFieldParameter("stop_threshold", "A flickering pixel is released when its count falls below this",
                      param_, "counter_low", 0, 7);
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

Imx636AntiFlicker::Imx636AntiFlicker(std::shared_ptr<RegisterController> controller)
    : AntiFlickerTool(std::move(controller), "Reserved_0", "param") {}

ToolInfo Imx636AntiFlicker::getToolInfo() const {
    return makeInfo(ANTI_FLICKER, registeredParameterNames(),
                    "Anti flicker of DVS cameras with IMX636 sensor.");
}

Genx320AntiFlicker::Genx320AntiFlicker(std::shared_ptr<RegisterController> controller)
    : AntiFlickerTool(std::move(controller), "enable", "afk_param") {}

ToolInfo Genx320AntiFlicker::getToolInfo() const {
    return makeInfo(ANTI_FLICKER, registeredParameterNames(),
                    "Anti flicker of DVS cameras with GenX320 sensor.");
}

// ---------------------------------------------------------------------------------------------------------
// Event trail filter

EventTrailFilterTool::EventTrailFilterTool(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller), "stc/") {
    addRegister2Map(
        FullParamteterInfo::makeBool("enable", "Filter event trails", false),
        [this](ParameterValue& v) {
            uint32_t on = 0;
            uint32_t bypass = 0;
            if (!readField("pipeline_control", "Reserved_0", on) ||
                !readField("pipeline_control", "stc_trail_bypass", bypass))
                return false;
            v = on != 0 && bypass == 0;
            return true;
        },
        [this](const ParameterValue& v) {
            const bool before = enabled_;
            enabled_ = std::get<bool>(v);
            if (apply()) return true;
            enabled_ = before;
            return false;
        });
    addRegister2Map(
        FullParamteterInfo::makeInt("threshold", "Time within which events of a pixel form one burst",
                                    kMinThresholdUs, kMaxThresholdUs, threshold_us_, "us"),
        [this](ParameterValue& v) {
            v = threshold_us_;
            return true;
        },
        [this](const ParameterValue& v) {
            const int before = threshold_us_;
            threshold_us_ = std::get<int>(v);
            if (apply()) return true;
            threshold_us_ = before;
            return false;
        });
    addRegister2Map(
        FullParamteterInfo::makeEnum("type",
                                     "TRAIL keeps the first event of a burst; STC_CUT_TRAIL only the "
                                     "event confirming it; STC_KEEP_TRAIL the confirming event and the "
                                     "rest of the burst",
                                     {kTrail, kStcCutTrail, kStcKeepTrail}, type_),
        [this](ParameterValue& v) {
            v = type_;
            return true;
        },
        [this](const ParameterValue& v) {
            const std::string before = type_;
            type_ = std::get<std::string>(v);
            if (apply()) return true;
            type_ = before;
            return false;
        });
}

bool EventTrailFilterTool::apply() {
    const bool trail = type_ == kTrail;
    const auto threshold = static_cast<uint32_t>(threshold_us_);
    bool ok = writeField("trail_param", "trail_enable", trail ? 1 : 0);
    ok = ok && writeField("stc_param", "stc_enable", trail ? 0 : 1);
    ok = ok && writeField(trail ? "trail_param" : "stc_param", trail ? "trail_threshold" : "stc_threshold",
                          threshold);
    if (!trail) ok = ok && writeField("stc_param", "disable_stc_cut_trail", type_ == kStcKeepTrail ? 1 : 0);
    ok = ok && writeField("pipeline_control", "stc_trail_bypass", 0);
    ok = ok && writeField("pipeline_control", "Reserved_0", enabled_ ? 1 : 0);
    return ok;
}

Imx636EventTrailFilter::Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : EventTrailFilterTool(std::move(controller)) {}

ToolInfo Imx636EventTrailFilter::getToolInfo() const {
    return makeInfo(EVENT_TRAIL_FILTER, {"enable", "threshold", "type"},
                    "Event Trail Filter of DVS cameras with IMX636 sensor");
}

Genx320EventTrailFilter::Genx320EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : EventTrailFilterTool(std::move(controller)) {}

ToolInfo Genx320EventTrailFilter::getToolInfo() const {
    return makeInfo(EVENT_TRAIL_FILTER, {"enable", "threshold", "type"},
                    "Event Trail Filter of DVS cameras with GenX320 sensor");
}

// ---------------------------------------------------------------------------------------------------------
// Event rate control

namespace {

FullParamteterInfo ercEnableInfo() {
    return FullParamteterInfo::makeBool("enable", "Set whether the Event Rate Control function is enabled",
                                        false);
}

FullParamteterInfo ercRateInfo(int32_t max) {
    return FullParamteterInfo::makeInt("max_event_rate", "Set threshold", 0, max, max, "MEv/s");
}

// Writes the target event count per reference period for `rate` MEv/s (events per microsecond).
bool writeErcTarget(RegisterController& controller, const std::string& period_reg,
                    const std::string& period_field, const std::string& target_reg,
                    const std::string& target_field, int rate) {
    uint32_t period = 0;
    if (controller.readRegisterField(period_reg, period_field, period) != 0) return false;
    if (period == 0) {
        period = kErcDefaultReferencePeriodUs;
        if (controller.writeRegisterField(period_reg, period_field, period) != 0) return false;
    }
    return controller.writeRegisterField(target_reg, target_field, static_cast<uint32_t>(rate) * period) == 0;
}

// Reads back the rate (MEv/s) the controller applies: the target event count per reference period.
bool readErcTarget(RegisterController& controller, const std::string& period_reg,
                   const std::string& period_field, const std::string& target_reg,
                   const std::string& target_field, int& rate) {
    uint32_t period = 0;
    uint32_t target = 0;
    if (controller.readRegisterField(period_reg, period_field, period) != 0 ||
        controller.readRegisterField(target_reg, target_field, target) != 0)
        return false;
    if (period == 0) period = kErcDefaultReferencePeriodUs;
    rate = static_cast<int>(target / period);  // the target field is at most 22 bits wide
    return true;
}

}  // namespace

EventRateControlTool::EventRateControlTool(std::shared_ptr<RegisterController> controller,
                                           TargetRegisters target)
    : CameraToolRegisterWithCallback(std::move(controller), "erc/"), target_(target) {
    params_info_ = {ercEnableInfo(), ercRateInfo(max_limit_)};
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
    max_limit_ = static_cast<int32_t>(std::min<uint32_t>(limit, kMaxEventRate));
    // The rate that the next enable applies stays within the limit.
    max_event_rate_ = std::min(max_event_rate_, max_limit_);
    params_info_[1] = ercRateInfo(max_limit_);
    updateParameterInfo(params_info_[1]);
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

bool EventRateControlTool::setEnable(bool enable) {
    // The controller starts on the tool's rate, not on whatever target the sensor holds.
    if (enable && !setMaxEventRate(max_event_rate_)) return false;
    if (!writeEnable(enable)) return false;
    state_ = static_cast<uint16_t>(enable ? (state_ | 1u) : (state_ & ~1u));
    return true;
}

bool EventRateControlTool::setMaxEventRate(int rate) {
    if (!writeErcTarget(*controller_, target_.period_reg, target_.period_field, target_.target_reg,
                        target_.target_field, rate))
        return false;
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
    return readErcTarget(*controller_, target_.period_reg, target_.period_field, target_.target_reg,
                         target_.target_field, rate);
}

Imx636EventRateControl::Imx636EventRateControl(std::shared_ptr<RegisterController> controller)
    : EventRateControlTool(std::move(controller), {"erc/reference_period", "erc_reference_period",
                                                   "erc/td_target_event_rate", "target_event_rate"}) {}

ToolInfo Imx636EventRateControl::getToolInfo() const {
    return makeInfo(EVENT_RATE_CONTROL, {"enable", "max_event_rate"},
                    "ERC of DVS cameras with IMX636 sensor");
}

bool Imx636EventRateControl::writeEnable(bool enable) {
    return writeField("erc_enable", "erc_en", enable ? 1 : 0);
}

bool Imx636EventRateControl::readEnable(bool& enable) {
    uint32_t on = 0;
    if (!readField("erc_enable", "erc_en", on)) return false;
    enable = on != 0;
    return true;
}

Genx320EventRateControl::Genx320EventRateControl(std::shared_ptr<RegisterController> controller)
    : EventRateControlTool(std::move(controller), {"erc/ref_period_flavor", "reference_period",
                                                   "erc/td_target_event_count", "val"}) {}

ToolInfo Genx320EventRateControl::getToolInfo() const {
    return makeInfo(EVENT_RATE_CONTROL, {"enable", "max_event_rate"},
                    "ERC of DVS cameras with GenX320 sensor");
}

bool Genx320EventRateControl::writeEnable(bool enable) {
    return writeField("pipeline_control", "bypass", 0) &&
           writeField("pipeline_control", "enable", enable ? 1 : 0);
}

bool Genx320EventRateControl::readEnable(bool& enable) {
    // The block runs when it is enabled and not bypassed.
    uint32_t on = 0;
    uint32_t bypass = 0;
    if (!readField("pipeline_control", "enable", on) || !readField("pipeline_control", "bypass", bypass))
        return false;
    enable = on != 0 && bypass == 0;
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Region of interest

RoiTool::RoiTool(std::shared_ptr<RegisterController> controller, Layout layout)
    : CameraToolRegisterWithCallback(std::move(controller)),
      layout_(std::move(layout)),
      width_(layout_.width),
      height_(layout_.height) {
    const auto intParam = [this](const char* name, const char* description, int min, int max, int def,
                                 int* field) {
        addRegister2Map(
            FullParamteterInfo::makeInt(name, description, min, max, def, "px"),
            [field](ParameterValue& v) {
                v = *field;
                return true;
            },
            [this, field](const ParameterValue& v) {
                const int before = *field;
                *field = std::get<int>(v);
                if (apply()) return true;
                *field = before;
                return false;
            });
    };
    addRegister2Map(
        FullParamteterInfo::makeBool("enable", "Apply the window to the event stream", false),
        [this](ParameterValue& v) {
            v = enabled_;
            return true;
        },
        [this](const ParameterValue& v) {
            const bool before = enabled_;
            enabled_ = std::get<bool>(v);
            if (apply()) return true;
            enabled_ = before;
            return false;
        });
    addRegister2Map(
        FullParamteterInfo::makeEnum("mode", "ROI keeps the events inside the window, RONI drops them",
                                     {kRoi, kRoni}, kRoi),
        [this](ParameterValue& v) {
            v = mode_;
            return true;
        },
        [this](const ParameterValue& v) {
            const std::string before = mode_;
            mode_ = std::get<std::string>(v);
            if (apply()) return true;
            mode_ = before;
            return false;
        });
    intParam("x", "Left column of the window", 0, layout_.width - 1, 0, &x_);
    intParam("y", "Top row of the window", 0, layout_.height - 1, 0, &y_);
    intParam("x_width", "Width of the window", 1, layout_.width, layout_.width, &width_);
    intParam("y_height", "Height of the window", 1, layout_.height, layout_.height, &height_);
}

bool RoiTool::writeBitmap(const char* axis, int registers, int begin, int end) {
    for (int i = 0; i < registers; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "roi/td_roi_%s%02d", axis, i);
        const Register::Field* field = findField(name, "effective");
        if (!field) {
            ZV_LOG(LOG_ERROR, "ROI: the sensor has no %s.effective", name);
            return false;
        }
        uint32_t selected = 0;
        for (int b = 0; b < 32; ++b) {
            const int v = i * 32 + b;
            if (v >= begin && v < end) selected |= 1u << b;
        }
        const uint32_t word = layout_.zero_selects ? ~selected : selected;
        const uint32_t value = field->get_len() >= 32 ? word : word & ((1u << field->get_len()) - 1);
        if (!writeField(name, "effective", value)) return false;
    }
    return true;
}

bool RoiTool::apply() {
    if (!enabled_) return writeField("roi_ctrl", "roi_td_en", 0);
    const int x_end = std::min<int>(x_ + width_, layout_.width);
    const int y_end = std::min<int>(y_ + height_, layout_.height);
    const bool roi = mode_ == kRoi;
    return writeBitmap("x", layout_.x_registers, x_, x_end) &&
           writeBitmap("y", layout_.y_registers, y_, y_end) &&
           writeField(layout_.mode_reg, layout_.mode_field, roi == layout_.mode_bit_means_roi ? 1 : 0) &&
           writeField("roi_ctrl", "roi_td_en", 1) && writeField("roi_ctrl", "roi_td_shadow_trigger", 1);
}

Imx636ROI::Imx636ROI(std::shared_ptr<RegisterController> controller)
    : RoiTool(std::move(controller), Layout{1280, 720, 40, 23, true, "roi_ctrl", "td_roi_roni_n_en", true}) {}

ToolInfo Imx636ROI::getToolInfo() const {
    return makeInfo(ROI, {"enable", "mode", "x", "y", "x_width", "y_height"},
                    "ROI of DVS cameras with IMX636 sensor");
}

Genx320ROI::Genx320ROI(std::shared_ptr<RegisterController> controller)
    : RoiTool(std::move(controller),
              Layout{320, 320, 10, 10, false, "roi_master_ctrl", "roi_master_mode", false}) {}

ToolInfo Genx320ROI::getToolInfo() const {
    return makeInfo(ROI, {"enable", "mode", "x", "y", "x_width", "y_height"},
                    "ROI of DVS cameras with GenX320 sensor");
}

// ---------------------------------------------------------------------------------------------------------
// Frame sensor control

Imx415ApsCtrl::Imx415ApsCtrl(std::shared_ptr<RegisterController> controller)
    : CameraToolRegisterWithCallback(std::move(controller)) {
    addBoolFieldParameter("auto_exposure", "Automatic exposure", "aps_exposure", "aps_auto_exposure_en");
    addBoolFieldParameter("auto_gain", "Automatic gain", "aps_auto_gain", "aps_auto_gain_en");
    addBoolFieldParameter("auto_white_balance", "Automatic white balance", "aps_white_balance",
                          "aps_auto_white_balance_en");
    addFieldParameter("gain", "Analog gain code (without automatic gain)", "aps_gain_control",
                      "aps_gain_pgc");
    addFieldParameter("shutter_sweep_time", "Exposure time (without automatic exposure)", "aps_shutter",
                      "aps_shutter_sweep_time", "us");
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

ToolInfo Imx415ApsCtrl::getToolInfo() const {
    return makeInfo(APS_CTRL, registeredParameterNames(), "Ctrl of APS cameras with IMX415 sonsors");
}

}  // namespace zelvan
