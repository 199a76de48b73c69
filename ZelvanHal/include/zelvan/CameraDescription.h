// Identity of one discovered camera.
#pragma once

#include <cstdint>
#include <string>

#include "zelvan/Types.h"

namespace zelvan {

struct CameraDescription {
    std::string serial;
    std::string product;  // "Tandra" marks a fusion camera
    std::string manufacturer;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    INTERFACE_TYPE interfaceType = USB;
    std::string firmwareVersion;
    // Ethernet cameras only (empty for USB cameras), dotted decimal.
    std::string cameraIp;
    std::string localIp;  // address of the local adapter through which the camera was found
    std::string subnetMask;
    std::string gateway;

    bool operator==(const CameraDescription&) const = default;
};

}  // namespace zelvan
