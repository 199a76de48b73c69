// Register access to one camera's sensor by name: a register map built from a static table, field writes as
// read-modify-write control transfers, and register operation sequences. One controller is shared by the
// sensor bring-up and every tool of a camera; all operations are safe to call from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zelvan/Register.h"

namespace zelvan {

class Interface;

// Which registers of the camera a controller reaches: the sensor's, or those of the board controller
// of a fusion camera (Interface::readControlRegister and friends).
enum class RegisterBus : uint8_t { Sensor, Board };

class RegisterController {
public:
    // `table` holds `rows` rows; `prefix` (such as "PSEE/IMX636/") names the sensor in messages, and names
    // given to this controller may carry it in front. Every access goes to the registers of `bus`.
    RegisterController(std::shared_ptr<Interface> interface, const RegisterInfo* table, size_t rows,
                       std::string prefix, RegisterBus bus = RegisterBus::Sensor);

    const RegisterMap& registerMap() const { return map_; }
    const std::string& prefix() const { return prefix_; }
    const std::shared_ptr<Interface>& interface() const { return interface_; }
    RegisterBus bus() const { return bus_; }

    // The register (throws std::runtime_error "RegisterController: Register not found") and its field
    // (throws "Register: Field not found").
    const Register& getRegister(const std::string& name) const;
    const Register::Field& getField(const std::string& reg, const std::string& field) const;

    // By name. 0 on success, -1 on failure: a missing register or field (logged with the lookup's
    // message), a value that does not fit the field (logged), or a failed control transfer.
    int writeRegisterField(const std::string& reg, const std::string& field, uint32_t value);
    int readRegisterField(const std::string& reg, const std::string& field, uint32_t& value);
    int writeRegister(const std::string& reg, uint32_t value);
    int readRegister(const std::string& reg, uint32_t& value);

    // By address, through the interface's control transfers; 0 on success, -1 on failure.
    int writeRegister(uint32_t address, uint32_t value);
    int readRegister(uint32_t address, uint32_t& value);
    int writeDataBlock(uint32_t address, const uint8_t* block64);
    int readDataBlock(uint32_t address, uint8_t* block64);

    // By name, as control transfers to the board: a whole register, and the 64 bytes of a data
    // register (serial number, firmware version). 0 on success, -1 on failure (a missing register is
    // logged with the lookup's message).
    int writeRegisterWithControlTransfer(const std::string& reg, uint32_t value);
    int readRegisterWithControlTransfer(const std::string& reg, uint8_t* block64);
    int writeRegisterDataWithControlTransfer(const std::string& reg, const uint8_t* block64);

    // Runs the operations in order: writes, masked writes (read-modify-write of the masked bits) and
    // pauses. Pauses last as long as the device needs (Interface::settlingScale()). Stops at the first
    // failing transfer or unknown operation kind (logged) and returns -1; 0 when all ran.
    int applyRegisterOperationSequence(const std::vector<RegisterOperation>& sequence);

private:
    std::string bareName(const std::string& name) const;
    // Looks up a register (and field); logs the lookup's message and returns false when one is missing.
    bool lookup(const std::string& reg, const std::string* field, const Register*& r,
                const Register::Field** fl) const;

    std::shared_ptr<Interface> interface_;
    RegisterMap map_;
    std::string prefix_;
    RegisterBus bus_;
    // Read-modify-write steps of different threads must not interleave.
    std::mutex rmw_mutex_;
};

}  // namespace zelvan
