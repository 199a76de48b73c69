#include "zelvan/RegisterController.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "zelvan/Interface.h"
#include "zelvan/Logger.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {

RegisterController::RegisterController(std::shared_ptr<Interface> interface, const RegisterInfo* table,
                                       size_t rows, std::string prefix, RegisterBus bus)
    : interface_(std::move(interface)), prefix_(std::move(prefix)), bus_(bus) {
    const size_t skipped = buildRegisterMap(table, rows, map_);
    if (skipped != 0) {
        ZV_LOG(LOG_WARNING, "RegisterController %s: %zu table rows out of order were skipped",
               prefix_.c_str(), skipped);
    }
    // A simulated sensor powers up with the reset values of this table, as the real one does.
    if (interface_ && interface_->device()) {
        std::map<uint32_t, uint32_t> reset;
        for (const auto& [name, reg] : map_) {
            uint32_t value = 0;
            for (const auto& [field_name, field] : reg.get_fields()) {
                value |= (field.get_default_value() << field.get_start()) & field.get_mask();
            }
            reset.emplace(reg.get_address(), value);
        }
        if (bus_ == RegisterBus::Board) {
            interface_->device()->setControlResetValues(reset);
        } else {
            interface_->device()->setResetValues(reset);
        }
    }
}

std::string RegisterController::bareName(const std::string& name) const {
    if (!prefix_.empty() && name.size() > prefix_.size() && name.compare(0, prefix_.size(), prefix_) == 0)
        return name.substr(prefix_.size());
    return name;
}

const Register& RegisterController::getRegister(const std::string& name) const {
    return map_[bareName(name)];
}

const Register::Field& RegisterController::getField(const std::string& reg, const std::string& field) const {
    return getRegister(reg)[field];
}

bool RegisterController::lookup(const std::string& reg, const std::string* field, const Register*& r,
                                const Register::Field** fl) const {
    try {
        r = &getRegister(reg);
        if (field) *fl = &(*r)[*field];
        return true;
    } catch (const std::runtime_error& e) {
        ZV_LOG(LOG_ERROR, "%s", e.what());
        ZV_LOG(LOG_WARNING, "RegisterController %s: no %s%s%s", prefix_.c_str(), bareName(reg).c_str(),
               field ? "." : "", field ? field->c_str() : "");
        return false;
    }
}

int RegisterController::writeRegister(uint32_t address, uint32_t value) {
    if (!interface_) return -1;
    const int status = bus_ == RegisterBus::Board ? interface_->writeControlRegister(address, value)
                                                  : interface_->writeRegister(address, value);
    return status == 0 ? 0 : -1;
}

int RegisterController::readRegister(uint32_t address, uint32_t& value) {
    if (!interface_) return -1;
    const int status = bus_ == RegisterBus::Board ? interface_->readControlRegister(address, value)
                                                  : interface_->readRegister(address, value);
    return status == 0 ? 0 : -1;
}

int RegisterController::writeDataBlock(uint32_t address, const uint8_t* block64) {
    if (!interface_ || !block64) return -1;
    const int status = bus_ == RegisterBus::Board ? interface_->writeControlData(address, block64)
                                                  : interface_->writeDataBlock(address, block64);
    return status == 0 ? 0 : -1;
}

int RegisterController::readDataBlock(uint32_t address, uint8_t* block64) {
    if (!interface_ || !block64) return -1;
    const int status = bus_ == RegisterBus::Board ? interface_->readControlData(address, block64)
                                                  : interface_->readDataBlock(address, block64);
    return status == 0 ? 0 : -1;
}

int RegisterController::writeRegisterWithControlTransfer(const std::string& reg, uint32_t value) {
    return writeRegister(reg, value);
}

int RegisterController::readRegisterWithControlTransfer(const std::string& reg, uint8_t* block64) {
    const Register* r = nullptr;
    if (!lookup(reg, nullptr, r, nullptr)) return -1;
    return readDataBlock(r->get_address(), block64);
}

int RegisterController::writeRegisterDataWithControlTransfer(const std::string& reg, const uint8_t* block64) {
    const Register* r = nullptr;
    if (!lookup(reg, nullptr, r, nullptr)) return -1;
    return writeDataBlock(r->get_address(), block64);
}

int RegisterController::writeRegister(const std::string& reg, uint32_t value) {
    const Register* r = nullptr;
    if (!lookup(reg, nullptr, r, nullptr)) return -1;
    return writeRegister(r->get_address(), value);
}

int RegisterController::readRegister(const std::string& reg, uint32_t& value) {
    const Register* r = nullptr;
    if (!lookup(reg, nullptr, r, nullptr)) return -1;
    return readRegister(r->get_address(), value);
}

int RegisterController::writeRegisterField(const std::string& reg, const std::string& field, uint32_t value) {
    const Register* r = nullptr;
    const Register::Field* fl = nullptr;
    if (!lookup(reg, &field, r, &fl)) return -1;
    const uint32_t mask = fl->get_mask();
    const unsigned width =
        fl->get_start() < 32 ? std::min(unsigned(fl->get_len()), 32u - fl->get_start()) : 0;
    const uint32_t shifted =
        width == 0 ? 0 : static_cast<uint32_t>((uint64_t(value) << fl->get_start()) & mask);
    if (width < 32 && (uint64_t(value) >> width) != 0) {
        ZV_LOG(LOG_WARNING, "RegisterController %s: %u does not fit %s.%s (%u bits)", prefix_.c_str(), value,
               r->get_name().c_str(), field.c_str(), unsigned(fl->get_len()));
        return -1;
    }
    std::lock_guard<std::mutex> lock(rmw_mutex_);
    uint32_t current = 0;
    if (readRegister(r->get_address(), current) != 0) return -1;
    return writeRegister(r->get_address(), (current & ~mask) | shifted);
}

int RegisterController::readRegisterField(const std::string& reg, const std::string& field, uint32_t& value) {
    const Register* r = nullptr;
    const Register::Field* fl = nullptr;
    if (!lookup(reg, &field, r, &fl)) return -1;
    uint32_t current = 0;
    if (readRegister(r->get_address(), current) != 0) return -1;
    value = fl->get_start() < 32 ? (current & fl->get_mask()) >> fl->get_start() : 0;
    return 0;
}

int RegisterController::applyRegisterOperationSequence(const std::vector<RegisterOperation>& sequence) {
    const double scale = interface_ ? interface_->settlingScale() : 1.0;
    for (size_t i = 0; i < sequence.size(); ++i) {
        const RegisterOperation& op = sequence[i];
        int result = 0;
        switch (op.kind) {
            case RegisterOperation::kWrite:
                result = writeRegister(op.address, op.value);
                break;
            case RegisterOperation::kMaskedWrite: {
                std::lock_guard<std::mutex> lock(rmw_mutex_);
                uint32_t current = 0;
                result = readRegister(op.address, current);
                if (result == 0)
                    result = writeRegister(op.address, (current & ~op.mask) | (op.value & op.mask));
                break;
            }
            case RegisterOperation::kPause: {
                const double us = std::floor(double(op.pause) * scale);
                if (us >= 1.0)
                    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(us)));
                break;
            }
            default:
                ZV_LOG(LOG_ERROR,
                       "RegisterController %s: operation %zu has unknown kind %u; sequence stopped",
                       prefix_.c_str(), i, op.kind);
                return -1;
        }
        if (result != 0) {
            ZV_LOG(LOG_ERROR,
                   "RegisterController %s: operation %zu (address 0x%04X) failed; sequence stopped",
                   prefix_.c_str(), i, op.address);
            return -1;
        }
    }
    return 0;
}

}  // namespace zelvan
