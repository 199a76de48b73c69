// Event rate control: with "enable" on, the sensor emits at most "max_event_rate" MEv/s on average (the
// target event count per reference period of the controller). Enabling writes the tool's current
// "max_event_rate" before it starts the controller, so the two parameters never disagree with the sensor;
// while the controller runs, "enable" and "max_event_rate" are read back from the sensor's registers.
// setMaxLimitEventRate bounds the parameter: its reported maximum becomes the limit, higher values are
// refused and the rate that the next enable applies is lowered to the limit. While the controller is off
// (as when the camera is opened, before the tool is shared) it writes nothing; a controller that already
// runs above the new limit is given the bounded rate at once, so that "max_event_rate" never reads back a
// value that the tool would refuse. It returns false when the sensor could not be read or that rate could
// not be written (the limit is stored either way). Nothing is written until a parameter is set.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// The two sensors differ only in their registers, all below "erc/": where the controller is switched on
// and where its reference period and target event count live. Descriptors are constants of static storage
// duration.
struct EventRateControlSensor {
    const char* description;  // of the tool's ToolInfo
    const char* enable_reg;   // the register and field that switch the controller on
    const char* enable_field;
    const char* bypass_field;  // a field of enable_reg that bypasses the block (cleared when switching
                               // on, and the controller runs only while it is clear); nullptr when none
    const char* period_reg;    // the reference period (us) of the controller
    const char* period_field;
    const char* target_reg;  // the target event count per reference period
    const char* target_field;
};

class EventRateControlTool : public CameraToolRegisterWithCallback {
public:
    static constexpr int32_t kMaxEventRate = 320;  // MEv/s

    ToolInfo getToolInfo() const override;

    [[nodiscard]] bool setMaxLimitEventRate(uint32_t limit);

protected:
    EventRateControlTool(std::shared_ptr<RegisterController> controller,
                         const EventRateControlSensor& sensor);

private:
    // The sensor's own switch of the controller.
    [[nodiscard]] bool writeEnable(bool enable);
    [[nodiscard]] bool readEnable(bool& enable);
    [[nodiscard]] bool boundRunningRate();
    [[nodiscard]] bool setEnable(bool enable);
    [[nodiscard]] bool setMaxEventRate(int rate);
    [[nodiscard]] bool getMaxEventRate(int& rate);
    [[nodiscard]] bool writeTarget(int rate);
    [[nodiscard]] bool readTarget(int& rate);

    const EventRateControlSensor& sensor_;
    int32_t max_event_rate_ = kMaxEventRate;
    int32_t max_limit_ = kMaxEventRate;
    std::vector<FullParamteterInfo> params_info_;
};

class Imx636EventRateControl : public EventRateControlTool {
public:
    explicit Imx636EventRateControl(std::shared_ptr<RegisterController> controller);
};

class Genx320EventRateControl : public EventRateControlTool {
public:
    explicit Genx320EventRateControl(std::shared_ptr<RegisterController> controller);
};

}  // namespace zelvan
