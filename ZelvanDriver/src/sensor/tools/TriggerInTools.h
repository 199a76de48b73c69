// Trigger input: "enable" lets the edges of trigger input 0 into the event stream.
#pragma once

#include <memory>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// Where one sensor gates its trigger input. Descriptors are constants of static storage duration.
struct TriggerInSensor {
    const char* description;  // of the tool's ToolInfo
    const char* reg;          // the register and one-bit field that let the edges through
    const char* field;
};

class TriggerInTool : public CameraToolRegisterWithCallback {
public:
    ToolInfo getToolInfo() const override;

protected:
    TriggerInTool(std::shared_ptr<RegisterController> controller, const TriggerInSensor& sensor);

private:
    const TriggerInSensor& sensor_;
};

class Imx636TriggerIn : public TriggerInTool {
public:
    explicit Imx636TriggerIn(std::shared_ptr<RegisterController> controller);
};

class Genx320TriggerIn : public TriggerInTool {
public:
    explicit Genx320TriggerIn(std::shared_ptr<RegisterController> controller);
};

}  // namespace zelvan
