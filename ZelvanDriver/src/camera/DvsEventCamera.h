// An event camera on USB or Ethernet: opens its transport, picks its sensor and stream format.
#pragma once

#include "camera/DvsCameraPrivate.h"

namespace zelvan {

class DvsEventCamera : public DvsCameraPrivate {
public:
    static constexpr INTERFACE_TYPE interfaceType = USB;

    explicit DvsEventCamera(const CameraDescription& description);
    ~DvsEventCamera() override;

    bool isConnected() const override;
    uint16_t getWidth() const override { return width_; }
    uint16_t getHeight() const override { return height_; }
    int start() override;
    bool updateCameraFirmware(std::string path, uint32_t value) override;

    // Opens the camera: transport, register controller, decoder, sensor bring-up and tools. 0 on success
    // (and when already open).
    int init() override;

    // GenX320 cameras carry this vendor and product id.
    static bool isGenx320(const CameraDescription& description) {
        return description.vendorId == 0x04B5 && description.productId == 0xFFFF;
    }

protected:
    std::string getRawEventStreamFormat() const override { return format_; }

    uint16_t width_ = 1280;
    uint16_t height_ = 720;
    std::string format_ = "EVT3;height=720;width=1280";
    bool genx320_ = false;
};

}  // namespace zelvan
