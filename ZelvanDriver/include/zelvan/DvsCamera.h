// The public face of an event camera.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/CameraDescription.h"
#include "zelvan/CameraTool.h"
#include "zelvan/Types.h"

namespace zelvan {

class DvsCameraManager;

// Why a configuration file could not be saved or applied (DvsCamera::lastConfigError()).
enum class ConfigError : uint8_t {
    None,
    CannotOpen,        // the file to load cannot be opened: missing, unreadable
    NotJson,           // the file is not JSON text
    NotConfiguration,  // JSON, but not one object whose members are objects of parameters
    UnknownTool,       // skipped: a tool name the camera lacks (the load still succeeds)
    UnsupportedValue,  // skipped: a value of a JSON type that no parameter takes (null, array, object)
    UnknownParameter,  // refused: a parameter name that its tool lacks
    WrongType,         // refused: a value of another kind than its parameter (a string for a bool)
    ValueRefused,      // refused by the tool: out of range, not one of the options, or not applied
    ToolFailed,        // setting a parameter threw; the load stopped there
    CannotWrite,       // the file to save cannot be created or written
    CannotRead,        // a value to save cannot be read from the camera (it went away): nothing saved
};

// A short text for messages: "the file is not JSON".
const char* configErrorText(ConfigError error);

// An event camera, handed out as std::shared_ptr by the camera manager.
//
// Streaming: register callbacks, then start(). Decoded events reach event callbacks as spans
// (first, last) valid only during the call, on the camera's own thread, in stream order; callbacks
// run with the registry lock of their kind held, so they must not add or remove callbacks of that
// kind. Alternatively set a batch size (count or time) and take batches with getNextBatch().
// Operations that act return 0 on success and -1 on failure; use before the camera is opened throws
// std::runtime_error "Camera is not inited".
class DvsCamera {
public:
    using EventsCallback = std::function<void(Event2D* first, Event2D* last)>;
    using TriggerCallback = std::function<void(EventTriggerIn)>;
    using StatisticsCallback = std::function<void(ZvStatisticInfo)>;

    explicit DvsCamera(CameraDescription description) : description_(std::move(description)) {}
    DvsCamera(const DvsCamera& other);
    DvsCamera(DvsCamera&& other) noexcept;
    DvsCamera& operator=(const DvsCamera& other);
    DvsCamera& operator=(DvsCamera&& other) noexcept;
    virtual ~DvsCamera() = default;

    virtual bool isConnected() const = 0;
    // Ids count from 0 per kind and are never reused.
    virtual uint32_t addEventsStreamHandleCallback(EventsCallback callback) = 0;
    virtual bool removeEventsStreamHandleCallback(uint32_t id) = 0;
    virtual uint32_t addTriggerInCallback(TriggerCallback callback) = 0;
    virtual bool removeTriggerInCallback(uint32_t id) = 0;
    // Waits for the next batch that completes and swaps it into `out` (true); the previous contents
    // of `out` are kept as storage for later batches. Batches completed while nobody waits are
    // replaced by later ones (counted in getStreamCounters()). False, with `out` empty, at once when
    // no batch size is set or the camera is not streaming (before start(), after stop(), after the
    // device was lost), and as soon as streaming ends or the camera is being destroyed while waiting.
    // Refused (false at once, logged) inside the event and trigger callbacks, whose thread completes
    // the batches.
    virtual bool getNextBatch(std::vector<Event2D>& out) = 0;
    // The same, giving up after `timeout` (false, `out` empty).
    virtual bool getNextBatch(std::vector<Event2D>& out, std::chrono::milliseconds /*timeout*/) {
        out.clear();
        return false;
    }
    virtual void setBatchEventsNum(uint64_t events) = 0;
    virtual void setBatchEventsTime(uint64_t microseconds) = 0;
    // Brings the sensor up and starts streaming: 0, or -1 when the sensor does not start (a device
    // that is gone, a register write that fails). 0 when already streaming.
    virtual int start() = 0;
    // Ends streaming: 0, or -1 when ending failed. Safe from any thread, including the camera's own
    // callbacks (events, triggers, statistics): there it ends streaming at once and returns 0, and
    // the camera's threads, which end by themselves, are joined by the next start(), stop() or the
    // destructor. Releasing the last reference to the camera inside one of its callbacks is safe as
    // well: once that release returns, no further callback runs on the releasing thread (one already
    // running on the camera's other thread may finish), and the camera is destroyed on another thread
    // after the callback returns.
    virtual int stop() = 0;
    // Starts recording the raw stream into `path`: 0, or -1 when the file cannot be created, a
    // recording already runs or the previous cached recording is still being merged
    // (lastRecordingError() gives the reason).
    [[nodiscard]] virtual int startRecording(std::string path) = 0;
    // Keeps the last `seconds` of data in cache files whose paths begin with `prefix`, so that a
    // recording started later also holds them; 0 switches the cache off.
    virtual void setFileCacheTime(uint16_t /*seconds*/, std::string /*prefix*/) {}
    // Ends the recording: 0 when the file holds everything the camera delivered while recording;
    // -1 when data were lost (a write error such as a full disk, buffers dropped because the disk
    // did not keep up) or the previous cached recording is still being merged.
    // getRecordingStatus() tells what happened and how many bytes were written. With the
    // pre-recording cache on, the file is assembled in the background: 0 then says that nothing was
    // lost up to the stop, and getRecordingStatus() after waitForRecordingMerged() gives the outcome.
    // lastRecordingError() gives the reason of a -1.
    virtual int stopRecording() = 0;
    virtual uint16_t getWidth() const = 0;
    virtual uint16_t getHeight() const = 0;
    // Called about once per second while streaming, on the camera's statistics thread.
    virtual void setStatisticInfoCallback(StatisticsCallback /*callback*/) {}
    virtual bool updateCameraFirmware(std::string /*path*/, uint32_t /*value*/) { return false; }

    // State.
    // True between a successful start() and stop() (or the loss of the device).
    virtual bool isStreaming() const { return false; }
    // True while a recording takes data.
    virtual bool isRecording() const { return false; }
    // The latest recording: its file, whether it runs or is being merged, its first failure (as text
    // and as `reason`), the bytes written and dropped.
    virtual ZvRecordingStatus getRecordingStatus() const { return {}; }
    // Why the latest startRecording() or stopRecording() returned -1; None after one that returned 0
    // (and before the first). A refused start (AlreadyRecording, MergeRunning) leaves the status of
    // the recording that runs as it is. Safe from any thread.
    virtual RecorderError lastRecordingError() const { return RecorderError::None; }
    // Waits until a cached recording has been merged into its file; true when no merge runs (any
    // more), false when `timeout` passed first.
    virtual bool waitForRecordingMerged(std::chrono::milliseconds /*timeout*/) { return true; }
    // Data lost between the device and the consumers since the camera was opened.
    virtual ZvStreamCounters getStreamCounters() const { return {}; }

    CameraDescription getDescription() const { return description_; }

    // Tools. The table is filled when the camera is opened and only read afterwards.
    // The tool under `type`; logs "Tool not found" and returns an empty pointer when there is none.
    std::shared_ptr<CameraTool> getTool(ToolType type) const;
    // The first tool (in ToolType order) whose name is exactly `name`; empty pointer when none.
    std::shared_ptr<CameraTool> getTool(const std::string& name) const;
    // The tool's ToolInfo; logs and throws std::runtime_error "Tool not found" when there is none.
    ToolInfo getToolInfo(ToolType type) const;
    // The ToolInfo of every tool in ToolType order.
    std::vector<ToolInfo> getAllToolsInfo() const;

    // Configuration files: one JSON object, tool name -> parameter name -> value (sorted keys,
    // four-space indentation). Export writes every int, float, bool and enum parameter; true when
    // the file was written.
    [[nodiscard]] bool exportCameraConfigParams(std::string path);
    // Applies a configuration file parameter by parameter; unknown tools and values of unsupported
    // types are skipped with a warning. A value that its tool refuses (out of range, of another kind,
    // an unknown parameter name) is logged as a warning "Value refused: tool.parameter = value" and the
    // remaining values are still applied; the result is then false. False (and nothing applied) for a
    // file that cannot be read or is not such an object; false when setting a parameter throws (values
    // set before stay set). True only when every value of a supported type was set.
    [[nodiscard]] bool loadCameraConfigParams(std::string path);
    // Why the latest exportCameraConfigParams() or loadCameraConfigParams() on this camera returned
    // false; None before the first and after a success, except that a load that returned true but
    // skipped part of the file gives UnknownTool or UnsupportedValue. When one load meets several
    // problems, one that stopped it outranks a refused value, which outranks a skipped entry; of equal
    // rank the first one met is kept. Safe from any thread; with loads or exports running at once it
    // describes the one that finished last.
    ConfigError lastConfigError() const { return last_config_error_.load(); }

protected:
    // Adds a tool under `type` when that key is free; false (nothing changed) otherwise.
    bool addTool(ToolType type, std::shared_ptr<CameraTool> tool);

private:
    friend class DvsCameraManager;
    virtual int init() = 0;

    // Keeps `reason` for lastConfigError() and writes `error_line` to the log (level 4) when it is
    // not empty; returns whether the load or export succeeded (None, or only skipped entries).
    bool configOutcome(ConfigError reason, const std::string& error_line = {});

    CameraDescription description_;
    std::map<ToolType, std::shared_ptr<CameraTool>> tools_;
    std::atomic<ConfigError> last_config_error_{ConfigError::None};
};

}  // namespace zelvan
