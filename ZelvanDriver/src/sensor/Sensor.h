// The sensor object of a camera: brings the sensor up and owns the stream its raw data comes through.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zelvan/EventStream.h"

namespace zelvan {

class Interface;
struct RegisterOperation;

class Sensor {
public:
    using WriteRegisterFn = std::function<void(const std::string& reg, uint32_t value)>;
    using WriteFieldFn =
        std::function<void(const std::string& reg, const std::string& field, uint32_t value)>;
    // Returns 0 when every operation of the sequence succeeded.
    using ApplySequenceFn = std::function<int(const std::vector<RegisterOperation>& sequence)>;

    Sensor() = default;
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;
    // Sensors are owned through their concrete type or a unique_ptr<Sensor> with this base's
    // deleter; concrete sensors hold no state that needs their own destructor.
    virtual ~Sensor() = default;

    // Create the data transfer and event stream over `interface` and bring the sensor up.
    virtual int init(std::shared_ptr<Interface> interface) = 0;
    // Start the event stream and the sensor's output.
    virtual int start() = 0;
    // Stop the sensor's output and the event stream.
    virtual int stop() = 0;

    void setWriteRegisterCallback(WriteRegisterFn fn) { write_register_ = std::move(fn); }
    void setWriteRegisterFieldCallback(WriteFieldFn fn) { write_field_ = std::move(fn); }
    void setApplyRegisterOperationSequenceCallback(ApplySequenceFn fn) { apply_sequence_ = std::move(fn); }

    // The next raw buffer of the stream, or nothing when the stream's bounded wait found none.
    std::optional<RawBuffer> getNextBuffer();

    bool isInitialised() const { return initialised_; }
    EventStream* eventStream() const { return event_stream_.get(); }

protected:
    std::unique_ptr<EventStream> event_stream_;
    WriteRegisterFn write_register_;
    WriteFieldFn write_field_;
    ApplySequenceFn apply_sequence_;
    bool initialised_ = false;
};

}  // namespace zelvan
