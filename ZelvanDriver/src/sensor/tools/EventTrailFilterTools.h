// Event trail filter: "type" TRAIL keeps the first event of each burst a pixel fires; STC_CUT_TRAIL keeps
// only the event that confirms a burst (the second within "threshold" microseconds); STC_KEEP_TRAIL keeps
// the confirming event and the rest of the burst.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// Both sensors keep the filter in the same registers below "stc/"; only the text differs. Descriptors are
// constants of static storage duration.
struct EventTrailFilterSensor {
    const char* description;  // of the tool's ToolInfo
};

class EventTrailFilterTool : public CameraToolRegisterWithCallback {
public:
    static constexpr const char* kTrail = "TRAIL";
    static constexpr const char* kStcCutTrail = "STC_CUT_TRAIL";
    static constexpr const char* kStcKeepTrail = "STC_KEEP_TRAIL";
    static constexpr int kMinThresholdUs = 1000;
    static constexpr int kMaxThresholdUs = 100000;

    ToolInfo getToolInfo() const override;

protected:
    EventTrailFilterTool(std::shared_ptr<RegisterController> controller,
                         const EventTrailFilterSensor& sensor);

private:
    enum class Type : uint8_t { Trail, StcCutTrail, StcKeepTrail };
    static const char* typeText(Type type);
    static Type typeOf(const std::string& text);

    // Writes the whole setting; the caller restores its fields when it fails.
    [[nodiscard]] bool apply();

    const EventTrailFilterSensor& sensor_;
    bool enabled_ = false;
    Type type_ = Type::StcCutTrail;
    int threshold_us_ = 10000;
};

class Imx636EventTrailFilter : public EventTrailFilterTool {
public:
    explicit Imx636EventTrailFilter(std::shared_ptr<RegisterController> controller);
};

class Genx320EventTrailFilter : public EventTrailFilterTool {
public:
    explicit Genx320EventTrailFilter(std::shared_ptr<RegisterController> controller);
};

}  // namespace zelvan
