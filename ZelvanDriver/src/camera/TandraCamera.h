// The fusion camera of the maker: an IMX636-family event sensor and an IMX415 frame sensor on one USB
// board, whose frames are timed on the event clock by the trigger edges the board puts on the event
// sensor's trigger input.
//
// Threads, all owned and joined by the camera: the event reader (decoding, event and sync-signal
// callbacks, trigger handling, hand-over of raw bytes to the event recording), the frame reader
// (copies each frame into a pooled buffer), the fusion thread (pairs frames with exposure records in
// arrival order, frame callbacks, hand-over to the frame recording) and the statistics thread while
// streaming; the frame-recording thread from init() until destroy(); the event-recording thread while
// events are recorded. stop(DVS_AND_APS) and the release of the camera work from its callbacks: there
// nothing is joined (the next start(), stop() or the destructor joins), so a callback may hold its
// registry's lock meanwhile (made by makeFusionCamera, whose deleter hands a release inside a callback
// to the joiner thread). A stop of one stream from a callback is refused.
//
// Frames are paired with the exposure edges counted since both sensors started together: stopping one
// of them ends the pairing, and starting both while one runs restarts that one too.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "camera/FusionCameraPrivate.h"
#include "zelvan/Decoder.h"
#include "zelvan/Interface.h"
#include "zelvan/Types.h"

namespace zelvan {

namespace detail {
class RecordingIndexer;
}

class DataToVideoConverter;
class RegisterController;
class Sensor;
class CameraTool;
class Imx6x6Sensor;
class Imx415Sensor;

class TandraCamera : public FusionCameraPrivate {
public:
    static std::string getManufacturer() { return "Zelvan"; }
    static std::string getProductName() { return "Tandra"; }
    static constexpr uint16_t vendorId = 0x2207;
    static constexpr uint16_t productId = 0x0006;
    static constexpr INTERFACE_TYPE interfaceType = USB;

    // One NV12 frame of the frame sensor, and the pool of frame buffers.
    static constexpr size_t kFrameBytes = size_t(3840) * 2160 * 3 / 2;
    static constexpr size_t kFramePoolCount = 10;
    // Raw event bytes are written in chunks of at most this size (1280 x 720 x 10).
    static constexpr size_t kEventChunkBytes = size_t(1280) * 720 * 10;
    static constexpr size_t kEventPoolCount = 64;
    // Recording backlog beyond which data are dropped (counted, logged, and the recording fails).
    static constexpr size_t kMaxQueuedEventChunks = 8;
    static constexpr size_t kMaxQueuedRecordFrames = 8;
    // How long an event recording of both streams waits for its first frame: kFirstFrameWait by the
    // computer's clock and by the camera's (while events come), at most kFirstFrameWallLimit.
    static constexpr std::chrono::milliseconds kFirstFrameWait{2000};
    static constexpr std::chrono::milliseconds kFirstFrameWallLimit{30000};
    static constexpr std::chrono::milliseconds kFirstFramePoll{20};
    // Exposure window of a frame from its rising edge at ts: [ts - exposure - 200, that + exposure + 25920].
    static constexpr uint64_t kEdgeAfterExposureUs = 200;
    static constexpr uint64_t kReadoutUs = 25920;
    // How long after a loss of event data is noticed its hole is looked for among the edges.
    static constexpr uint64_t kEdgeLossWindowUs = 2'000'000;

    explicit TandraCamera(const CameraDescription& description);
    ~TandraCamera() override;

    bool isConnected() const override;
    unsigned addApsFrameCallback(FrameCallback callback) override;
    bool removeApsFrameCallback(unsigned id) override;
    int start(STREAM_TYPE type) override;
    int stop(STREAM_TYPE type) override;
    int destroy() override;
    int startRecording(std::string folder, std::string name, STREAM_TYPE type) override;
    int stopRecording(STREAM_TYPE type) override;
    uint16_t getWidth(STREAM_TYPE type) override;
    uint16_t getHeight(STREAM_TYPE type) override;
    void setStatisticInfoCallback(StatisticsCallback callback) override;
    bool writeCalibrationFile(std::string path) override;
    bool readCalibrationParam(CalibratorParameters& params) override;
    bool getFirmwareVersion(std::string& version) override;
    bool isStreaming() const override { return running_.load() == 1; }
    bool isRecording() const override { return event_recording_.load() || frame_recording_.load(); }

    // The board's serial number register (64 bytes, text up to the first zero byte).
    // Frames lost on their way to pairing since the camera was opened: lost by the frame data stream
    // (the frame reader fell behind) or dropped from the pairing queues.
    uint64_t lostFrames() const;
    // Buffers the event data stream lost since the camera was opened (its reader fell behind).
    uint64_t lostEventBuffers() const;
    // Frames handed to the frame recording that runs (or ran last).
    uint64_t recordedFrames() const { return recorded_frames_.load(); }

    bool getSerialNumber(std::string& serial);
    // Fewer than 64 characters; written zero-padded to 64 bytes.
    bool setSerialNumber(std::string serial);

    // True on one of the camera's own threads.
    bool onOwnThread() const;
    bool completesBatchesHere() const override;
    // No callback is called any more (the camera was released and is on its way out).
    void closeCallbacks() { callbacks_closed_ = true; }
    // Ends streaming and recording and joins every thread; not from the camera's own threads. The
    // destructor calls it; the deleter calls it first, while the whole object exists.
    void shutdown();

protected:
    int init() override;

    // Trigger handling, on the event reader thread.
    void triggerInArrived(EventTriggerIn trigger);
    // One buffer of the frame sensor: copied into a pooled frame and, while both streams run, queued
    // for pairing. A buffer that is not one frame is refused (logged, false).
    bool frameArrived(const std::vector<uint8_t>& bytes, uint64_t lost_before = 0);
    // Pairs queued frames with queued records; one round of the fusion thread (with the fusion lock
    // held on entry and exit).
    void fuseQueuedLocked(std::unique_lock<std::mutex>& lock);

    // Recording (TandraRecording.cpp).
    int startRecordingDvsStream(const std::string& path);
    int startRecordingApsStream(const std::string& folder, const std::string& name);
    // Raw event bytes (in file byte order) for the event recording; event reader thread.
    void prepareDvsData2Save(const std::vector<uint8_t>& bytes);
    // A paired frame and its exposure end for the frame recording; fusion thread.
    void prepareApsData2Save(const FrameBuffer& frame, uint64_t exposure_end);
    // The exposure end of the first recorded frame (0 until it is known).
    uint64_t frameStartTimestamp();

    std::shared_ptr<UsbInterface> interface_;
    std::shared_ptr<RegisterController> sensor_controller_;
    std::shared_ptr<RegisterController> board_controller_;
    std::unique_ptr<Decoder> decoder_;
    std::unique_ptr<Imx6x6Sensor> event_sensor_;
    std::unique_ptr<Imx415Sensor> frame_sensor_;
    std::shared_ptr<CameraTool> trigger_in_tool_;
    std::shared_ptr<CameraTool> erc_tool_;
    std::shared_ptr<CameraTool> aps_tool_;

    // (Protected rather than private so that the tests' probe can look inside.)
    void eventReaderLoop();
    void frameReaderLoop();
    void fusionLoop();
    void statisticsLoop();
    void frameRecordingLoop();
    void eventRecordingLoop();

    void dvsEnable(bool on);
    // Device settling pauses (scaled like the sensor's register sequences).
    void settle(std::chrono::milliseconds pause) const;
    // Waits until the stream of `sensor` runs or streaming ends; false when it ended.
    bool waitForStream(const Sensor& sensor);
    void wakeStreamWaiters();
    void handleLostConnection();
    // Ends streaming of both types; `own_thread` when called from one of the camera's threads: then
    // no thread is joined. Holds control_mutex_ (the caller's lock).
    int stopBoth(bool own_thread);
    // One sensor off while the other may go on; pairing ends. Hold control_mutex_.
    void stopEventsLocked();
    void stopFramesLocked();
    void endFusingLocked();
    // Notes event buffers the event stream lost; event reader thread.
    void noticeLostEventBuffers();
    // Exposure edges lost with event data just before the edge at `ts`; event reader thread.
    uint64_t edgesMissedBefore(uint64_t ts);
    int startLocked(STREAM_TYPE type);
    int stopFromOwnThread();
    // Carries out a stop a callback asked for while this thread held the control lock; true when
    // there was one. Call without the control lock.
    bool carryOutRequestedStop();
    // A recording the camera ended itself (a stop from a callback, a lost device) that lost data makes
    // the next stopRecording() report it.
    void rememberEndedRecording(int result);
    void joinEndedStreamingThreads();
    // Starts `loop` on `thread`, marked as one of this camera's own threads.
    void startThread(std::thread& thread, void (TandraCamera::*loop)());
    void deliverFrame(const FrameBuffer& frame, const SyncRecord& record);
    SyncRecord makeSyncRecord(uint64_t ts);
    // Ends the recording of `type`; `abandoned` for a video just opened by a start that failed (it is
    // not blamed for holding no frame). Hold record_control_mutex_.
    int stopRecordingLocked(STREAM_TYPE type, bool abandoned = false);
    // Checks that the event file `path` can be written and removes an earlier file's index beside it
    // (see detail::makeWayForRecording; `made` when the file was made here); logs why not and returns
    // false otherwise.
    bool makeWayForRaw(const std::string& path, bool& made);
    // Ends whatever records, for a stop of the camera (not reporting a recording the camera ended).
    int endRecording();
    bool writeEventChunk(const std::vector<uint8_t>& chunk);
    bool writeRawHeaderOnce();
    // Event recording thread: waits until the first frame of the video is known or the recording
    // ends (empty), or until the wait for it ends (why it ended).
    std::string waitForFirstFrame();

    Interface::StatusWord interface_status_word_ = std::make_shared<std::atomic<uint64_t>>(0);
    std::atomic<bool> inited_{false};
    std::atomic<bool> alive_{false};
    std::atomic<int> running_{
        0};  // 0 stopped, 1 streaming, 2 a stop from a camera thread waits to be carried out
    // Stops claimed by callbacks so far: a start during which one was claimed reports -1.
    std::atomic<uint64_t> stops_claimed_{0};
    std::atomic<bool> fusing_{false};        // both streams run: records and frames are queued for pairing
    std::atomic<bool> loss_noticed_{false};  // the lost device is being handled
    std::atomic<uint64_t> frames_lost_seen_{0};   // frames the frame stream had lost when last looked at
    std::atomic<uint64_t> event_losses_seen_{0};  // the same for event buffers
    bool edges_may_be_lost_ = false;  // event reader only: event data were lost since the last edge
    bool have_last_edge_ = false;     // event reader only: last_trigger_timestamp_ holds an edge of this run
    uint64_t edge_period_ = 0;        // event reader only: time between the last two edges without a loss
    uint64_t loss_noticed_at_ = 0;    // event reader only: event time when the loss was noticed
    std::atomic<bool> ended_recording_failed_{false};  // a recording ended by the camera lost data
    STREAM_TYPE current_type_ = DVS;                   // under control_mutex_
    bool events_on_ = false;    // under control_mutex_, while running_ is 1: the event sensor streams
    bool frames_on_ = false;    // the same for the frame sensor
    std::mutex control_mutex_;  // start, stop, init; a stop from a camera thread tries it in turns

    std::thread event_reader_thread_;
    std::thread frame_reader_thread_;
    std::thread fusion_thread_;
    std::thread statistics_thread_;
    std::mutex state_mutex_;  // wakes readers waiting for their stream
    std::condition_variable state_cv_;

    std::unordered_map<unsigned, FrameCallback> frame_callbacks_;
    std::mutex frame_callback_mutex_;
    unsigned next_frame_callback_id_ = 0;
    std::unique_ptr<DataToVideoConverter> frame_converter_;  // NV12 to BGR24; fusion thread only
    ApsFrame aps_frame_;                                     // fusion thread only

    std::mutex statistics_mutex_;
    std::condition_variable statistics_cv_;
    StatisticsCallback statistics_callback_;

    std::mutex calibration_mutex_;
    CalibratorParameters calibration_;
    bool calibration_valid_ = false;

    // --- Recording (TandraRecording.cpp) ---
    std::mutex record_control_mutex_;  // startRecording and stopRecording

    // Frames: the fusion thread queues, the frame-recording thread encodes.
    struct RecordFrame {
        FrameBuffer frame;
        uint64_t timestamp = 0;
    };
    std::thread frame_recording_thread_;
    std::mutex record_mutex_;
    std::condition_variable record_cv_;       // wakes the frame-recording thread
    std::condition_variable record_done_cv_;  // its answers: output opened, video closed, frame start known
    std::atomic<bool> frame_recording_{false};
    BoundedQueue<RecordFrame, kMaxQueuedRecordFrames> record_frames_;  // under record_mutex_
    uint64_t frame_start_timestamp_ = 0;                               // under record_mutex_
    uint64_t last_recorded_timestamp_ = 0;                             // under record_mutex_
    bool finish_ = false;                                              // under record_mutex_
    bool open_requested_ = false;
    std::string open_path_;
    int open_result_ = 0;
    bool video_closed_ = true;
    bool recorder_set_up_ = false;  // the recording thread has set its video converter up (or failed to)
    bool recorder_ready_ = false;   // the video converter could be set up
    bool recorder_exited_ = false;
    uint64_t frames_dropped_ = 0;
    std::atomic<uint64_t> recorded_frames_{0};
    std::string frame_error_;  // first failure of the current frame recording
    std::string folder_;

    // Events: the event reader collects chunks, the event-recording thread writes them.
    std::thread event_recording_thread_;
    std::mutex event_record_mutex_;
    std::condition_variable event_record_cv_;
    std::atomic<bool> event_recording_{false};  // a recording of events runs (its thread lives)
    std::atomic<bool> event_accepting_{false};  // the event reader hands bytes over
    std::atomic<bool> event_stop_requested_{false};
    std::unique_ptr<ObjectPool> event_pool_;
    FrameBuffer current_event_chunk_;                                // under event_record_mutex_
    BoundedQueue<FrameBuffer, kMaxQueuedEventChunks> event_chunks_;  // under event_record_mutex_
    bool have_first_time_ = false;                                   // under event_record_mutex_
    uint64_t first_buffer_time_ = 0;                                 // under event_record_mutex_
    uint64_t event_bytes_dropped_ = 0;                               // under event_record_mutex_
    std::ofstream raw_file_;                                         // event-recording thread while it runs
    std::string raw_path_;
    bool header_written_ = false;
    // The raw recording's bookmark index, fed with every byte written (event-recording thread), written
    // beside the file at the stop when every write succeeded.
    std::unique_ptr<detail::RecordingIndexer> raw_index_;
    std::string raw_header_;
    uint64_t aps_start_for_header_ = 0;
    bool raw_waited_for_frame_ = false;     // the raw file's header waited for the video's first frame
    uint64_t frame_session_ = 0;            // under record_mutex_: counts the frame recordings started
    uint64_t waited_frame_session_ = 0;     // under record_mutex_: the one the raw file's header waited for
    bool waited_video_had_frames_ = false;  // under record_mutex_: that video ended with frames
    std::string event_error_;               // first failure of the current event recording
    uint64_t event_losses_at_record_start_ = 0;  // under event_record_mutex_
    uint64_t event_losses_in_recording_ = 0;     // under event_record_mutex_
    DvsFileInfo file_info_;
};

// Deletes a fusion camera; when the last reference goes inside one of its callbacks, streaming ends at
// once and the camera is deleted on the process-wide joiner thread, which joins its threads.
struct FusionCameraDeleter {
    void operator()(TandraCamera* camera) const;
};

template <typename Camera = TandraCamera, typename... Args>
std::shared_ptr<Camera> makeFusionCamera(Args&&... args) {
    return std::shared_ptr<Camera>(new Camera(std::forward<Args>(args)...), FusionCameraDeleter{});
}

}  // namespace zelvan
