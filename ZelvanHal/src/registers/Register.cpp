#include "zelvan/Register.h"

#include <stdexcept>

namespace zelvan {

Register::Field::Field(std::string name, uint8_t start, uint8_t len, uint32_t default_value,
                       std::map<std::string, uint32_t> aliases)
    : name_(std::move(name)),
      start_(start),
      len_(len),
      default_value_(default_value),
      aliases_(std::move(aliases)) {
    init_mask();
}

void Register::Field::set_start(uint8_t start) {
    start_ = start;
    init_mask();
}

void Register::Field::set_len(uint8_t len) {
    len_ = len;
    init_mask();
}

void Register::Field::add_alias(const std::string& name, uint32_t value) { aliases_[name] = value; }

void Register::Field::init_mask() {
    // Bits beyond bit 31 do not exist: a field that reaches past them covers what is left.
    if (start_ >= 32 || len_ == 0) {
        mask_ = 0;
        return;
    }
    const uint64_t bits = len_ >= 32 ? 0xFFFFFFFFull : ((uint64_t(1) << len_) - 1);
    mask_ = static_cast<uint32_t>((bits << start_) & 0xFFFFFFFFull);
}

Register::Register(std::string name, uint32_t address) : name_(std::move(name)), address_(address) {}

const Register::Field& Register::operator[](const std::string& name) const {
    const auto it = fields_.find(name);
    if (it == fields_.end()) throw std::runtime_error("Register: Field not found");
    return it->second;
}

void Register::add_field(const Field& field) { fields_[field.get_name()] = field; }

const Register& RegisterMap::operator[](const std::string& name) const {
    const auto it = registers_.find(name);
    if (it == registers_.end()) throw std::runtime_error("RegisterController: Register not found");
    return it->second;
}

void RegisterMap::add(const Register& reg) { registers_[reg.get_name()] = reg; }

size_t buildRegisterMap(const RegisterInfo* table, size_t rows, RegisterMap& out) {
    out = RegisterMap();
    size_t skipped = 0;
    bool have_register = false;
    bool have_field = false;
    Register current;
    Register::Field field;
    const auto flushField = [&] {
        if (have_field) current.add_field(field);
        have_field = false;
    };
    const auto flushRegister = [&] {
        flushField();
        if (have_register) out.add(current);
        have_register = false;
    };
    for (size_t i = 0; table && i < rows; ++i) {
        const RegisterInfo& row = table[i];
        const std::string name = row.name ? row.name : "";
        switch (row.kind) {
            case RegisterInfo::kRegister:
                flushRegister();
                current = Register(name, row.first);
                have_register = true;
                break;
            case RegisterInfo::kField:
                if (!have_register) {
                    ++skipped;
                    break;
                }
                flushField();
                field = Register::Field(name, static_cast<uint8_t>(row.first),
                                        static_cast<uint8_t>(row.second), row.third);
                have_field = true;
                break;
            case RegisterInfo::kAlias:
                if (!have_field) {
                    ++skipped;
                    break;
                }
                field.add_alias(name, row.first);
                break;
            default:
                ++skipped;
                break;
        }
    }
    flushRegister();
    return skipped;
}

}  // namespace zelvan
