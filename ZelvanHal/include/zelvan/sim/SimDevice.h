// Simulated cameras: real EVT 3.0 byte streams from a synthetic or recorded scene, shaped by a
// register file that sensor bring-up and camera tools write.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "zelvan/CameraDescription.h"
#include "zelvan/Interface.h"
#include "zelvan/Types.h"

namespace zelvan::sim {

enum class SceneKind { Pattern, Noise, Replay };

struct SimDeviceConfig {
    CameraDescription description;
    uint16_t width = 1280;
    uint16_t height = 720;
    SceneKind scene = SceneKind::Pattern;
    std::string replay_path;  // .raw recording looped by SceneKind::Replay
    // SceneKind::Replay loops the recording's EVT 3.0 words as recorded (the first 64 MiB), rewriting
    // only their TIME_HIGH words, instead of decoding its events and encoding them again: nearly no
    // cost per event. While the registers shape events (region of interest, biases, filters, rate
    // control) or add trigger edges, the words are decoded and encoded as usual.
    bool replay_encoded = false;
    uint64_t event_rate = 5'000'000;  // events per second of the scene
    uint64_t trigger_period_us = 0;   // edges on trigger input 0 (rising, then falling half a period
                                      // later); 0 = none
    uint64_t start_time_us = 0;       // device clock when the stream first starts
    bool paced = true;                // false: produce as fast as the consumer takes data
    uint64_t seed = 1;
    std::vector<uint8_t> calibration;  // factory calibration bytes (fusion cameras)
    // Share of the sensor's settling pauses the device needs (Interface::settlingScale): 1 behaves like
    // the hardware (opening an IMX636-family camera then takes about 2.5 s), 0 settles at once.
    double settle_scale = 1.0;
    // A lamp flickering at this frequency (Hz) in a corner of the pattern scene; 0 = none.
    uint32_t flicker_hz = 0;
    // Fusion cameras: frames per second of the frame sensor (kMinFrameRate .. kMaxFrameRate).
    static constexpr uint32_t kMinFrameRate = 1;
    static constexpr uint32_t kMaxFrameRate = 30;
    uint32_t frame_rate = 10;
};

// One frame of a fusion camera's frame sensor, on the device clock (microseconds).
struct FrameSlot {
    uint64_t index = 0;           // frames since the frame sensor was switched on, from 0
    uint64_t rise = 0;            // rising edge on the event sensor's trigger input that signals it
    uint64_t exposure_begin = 0;  // the window from the first row's exposure to the last row's readout
    uint64_t exposure_end = 0;    // the frame shows the scene at this time; the line falls here
    uint64_t skipped = 0;         // frames before this one that were lost because nobody read them
};

// One register write the device received, in the order received.
struct RegisterWrite {
    uint32_t address = 0;
    uint32_t value = 0;
    bool operator==(const RegisterWrite&) const = default;
};

// What a device emitted, for tests and diagnostics.
struct EmittedObserver {
    std::function<void(const Event2D* first, const Event2D* last)> on_events;
    std::function<void(const EventTriggerIn&)> on_trigger;
};

// Registers of the device that decide what it emits. Addresses follow the sensor's register map.
namespace reg {
inline constexpr uint32_t kReadoutControl = 0x9028;  // 0: readout running; reset value 2 (standby)
inline constexpr uint32_t kTriggerIn = 0x7004;       // bit 10: trigger input enabled

// Registers of a fusion camera's board controller, apart from the sensor's registers.
inline constexpr uint32_t kBoardFrameControl = 0x5000;  // bit 0: the frame sensor runs
inline constexpr uint32_t kBoardShutter = 0x5002;       // bits 0..19: exposure time in microseconds
// 64-byte data registers of the board (text, zero-padded).
inline constexpr uint32_t kBoardFirmwareVersion = 0x6000;
inline constexpr uint32_t kBoardSerialNumber = 0x6001;
inline constexpr uint32_t kBoardCameraReset = 0x6002;
}  // namespace reg

class SimDevice {
public:
    explicit SimDevice(SimDeviceConfig config);
    ~SimDevice();

    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    CameraDescription description() const;
    // The configuration the device was created with (its identity as first announced).
    const SimDeviceConfig& config() const { return config_; }
    // A fusion camera (product "Tandra"): an event sensor and a frame sensor behind one board.
    bool isFusion() const;

    // Register file. Unwritten registers read 0, except the device's own reset values.
    uint32_t readRegister(uint32_t address) const;
    // Reset values of the sensor's registers (from its register table): a register that was never
    // written reads its reset value, as on real hardware. Values written before stay.
    void setResetValues(const std::map<uint32_t, uint32_t>& values);
    void writeRegister(uint32_t address, uint32_t value);
    std::map<uint32_t, uint32_t> registers() const;
    // Register writes received (block writes as one write per word), oldest first. The log keeps the
    // latest kWriteLogCapacity writes.
    static constexpr size_t kWriteLogCapacity = 1 << 16;
    std::vector<RegisterWrite> writeLog() const;
    void clearWriteLog();
    void readBlock(uint32_t address, uint8_t* block64) const;
    void writeBlock(uint32_t address, const uint8_t* block64);

    // The board controller of a fusion camera: word registers and 64-byte data registers of its own,
    // apart from the sensor's register file (only fusion cameras have one). Word registers never
    // written read their reset value (setControlResetValues) or 0; data registers never written read
    // zeros, except the firmware version and serial number, which hold the camera's identity.
    // Switching bit 0 of kBoardFrameControl on starts the frame sensor's exposure schedule at the
    // device's current time (FrameSchedule in src/sim/FusionBoard.h), switching it off stops it.
    uint32_t readControlRegister(uint32_t address) const;
    void writeControlRegister(uint32_t address, uint32_t value);
    void setControlResetValues(const std::map<uint32_t, uint32_t>& values);
    void readControlData(uint32_t address, uint8_t* block64) const;
    void writeControlData(uint32_t address, const uint8_t* block64);

    // The frame sensor of a fusion camera. Each exposure puts a rising edge on trigger input 0 of the
    // event sensor, and a falling edge where the frame's readout ends; they reach the event stream
    // while the event sensor's trigger input is enabled. A frame can be taken once the device clock
    // has passed the end of its readout; frames come out in order.
    bool frameSensorRunning() const;
    std::optional<FrameSlot> takeDueFrame();
    // Device time at which the next frame's readout ends (while the frame sensor runs).
    uint64_t nextFrameEnd() const;
    // While the event sensor does not emit, time still passes for the frame sensor: moves the clock
    // forward to `t` (nothing while the event sensor emits; it moves the clock itself).
    void advanceIdleClock(uint64_t t);
    // Exposure time of the frame sensor (kBoardShutter), microseconds.
    uint32_t frameExposureUs() const;

    // Plugging. An unplugged device fails every operation and stops streaming.
    bool isConnected() const { return connected_.load(); }
    void unplug();
    void plug();

    // Ethernet cameras: streaming permission and address configuration.
    void setEthernetStreamEnabled(bool enabled);
    bool ethernetStreamEnabled() const { return eth_stream_.load(); }
    void setIpConfig(const std::string& ip, const std::string& mask, const std::string& gateway);

    // Factory calibration bytes stored in the camera.
    std::vector<uint8_t> calibration() const;
    void setCalibration(std::vector<uint8_t> bytes);

    // Control frames the camera's controller accepted, oldest first.
    void recordControlFrame(const CtrlFrame& frame);
    std::vector<CtrlFrame> controlFrames() const;

    // Empty when the scene is ready; otherwise why it cannot emit events (for example an unreadable
    // replay recording). Such a device still streams time.
    std::string sceneError() const;

    // True while the sensor's readout runs (and, for Ethernet cameras, streaming is allowed).
    bool isEmitting() const;

    // Appends the EVT 3.0 bytes of device time [t_begin, t_end) to `out` and moves the clock to
    // t_end. Does nothing (the clock stays) while the device is not emitting. The bytes start with
    // the full time and the next event restates its row, so every call's output decodes on its own
    // after any earlier output; the decoder's clock reaches t_end - 1 even without events. A replay of
    // encoded words (replay_encoded) hands out stretches of the recording's words once the clock has
    // reached their time, and brings the decoder's clock to less than two TIME_HIGH steps (8192 us)
    // before t_end instead. Time before clock() is skipped. Called by data transfer threads; calls are
    // serialised. The observer runs inside this call and must not call back into the device.
    void produce(uint64_t t_begin, uint64_t t_end, std::vector<uint8_t>& out);

    // Device clock: where the stream continues when it next runs.
    uint64_t clock() const { return clock_.load(); }
    void setClock(uint64_t t) { clock_.store(t); }

    void setObserver(EmittedObserver observer);

    // Totals emitted since creation.
    uint64_t emittedEvents() const { return emitted_events_.load(); }
    uint64_t emittedBytes() const { return emitted_bytes_.load(); }

private:
    void logWrite(uint32_t address, uint32_t value);  // caller holds mutex_
    void produceEncoded(uint64_t t_begin, uint64_t t_end, std::vector<uint8_t>& out);

    struct Impl;
    SimDeviceConfig config_;
    mutable std::mutex mutex_;  // guards the register file, identity, calibration and control frames
    std::map<uint32_t, uint32_t> registers_;
    std::map<uint32_t, uint32_t> control_registers_;
    std::map<uint32_t, std::vector<uint8_t>> control_data_;
    std::atomic<bool> connected_{true};
    std::atomic<bool> eth_stream_{false};
    std::atomic<uint64_t> clock_;
    std::atomic<uint64_t> emitted_events_{0};
    std::atomic<uint64_t> emitted_bytes_{0};
    CameraDescription description_;  // current identity (IP settings change)
    std::vector<uint8_t> calibration_;
    std::vector<CtrlFrame> control_frames_;
    std::vector<RegisterWrite> write_log_;
    EmittedObserver observer_;    // guarded by the production lock in Impl
    std::unique_ptr<Impl> impl_;  // scene, encoder and scratch buffers (producer thread only)
};

// The set of simulated cameras the transports find. Holds a default set (an EVK4, an EVK5, a
// camera of the maker with an IMX636-family sensor, a GenX320 camera, an Ethernet camera and a
// fusion camera) unless the environment variable ZELVAN_SIM_CONFIG names a JSON file describing
// another set; tests replace it programmatically.
class SimulatedCameras {
public:
    static SimulatedCameras& instance();

    std::vector<std::shared_ptr<SimDevice>> devices() const;
    std::shared_ptr<SimDevice> find(const std::string& serial) const;

    // Replaces the whole set.
    void reset(const std::vector<SimDeviceConfig>& configs);
    std::shared_ptr<SimDevice> add(const SimDeviceConfig& config);
    void remove(const std::string& serial);
    void restoreDefault();

    static std::vector<SimDeviceConfig> defaultConfigs();
    // Parses a JSON description of devices; false with `error` set on bad input.
    //   [ {"model": "EVK4" | "EVK5" | "Pelmo" | "Orvik 320" | "Pelmo Ethernet" | "Tandra",
    //      optional: "serial", "event_rate", "scene" ("pattern" | "noise" | "replay"), "replay_file",
    //      "replay_encoded" (true | false; scene "replay" only),
    //      "trigger_period_us", "start_time_us", "paced", "seed", "settle_scale" (0..10), "flicker_hz",
    //      "firmware_version" (text of at most 63 bytes),
    //      Ethernet only: "camera_ip", "local_ip", "subnet_mask", "gateway",
    //      fusion ("Tandra") only: "frame_rate" (frames per second, 1..30; 10 by default)}, ... ]
    // The model gives the identity and defaults; a device without "serial" gets the model's serial
    // with its last two hex digits replaced by its index in the array. Unknown keys are errors.
    static bool parseConfig(const std::string& json_text, std::vector<SimDeviceConfig>& out,
                            std::string& error);
    // The set described by a configuration file; when the file cannot be read or parsed, one error
    // line is logged and the default set is returned.
    static std::vector<SimDeviceConfig> loadConfigFile(const std::string& path);

private:
    SimulatedCameras();
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimDevice>> devices_;
};

}  // namespace zelvan::sim
