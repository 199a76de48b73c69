#include "zelvan/CameraTool.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "zelvan/Logger.h"
#include "zelvan/RegisterController.h"

namespace zelvan {

namespace {

const char* kindName(ParameterType type) {
    switch (type) {
        case PARAM_INT:
            return "int";
        case PARAM_FLOAT:
            return "float";
        case PARAM_BOOL:
            return "bool";
        case PARAM_STRING:
            return "string";
        case PARAM_ENUM:
            return "enum";
    }
    return "unknown";
}

std::string valueText(const ParameterValue& value) {
    if (const int* i = std::get_if<int>(&value)) return std::to_string(*i);
    if (const float* f = std::get_if<float>(&value)) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", double(*f));
        return text;
    }
    if (const bool* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
    return "\"" + std::get<std::string>(value) + "\"";
}

template <typename InfoT>
constexpr ParameterType typeOf() {
    if constexpr (std::is_same_v<InfoT, IntParameterInfo>) return PARAM_INT;
    if constexpr (std::is_same_v<InfoT, FloatParameterInfo>) return PARAM_FLOAT;
    if constexpr (std::is_same_v<InfoT, BoolParameterInfo>) return PARAM_BOOL;
    if constexpr (std::is_same_v<InfoT, EnumParameterInfo>) return PARAM_ENUM;
    return PARAM_STRING;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Metadata

const BasicParameterInfo& FullParamteterInfo::basic() const {
    return std::visit([](const auto& i) -> const BasicParameterInfo& { return i; }, info);
}

FullParamteterInfo FullParamteterInfo::makeInt(std::string name, std::string description, int min, int max,
                                               int default_value, std::string unit) {
    IntParameterInfo i;
    i.type = PARAM_INT;
    i.description = std::move(description);
    i.min = min;
    i.max = max;
    i.default_value = default_value;
    i.unit = std::move(unit);
    return {std::move(name), i};
}

FullParamteterInfo FullParamteterInfo::makeFloat(std::string name, std::string description, float min,
                                                 float max, float default_value, std::string unit) {
    FloatParameterInfo i;
    i.type = PARAM_FLOAT;
    i.description = std::move(description);
    i.min = min;
    i.max = max;
    i.default_value = default_value;
    i.unit = std::move(unit);
    return {std::move(name), i};
}

FullParamteterInfo FullParamteterInfo::makeBool(std::string name, std::string description,
                                                bool default_value) {
    BoolParameterInfo i;
    i.type = PARAM_BOOL;
    i.description = std::move(description);
    i.default_value = default_value;
    return {std::move(name), i};
}

FullParamteterInfo FullParamteterInfo::makeEnum(std::string name, std::string description,
                                                std::vector<std::string> options, std::string default_value) {
    EnumParameterInfo i;
    i.type = PARAM_ENUM;
    i.description = std::move(description);
    i.options = std::move(options);
    i.default_value = std::move(default_value);
    return {std::move(name), i};
}

FullParamteterInfo FullParamteterInfo::makeString(std::string name, std::string description,
                                                  std::string default_value) {
    StringParameterInfo i;
    i.type = PARAM_STRING;
    i.description = std::move(description);
    i.default_value = std::move(default_value);
    return {std::move(name), i};
}

// ---------------------------------------------------------------------------------------------------------
// CameraTool

CameraTool::~CameraTool() = default;

std::string CameraTool::toolName() const { return getToolInfo().name; }

void CameraTool::addParameter(FullParamteterInfo info, Getter getter, Setter setter) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::string name = info.name;
    params_[name] = Parameter{std::move(info), std::move(getter), std::move(setter)};
}

bool CameraTool::updateParameterInfo(const FullParamteterInfo& info) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = params_.find(info.name);
    if (it == params_.end() || it->second.info.info.index() != info.info.index()) return false;
    it->second.info = info;
    return true;
}

std::vector<std::string> CameraTool::registeredParameterNames() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [name, p] : params_) names.push_back(name);
    return names;
}

std::map<std::string, BasicParameterInfo> CameraTool::getAllParamInfo() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::map<std::string, BasicParameterInfo> all;
    for (const auto& [name, p] : params_) all[name] = p.info.basic();
    return all;
}

template <typename InfoT>
bool CameraTool::infoOf(const std::string& name, InfoT& out) const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = params_.find(name);
    if (it == params_.end()) {
        ZV_LOG(LOG_WARNING, "%s: no parameter \"%s\"", toolName().c_str(), name.c_str());
        return false;
    }
    const InfoT* info = std::get_if<InfoT>(&it->second.info.info);
    if (!info) {
        ZV_LOG(LOG_WARNING, "%s.%s is a %s parameter, not %s", toolName().c_str(), name.c_str(),
               kindName(it->second.info.type()), kindName(typeOf<InfoT>()));
        return false;
    }
    out = *info;
    return true;
}

bool CameraTool::getParamInfo(const std::string& name, StringParameterInfo& info) const {
    return infoOf(name, info);
}
bool CameraTool::getParamInfo(const std::string& name, EnumParameterInfo& info) const {
    return infoOf(name, info);
}
bool CameraTool::getParamInfo(const std::string& name, BoolParameterInfo& info) const {
    return infoOf(name, info);
}
bool CameraTool::getParamInfo(const std::string& name, FloatParameterInfo& info) const {
    return infoOf(name, info);
}
bool CameraTool::getParamInfo(const std::string& name, IntParameterInfo& info) const {
    return infoOf(name, info);
}

bool CameraTool::getValue(const std::string& name, ParameterValue& value, const char* kind) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = params_.find(name);
    if (it == params_.end()) {
        ZV_LOG(LOG_WARNING, "%s: no parameter \"%s\"", toolName().c_str(), name.c_str());
        return false;
    }
    const ParameterType type = it->second.info.type();
    const bool text_kind = type == PARAM_STRING || type == PARAM_ENUM;
    const bool matches = (type == PARAM_INT && std::holds_alternative<int>(value)) ||
                         (type == PARAM_FLOAT && std::holds_alternative<float>(value)) ||
                         (type == PARAM_BOOL && std::holds_alternative<bool>(value)) ||
                         (text_kind && std::holds_alternative<std::string>(value));
    if (!matches) {
        ZV_LOG(LOG_WARNING, "%s.%s is a %s parameter and cannot be read as %s", toolName().c_str(),
               name.c_str(), kindName(type), kind);
        return false;
    }
    if (!it->second.get) return false;
    ParameterValue read = value;
    if (!it->second.get(read) || read.index() != value.index()) {
        ZV_LOG(LOG_ERROR, "%s.%s could not be read", toolName().c_str(), name.c_str());
        return false;
    }
    value = std::move(read);
    return true;
}

bool CameraTool::getParam(const std::string& name, std::string& value) {
    ParameterValue v = std::string();
    if (!getValue(name, v, "text")) return false;
    value = std::get<std::string>(v);
    return true;
}

bool CameraTool::getParam(const std::string& name, bool& value) {
    ParameterValue v = false;
    if (!getValue(name, v, "bool")) return false;
    value = std::get<bool>(v);
    return true;
}

bool CameraTool::getParam(const std::string& name, float& value) {
    ParameterValue v = 0.0f;
    if (!getValue(name, v, "float")) return false;
    value = std::get<float>(v);
    return true;
}

bool CameraTool::getParam(const std::string& name, int& value) {
    ParameterValue v = 0;
    if (!getValue(name, v, "int")) return false;
    value = std::get<int>(v);
    return true;
}

bool CameraTool::setValue(const std::string& name, const ParameterValue& value, const char* kind) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const auto it = params_.find(name);
    const std::string tool = toolName();
    if (it == params_.end()) {
        ZV_LOG(LOG_WARNING, "%s: no parameter \"%s\"; %s not set", tool.c_str(), name.c_str(),
               valueText(value).c_str());
        return false;
    }
    const FullParamteterInfo& info = it->second.info;
    const auto refuse = [&](const std::string& why) {
        ZV_LOG(LOG_WARNING, "%s.%s = %s refused: %s", tool.c_str(), name.c_str(), valueText(value).c_str(),
               why.c_str());
        return false;
    };
    const auto wrongKind = [&] {
        return refuse(std::string("it is a ") + kindName(info.type()) + " parameter, not " + kind);
    };
    if (const auto* i = std::get_if<IntParameterInfo>(&info.info)) {
        const int* v = std::get_if<int>(&value);
        if (!v) return wrongKind();
        if (*v < i->min || *v > i->max)
            return refuse("outside [" + std::to_string(i->min) + ", " + std::to_string(i->max) + "]");
    } else if (const auto* fi = std::get_if<FloatParameterInfo>(&info.info)) {
        const float* v = std::get_if<float>(&value);
        if (!v) return wrongKind();
        if (!std::isfinite(*v) || *v < fi->min || *v > fi->max)
            return refuse("outside [" + valueText(fi->min) + ", " + valueText(fi->max) + "]");
    } else if (std::holds_alternative<BoolParameterInfo>(info.info)) {
        if (!std::holds_alternative<bool>(value)) return wrongKind();
    } else if (const auto* e = std::get_if<EnumParameterInfo>(&info.info)) {
        const std::string* v = std::get_if<std::string>(&value);
        if (!v) return wrongKind();
        bool known = false;
        for (const auto& option : e->options) known = known || option == *v;
        if (!known) {
            std::string options;
            for (const auto& option : e->options)
                options += (options.empty() ? "\"" : ", \"") + option + "\"";
            return refuse("not one of its options (" + options + ")");
        }
    } else if (!std::holds_alternative<std::string>(value)) {
        return wrongKind();
    }
    if (!it->second.set || !it->second.set(value)) {
        ZV_LOG(LOG_ERROR, "%s.%s = %s could not be applied", tool.c_str(), name.c_str(),
               valueText(value).c_str());
        return false;
    }
    ZV_LOG(LOG_DETAIL, "%s.%s = %s", tool.c_str(), name.c_str(), valueText(value).c_str());
    return true;
}

bool CameraTool::setParam(const std::string& name, const std::string& value) {
    return setValue(name, value, "text");
}

bool CameraTool::setParam(const std::string& name, const char* value) {
    if (!value) {
        ZV_LOG(LOG_WARNING, "%s.%s: a null text is refused", toolName().c_str(), name.c_str());
        return false;
    }
    return setValue(name, std::string(value), "text");
}

bool CameraTool::setParam(const std::string& name, bool value) { return setValue(name, value, "bool"); }

bool CameraTool::setParam(const std::string& name, double value) {
    if (std::isfinite(value) && std::fabs(value) > 3.0e38) {
        ZV_LOG(LOG_WARNING, "%s.%s = %g refused: too large for a float", toolName().c_str(), name.c_str(),
               value);
        return false;
    }
    return setValue(name, static_cast<float>(value), "double");
}

bool CameraTool::setParam(const std::string& name, float value) { return setValue(name, value, "float"); }

bool CameraTool::setParam(const std::string& name, int value) { return setValue(name, value, "int"); }

// ---------------------------------------------------------------------------------------------------------
// CameraToolRegister

CameraToolRegister::CameraToolRegister(std::shared_ptr<RegisterController> controller, std::string prefix)
    : controller_(std::move(controller)), prefix_(std::move(prefix)) {}

CameraToolRegister::~CameraToolRegister() = default;

const Register* CameraToolRegister::findRegister(const std::string& reg) const {
    if (!controller_) return nullptr;
    const RegisterMap& map = controller_->registerMap();
    const std::string full = prefix_ + reg;
    return map.contains(full) ? &map[full] : nullptr;
}

const Register::Field* CameraToolRegister::findField(const std::string& reg, const std::string& field) const {
    const Register* r = findRegister(reg);
    if (!r) return nullptr;
    const auto& fields = r->get_fields();
    const auto it = fields.find(field);
    return it == fields.end() ? nullptr : &it->second;
}

bool CameraToolRegister::writeField(const std::string& reg, const std::string& field, uint32_t value) {
    return controller_ && controller_->writeRegisterField(prefix_ + reg, field, value) == 0;
}

bool CameraToolRegister::readField(const std::string& reg, const std::string& field, uint32_t& value) {
    return controller_ && controller_->readRegisterField(prefix_ + reg, field, value) == 0;
}

bool CameraToolRegister::writeRegisterValue(const std::string& reg, uint32_t value) {
    return controller_ && controller_->writeRegister(prefix_ + reg, value) == 0;
}

bool CameraToolRegister::readRegisterValue(const std::string& reg, uint32_t& value) {
    return controller_ && controller_->readRegister(prefix_ + reg, value) == 0;
}

bool CameraToolRegister::addFieldParameter(const std::string& name, const std::string& description,
                                           const std::string& reg, const std::string& field,
                                           const std::string& unit) {
    const Register::Field* f = findField(reg, field);
    if (!f) {
        ZV_LOG(LOG_ERROR, "Tool parameter %s left out: the sensor has no %s%s.%s", name.c_str(),
               prefix_.c_str(), reg.c_str(), field.c_str());
        return false;
    }
    const unsigned len = std::min<unsigned>(f->get_len(), 31);
    const int max = static_cast<int>((uint64_t(1) << len) - 1);
    return addFieldParameter(name, description, reg, field, 0, max, unit);
}

bool CameraToolRegister::addFieldParameter(const std::string& name, const std::string& description,
                                           const std::string& reg, const std::string& field, int min, int max,
                                           const std::string& unit) {
    const Register::Field* f = findField(reg, field);
    if (!f) {
        ZV_LOG(LOG_ERROR, "Tool parameter %s left out: the sensor has no %s%s.%s", name.c_str(),
               prefix_.c_str(), reg.c_str(), field.c_str());
        return false;
    }
    const int default_value =
        std::clamp(static_cast<int>(std::min<uint32_t>(f->get_default_value(), 0x7FFFFFFF)), min, max);
    addParameter(
        FullParamteterInfo::makeInt(name, description, min, max, default_value, unit),
        [this, reg, field](ParameterValue& v) {
            uint32_t raw = 0;
            if (!readField(reg, field, raw)) return false;
            v = static_cast<int>(raw);
            return true;
        },
        [this, reg, field](const ParameterValue& v) {
            return writeField(reg, field, static_cast<uint32_t>(std::get<int>(v)));
        });
    return true;
}

bool CameraToolRegister::addBoolFieldParameter(const std::string& name, const std::string& description,
                                               const std::string& reg, const std::string& field) {
    const Register::Field* f = findField(reg, field);
    if (!f) {
        ZV_LOG(LOG_ERROR, "Tool parameter %s left out: the sensor has no %s%s.%s", name.c_str(),
               prefix_.c_str(), reg.c_str(), field.c_str());
        return false;
    }
    addParameter(
        FullParamteterInfo::makeBool(name, description, f->get_default_value() != 0),
        [this, reg, field](ParameterValue& v) {
            uint32_t raw = 0;
            if (!readField(reg, field, raw)) return false;
            v = raw != 0;
            return true;
        },
        [this, reg, field](const ParameterValue& v) {
            return writeField(reg, field, std::get<bool>(v) ? 1 : 0);
        });
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// CameraToolRegisterWithCallback

CameraToolRegisterWithCallback::~CameraToolRegisterWithCallback() = default;

void CameraToolRegisterWithCallback::addRegister2Map(FullParamteterInfo info, Getter getter, Setter setter) {
    addParameter(std::move(info), std::move(getter), std::move(setter));
}

}  // namespace zelvan
