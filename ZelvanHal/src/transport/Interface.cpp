#include "zelvan/Interface.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "zelvan/Logger.h"
#include "zelvan/StringUtils.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {

namespace {

constexpr const char* kFusionProduct = "Tandra";

bool isFusion(const CameraDescription& d) { return d.product == kFusionProduct; }

std::vector<CameraDescription> search(INTERFACE_TYPE type,
                                      bool (*match)(const CameraDescription&, uint16_t, uint16_t),
                                      uint16_t vendor_id, uint16_t product_id) {
    std::vector<CameraDescription> found;
    for (const auto& device : sim::SimulatedCameras::instance().devices()) {
        if (!device->isConnected()) continue;
        CameraDescription d = device->description();
        if (d.interfaceType == type && match(d, vendor_id, product_id)) found.push_back(std::move(d));
    }
    return found;
}

// The connected device with the description's serial, when it is reached through `type` and is
// (or is not) a fusion camera; logs why not otherwise.
std::shared_ptr<sim::SimDevice> openDevice(const CameraDescription& description, INTERFACE_TYPE type,
                                           bool fusion) {
    auto device = sim::SimulatedCameras::instance().find(description.serial);
    if (!device) {
        ZV_LOG(LOG_ERROR, "No camera with serial %s", description.serial.c_str());
        return nullptr;
    }
    if (!device->isConnected()) {
        ZV_LOG(LOG_ERROR, "Camera %s is not connected", description.serial.c_str());
        return nullptr;
    }
    const CameraDescription actual = device->description();
    if (actual.interfaceType != type || isFusion(actual) != fusion) {
        ZV_LOG(LOG_ERROR, "Camera %s cannot be opened this way (it is a %s %s camera)",
               description.serial.c_str(), actual.interfaceType == ETH ? "Ethernet" : "USB",
               isFusion(actual) ? "fusion" : "event");
        return nullptr;
    }
    return device;
}

std::string ipToString(uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
           std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF);
}

// A usable host setting: a contiguous, non-empty mask leaving room for hosts; an address that is
// neither the network nor the broadcast address of its subnet; a gateway (0 for none) inside the
// subnet and different from the address.
bool validIpSettings(uint32_t address, uint32_t mask, uint32_t gateway, std::string& why) {
    const uint32_t host_bits = ~mask;
    if (mask == 0 || (host_bits & (host_bits + 1)) != 0 || host_bits < 3) {
        why = "invalid subnet mask " + ipToString(mask);
        return false;
    }
    const uint32_t first_octet = address >> 24;
    if (first_octet == 0 || first_octet == 127 || first_octet >= 224 || (address & host_bits) == 0 ||
        (address & host_bits) == host_bits) {
        why = "invalid address " + ipToString(address) + " for mask " + ipToString(mask);
        return false;
    }
    if (gateway != 0 && ((gateway & mask) != (address & mask) || gateway == address ||
                         (gateway & host_bits) == 0 || (gateway & host_bits) == host_bits)) {
        why = "gateway " + ipToString(gateway) + " is not a host of the camera's subnet";
        return false;
    }
    return true;
}

// An address no other host this computer reaches by Ethernet holds: neither the local adapter through
// which the camera was found nor another camera.
bool freeAddress(const sim::SimDevice& device, uint32_t address, std::string& why) {
    const std::string text = ipToString(address);
    const CameraDescription own = device.description();
    if (address == stringToIP(own.localIp)) {
        why = "address " + text + " is the local adapter's";
        return false;
    }
    for (const auto& other : sim::SimulatedCameras::instance().devices()) {
        if (other.get() == &device || !other->isConnected()) continue;
        const CameraDescription d = other->description();
        if (d.interfaceType == ETH && stringToIP(d.cameraIp) == address) {
            why = "address " + text + " is held by camera " + d.serial;
            return false;
        }
    }
    return true;
}

}  // namespace

Interface::Interface(CameraDescription description, std::shared_ptr<sim::SimDevice> device)
    : description_(std::move(description)), device_(std::move(device)) {}

Interface::~Interface() = default;

bool Interface::isConnected() const {
    const bool connected = device_ && device_->isConnected();
    if (status_word_) status_word_->store(connected ? 1 : 0);
    return connected;
}

int Interface::readRegister(uint32_t address, uint32_t& value) {
    if (!isConnected()) return -1;
    value = device_->readRegister(address);
    return 0;
}

int Interface::writeRegister(uint32_t address, uint32_t value) {
    if (!isConnected()) {
        ZV_LOG(LOG_WARNING, "Register write 0x%08x to camera %s failed: not connected", address,
               description_.serial.c_str());
        return -1;
    }
    ZV_LOG(LOG_DETAIL, "Register write 0x%08x = 0x%08x", address, value);
    device_->writeRegister(address, value);
    return 0;
}

bool Interface::hasBoard(const char* operation) const {
    if (!isConnected()) return false;
    if (device_->isFusion()) return true;
    ZV_LOG(LOG_WARNING, "Camera %s has no board controller (%s refused)", description_.serial.c_str(),
           operation);
    return false;
}

int Interface::readControlRegister(uint32_t address, uint32_t& value) {
    if (!hasBoard("control register read")) return -1;
    value = device_->readControlRegister(address);
    return 0;
}

int Interface::writeControlRegister(uint32_t address, uint32_t value) {
    if (!hasBoard("control register write")) return -1;
    ZV_LOG(LOG_DETAIL, "Control register write 0x%08x = 0x%08x", address, value);
    device_->writeControlRegister(address, value);
    return 0;
}

int Interface::readControlData(uint32_t address, uint8_t* block64) {
    if (!block64 || !hasBoard("control data read")) return -1;
    device_->readControlData(address, block64);
    return 0;
}

int Interface::writeControlData(uint32_t address, const uint8_t* block64) {
    if (!block64 || !hasBoard("control data write")) return -1;
    device_->writeControlData(address, block64);
    return 0;
}

double Interface::settlingScale() const { return device_ ? device_->config().settle_scale : 1.0; }

int Interface::readDataBlock(uint32_t address, uint8_t* block64) {
    if (!block64 || !isConnected()) return -1;
    device_->readBlock(address, block64);
    return 0;
}

int Interface::writeDataBlock(uint32_t address, const uint8_t* block64) {
    if (!block64 || !isConnected()) return -1;
    device_->writeBlock(address, block64);
    return 0;
}

std::vector<uint8_t> Interface::readCalibration() {
    if (!isConnected()) return {};
    return device_->calibration();
}

bool Interface::writeCalibrationFile(const std::string& path) {
    if (!isConnected()) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ZV_LOG(LOG_ERROR, "Calibration file %s cannot be read", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || bytes.empty()) {
        ZV_LOG(LOG_ERROR, "Calibration file %s is empty or unreadable", path.c_str());
        return false;
    }
    device_->setCalibration(std::move(bytes));
    return true;
}

// --- USB ---

std::vector<CameraDescription> UsbInterface::findUsbDvsCamera(uint16_t vendor_id, uint16_t product_id) {
    return search(
        USB,
        [](const CameraDescription& d, uint16_t v, uint16_t p) {
            return d.vendorId == v && d.productId == p && !isFusion(d);
        },
        vendor_id, product_id);
}

std::vector<CameraDescription> UsbInterface::findUsbFusionCamera(uint16_t vendor_id, uint16_t product_id) {
    return search(
        USB,
        [](const CameraDescription& d, uint16_t v, uint16_t p) {
            return d.vendorId == v && d.productId == p && isFusion(d);
        },
        vendor_id, product_id);
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbInterface(const CameraDescription& description) {
    auto device = openDevice(description, USB, false);
    if (!device) return nullptr;
    return std::shared_ptr<UsbInterface>(new UsbInterface(device->description(), device));
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbFusionInterface(const CameraDescription& description) {
    auto device = openDevice(description, USB, true);
    if (!device) return nullptr;
    return std::shared_ptr<UsbInterface>(new UsbInterface(device->description(), device));
}

bool UsbInterface::transferFrame(const CtrlFrame& frame) {
    if (!isConnected()) return false;
    if (!isFusion(description()) || (frame.command != kCtrlDvsPath && frame.command != kCtrlDvsStream)) {
        ZV_LOG(LOG_WARNING, "Camera %s does not understand control command 0x%08x",
               description().serial.c_str(), frame.command);
        return false;
    }
    device()->recordControlFrame(frame);
    return true;
}

// --- Ethernet ---

std::vector<CameraDescription> EthInterface::findEthDvsCamera() {
    return search(
        ETH, [](const CameraDescription& d, uint16_t, uint16_t) { return !isFusion(d); }, 0, 0);
}

bool EthInterface::ethCameraForceIP(const CameraDescription& description, uint32_t address, uint32_t mask,
                                    uint32_t gateway) {
    auto device = openDevice(description, ETH, false);
    if (!device) return false;
    std::string why;
    if (!validIpSettings(address, mask, gateway, why) || !freeAddress(*device, address, why)) {
        ZV_LOG(LOG_ERROR, "Camera %s keeps its IP settings: %s", description.serial.c_str(), why.c_str());
        return false;
    }
    device->setIpConfig(ipToString(address), ipToString(mask), ipToString(gateway));
    ZV_LOG(LOG_INFO, "Camera %s now at %s, mask %s, gateway %s", description.serial.c_str(),
           ipToString(address).c_str(), ipToString(mask).c_str(), ipToString(gateway).c_str());
    return true;
}

std::shared_ptr<EthInterface> EthInterface::createEthInterface(const CameraDescription& description) {
    auto device = openDevice(description, ETH, false);
    if (!device) return nullptr;
    return std::shared_ptr<EthInterface>(new EthInterface(device->description(), device));
}

bool EthInterface::setEventStream(bool enable) {
    if (!isConnected()) return false;
    device()->setEthernetStreamEnabled(enable);
    return true;
}

bool EthInterface::updateFirmware(const std::string& path, uint32_t value) {
    if (!isConnected()) return false;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size == 0 || !std::filesystem::is_regular_file(path, ec)) {
        ZV_LOG(LOG_ERROR, "Firmware image %s is missing or empty", path.c_str());
        return false;
    }
    ZV_LOG(LOG_INFO, "Camera %s accepted firmware image %s (%llu bytes, value %u)",
           description().serial.c_str(), path.c_str(), static_cast<unsigned long long>(size), value);
    return true;
}

}  // namespace zelvan
