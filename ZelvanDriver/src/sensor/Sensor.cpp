#include "sensor/Sensor.h"

namespace zelvan {

std::optional<RawBuffer> Sensor::getNextBuffer() {
    if (!event_stream_) return std::nullopt;
    if (event_stream_->waitNextBuffer() <= 0) return std::nullopt;
    return event_stream_->getLatestBuffer();
}

}  // namespace zelvan
