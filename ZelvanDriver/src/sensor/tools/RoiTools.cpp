#include "sensor/tools/RoiTools.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "sensor/tools/ToolSupport.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace {

constexpr RoiSensor kImx636{.description = "ROI of DVS cameras with IMX636 sensor",
                            .width = 1280,
                            .height = 720,
                            .x_registers = 40,
                            .y_registers = 23,
                            .zero_selects = true,
                            .mode_reg = "roi_ctrl",
                            .mode_field = "td_roi_roni_n_en",
                            .mode_bit_means_roi = true};
constexpr RoiSensor kGenx320{.description = "ROI of DVS cameras with GenX320 sensor",
                             .width = 320,
                             .height = 320,
                             .x_registers = 10,
                             .y_registers = 10,
                             .zero_selects = false,
                             .mode_reg = "roi_master_ctrl",
                             .mode_field = "roi_master_mode",
                             .mode_bit_means_roi = false};

}  // namespace

RoiTool::RoiTool(std::shared_ptr<RegisterController> controller, const RoiSensor& sensor)
    : CameraToolRegisterWithCallback(std::move(controller)),
      sensor_(sensor),
      width_(sensor_.width),
      height_(sensor_.height) {
    const auto reapply = [this] { return apply(); };
    const auto intParam = [this, reapply](const char* name, const char* description, int min, int max,
                                          int def, int* field) {
        addRegister2Map(
            FullParamteterInfo::makeInt(name, description, min, max, def, "px"),
            [field](ParameterValue& v) {
                v = *field;
                return true;
            },
            [field, reapply](const ParameterValue& v) {
                return setAndApply(*field, std::get<int>(v), reapply);
            });
    };
    addRegister2Map(
        FullParamteterInfo::makeBool("enable", "Apply the window to the event stream", false),
        [this](ParameterValue& v) {
            v = enabled_;
            return true;
        },
        [this, reapply](const ParameterValue& v) {
            return setAndApply(enabled_, std::get<bool>(v), reapply);
        });
    addRegister2Map(
        FullParamteterInfo::makeEnum("mode", "ROI keeps the events inside the window, RONI drops them",
                                     {kRoi, kRoni}, kRoi),
        [this](ParameterValue& v) {
            v = std::string(mode_ == Mode::Roi ? kRoi : kRoni);
            return true;
        },
        // The base class lets only the options through.
        [this, reapply](const ParameterValue& v) {
            return setAndApply(mode_, std::get<std::string>(v) == kRoi ? Mode::Roi : Mode::Roni, reapply);
        });
    intParam("x", "Left column of the window", 0, sensor_.width - 1, 0, &x_);
    intParam("y", "Top row of the window", 0, sensor_.height - 1, 0, &y_);
    intParam("x_width", "Width of the window", 1, sensor_.width, sensor_.width, &width_);
    intParam("y_height", "Height of the window", 1, sensor_.height, sensor_.height, &height_);
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
        const uint32_t word = sensor_.zero_selects ? ~selected : selected;
        const uint32_t value = field->get_len() >= 32 ? word : word & ((1u << field->get_len()) - 1);
        if (!writeField(name, "effective", value)) return false;
    }
    return true;
}

bool RoiTool::apply() {
    if (!enabled_) return writeField("roi_ctrl", "roi_td_en", 0);
    const int x_end = std::min<int>(x_ + width_, sensor_.width);
    const int y_end = std::min<int>(y_ + height_, sensor_.height);
    const bool roi = mode_ == Mode::Roi;
    return writeBitmap("x", sensor_.x_registers, x_, x_end) &&
           writeBitmap("y", sensor_.y_registers, y_, y_end) &&
           writeField(sensor_.mode_reg, sensor_.mode_field, roi == sensor_.mode_bit_means_roi ? 1 : 0) &&
           writeField("roi_ctrl", "roi_td_en", 1) && writeField("roi_ctrl", "roi_td_shadow_trigger", 1);
}

ToolInfo RoiTool::getToolInfo() const {
    return makeToolInfo(ROI, {"enable", "mode", "x", "y", "x_width", "y_height"}, sensor_.description);
}

Imx636ROI::Imx636ROI(std::shared_ptr<RegisterController> controller)
    : RoiTool(std::move(controller), kImx636) {}

Genx320ROI::Genx320ROI(std::shared_ptr<RegisterController> controller)
    : RoiTool(std::move(controller), kGenx320) {}

}  // namespace zelvan
