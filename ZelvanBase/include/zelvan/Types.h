// Value types shared by every layer: events, triggers, statistics, recording metadata
// and the enumerations that name cameras, streams, transports and tools.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zelvan {

// One change-detection event.
struct Event2D {
    uint16_t x = 0;          // pixel column
    uint16_t y = 0;          // pixel row
    uint8_t polarity = 0;    // 1 = ON (brightness increase), 0 = OFF
    uint64_t timestamp = 0;  // microseconds on the camera's time base

    Event2D() = default;
    Event2D(uint16_t x_, uint16_t y_, uint8_t polarity_, uint64_t timestamp_)
        : x(x_), y(y_), polarity(polarity_), timestamp(timestamp_) {}

    bool operator==(const Event2D&) const = default;
};
static_assert(sizeof(Event2D) == 16, "Event2D is expected to pack into 16 bytes");

// One edge on an external trigger input.
struct EventTriggerIn {
    int16_t polarity = 0;    // 1 = rising edge, 0 = falling edge
    uint64_t timestamp = 0;  // microseconds, same time base as events
    int16_t id = 0;          // trigger input channel

    EventTriggerIn() = default;
    // Note the argument order: channel first, then edge, then time.
    EventTriggerIn(int16_t id_, int16_t polarity_, uint64_t timestamp_)
        : polarity(polarity_), timestamp(timestamp_), id(id_) {}

    bool operator==(const EventTriggerIn&) const = default;
};

// One statistics sample, delivered once per second by a running camera.
struct ZvStatisticInfo {
    uint64_t dataRate = 0;   // bytes per second of the raw stream
    uint64_t eventRate = 0;  // decoded events per second

    ZvStatisticInfo() = default;
    ZvStatisticInfo(uint64_t dataRate_, uint64_t eventRate_) : dataRate(dataRate_), eventRate(eventRate_) {}

    bool operator==(const ZvStatisticInfo&) const = default;
};

// Data a camera lost on its way from the device to its consumers, counted since it was opened.
struct ZvStreamCounters {
    uint64_t lostBuffers = 0;           // raw buffers dropped because the camera loop fell behind
    uint64_t replacedBatches = 0;       // batches completed and replaced before a consumer took them
    uint64_t recorderDroppedBytes = 0;  // raw bytes the recorder dropped because the disk fell behind

    bool operator==(const ZvStreamCounters&) const = default;
};

// Why a recording failed, or why a start or stop of one was refused.
enum class RecorderError : uint8_t {
    None,
    CannotOpen,        // the recording file cannot be created: a missing folder, no permission
    WriteFailed,       // writing the recording file failed (a full disk); the recording ended there
    BuffersDropped,    // the disk did not keep up with the camera: raw buffers were dropped
    CacheFileDamaged,  // a cache file of the seconds before the start lacks data: it could not be written
    CacheReadFailed,   // a cache file could not be read back while it was merged into the recording
    AlreadyRecording,  // start refused: a recording runs
    MergeRunning,      // start or stop refused: the previous cached recording is still being merged
};

// A short text for messages: "the disk did not keep up".
inline const char* recorderErrorText(RecorderError error) {
    switch (error) {
        case RecorderError::None:
            return "no error";
        case RecorderError::CannotOpen:
            return "the file cannot be created";
        case RecorderError::WriteFailed:
            return "the file cannot be written";
        case RecorderError::BuffersDropped:
            return "the disk did not keep up";
        case RecorderError::CacheFileDamaged:
            return "a cache file lacks data";
        case RecorderError::CacheReadFailed:
            return "a cache file cannot be read";
        case RecorderError::AlreadyRecording:
            return "a recording is already running";
        case RecorderError::MergeRunning:
            return "the previous recording is still being merged";
    }
    return "unknown error";
}

// Where the latest recording of a camera stands.
struct ZvRecordingStatus {
    std::string path;                            // file of the latest recording (empty before the first one)
    bool recording = false;                      // data are being written to it
    bool merging = false;                        // a cached recording is being assembled after its stop
    bool failed = false;                         // the file lacks data it should hold
    std::string error;                           // the first failure, empty when none
    uint64_t bytesWritten = 0;                   // bytes in the file so far, header included
    uint64_t bytesDropped = 0;                   // raw bytes that did not reach the file
    RecorderError reason = RecorderError::None;  // the first failure as a value; None while `failed` is false
    // The bookmark index beside the file (NAME.zvmark.tmp), written when the recording ends so that
    // the first opening need not build it. Its failure leaves the recording itself complete: no index
    // is left then, `indexError` says why, and a reader builds the index as for any other file.
    bool indexWritten = false;
    std::string indexError;
};

// Metadata of one raw event recording (the text header of a .raw file).
struct DvsFileInfo {
    uint64_t dvs_start_timestamp = 0;
    uint64_t reserved1 = 0;
    uint64_t aps_start_timestamp = 0;
    uint64_t reserved2 = 0;
    uint16_t width = 1280;
    uint16_t height = 720;
    std::string serial_number;
    std::chrono::system_clock::time_point date{};
};

enum STREAM_TYPE : int { DVS = 0, APS = 1, DVS_AND_APS = 2 };

enum CAMERA_TYPE : int { EVK4 = 0, EVK5 = 1, PELMO = 2, TANDRA = 3, ORVIK_320 = 4 };

enum INTERFACE_TYPE : int { USB = 0, ETH = 1 };

enum ToolType : int {
    BIASES = 0,
    TRIGGER_IN = 1,
    SYNC = 2,
    ANTI_FLICKER = 3,
    EVENT_TRAIL_FILTER = 4,
    EVENT_RATE_CONTROL = 5,
    ROI = 6,
    APS_CTRL = 7,
};

// Name of a tool as it appears in configuration files and in the tool's ToolInfo.
inline const char* toolTypeName(ToolType type) {
    switch (type) {
        case BIASES:
            return "Biases";
        case TRIGGER_IN:
            return "TriggerIn";
        case SYNC:
            return "Sync";
        case ANTI_FLICKER:
            return "AntiFlicker";
        case EVENT_TRAIL_FILTER:
            return "EventTrailFilter";
        case EVENT_RATE_CONTROL:
            return "EventRateControl";
        case ROI:
            return "ROI";
        case APS_CTRL:
            return "ApsCtrl";
    }
    return "";
}

// Type code of a tool parameter.
enum ParameterType : int { PARAM_INT = 0, PARAM_FLOAT = 1, PARAM_BOOL = 2, PARAM_STRING = 3, PARAM_ENUM = 4 };

}  // namespace zelvan
