#include "sensor/ReadoutSensor.h"

#include "zelvan/Interface.h"
#include "zelvan/Logger.h"

namespace zelvan {

int ReadoutSensor::init(std::shared_ptr<Interface> interface) {
    auto transfer = createDataTransferUniquePtr(interface, 2, 131072, 20, kEventEndpoint);
    if (!transfer) {
        ZV_LOG(LOG_ERROR, "ReadoutSensor init failed! No data transfer.");
        return -1;
    }
    event_stream_ = std::make_unique<EventStream>(std::move(transfer));
    interface_ = std::move(interface);
    initialised_ = true;
    return 0;
}

int ReadoutSensor::start() {
    if (!initialised_) {
        ZV_LOG(LOG_ERROR, "Please initialize the ReadoutSensor first!");
        return -1;
    }
    event_stream_->start();
    return interface_->writeRegister(kReadoutControl, 0) == 0 ? 0 : -1;
}

int ReadoutSensor::stop() {
    if (!initialised_) return 0;
    const int result = interface_->writeRegister(kReadoutControl, 2);
    event_stream_->stop();
    return result == 0 ? 0 : -1;
}

}  // namespace zelvan
