// The public face of an event camera.
#pragma once

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
    DvsCamera(const DvsCamera&) = default;
    DvsCamera(DvsCamera&&) = default;
    DvsCamera& operator=(const DvsCamera&) = default;
    DvsCamera& operator=(DvsCamera&&) = default;
    virtual ~DvsCamera() = default;

    virtual bool isConnected() const = 0;
    // Ids count from 0 per kind and are never reused.
    virtual uint32_t addEventsStreamHandleCallback(EventsCallback callback) = 0;
    virtual bool removeEventsStreamHandleCallback(uint32_t id) = 0;
    virtual uint32_t addTriggerInCallback(TriggerCallback callback) = 0;
    virtual bool removeTriggerInCallback(uint32_t id) = 0;
    // Blocks until the next batch completes (or stop() wakes it) and swaps it into `out`; the
    // previous contents of `out` are kept as storage for later batches. False at once when no batch
    // size is set.
    virtual bool getNextBatch(std::vector<Event2D>& out) = 0;
    virtual void setBatchEventsNum(uint64_t events) = 0;
    virtual void setBatchEventsTime(uint64_t microseconds) = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual int startRecording(std::string path) = 0;
    // Keeps the last `seconds` of data in cache files whose paths begin with `prefix`, so that a
    // recording started later also holds them; 0 switches the cache off.
    virtual void setFileCacheTime(uint16_t /*seconds*/, std::string /*prefix*/) {}
    virtual int stopRecording() = 0;
    virtual uint16_t getWidth() const = 0;
    virtual uint16_t getHeight() const = 0;
    // Called about once per second while streaming, on the camera's statistics thread.
    virtual void setStatisticInfoCallback(StatisticsCallback /*callback*/) {}
    virtual bool updateCameraFirmware(std::string /*path*/, uint32_t /*value*/) { return false; }

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
    bool exportCameraConfigParams(std::string path);
    // Applies a configuration file parameter by parameter; unknown tools and values of unsupported
    // types are skipped with a warning. False (and nothing applied) for a file that cannot be read or
    // is not such an object; false when setting a parameter throws.
    bool loadCameraConfigParams(std::string path);

protected:
    // Adds a tool under `type` when that key is free; false (nothing changed) otherwise.
    bool addTool(ToolType type, std::shared_ptr<CameraTool> tool);

private:
    friend class DvsCameraManager;
    virtual int init() = 0;

    CameraDescription description_;
    std::map<ToolType, std::shared_ptr<CameraTool>> tools_;
};

}  // namespace zelvan
