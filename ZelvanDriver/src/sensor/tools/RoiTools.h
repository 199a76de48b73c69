// Region of interest: with "enable" on, "mode" ROI keeps only the events inside the window
// [x, x + x_width) x [y, y + y_height) and RONI drops them; the window is clipped at the sensor's edges.
#pragma once

#include <cstdint>
#include <memory>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// How one sensor lays out its window: column and row bitmaps in roi/td_roi_xNN and roi/td_roi_yNN
// (field "effective", 32 columns or rows per register) and the field that chooses ROI or RONI.
// Descriptors are constants of static storage duration.
struct RoiSensor {
    const char* description;  // of the tool's ToolInfo
    uint16_t width;
    uint16_t height;
    int x_registers;
    int y_registers;
    bool zero_selects;     // a 0 bit selects its column / row
    const char* mode_reg;  // register and field of the ROI / RONI choice
    const char* mode_field;
    bool mode_bit_means_roi;  // the field set means ROI
};

class RoiTool : public CameraToolRegisterWithCallback {
public:
    static constexpr const char* kRoi = "ROI";
    static constexpr const char* kRoni = "RONI";

    ToolInfo getToolInfo() const override;

protected:
    RoiTool(std::shared_ptr<RegisterController> controller, const RoiSensor& sensor);

private:
    enum class Mode : uint8_t { Roi, Roni };

    // Writes the whole setting; the caller restores its fields when it fails.
    [[nodiscard]] bool apply();
    [[nodiscard]] bool writeBitmap(const char* axis, int registers, int begin, int end);

    const RoiSensor& sensor_;
    bool enabled_ = false;
    Mode mode_ = Mode::Roi;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
};

class Imx636ROI : public RoiTool {
public:
    explicit Imx636ROI(std::shared_ptr<RegisterController> controller);
};

class Genx320ROI : public RoiTool {
public:
    explicit Genx320ROI(std::shared_ptr<RegisterController> controller);
};

}  // namespace zelvan
