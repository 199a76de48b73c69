// Camera tools: parameter-based control objects for one feature of a sensor (biases, trigger input,
// synchronisation, anti-flicker, event trail filter, event rate control, region of interest, frame
// sensor). A tool publishes its parameters with their metadata (kind, range, default, unit, description)
// and translates parameter values into register writes through the camera's shared RegisterController.
//
// Parameters have one kind each (ParameterType); a value is read and written with the overload of that
// kind: int, float (float and double), bool, and text for string and enum parameters (an enum's value is
// the text of its current option). A name the tool lacks, a value of another kind or outside the
// parameter's range is refused: the call returns false, a warning says why, and nothing is written.
// All operations are safe to call from several threads; parameter accesses of one tool are serialised.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "zelvan/Register.h"
#include "zelvan/Types.h"

namespace zelvan {

class RegisterController;

// Identity of a tool: its ToolType, name ("Biases"), parameter names and description.
struct ToolInfo {
    ToolType type = BIASES;
    std::string name;
    std::vector<std::string> params;
    std::string description;
};

// Metadata every parameter has.
struct BasicParameterInfo {
    ParameterType type = PARAM_INT;
    std::string description;
};

struct IntParameterInfo : BasicParameterInfo {
    int min = 0;
    int max = 0;
    int default_value = 0;
    std::string unit;
};

struct FloatParameterInfo : BasicParameterInfo {
    float min = 0.0f;
    float max = 0.0f;
    float default_value = 0.0f;
    std::string unit;
};

struct BoolParameterInfo : BasicParameterInfo {
    bool default_value = false;
};

struct EnumParameterInfo : BasicParameterInfo {
    std::vector<std::string> options;
    std::string default_value;
};

struct StringParameterInfo : BasicParameterInfo {
    std::string default_value;
};

// A parameter value of any kind (enum values are their option text).
using ParameterValue = std::variant<int, float, bool, std::string>;

// Name and complete metadata of one parameter.
struct FullParamteterInfo {
    using Info = std::variant<IntParameterInfo, FloatParameterInfo, BoolParameterInfo, EnumParameterInfo,
                              StringParameterInfo>;
    std::string name;
    Info info;

    const BasicParameterInfo& basic() const;
    ParameterType type() const { return basic().type; }

    static FullParamteterInfo makeInt(std::string name, std::string description, int min, int max,
                                      int default_value, std::string unit = "");
    static FullParamteterInfo makeFloat(std::string name, std::string description, float min, float max,
                                        float default_value, std::string unit = "");
    static FullParamteterInfo makeBool(std::string name, std::string description, bool default_value);
    static FullParamteterInfo makeEnum(std::string name, std::string description,
                                       std::vector<std::string> options, std::string default_value);
    static FullParamteterInfo makeString(std::string name, std::string description,
                                         std::string default_value);
};

class CameraTool {
public:
    // Reads the current value into its argument (of the parameter's kind); false when it cannot be read.
    using Getter = std::function<bool(ParameterValue&)>;
    // Applies a value already checked against the parameter's kind and range; false when it failed.
    using Setter = std::function<bool(const ParameterValue&)>;

    CameraTool(const CameraTool&) = delete;
    CameraTool& operator=(const CameraTool&) = delete;
    virtual ~CameraTool();

    virtual ToolInfo getToolInfo() const = 0;

    // The basic metadata of every parameter, by name (ascending).
    virtual std::map<std::string, BasicParameterInfo> getAllParamInfo() const;
    // The metadata of one parameter of that kind; false (with a warning) for a missing name or another kind.
    virtual bool getParamInfo(const std::string& name, StringParameterInfo& info) const;
    virtual bool getParamInfo(const std::string& name, EnumParameterInfo& info) const;
    virtual bool getParamInfo(const std::string& name, BoolParameterInfo& info) const;
    virtual bool getParamInfo(const std::string& name, FloatParameterInfo& info) const;
    virtual bool getParamInfo(const std::string& name, IntParameterInfo& info) const;

    // The current value; the string overload serves string and enum parameters.
    virtual bool getParam(const std::string& name, std::string& value);
    virtual bool getParam(const std::string& name, bool& value);
    virtual bool getParam(const std::string& name, float& value);
    virtual bool getParam(const std::string& name, int& value);

    // Sets a value; the text overloads serve string and enum parameters, double and float serve float ones.
    virtual bool setParam(const std::string& name, const std::string& value);
    virtual bool setParam(const std::string& name, const char* value);
    virtual bool setParam(const std::string& name, bool value);
    virtual bool setParam(const std::string& name, double value);
    virtual bool setParam(const std::string& name, float value);
    virtual bool setParam(const std::string& name, int value);

    // Names of all registered parameters in ascending byte order.
    std::vector<std::string> registeredParameterNames() const;

protected:
    CameraTool() = default;

    // Registers a parameter (replacing one of the same name).
    void addParameter(FullParamteterInfo info, Getter getter, Setter setter);
    // Replaces the metadata of a registered parameter of the same name and kind; false otherwise.
    bool updateParameterInfo(const FullParamteterInfo& info);
    // The lock every getter and setter runs under, for a subclass's own operations on the same state.
    std::unique_lock<std::recursive_mutex> lockParameters() const { return std::unique_lock(mutex_); }

private:
    struct Parameter {
        FullParamteterInfo info;
        Getter get;
        Setter set;
    };
    template <typename InfoT>
    bool infoOf(const std::string& name, InfoT& out) const;
    bool getValue(const std::string& name, ParameterValue& value, const char* kind);
    bool setValue(const std::string& name, const ParameterValue& value, const char* kind);
    std::string toolName() const;

    mutable std::recursive_mutex mutex_;
    std::map<std::string, Parameter> params_;
};

// A tool whose parameters are fields of the sensor's registers. Register names are relative to the tool's
// prefix ("erc/" and "enable" address "erc/enable").
class CameraToolRegister : public CameraTool {
public:
    CameraToolRegister(std::shared_ptr<RegisterController> controller, std::string prefix = "");
    ~CameraToolRegister() override;

    const std::shared_ptr<RegisterController>& registerController() const { return controller_; }
    const std::string& registerPrefix() const { return prefix_; }

protected:
    // An int parameter that is one register field, with the field's values as its range and the field's
    // reset value as its default (unless a narrower range is given). A field the table lacks is logged and
    // leaves the parameter out; returns whether it was added.
    bool addFieldParameter(const std::string& name, const std::string& description, const std::string& reg,
                           const std::string& field, const std::string& unit = "");
    bool addFieldParameter(const std::string& name, const std::string& description, const std::string& reg,
                           const std::string& field, int min, int max, const std::string& unit = "");
    // A bool parameter that is a one-bit field; its default is the field's reset value unless given.
    bool addBoolFieldParameter(const std::string& name, const std::string& description,
                               const std::string& reg, const std::string& field);

    // Register access relative to the prefix; false when the name is missing or the transfer failed.
    bool writeField(const std::string& reg, const std::string& field, uint32_t value);
    bool readField(const std::string& reg, const std::string& field, uint32_t& value);
    bool writeRegisterValue(const std::string& reg, uint32_t value);
    bool readRegisterValue(const std::string& reg, uint32_t& value);
    // The field's description in the table, or nullptr (nothing logged).
    const Register::Field* findField(const std::string& reg, const std::string& field) const;
    const Register* findRegister(const std::string& reg) const;

    std::shared_ptr<RegisterController> controller_;
    std::string prefix_;
};

// A tool whose parameters are read and written by the tool's own operations.
class CameraToolRegisterWithCallback : public CameraToolRegister {
public:
    using CameraToolRegister::CameraToolRegister;
    ~CameraToolRegisterWithCallback() override;

protected:
    // Registers a parameter with its getter and setter (usually bound to the tool object).
    void addRegister2Map(FullParamteterInfo info, Getter getter, Setter setter);
};

}  // namespace zelvan
