// The camera tools of the event sensors (IMX636 family, GenX320) and of the fusion camera's frame sensor.
// Each tool maps its parameters onto register fields of its sensor's table through the camera's shared
// RegisterController; the generic parameter handling (kinds, ranges, refusals) is CameraTool's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// ---------------------------------------------------------------------------------------------------------
// Biases: one int parameter per bias current, the DAC code of the bias register (its range and default are
// the field's). The ON / OFF contrast thresholds move the balance of ON and OFF events.

class Imx636Biases : public CameraToolRegister {
  public:
    explicit Imx636Biases(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

class Genx320Biases : public CameraToolRegister {
  public:
    explicit Genx320Biases(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

// ---------------------------------------------------------------------------------------------------------
// Trigger input: "enable" lets the edges of trigger input 0 into the event stream.

class TriggerInTool : public CameraToolRegisterWithCallback {
  protected:
    TriggerInTool(std::shared_ptr<RegisterController> controller, std::string reg, std::string field);
};

class Imx636TriggerIn : public TriggerInTool {
  public:
    explicit Imx636TriggerIn(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

class Genx320TriggerIn : public TriggerInTool {
  public:
    explicit Genx320TriggerIn(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

// ---------------------------------------------------------------------------------------------------------
// Synchronisation: "mode" is "standalone" (own time base), "master" (own time base, driven out on the sync
// pad) or "slave" (time base taken from the sync pad).

class SyncTool : public CameraToolRegisterWithCallback {
  public:
    static constexpr const char* kStandalone = "standalone";
    static constexpr const char* kMaster = "master";
    static constexpr const char* kSlave = "slave";

  protected:
    SyncTool(std::shared_ptr<RegisterController> controller, bool has_sync_pad);

  private:
    bool setMode(const std::string& mode);
    bool getMode(std::string& mode);
    bool has_sync_pad_;
};

class Imx636Sync : public SyncTool {
  public:
    explicit Imx636Sync(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

class Genx320Sync : public SyncTool {
  public:
    explicit Genx320Sync(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

// ---------------------------------------------------------------------------------------------------------
// Anti-flicker: drops (BAND_STOP) or keeps only (BAND_PASS) the events of pixels that flicker at a
// frequency within [band_low_freq, band_high_freq]. Parameters: "band_high_freq", "band_low_freq" (Hz),
// "duty_cycle" (%), "enable", "filtering_mode", "start_threshold", "stop_threshold" (flicker periods seen
// before a pixel counts as flickering / below which it no longer does).

class AntiFlickerTool : public CameraToolRegisterWithCallback {
  public:
    static constexpr int kMinFrequencyHz = 31;
    static constexpr int kMaxFrequencyHz = 7812;

  protected:
    // `pipeline_enable` is the enable field of afk/pipeline_control, `param` the name of the parameter
    // register.
    AntiFlickerTool(std::shared_ptr<RegisterController> controller, std::string pipeline_enable,
                    std::string param);

  private:
    bool setFrequency(const std::string& field, int hz);
    bool getFrequency(const std::string& field, int& hz);
    std::string pipeline_enable_;
    std::string param_;
};

class Imx636AntiFlicker : public AntiFlickerTool {
  public:
    explicit Imx636AntiFlicker(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

class Genx320AntiFlicker : public AntiFlickerTool {
  public:
    explicit Genx320AntiFlicker(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

// ---------------------------------------------------------------------------------------------------------
// Event trail filter: "type" TRAIL keeps the first event of each burst a pixel fires; STC_CUT_TRAIL keeps
// only the event that confirms a burst (the second within "threshold" microseconds); STC_KEEP_TRAIL keeps
// the confirming event and the rest of the burst.

class EventTrailFilterTool : public CameraToolRegisterWithCallback {
  public:
    static constexpr const char* kTrail = "TRAIL";
    static constexpr const char* kStcCutTrail = "STC_CUT_TRAIL";
    static constexpr const char* kStcKeepTrail = "STC_KEEP_TRAIL";
    static constexpr int kMinThresholdUs = 1000;
    static constexpr int kMaxThresholdUs = 100000;

  protected:
    explicit EventTrailFilterTool(std::shared_ptr<RegisterController> controller);

  private:
    bool apply();
    bool enabled_ = false;
    std::string type_ = kStcCutTrail;
    int threshold_us_ = 10000;
};

class Imx636EventTrailFilter : public EventTrailFilterTool {
  public:
    explicit Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

class Genx320EventTrailFilter : public EventTrailFilterTool {
  public:
    explicit Genx320EventTrailFilter(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

// ---------------------------------------------------------------------------------------------------------
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

// The two sensors differ only in their registers: where the controller is switched on and where its
// reference period and target event count live.
class EventRateControlTool : public CameraToolRegisterWithCallback {
  public:
    static constexpr int32_t kMaxEventRate = 320;  // MEv/s

    bool setMaxLimitEventRate(uint32_t limit);

  protected:
    struct TargetRegisters {
        const char* period_reg;
        const char* period_field;
        const char* target_reg;
        const char* target_field;
    };
    EventRateControlTool(std::shared_ptr<RegisterController> controller, TargetRegisters target);

    // The sensor's own switch of the controller.
    virtual bool writeEnable(bool enable) = 0;
    virtual bool readEnable(bool& enable) = 0;

  private:
    bool boundRunningRate();
    bool setEnable(bool enable);
    bool setMaxEventRate(int rate);
    bool getMaxEventRate(int& rate);

    TargetRegisters target_;
    uint16_t state_ = 0;  // bit 0: enabled
    int32_t max_event_rate_ = kMaxEventRate;
    int32_t max_limit_ = kMaxEventRate;
    std::vector<FullParamteterInfo> params_info_;
};

class Imx636EventRateControl : public EventRateControlTool {
  public:
    explicit Imx636EventRateControl(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

  protected:
    bool writeEnable(bool enable) override;
    bool readEnable(bool& enable) override;
};

class Genx320EventRateControl : public EventRateControlTool {
  public:
    explicit Genx320EventRateControl(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;

  protected:
    bool writeEnable(bool enable) override;
    bool readEnable(bool& enable) override;
};

// ---------------------------------------------------------------------------------------------------------
// Region of interest: with "enable" on, "mode" ROI keeps only the events inside the window
// [x, x + x_width) x [y, y + y_height) and RONI drops them; the window is clipped at the sensor's edges.

class RoiTool : public CameraToolRegisterWithCallback {
  public:
    static constexpr const char* kRoi = "ROI";
    static constexpr const char* kRoni = "RONI";

  protected:
    struct Layout {
        uint16_t width;
        uint16_t height;
        int x_registers;
        int y_registers;
        bool zero_selects;     // a 0 bit selects its column / row
        std::string mode_reg;  // register and field of the ROI / RONI choice
        std::string mode_field;
        bool mode_bit_means_roi;  // the field set means ROI
    };
    RoiTool(std::shared_ptr<RegisterController> controller, Layout layout);

  private:
    bool apply();
    bool writeBitmap(const char* axis, int registers, int begin, int end);

    Layout layout_;
    bool enabled_ = false;
    std::string mode_ = kRoi;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
};

class Imx636ROI : public RoiTool {
  public:
    explicit Imx636ROI(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

class Genx320ROI : public RoiTool {
  public:
    explicit Genx320ROI(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

// ---------------------------------------------------------------------------------------------------------
// Frame sensor control of the fusion camera (board register table): "auto_exposure", "auto_gain",
// "auto_white_balance", "black_level", "gain", "shutter_sweep_time".

class Imx415ApsCtrl : public CameraToolRegisterWithCallback {
  public:
    // The black level register holds a 10-bit level, 50 after reset.
    static constexpr int kBlackLevelMax = 1023;
    static constexpr int kBlackLevelDefault = 50;

    explicit Imx415ApsCtrl(std::shared_ptr<RegisterController> controller);
    ToolInfo getToolInfo() const override;
};

}  // namespace zelvan
