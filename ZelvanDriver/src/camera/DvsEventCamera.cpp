#include "camera/DvsEventCamera.h"

#include <stdexcept>

#include "sensor/ReadoutSensor.h"
#include "zelvan/Logger.h"

namespace zelvan {

DvsEventCamera::DvsEventCamera(const CameraDescription& description) : DvsCameraPrivate(description) {}

DvsEventCamera::~DvsEventCamera() {
    // The camera loop calls into this class: end it while the object is whole.
    stop();
}

bool DvsEventCamera::isConnected() const { return interface_ && interface_->isConnected(); }

int DvsEventCamera::start() {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (!inited_) throw std::runtime_error("Camera is not inited");
    if (running_.load() == 1) return 0;
    return startStreaming();
}

bool DvsEventCamera::updateCameraFirmware(std::string path, uint32_t value) {
    if (getDescription().interfaceType != ETH) return false;
    auto eth = std::dynamic_pointer_cast<EthInterface>(interface_);
    return eth && eth->updateFirmware(path, value);
}

int DvsEventCamera::init() {
    if (inited_) return 0;
    const CameraDescription description = getDescription();
    switch (description.interfaceType) {
        case USB: interface_ = UsbInterface::createUsbInterface(description); break;
        case ETH: interface_ = EthInterface::createEthInterface(description); break;
        default: interface_.reset(); break;
    }
    if (!interface_) return -1;
    interface_->setStatusWord(&interface_status_word_);

    if (isGenx320(description)) {
        width_ = 320;
        height_ = 320;
    } else {
        width_ = 1280;
        height_ = 720;
    }
    format_ = "EVT3;height=" + std::to_string(height_) + ";width=" + std::to_string(width_);
    file_info_.width = width_;
    file_info_.height = height_;

    decoder_ = DecoderFactory::createUniqueDecoder(format_);
    if (!decoder_) return -1;
    decoder_->setEventsStreamHandleCallback([this](Event2D* first, Event2D* last) { eventStreamArrived(first, last); });
    decoder_->setTriggerInCallback([this](EventTriggerIn trigger) { triggerInArrived(trigger); });

    sensor_ = std::make_unique<ReadoutSensor>();
    sensor_->init(interface_);

    inited_ = true;
    return 0;
}

}  // namespace zelvan
