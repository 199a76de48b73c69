// Anti-flicker: drops (BAND_STOP) or keeps only (BAND_PASS) the events of pixels that flicker at a
// frequency within [band_low_freq, band_high_freq]. Parameters: "band_high_freq", "band_low_freq" (Hz),
// "duty_cycle" (%), "enable", "filtering_mode", "start_threshold", "stop_threshold" (flicker periods seen
// before a pixel counts as flickering / below which it no longer does).
#pragma once

#include <memory>
#include <string>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// Where one sensor keeps the switches and settings of its filter, below "afk/". Descriptors are constants
// of static storage duration.
struct AntiFlickerSensor {
    const char* description;  // of the tool's ToolInfo
    const char* enable;       // the enable field of pipeline_control
    const char* bypass;       // the bypass field of pipeline_control
    const char* param;        // the register of the thresholds and the filtering mode
};

class AntiFlickerTool : public CameraToolRegisterWithCallback {
public:
    static constexpr int kMinFrequencyHz = 31;
    static constexpr int kMaxFrequencyHz = 7812;

    ToolInfo getToolInfo() const override;

protected:
    AntiFlickerTool(std::shared_ptr<RegisterController> controller, const AntiFlickerSensor& sensor);

private:
    [[nodiscard]] bool setFrequency(const std::string& field, int hz);
    [[nodiscard]] bool getFrequency(const std::string& field, int& hz);

    const AntiFlickerSensor& sensor_;
};

class Imx636AntiFlicker : public AntiFlickerTool {
public:
    explicit Imx636AntiFlicker(std::shared_ptr<RegisterController> controller);
};

class Genx320AntiFlicker : public AntiFlickerTool {
public:
    explicit Genx320AntiFlicker(std::shared_ptr<RegisterController> controller);
};

}  // namespace zelvan
