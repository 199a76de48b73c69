#include "camera/DvsEventCamera.h"

#include <stdexcept>

#include "sensor/CameraTools.h"
#include "sensor/EventSensors.h"
#include "sensor/tables/RegisterTables.h"
#include "zelvan/Logger.h"
#include "zelvan/RegisterController.h"

namespace zelvan {

DvsEventCamera::DvsEventCamera(const CameraDescription& description) : DvsCameraPrivate(description) {}

DvsEventCamera::~DvsEventCamera() {
    // The camera loop calls into this class: end it while the object is whole.
    shutdown();
}

bool DvsEventCamera::isConnected() const { return interface_ && interface_->isConnected(); }

int DvsEventCamera::start() {
    if (onOwnThread()) {
        // A restart would have to join the thread it runs on.
        ZV_LOG(LOG_ERROR, "start() refused: it cannot be called from the camera's own callbacks.");
        return -1;
    }
    std::lock_guard<std::mutex> control(control_mutex_);
    if (!inited_) throw std::runtime_error("Camera is not inited");
    if (running_.load()) return 0;
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
        case USB:
            interface_ = UsbInterface::createUsbInterface(description);
            break;
        case ETH:
            interface_ = EthInterface::createEthInterface(description);
            break;
        default:
            interface_.reset();
            break;
    }
    if (!interface_) return -1;
    interface_->setStatusWord(interface_status_word_);

    const bool genx320 = isGenx320(description);
    genx320_ = genx320;
    if (genx320) {
        width_ = 320;
        height_ = 320;
    } else {
        width_ = 1280;
        height_ = 720;
    }
    format_ = "EVT3;height=" + std::to_string(height_) + ";width=" + std::to_string(width_);
    file_info_.width = width_;
    file_info_.height = height_;

    if (genx320) {
        register_controller_ = std::make_shared<RegisterController>(
            interface_, kGenx320RegisterTable, kGenx320RegisterTableSize, kGenx320RegisterPrefix);
    } else {
        register_controller_ = std::make_shared<RegisterController>(
            interface_, kImx636RegisterTable, kImx636RegisterTableSize, kImx636RegisterPrefix);
    }

    decoder_ = DecoderFactory::createUniqueDecoder(format_);
    if (!decoder_) return -1;
    decoder_->setEventsStreamHandleCallback(
        [this](Event2D* first, Event2D* last) { eventStreamArrived(first, last); });
    decoder_->setTriggerInCallback([this](EventTriggerIn trigger) { triggerInArrived(trigger); });

    if (genx320) {
        sensor_ = std::make_unique<Genx320Sensor>();
    } else {
        sensor_ = std::make_unique<Imx6x6Sensor>();
    }
    const std::shared_ptr<RegisterController> controller = register_controller_;
    sensor_->setApplyRegisterOperationSequenceCallback(
        [controller](const std::vector<RegisterOperation>& sequence) {
            return controller->applyRegisterOperationSequence(sequence);
        });
    sensor_->setWriteRegisterFieldCallback(
        [controller](const std::string& reg, const std::string& field, uint32_t value) {
            controller->writeRegisterField(reg, field, value);
        });
    if (sensor_->init(interface_) != 0) return -1;

    if (genx320) {
        addTool(BIASES, std::make_shared<Genx320Biases>(controller));
        addTool(TRIGGER_IN, std::make_shared<Genx320TriggerIn>(controller));
        addTool(ANTI_FLICKER, std::make_shared<Genx320AntiFlicker>(controller));
        addTool(EVENT_RATE_CONTROL, std::make_shared<Genx320EventRateControl>(controller));
        addTool(EVENT_TRAIL_FILTER, std::make_shared<Genx320EventTrailFilter>(controller));
        addTool(ROI, std::make_shared<Genx320ROI>(controller));
        addTool(SYNC, std::make_shared<Genx320Sync>(controller));
    } else {
        addTool(BIASES, std::make_shared<Imx636Biases>(controller));
        addTool(TRIGGER_IN, std::make_shared<Imx636TriggerIn>(controller));
        addTool(ANTI_FLICKER, std::make_shared<Imx636AntiFlicker>(controller));
        addTool(EVENT_RATE_CONTROL, std::make_shared<Imx636EventRateControl>(controller));
        addTool(EVENT_TRAIL_FILTER, std::make_shared<Imx636EventTrailFilter>(controller));
        addTool(ROI, std::make_shared<Imx636ROI>(controller));
        addTool(SYNC, std::make_shared<Imx636Sync>(controller));
    }

    inited_ = true;
    return 0;
}

}  // namespace zelvan
