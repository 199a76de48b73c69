// Biases: one int parameter per bias current, the DAC code of the bias register (its range and default are
// the field's). The ON / OFF contrast thresholds move the balance of ON and OFF events.
#pragma once

#include <memory>
#include <span>

#include "zelvan/CameraTool.h"

namespace zelvan {

class RegisterController;

// What sets the biases of one sensor apart. Descriptors are constants of static storage duration.
struct BiasSensor {
    const char* description;             // of the tool's ToolInfo
    const char* field;                   // the DAC field of every bias register
    std::span<const char* const> names;  // the bias registers below "bias/", also the parameter names,
                                         // in ToolInfo order
};

class BiasTool : public CameraToolRegister {
public:
    ToolInfo getToolInfo() const override;

protected:
    BiasTool(std::shared_ptr<RegisterController> controller, const BiasSensor& sensor);

private:
    const BiasSensor& sensor_;
};

class Imx636Biases : public BiasTool {
public:
    explicit Imx636Biases(std::shared_ptr<RegisterController> controller);
};

class Genx320Biases : public BiasTool {
public:
    explicit Genx320Biases(std::shared_ptr<RegisterController> controller);
};

}  // namespace zelvan
