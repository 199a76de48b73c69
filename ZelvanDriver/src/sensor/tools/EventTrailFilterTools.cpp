#include "sensor/tools/EventTrailFilterTools.h"

#include "sensor/tools/ToolSupport.h"

namespace zelvan {

namespace {

constexpr EventTrailFilterSensor kImx636{"Event Trail Filter of DVS cameras with IMX636 sensor"};
constexpr EventTrailFilterSensor kGenx320{"Event Trail Filter of DVS cameras with GenX320 sensor"};

}  // namespace

EventTrailFilterTool::EventTrailFilterTool(std::shared_ptr<RegisterController> controller,
                                           const EventTrailFilterSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller), "stc/"), sensor_(sensor) {
    const auto reapply = [this] { return apply(); };
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
        [this, reapply](const ParameterValue& v) {
            return setAndApply(enabled_, std::get<bool>(v), reapply);
        });
    addRegister2Map(
        FullParamteterInfo::makeInt("threshold", "Time within which events of a pixel form one burst",
                                    kMinThresholdUs, kMaxThresholdUs, threshold_us_, "us"),
        [this](ParameterValue& v) {
            v = threshold_us_;
            return true;
        },
        [this, reapply](const ParameterValue& v) {
            return setAndApply(threshold_us_, std::get<int>(v), reapply);
        });
    addRegister2Map(
        FullParamteterInfo::makeEnum("type",
                                     "TRAIL keeps the first event of a burst; STC_CUT_TRAIL only the "
                                     "event confirming it; STC_KEEP_TRAIL the confirming event and the "
                                     "rest of the burst",
                                     {kTrail, kStcCutTrail, kStcKeepTrail}, typeText(type_)),
        [this](ParameterValue& v) {
            v = std::string(typeText(type_));
            return true;
        },
        // The base class lets only the options through.
        [this, reapply](const ParameterValue& v) {
            return setAndApply(type_, typeOf(std::get<std::string>(v)), reapply);
        });
}

const char* EventTrailFilterTool::typeText(Type type) {
    switch (type) {
        case Type::Trail:
            return kTrail;
        case Type::StcKeepTrail:
            return kStcKeepTrail;
        case Type::StcCutTrail:
            break;
    }
    return kStcCutTrail;
}

EventTrailFilterTool::Type EventTrailFilterTool::typeOf(const std::string& text) {
    if (text == kTrail) return Type::Trail;
    if (text == kStcKeepTrail) return Type::StcKeepTrail;
    return Type::StcCutTrail;
}

bool EventTrailFilterTool::apply() {
    const bool trail = type_ == Type::Trail;
    const auto threshold = static_cast<uint32_t>(threshold_us_);
    bool ok = writeField("trail_param", "trail_enable", trail ? 1 : 0);
    ok = ok && writeField("stc_param", "stc_enable", trail ? 0 : 1);
    ok = ok && writeField(trail ? "trail_param" : "stc_param", trail ? "trail_threshold" : "stc_threshold",
                          threshold);
    if (!trail)
        ok = ok && writeField("stc_param", "disable_stc_cut_trail", type_ == Type::StcKeepTrail ? 1 : 0);
    ok = ok && writeField("pipeline_control", "stc_trail_bypass", 0);
    ok = ok && writeField("pipeline_control", "Reserved_0", enabled_ ? 1 : 0);
    return ok;
}

ToolInfo EventTrailFilterTool::getToolInfo() const {
    return makeToolInfo(EVENT_TRAIL_FILTER, {"enable", "threshold", "type"}, sensor_.description);
}

Imx636EventTrailFilter::Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : EventTrailFilterTool(std::move(controller), kImx636) {}

Genx320EventTrailFilter::Genx320EventTrailFilter(std::shared_ptr<RegisterController> controller)
    : EventTrailFilterTool(std::move(controller), kGenx320) {}

}  // namespace zelvan
