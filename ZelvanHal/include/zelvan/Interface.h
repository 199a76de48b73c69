// Transport interfaces to cameras (USB and Ethernet). On machines without camera hardware they
// connect to the simulated cameras of zelvan/sim/SimulatedCameras.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/CameraDescription.h"

namespace zelvan {

namespace sim {
class SimDevice;
}

// A control frame sent to the camera's controller: a command word and its 32-bit arguments.
struct CtrlFrame {
    uint32_t command = 0;
    std::vector<uint32_t> values;
};

// Commands understood by the fusion camera's controller.
inline constexpr uint32_t kCtrlDvsPath = 0x40010010;
inline constexpr uint32_t kCtrlDvsStream = 0x40010200;

// One opened connection to a camera. All operations are safe to call from several threads.
class Interface {
public:
    virtual ~Interface();

    const CameraDescription& description() const { return description_; }

    // False once the camera has been unplugged; operations then fail.
    bool isConnected() const;

    // The camera's interface status word: the interface keeps it up to date with the connection
    // state (1 connected, 0 not) whenever it is asked. Shared, so that it lives as long as the
    // interface does (tools keep the interface after their camera is gone). Set before the interface
    // is shared with other threads.
    using StatusWord = std::shared_ptr<std::atomic<uint64_t>>;
    void setStatusWord(StatusWord word) { status_word_ = std::move(word); }

    // Register access through control transfers; 0 on success, -1 on failure.
    int readRegister(uint32_t address, uint32_t& value);
    int writeRegister(uint32_t address, uint32_t value);
    // 64-byte data blocks.
    static constexpr size_t kDataBlockBytes = 64;
    int readDataBlock(uint32_t address, uint8_t* block64);
    int writeDataBlock(uint32_t address, const uint8_t* block64);

    // The board controller of a fusion camera: registers of its own, apart from the sensor's (the
    // frame sensor's control, and 64-byte data registers such as the board's serial number and
    // firmware version). 0 on success, -1 on failure: a camera that is gone, or one without a board
    // controller (event cameras), or a null block.
    int readControlRegister(uint32_t address, uint32_t& value);
    int writeControlRegister(uint32_t address, uint32_t value);
    int readControlData(uint32_t address, uint8_t* block64);
    int writeControlData(uint32_t address, const uint8_t* block64);

    // How much of a sensor's settling pauses (the pauses of its register sequences) the camera really
    // needs: 1 for real hardware; a simulated camera states its own (0 for test devices that settle at
    // once). Register sequences scale their pauses by it.
    double settlingScale() const;

    // The factory calibration stored in the camera (empty when it has none or on failure).
    std::vector<uint8_t> readCalibration();
    // Stores the content of the file at `path` in the camera as its calibration; true when stored
    // (false for a missing, unreadable or empty file, or when the camera is gone).
    bool writeCalibrationFile(const std::string& path);

    // The device behind this interface (simulated cameras only).
    const std::shared_ptr<sim::SimDevice>& device() const { return device_; }

protected:
    Interface(CameraDescription description, std::shared_ptr<sim::SimDevice> device);

private:
    bool hasBoard(const char* operation) const;

    CameraDescription description_;
    std::shared_ptr<sim::SimDevice> device_;
    StatusWord status_word_;
};

class UsbInterface : public Interface {
public:
    // Event cameras (or fusion cameras) with this vendor and product id; maybe empty.
    static std::vector<CameraDescription> findUsbDvsCamera(uint16_t vendor_id, uint16_t product_id);
    static std::vector<CameraDescription> findUsbFusionCamera(uint16_t vendor_id, uint16_t product_id);

    // An interface to the described camera, or nullptr when it is not present.
    static std::shared_ptr<UsbInterface> createUsbInterface(const CameraDescription& description);
    static std::shared_ptr<UsbInterface> createUsbFusionInterface(const CameraDescription& description);

    // Sends a control frame; true when the camera accepted it (fusion cameras accept kCtrlDvsPath and
    // kCtrlDvsStream; other cameras have no such controller).
    bool transferFrame(const CtrlFrame& frame);

private:
    using Interface::Interface;
};

class EthInterface : public Interface {
public:
    // Ethernet event cameras reachable from this machine; each description carries ETH.
    static std::vector<CameraDescription> findEthDvsCamera();

    // Gives the described camera a new address, subnet mask and gateway (first octet in the most
    // significant byte); true on success.
    static bool ethCameraForceIP(const CameraDescription& description, uint32_t address, uint32_t mask,
                                 uint32_t gateway);

    static std::shared_ptr<EthInterface> createEthInterface(const CameraDescription& description);

    // An Ethernet camera sends its event stream only after this was called with true.
    bool setEventStream(bool enable);
    // Sends a firmware image file to the camera; true when the camera accepted it.
    bool updateFirmware(const std::string& path, uint32_t value);

private:
    using Interface::Interface;
};

}  // namespace zelvan
