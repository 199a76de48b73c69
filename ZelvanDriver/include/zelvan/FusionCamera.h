// The public face of a fusion camera: an event sensor and a frame sensor behind one USB connection.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zelvan/ApsFrame.h"
#include "zelvan/CalibratorParameters.h"
#include "zelvan/CameraDescription.h"
#include "zelvan/CameraTool.h"
#include "zelvan/DvsCamera.h"
#include "zelvan/Types.h"

namespace zelvan {

class DvsCameraManager;

// A fusion camera, handed out as std::shared_ptr by DvsCameraManager::openFusionCamera.
//
// Streams: DVS (events), APS (frames) or DVS_AND_APS (both, aligned). With both streams running every
// frame is stamped with its exposure window on the event clock, taken from the trigger edges the
// board puts on the event sensor's trigger input, and reaches the frame callbacks (ApsFrame, packed
// BGR 3840 x 2160) and a running frame recording; frames and exposure records are paired strictly in
// arrival order. Event ranges (first, last), valid only during the call, reach the event callbacks on
// the camera's event thread; trigger edges that are sync signals reach the sync-signal callbacks there
// too. Callbacks run with the registry lock of their kind held: a callback must not add or remove
// callbacks of its own kind. Callback ids count from 0 per kind and are never reused.
//
// Recording (startRecording): BASE.raw (events), BASE.mp4 (frames, H.264, presentation time 0 at the
// first recorded frame's exposure end, which the raw file's first header line
// "% aps_start_timestamp N" gives on the event clock) and BASE.json (the calibration, when
// readCalibrationParam succeeded) in one folder.
class FusionCamera {
public:
    using EventsCallback = std::function<void(Event2D* first, Event2D* last)>;
    using FrameCallback = std::function<void(ApsFrame)>;
    using SyncSignalCallback = std::function<void(EventTriggerIn)>;
    using StatisticsCallback = std::function<void(ZvStatisticInfo)>;

    explicit FusionCamera(CameraDescription description) : description_(std::move(description)) {}
    FusionCamera(const FusionCamera& other);
    FusionCamera(FusionCamera&& other) noexcept;
    FusionCamera& operator=(const FusionCamera& other);
    FusionCamera& operator=(FusionCamera&& other) noexcept;
    virtual ~FusionCamera() = default;

    virtual bool isConnected() const = 0;
    virtual unsigned addEventsStreamHandleCallback(EventsCallback callback) = 0;
    // True when a callback with this id was registered (and is now removed).
    virtual bool removeEventsStreamHandleCallback(unsigned id) = 0;
    virtual unsigned addApsFrameCallback(FrameCallback callback) = 0;
    virtual bool removeApsFrameCallback(unsigned id) = 0;
    virtual unsigned addSyncSignalCallback(SyncSignalCallback callback) = 0;
    virtual bool removeSyncSignalCallback(unsigned id) = 0;
    // Waits for the next batch of events that completes after the call and swaps it into `out` (true).
    // False, with `out` empty, at once when no batch size is set or no event stream runs, and as soon
    // as the event stream stops, the device is lost or the camera is being destroyed. Refused (false at
    // once, logged) inside the event and sync-signal callbacks, whose thread completes the batches.
    virtual bool getNextBatch(std::vector<Event2D>& out) = 0;
    // Batches by count of events or by time span (us); 0 is refused (logged).
    virtual void setBatchEventsNum(uint64_t count) = 0;
    virtual void setBatchEventsTime(uint64_t time) = 0;
    // Starts a stream: 0 (also when that stream already runs: "Camera already started."), -1 for a
    // camera that was never opened successfully or whose device is gone, a sensor that did not start
    // (what ran before goes on), a call from the camera's own callbacks, or a callback that stopped
    // streaming meanwhile. Frames are paired with their exposures only while both sensors run since
    // a start of DVS_AND_APS; starting both while one runs restarts that one too (refused, -1, while
    // a recording runs).
    virtual int start(STREAM_TYPE type) = 0;
    // DVS or APS switch that sensor off (pairing ends) and leave the threads running; DVS_AND_APS ends
    // streaming, joins the threads and stops any recording. 0, or -1 when a recording could not be
    // completed. From the camera's own callbacks only DVS_AND_APS is allowed (-1 otherwise); it joins
    // nothing there, the next start(), stop() or the release does.
    virtual int stop(STREAM_TYPE type) = 0;
    // Ends the camera's permanent frame-recording thread (the camera cannot record afterwards).
    virtual int destroy() = 0;
    // Starts recording into folder/name.raw, .mp4 and .json: 0, or -1 ("Do not save again while
    // saving." when one runs, a file that cannot be created).
    virtual int startRecording(std::string folder, std::string name, STREAM_TYPE type) = 0;
    // Ends the recording of `type`: 0 when the files hold everything recorded, -1 when data were lost
    // (a write or encoding error, frames or event bytes dropped because the disk or the encoder fell
    // behind). The reason is logged.
    virtual int stopRecording(STREAM_TYPE type) = 0;
    virtual uint16_t getWidth(STREAM_TYPE type) = 0;
    virtual uint16_t getHeight(STREAM_TYPE type) = 0;
    // Called about once per second while the event stream runs, on the camera's statistics thread.
    virtual void setStatisticInfoCallback(StatisticsCallback /*callback*/) {}
    // Stores the calibration file at `path` in the camera.
    virtual bool writeCalibrationFile(std::string path) = 0;
    // Reads the camera's calibration (and keeps it for the recordings' .json files).
    virtual bool readCalibrationParam(CalibratorParameters& params) = 0;
    virtual bool getFirmwareVersion(std::string& version) = 0;

    // State: whether a stream runs, and whether a recording takes data.
    virtual bool isStreaming() const { return false; }
    virtual bool isRecording() const { return false; }
    // Frames and exposure records left unpaired (dropped from the pairing queues) since the camera
    // was opened.
    virtual uint64_t getUnpairedFrames() const { return 0; }
    virtual uint64_t getUnpairedSyncRecords() const { return 0; }

    CameraDescription getDescription() const { return description_; }

    // Tools. The table is filled when the camera is opened and only read afterwards.
    // The tool under `type`; logs "Tool not found" and returns an empty pointer when there is none.
    std::shared_ptr<CameraTool> getTool(ToolType type) const;
    // The first tool (in ToolType order) whose name is exactly `name`; empty pointer when none.
    std::shared_ptr<CameraTool> getTool(std::string name) const;
    // The tool's ToolInfo; logs and throws std::runtime_error "Tool not found" when there is none.
    ToolInfo getToolInfo(ToolType type) const;
    std::vector<ToolInfo> getAllToolsInfo() const;
    // Configuration files, as DvsCamera's (same format and messages).
    [[nodiscard]] bool exportCameraConfigParams(std::string path);
    [[nodiscard]] bool loadCameraConfigParams(std::string path);
    ConfigError lastConfigError() const { return last_config_error_.load(); }

protected:
    friend class DvsCameraManager;
    // Opens the device: 0 on success, -1 on failure.
    virtual int init() = 0;

    // Adds a tool under `type` when that key is free; false otherwise.
    bool addTool(ToolType type, std::shared_ptr<CameraTool> tool);
    // Empties the table (before a device is opened anew).
    void clearTools() { tools_.clear(); }

private:
    CameraDescription description_;
    std::map<ToolType, std::shared_ptr<CameraTool>> tools_;
    std::atomic<ConfigError> last_config_error_{ConfigError::None};
};

}  // namespace zelvan
