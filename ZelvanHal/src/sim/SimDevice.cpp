#include "zelvan/sim/SimDevice.h"

#include <algorithm>

#include "EncodedReplay.h"
#include "FusionBoard.h"
#include "RegisterEffects.h"
#include "Scenes.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/Logger.h"

namespace zelvan::sim {

namespace {
constexpr uint32_t kReadoutStandby = 2;
constexpr size_t kBlockWords = Interface::kDataBlockBytes / 4;
constexpr uint16_t kMaxSide = 2048;  // EVT 3.0 coordinates are 11-bit

uint16_t clampSide(uint16_t side) { return std::clamp<uint16_t>(side, 1, kMaxSide); }

std::vector<uint8_t> textBlock(const std::string& text) {
    std::vector<uint8_t> block(Interface::kDataBlockBytes, 0);
    std::copy_n(text.begin(), std::min(text.size(), block.size() - 1), block.begin());
    return block;
}
}  // namespace

struct SimDevice::Impl {
    Impl(const SimDeviceConfig& config)
        : effects(clampSide(config.width), clampSide(config.height), sensorFamilyOf(config.description)),
          encoder(clampSide(config.width)),
          schedule(config.frame_rate) {}

    // One production step at a time; register writes and unplugging wait for the step in progress,
    // so that once they return the next step already sees their effect.
    std::mutex produce_mutex;
    std::unique_ptr<Scene> scene;
    EncodedReplaySource* encoded = nullptr;  // the scene, when it replays encoded words
    std::string scene_error;                 // written once in the constructor
    RegisterEffects effects;
    EVT3Encoder encoder;
    bool encoder_started = false;
    uint64_t encoded_time = 0;  // time of the last word written
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    FrameSchedule schedule;  // the frame sensor of a fusion camera

    void triggerEdges(uint64_t period, uint64_t t_begin, uint64_t t_end) {
        period = std::max<uint64_t>(period, 2);
        const uint64_t half = period / 2;
        for (uint64_t rise = t_begin / period * period; rise < t_end; rise += period) {
            if (rise >= t_begin) triggers.emplace_back(0, 1, rise);
            const uint64_t fall = rise + half;
            if (fall >= t_begin && fall < t_end) triggers.emplace_back(0, 0, fall);
        }
    }
};

SimDevice::SimDevice(SimDeviceConfig config)
    : config_(std::move(config)), clock_(config_.start_time_us), impl_(std::make_unique<Impl>(config_)) {
    description_ = config_.description;
    calibration_ = config_.calibration;
    registers_[reg::kReadoutControl] = kReadoutStandby;
    if (isFusion()) {
        control_data_[reg::kBoardFirmwareVersion] = textBlock(description_.firmwareVersion);
        control_data_[reg::kBoardSerialNumber] = textBlock(description_.serial);
    }
    impl_->scene = makeScene(config_, impl_->scene_error);
    impl_->encoded = dynamic_cast<EncodedReplaySource*>(impl_->scene.get());
    if (!impl_->scene) {
        ZV_LOG(LOG_ERROR, "Simulated camera %s: %s", config_.description.serial.c_str(),
               impl_->scene_error.c_str());
    }
}

SimDevice::~SimDevice() = default;

CameraDescription SimDevice::description() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return description_;
}

void SimDevice::setResetValues(const std::map<uint32_t, uint32_t>& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [address, value] : values) registers_.emplace(address, value);
}

uint32_t SimDevice::readRegister(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = registers_.find(address);
    return it == registers_.end() ? 0 : it->second;
}

void SimDevice::writeRegister(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    std::lock_guard<std::mutex> lock(mutex_);
    registers_[address] = value;
    logWrite(address, value);
}

void SimDevice::logWrite(uint32_t address, uint32_t value) {
    if (write_log_.size() >= kWriteLogCapacity)
        write_log_.erase(write_log_.begin(), write_log_.begin() + kWriteLogCapacity / 2);
    write_log_.push_back({address, value});
}

std::vector<RegisterWrite> SimDevice::writeLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_log_;
}

void SimDevice::clearWriteLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    write_log_.clear();
}

std::map<uint32_t, uint32_t> SimDevice::registers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return registers_;
}

void SimDevice::readBlock(uint32_t address, uint8_t* block64) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < kBlockWords; ++i) {
        const auto it = registers_.find(address + static_cast<uint32_t>(i));
        const uint32_t v = it == registers_.end() ? 0 : it->second;
        for (size_t b = 0; b < 4; ++b) block64[i * 4 + b] = static_cast<uint8_t>(v >> (8 * b));
    }
}

void SimDevice::writeBlock(uint32_t address, const uint8_t* block64) {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < kBlockWords; ++i) {
        uint32_t v = 0;
        for (size_t b = 0; b < 4; ++b) v |= static_cast<uint32_t>(block64[i * 4 + b]) << (8 * b);
        registers_[address + static_cast<uint32_t>(i)] = v;
        logWrite(address + static_cast<uint32_t>(i), v);
    }
}

bool SimDevice::isFusion() const { return config_.description.product == "Tandra"; }

uint32_t SimDevice::readControlRegister(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = control_registers_.find(address);
    return it == control_registers_.end() ? 0 : it->second;
}

void SimDevice::writeControlRegister(uint32_t address, uint32_t value) {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    bool was_on = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& slot = control_registers_[address];
        was_on = address == reg::kBoardFrameControl && (slot & 1u) != 0;
        slot = value;
    }
    if (address != reg::kBoardFrameControl) return;
    const bool on = (value & 1u) != 0;
    if (on && !was_on) {
        impl_->schedule.start(clock_.load());
    } else if (!on) {
        impl_->schedule.stop();
    }
}

void SimDevice::setControlResetValues(const std::map<uint32_t, uint32_t>& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [address, value] : values) control_registers_.emplace(address, value);
}

void SimDevice::readControlData(uint32_t address, uint8_t* block64) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = control_data_.find(address);
    if (it == control_data_.end()) {
        std::fill_n(block64, Interface::kDataBlockBytes, uint8_t(0));
    } else {
        std::copy(it->second.begin(), it->second.end(), block64);
    }
}

void SimDevice::writeControlData(uint32_t address, const uint8_t* block64) {
    std::lock_guard<std::mutex> lock(mutex_);
    control_data_[address].assign(block64, block64 + Interface::kDataBlockBytes);
}

bool SimDevice::frameSensorRunning() const {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    return connected_.load() && impl_->schedule.running();
}

std::optional<FrameSlot> SimDevice::takeDueFrame() {
    const uint32_t exposure = frameExposureUs();
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    if (!connected_.load()) return std::nullopt;
    return impl_->schedule.takeDue(clock_.load(), exposure);
}

uint64_t SimDevice::nextFrameEnd() const {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    return impl_->schedule.nextEnd();
}

void SimDevice::advanceIdleClock(uint64_t t) {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    if (!connected_.load() || isEmitting()) return;
    if (t > clock_.load()) clock_.store(t);
}

uint32_t SimDevice::frameExposureUs() const { return readControlRegister(reg::kBoardShutter) & 0xFFFFFu; }

void SimDevice::unplug() {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    connected_.store(false);
    ZV_LOG(LOG_INFO, "Simulated camera %s unplugged", config_.description.serial.c_str());
}

void SimDevice::plug() {
    connected_.store(true);
    ZV_LOG(LOG_INFO, "Simulated camera %s plugged in", config_.description.serial.c_str());
}

void SimDevice::setEthernetStreamEnabled(bool enabled) {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    eth_stream_.store(enabled);
}

void SimDevice::setIpConfig(const std::string& ip, const std::string& mask, const std::string& gateway) {
    std::lock_guard<std::mutex> lock(mutex_);
    description_.cameraIp = ip;
    description_.subnetMask = mask;
    description_.gateway = gateway;
}

std::vector<uint8_t> SimDevice::calibration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calibration_;
}

void SimDevice::setCalibration(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    calibration_ = std::move(bytes);
}

void SimDevice::recordControlFrame(const CtrlFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    control_frames_.push_back(frame);
}

std::vector<CtrlFrame> SimDevice::controlFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return control_frames_;
}

std::string SimDevice::sceneError() const { return impl_->scene_error; }

bool SimDevice::isEmitting() const {
    if (!connected_.load()) return false;
    if (config_.description.interfaceType == ETH && !eth_stream_.load()) return false;
    return readRegister(reg::kReadoutControl) == 0;
}

void SimDevice::setObserver(EmittedObserver observer) {
    std::lock_guard<std::mutex> produce_lock(impl_->produce_mutex);
    observer_ = std::move(observer);
}

void SimDevice::produce(uint64_t t_begin, uint64_t t_end, std::vector<uint8_t>& out) {
    Impl& im = *impl_;
    std::lock_guard<std::mutex> produce_lock(im.produce_mutex);
    if (!connected_.load()) return;
    if (config_.description.interfaceType == ETH && !eth_stream_.load()) return;
    EmissionSettings settings;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        settings = im.effects.read(registers_);
    }
    if (!settings.readout_running) return;
    t_begin = std::max(t_begin, clock_.load());
    if (t_end <= t_begin) return;

    const bool adds_triggers =
        settings.trigger_in_enabled && (config_.trigger_period_us > 0 || im.schedule.running());
    if (im.encoded && !adds_triggers && settings.keepsEvents(im.encoded->maxX(), im.encoded->maxY())) {
        produceEncoded(t_begin, t_end, out);
        return;
    }

    im.events.clear();
    im.triggers.clear();
    if (im.scene) im.scene->generate(t_begin, t_end, im.events);
    if (im.encoded) im.triggers = im.encoded->triggers();  // the recording's own
    im.effects.apply(settings, im.events, t_begin, t_end);
    if (settings.trigger_in_enabled && config_.trigger_period_us > 0) {
        im.triggerEdges(config_.trigger_period_us, t_begin, t_end);
    }
    if (settings.trigger_in_enabled && im.schedule.running()) im.schedule.edges(t_begin, t_end, im.triggers);
    const auto by_time = [](const EventTriggerIn& a, const EventTriggerIn& b) {
        return a.timestamp < b.timestamp;
    };
    if (!std::is_sorted(im.triggers.begin(), im.triggers.end(), by_time))
        std::stable_sort(im.triggers.begin(), im.triggers.end(), by_time);

    const size_t bytes_before = out.size();
    // State the full time at the start, and forget the row, so that this output decodes after any
    // earlier output, also when a reader lost what came in between. Skipped 4096 us steps are
    // written out first, so that a reader that lost nothing sees every step (wrap-arounds included).
    if (im.encoder_started && (t_begin >> 12) > (im.encoded_time >> 12) + 1)
        im.encoder.advanceTime(t_begin, out);
    im.encoder.reset();
    im.encoder.advanceTime(t_begin, out);
    im.encoder_started = true;

    // Events and triggers merged by time, a trigger before events of the same time.
    size_t written = 0;
    const Event2D* e = im.events.data();
    const Event2D* const e_end = e + im.events.size();
    for (const EventTriggerIn& trigger : im.triggers) {
        const Event2D* stop = e;
        while (stop < e_end && stop->timestamp < trigger.timestamp) ++stop;
        if (stop != e) {
            written += im.encoder.encode(e, stop, out);
            if (observer_.on_events) observer_.on_events(e, stop);
            e = stop;
        }
        im.encoder.encodeTrigger(trigger, out);
        if (observer_.on_trigger) observer_.on_trigger(trigger);
    }
    if (e != e_end) {
        written += im.encoder.encode(e, e_end, out);
        if (observer_.on_events) observer_.on_events(e, e_end);
    }
    im.encoder.advanceTime(t_end - 1, out);
    im.encoded_time = t_end - 1;
    clock_.store(t_end);
    emitted_events_.fetch_add(written);
    emitted_bytes_.fetch_add(out.size() - bytes_before);
}

// The recording's words as recorded; the caller holds the production lock.
void SimDevice::produceEncoded(uint64_t t_begin, uint64_t t_end, std::vector<uint8_t>& out) {
    Impl& im = *impl_;
    const size_t bytes_before = out.size();
    const auto emitted = im.encoded->emit(
        t_begin, t_end, im.encoder_started ? std::optional<uint64_t>(im.encoded_time) : std::nullopt, out);
    // The encoder takes over from there when the registers next ask for decoded events.
    im.encoded_time = emitted.stated_time;
    im.encoder_started = true;
    im.encoder.resume(emitted.stated_time);
    if (observer_.on_events || observer_.on_trigger)
        im.encoded->decodeEmitted(out.data() + bytes_before, out.data() + out.size(), observer_);
    clock_.store(t_end);
    emitted_events_.fetch_add(emitted.events);
    emitted_bytes_.fetch_add(out.size() - bytes_before);
}

}  // namespace zelvan::sim
