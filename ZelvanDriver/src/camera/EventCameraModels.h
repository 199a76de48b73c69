// The event camera models: a fixed identity on top of DvsEventCamera.
#pragma once

#include <string>

#include "camera/DvsEventCamera.h"

namespace zelvan {

class PropheseeEVK4 : public DvsEventCamera {
public:
    explicit PropheseeEVK4(CameraDescription description) : DvsEventCamera(description) {}
    static std::string getManufacturer() { return "Prophesee"; }
    static std::string getProductName() { return "EVK4"; }
    static constexpr uint16_t vendorId = 0x04B4;
    static constexpr uint16_t productId = 0x00F5;
    static constexpr INTERFACE_TYPE interfaceType = USB;
};

class PropheseeEVK5 : public DvsEventCamera {
public:
    explicit PropheseeEVK5(CameraDescription description) : DvsEventCamera(description) {}
    static std::string getManufacturer() { return "Prophesee"; }
    static std::string getProductName() { return "EVK5"; }
    static constexpr uint16_t vendorId = 0x04B4;
    static constexpr uint16_t productId = 0x00C4;
    static constexpr INTERFACE_TYPE interfaceType = USB;
};

class ZelvanPelmo : public DvsEventCamera {
public:
    explicit ZelvanPelmo(CameraDescription description) : DvsEventCamera(description) {}
    static std::string getManufacturer() { return "Zelvan"; }
    static std::string getProductName() { return "Pelmo"; }
    static constexpr uint16_t vendorId = 0x04B5;
    static constexpr uint16_t productId = 0x0001;
    static constexpr INTERFACE_TYPE interfaceType = USB;
};

class Orvik320Camera : public DvsEventCamera {
public:
    explicit Orvik320Camera(CameraDescription description) : DvsEventCamera(description) {}
    static std::string getManufacturer() { return "Zelvan Team."; }
    static std::string getProductName() { return "Zelvan.320camera"; }
    static constexpr uint16_t vendorId = 0x04B5;
    static constexpr uint16_t productId = 0xFFFF;
    static constexpr INTERFACE_TYPE interfaceType = USB;
};

}  // namespace zelvan
