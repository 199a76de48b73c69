#include "sensor/tools/BiasTools.h"

#include <string>
#include <vector>

#include "sensor/tools/ToolSupport.h"

namespace zelvan {

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

constexpr const char* kImx636BiasNames[] = {"bias_fo",   "bias_hpf",      "bias_diff_on",
                                            "bias_diff", "bias_diff_off", "bias_refr"};
constexpr const char* kGenx320BiasNames[] = {"bias_pr_hv0",      "bias_fo_hv0",   "bias_hpf_lv0",
                                             "bias_diff_on_lv0", "bias_diff_lv0", "bias_diff_off_lv0",
                                             "bias_refr_lv0"};

constexpr BiasSensor kImx636{.description = "Biases of DVS cameras with IMX636 sensor",
                             .field = "idac_ctl",
                             .names = kImx636BiasNames};
constexpr BiasSensor kGenx320{.description = "Biases of DVS cameras with GenX320 sensor",
                              .field = "bias_ctl",
                              .names = kGenx320BiasNames};

}  // namespace

BiasTool::BiasTool(std::shared_ptr<RegisterController> controller, const BiasSensor& sensor)
    : CameraToolRegister(std::move(controller), "bias/"), sensor_(sensor) {
    // A bias the table lacks is logged and left out.
    for (const char* name : sensor_.names)
        addFieldParameter(name, biasDescription(name), name, sensor_.field);
}

ToolInfo BiasTool::getToolInfo() const {
    return makeToolInfo(BIASES, std::vector<std::string>(sensor_.names.begin(), sensor_.names.end()),
                        sensor_.description);
}

Imx636Biases::Imx636Biases(std::shared_ptr<RegisterController> controller)
    : BiasTool(std::move(controller), kImx636) {}

Genx320Biases::Genx320Biases(std::shared_ptr<RegisterController> controller)
    : BiasTool(std::move(controller), kGenx320) {}

}  // namespace zelvan
