// The register model of a sensor: registers addressed by name, each with a 32-bit address and named bit
// fields, a field possibly with named values (aliases). These classes hold no device state; the register
// controller (zelvan/RegisterController.h) builds them from a static table and acts on the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zelvan {

class Register {
public:
    // One bit field of a register.
    class Field {
    public:
        Field() = default;
        Field(std::string name, uint8_t start, uint8_t len, uint32_t default_value,
              std::map<std::string, uint32_t> aliases = {});
        Field(const Field&) = default;
        Field& operator=(const Field&) = default;

        const std::string& get_name() const { return name_; }
        uint8_t get_start() const { return start_; }
        uint8_t get_len() const { return len_; }
        // The bits of the register the field covers.
        uint32_t get_mask() const { return mask_; }
        uint32_t get_default_value() const { return default_value_; }
        const std::map<std::string, uint32_t>& get_aliases() const { return aliases_; }

        void set_start(uint8_t start);
        void set_len(uint8_t len);
        // Adds a named value; a name already present gets the new value.
        void add_alias(const std::string& name, uint32_t value);

    private:
        void init_mask();

        std::string name_;
        uint8_t start_ = 0;
        uint8_t len_ = 0;
        uint32_t mask_ = 0;
        uint32_t default_value_ = 0;
        std::map<std::string, uint32_t> aliases_;
    };

    Register() = default;
    Register(std::string name, uint32_t address);
    Register(const Register&) = default;
    Register& operator=(const Register&) = default;

    const std::string& get_name() const { return name_; }
    uint32_t get_address() const { return address_; }
    // The model keeps no register contents: always 0. Read the device through the register controller.
    uint32_t get_value() const { return 0; }

    // The field called `name`; throws std::runtime_error "Register: Field not found" when there is none.
    const Field& operator[](const std::string& name) const;

    // Adds (or replaces) a field under its name.
    void add_field(const Field& field);
    const std::map<std::string, Field>& get_fields() const { return fields_; }

private:
    std::string name_;
    uint32_t address_ = 0;
    std::map<std::string, Field> fields_;
};

// The registers of one sensor by name.
class RegisterMap {
public:
    RegisterMap() = default;
    RegisterMap(const RegisterMap&) = default;
    RegisterMap(RegisterMap&&) = default;
    RegisterMap& operator=(const RegisterMap&) = default;
    RegisterMap& operator=(RegisterMap&&) = default;

    // The register called `name`; throws std::runtime_error "RegisterController: Register not found" when
    // there is none.
    const Register& operator[](const std::string& name) const;

    // Adds (or replaces) a register under its name.
    void add(const Register& reg);
    bool contains(const std::string& name) const { return registers_.count(name) != 0; }
    size_t size() const { return registers_.size(); }
    bool empty() const { return registers_.empty(); }
    std::map<std::string, Register>::const_iterator begin() const { return registers_.begin(); }
    std::map<std::string, Register>::const_iterator end() const { return registers_.end(); }

private:
    std::map<std::string, Register> registers_;
};

// One row of a static register table. A register row opens a register; the field rows that follow belong
// to it; the alias rows that follow a field row belong to that field.
struct RegisterInfo {
    static constexpr uint32_t kRegister = 0;
    static constexpr uint32_t kField = 1;
    static constexpr uint32_t kAlias = 2;

    uint32_t kind;     // kRegister, kField or kAlias
    const char* name;  // name of the register, field or alias
    uint32_t first;    // register: address; field: start bit; alias: the aliased value
    uint32_t second;   // field: length in bits; 0 otherwise
    uint32_t third;    // field: default value; 0 otherwise
};

// One step of a register sequence.
struct RegisterOperation {
    static constexpr uint32_t kWrite = 2;
    static constexpr uint32_t kMaskedWrite = 3;
    static constexpr uint32_t kPause = 4;

    uint32_t kind;     // kWrite, kMaskedWrite or kPause
    uint32_t address;  // register address; 0 for a pause
    uint32_t value;    // value to write; 0 for a pause
    uint32_t mask;     // masked write: the bits the operation changes; 0 otherwise
    uint32_t pause;    // pause: its length in microseconds; 0 otherwise

    bool operator==(const RegisterOperation&) const = default;
};

// Builds a map from `rows` table rows. Rows that break the row order (a field before any register, an
// alias before any field) or carry an unknown kind are skipped; returns how many were skipped.
size_t buildRegisterMap(const RegisterInfo* table, size_t rows, RegisterMap& out);

}  // namespace zelvan
