#include "sensor/EventSensors.h"

#include <chrono>
#include <limits>
#include <thread>

#include "sensor/tables/RegisterTables.h"
#include "zelvan/Interface.h"
#include "zelvan/Logger.h"

namespace zelvan {

namespace sensor_timing {

void waitNanoseconds(int64_t ns) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
    const Clock::time_point deadline =
        Clock::time_point::max() - now < step ? Clock::time_point::max() : now + step;
    while (Clock::now() < deadline) std::this_thread::sleep_until(deadline);
}

}  // namespace sensor_timing

namespace {

constexpr uint32_t kEventBufferBytes = 131072;
constexpr uint32_t kEventTransfers = 2;

// Filled buffers waiting for the camera loop (Imx6x6Sensor::kEventQueueDepth): 128 are 16 MiB, about
// 140 ms of a 50 Mev/s stream, so that the loop may lose its core for a few scheduler periods (or
// fault in its batches at the start of a stream) without the camera dropping data. At low rates
// buffers go out partly filled, so the queue then spans more time (up to 128 x 5 ms). The transfer
// makes its buffers when the camera opens.
std::unique_ptr<EventStream> makeEventStream(const std::shared_ptr<Interface>& interface, uint32_t depth) {
    return std::make_unique<EventStream>(
        createDataTransferUniquePtr(interface, kEventTransfers, kEventBufferBytes, depth, kEventEndpoint));
}

void wait1ms() { sensor_timing::waitNanoseconds(1'000'000); }
void wait100us() { sensor_timing::waitNanoseconds(100'000); }

// Temperature sensing bring-up, the same on both event sensors.
void bringUpTemperatureSensing(const Sensor::WriteFieldFn& write_field) {
    write_field("adc_control", "adc_en", 1);
    write_field("adc_control", "adc_clk_en", 1);
    write_field("adc_misc_ctrl", "adc_buf_cal_en", 1);
    wait100us();
    write_field("temp_ctrl", "temp_buf_en", 1);
    write_field("temp_ctrl", "temp_buf_cal_en", 1);
    wait100us();
    write_field("adc_control", "adc_clk_en", 0);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// IMX636 family

bool Imx6x6Sensor::canWriteFields() const {
    if (write_field_) return true;
    ZV_LOG(LOG_ERROR, "Imx6x6Sensor init failed! No write register callback provided!");
    return false;
}

int Imx6x6Sensor::init(std::shared_ptr<Interface> interface) {
    event_stream_ = makeEventStream(interface, event_queue_depth_);
    if (!apply_sequence_) {
        ZV_LOG(LOG_ERROR, "Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    if (apply_sequence_(imx636StandbySequence()) != 0 || apply_sequence_(imx636PowerUpSequence()) != 0 ||
        apply_sequence_(imx636ConfigurationSequence()) != 0) {
        ZV_LOG(LOG_ERROR, "Imx6x6Sensor init failed! The bring-up sequences were not applied.");
        return -1;
    }
    temperatureBringUp();
    iphMirror(true);
    wait1ms();
    lifo(true, true, true);
    timeBase(false, true);
    initialised_ = true;
    ZV_LOG(LOG_INFO, "Imx6x6Sensor init success!");
    return 0;
}

int Imx6x6Sensor::start() {
    if (!initialised_) {
        ZV_LOG(LOG_ERROR, "Please initialize the Imx6x6Sensor first!");
        return -1;
    }
    event_stream_->start();
    if (!apply_sequence_) {
        ZV_LOG(LOG_ERROR, "Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    if (apply_sequence_(imx636StartSequence()) != 0) {
        ZV_LOG(LOG_ERROR, "Imx6x6Sensor start failed: the start sequence was not applied.");
        event_stream_->stop();
        return -1;
    }
    return 0;
}

int Imx6x6Sensor::stop() {
    if (!apply_sequence_) {
        ZV_LOG(LOG_ERROR, "Imx6x6Sensor init failed! No sequence callback provided!");
        return -1;
    }
    const int result = apply_sequence_(imx636StandbySequence());
    if (event_stream_) event_stream_->stop();
    return result == 0 ? 0 : -1;
}

void Imx6x6Sensor::temperatureBringUp() {
    if (!canWriteFields()) return;
    bringUpTemperatureSensing(write_field_);
}

void Imx6x6Sensor::iphMirror(bool on) {
    if (!canWriteFields()) return;
    write_field_("iph_mirr_ctrl", "iph_mirr_en", on ? 1 : 0);
    write_field_("iph_mirr_ctrl", "iph_mirr_amp_en", on ? 1 : 0);
}

void Imx6x6Sensor::lifo(bool enable, bool output, bool counter) {
    if (!canWriteFields()) return;
    if (enable && output) {
        write_field_("lifo_ctrl", "lifo_en", 1);
        wait1ms();
        write_field_("lifo_ctrl", "lifo_out_en", 1);
        wait1ms();
    } else if (enable) {
        write_field_("lifo_ctrl", "lifo_en", 1);
    } else {
        // Output without the LIFO itself is not a working state: both go off.
        write_field_("lifo_ctrl", "lifo_en", 0);
        write_field_("lifo_ctrl", "lifo_out_en", 0);
    }
    write_field_("lifo_ctrl", "lifo_cnt_en", counter ? 1 : 0);
}

void Imx6x6Sensor::timeBase(bool external, bool master) {
    if (!canWriteFields()) return;
    write_field_("ro/time_base_ctrl", "time_base_mode", external ? 1 : 0);
    write_field_("ro/time_base_ctrl", "external_mode", master ? 1 : 0);
    write_field_("ro/time_base_ctrl", "external_mode_enable", external ? 1 : 0);
    write_field_("ro/time_base_ctrl", "Reserved_10_4", 100);
    if (external) write_field_("dig_pad2_ctrl", "pad_sync", master ? 0xC : 0xF);
}

// ---------------------------------------------------------------------------------------------------------
// GenX320

bool Genx320Sensor::canWriteFields() const {
    if (write_field_) return true;
    ZV_LOG(LOG_ERROR, "Genx320Sensor init failed! No write register callback provided!");
    return false;
}

int Genx320Sensor::init(std::shared_ptr<Interface> interface) {
    event_stream_ = makeEventStream(interface, Imx6x6Sensor::kEventQueueDepth);
    if (!apply_sequence_) {
        ZV_LOG(LOG_ERROR, "Genx320Sensor init failed! No sequence callback provided!");
        return -1;
    }
    if (apply_sequence_(genx320StandbySequence()) != 0 ||
        apply_sequence_(genx320ConfigurationSequence()) != 0) {
        ZV_LOG(LOG_ERROR, "Genx320Sensor init failed! The bring-up sequences were not applied.");
        return -1;
    }
    temperatureBringUp();
    iphMirror(true);
    wait1ms();
    lifo(true);
    timeBase(false, true);
    initialised_ = true;
    ZV_LOG(LOG_INFO, "Genx320Sensor init success!");
    return 0;
}

int Genx320Sensor::start() {
    if (!initialised_) {
        ZV_LOG(LOG_ERROR, "Please initialize the Genx320Sensor first!");
        return -1;
    }
    event_stream_->start();
    if (!apply_sequence_) {
        ZV_LOG(LOG_ERROR, "Genx320Sensor init failed! No sequence callback provided!");
        return -1;
    }
    return 0;
}

int Genx320Sensor::stop() {
    if (!apply_sequence_) {
        ZV_LOG(LOG_ERROR, "Genx320Sensor init failed! No sequence callback provided!");
        return -1;
    }
    if (event_stream_) event_stream_->stop();
    return 0;
}

void Genx320Sensor::temperatureBringUp() {
    if (!canWriteFields()) return;
    bringUpTemperatureSensing(write_field_);
}

void Genx320Sensor::iphMirror(bool on) {
    if (!canWriteFields()) return;
    write_field_("iph_mirr_ctrl", "iph_mirr_en", on ? 1 : 0);
}

void Genx320Sensor::lifo(bool enable) {
    if (!canWriteFields()) return;
    write_field_("lifo_ctrl", "lifo_en", enable ? 1 : 0);
}

void Genx320Sensor::timeBase(bool external, bool master) {
    if (!canWriteFields()) return;
    write_field_("ro/time_base_ctrl", "time_base_mode", external ? 1 : 0);
    write_field_("ro/time_base_ctrl", "external_mode", master ? 1 : 0);
    write_field_("ro/time_base_ctrl", "external_mode_enable", external ? 1 : 0);
    write_field_("ro/time_base_ctrl", "us_counter_max", 100);
    write_field_("ro/time_base_ctrl", "th_every_64us_en", 1);
    if (external) write_field_("dig_pad2_ctrl", "pad_sync", master ? 0xC : 0xF);
}

// ---------------------------------------------------------------------------------------------------------
// IMX415 frame sensor

int Imx415Sensor::init(std::shared_ptr<Interface> interface) {
    const auto frame_bytes = static_cast<uint32_t>(int64_t(width_) * height_ * 3 / 2);
    event_stream_ = std::make_unique<EventStream>(
        createDataTransferUniquePtr(interface, 2, frame_bytes, 1, kFrameEndpoint));
    initialised_ = true;
    write_register_("aps_ctrl", 0);
    ZV_LOG(LOG_INFO, "Imx415Sensor init success!");
    return 0;
}

int Imx415Sensor::start() {
    if (!initialised_) {
        ZV_LOG(LOG_ERROR, "Please initialize the Imx415Sensor first!");
        return -1;
    }
    event_stream_->start();
    write_register_("aps_ctrl", 1);
    return 0;
}

int Imx415Sensor::stop() {
    if (!initialised_) return 0;
    event_stream_->stop();
    write_register_("aps_ctrl", 0);
    return 0;
}

}  // namespace zelvan
