#include "camera/TandraCamera.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "FileReader/IndexBuilder.h"
#include "sensor/CameraTools.h"
#include "sensor/EventSensors.h"
#include "sensor/tables/RegisterTables.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/Logger.h"
#include "zelvan/RegisterController.h"
#include "zelvan/StringUtils.h"
#include "zelvan/ThreadUtils.h"

namespace zelvan {

namespace {
// Set on every thread of a camera, so that stop() and the deleter can tell where they run.
thread_local const TandraCamera* t_own_camera = nullptr;
// Set on a camera's event reader thread, where its event batches are completed.
thread_local const TandraCamera* t_event_reader_of = nullptr;
constexpr auto kStreamWaitPoll = std::chrono::milliseconds(100);
// How often a stop from a callback looks whether another thread carried it out meanwhile.
constexpr auto kHandOffPoll = std::chrono::milliseconds(5);
constexpr auto kStatisticsPeriod = std::chrono::milliseconds(1000);
// Settling of the board when the event path goes off, and after a full stop.
constexpr auto kEventPathSettle = std::chrono::milliseconds(100);
constexpr auto kStopSettle = std::chrono::milliseconds(2000);
}  // namespace

void FusionCameraDeleter::operator()(TandraCamera* camera) const {
    if (camera && camera->onOwnThread()) {
        // Released inside one of its own callbacks: this thread cannot join itself. Streaming ends
        // now; the camera is destroyed elsewhere once this callback has returned.
        camera->closeCallbacks();
        camera->stop(DVS_AND_APS);
        runOnJoiner([camera] {
            camera->shutdown();
            delete camera;
        });
        return;
    }
    if (camera) camera->shutdown();
    delete camera;
}

TandraCamera::TandraCamera(const CameraDescription& description) : FusionCameraPrivate(description) {
    file_info_.width = 1280;
    file_info_.height = 720;
    file_info_.serial_number = description.serial;
}

TandraCamera::~TandraCamera() { shutdown(); }

bool TandraCamera::onOwnThread() const { return t_own_camera == this; }

bool TandraCamera::completesBatchesHere() const { return t_event_reader_of == this; }

void TandraCamera::startThread(std::thread& thread, void (TandraCamera::*loop)()) {
    thread = std::thread([this, loop] {
        t_own_camera = this;
        (this->*loop)();
        t_own_camera = nullptr;
    });
}

void TandraCamera::shutdown() {
    if (onOwnThread()) {
        // Only a camera not made by makeFusionCamera gets here: its thread would go on in a freed object.
        ZV_LOG(LOG_ERROR, "A fusion camera is destroyed on its own thread; use makeFusionCamera.");
        std::abort();
    }
    stop(DVS_AND_APS);
    {
        std::lock_guard<std::mutex> control(control_mutex_);
        joinEndedStreamingThreads();
    }
    endRecording();
    destroy();
    if (frame_recording_thread_.joinable()) frame_recording_thread_.join();
    endBatchWaiters();
}

uint64_t TandraCamera::lostFrames() const {
    const uint64_t stream =
        frame_sensor_ && frame_sensor_->eventStream() ? frame_sensor_->eventStream()->lostBuffers() : 0;
    return stream + droppedFrames();
}

uint64_t TandraCamera::lostEventBuffers() const {
    return event_sensor_ && event_sensor_->eventStream() ? event_sensor_->eventStream()->lostBuffers() : 0;
}

bool TandraCamera::isConnected() const { return interface_ && interface_->isConnected(); }

// --- Callbacks ---

unsigned TandraCamera::addApsFrameCallback(FrameCallback callback) {
    std::lock_guard<std::mutex> lock(frame_callback_mutex_);
    const unsigned id = next_frame_callback_id_++;
    frame_callbacks_.emplace(id, std::move(callback));
    return id;
}

bool TandraCamera::removeApsFrameCallback(unsigned id) {
    decltype(frame_callbacks_)::node_type removed;
    {
        std::lock_guard<std::mutex> lock(frame_callback_mutex_);
        removed = frame_callbacks_.extract(id);
    }
    return !removed.empty();
}

void TandraCamera::setStatisticInfoCallback(StatisticsCallback callback) {
    {
        std::lock_guard<std::mutex> lock(statistics_mutex_);
        statistics_callback_.swap(callback);
    }
    // `callback` now holds the previous callable, destroyed here, outside the lock.
}

uint16_t TandraCamera::getWidth(STREAM_TYPE type) {
    switch (type) {
        case DVS:
            return static_cast<uint16_t>(dvs_width_);
        case APS:
            return static_cast<uint16_t>(aps_width_);
        default:
            return 0;
    }
}

uint16_t TandraCamera::getHeight(STREAM_TYPE type) {
    switch (type) {
        case DVS:
            return static_cast<uint16_t>(dvs_height_);
        case APS:
            return static_cast<uint16_t>(aps_height_);
        default:
            return 0;
    }
}

// --- Bring-up ---

int TandraCamera::init() {
    clearCallbackRegistries();
    {
        decltype(frame_callbacks_) frames;
        std::lock_guard<std::mutex> lock(frame_callback_mutex_);
        frames.swap(frame_callbacks_);
    }
    std::lock_guard<std::mutex> control(control_mutex_);
    // Open already, unless a reader has noticed a loss it has not yet closed the handle for.
    if (alive_.load() && !loss_noticed_.load()) return 0;
    if (inited_.load()) {
        // Opened again after destroy() (or a lost connection): everything is set up anew.
        stopBoth(false);
        joinEndedStreamingThreads();
        if (frame_recording_thread_.joinable()) frame_recording_thread_.join();
        clearTools();
        inited_ = false;
    }
    try {
        interface_ = UsbInterface::createUsbFusionInterface(getDescription());
        if (!interface_) {
            ZV_LOG(LOG_ERROR, "Interface init error.");
            return -1;
        }
        interface_->setStatusWord(interface_status_word_);
        sensor_controller_ = std::make_shared<RegisterController>(
            interface_, kImx636RegisterTable, kImx636RegisterTableSize, kImx636RegisterPrefix);
        board_controller_ = std::make_shared<RegisterController>(
            interface_, kFusionBoardRegisterTable, kFusionBoardRegisterTableSize, kFusionBoardRegisterPrefix,
            RegisterBus::Board);
        sensor_timing::waitNanoseconds(1'000'000);

        decoder_ = DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
        if (!decoder_) throw std::runtime_error("no decoder for the event stream");
        decoder_->setOption(true);
        decoder_->setEventsStreamHandleCallback(
            [this](Event2D* first, Event2D* last) { eventStreamArrived(first, last); });
        decoder_->setTriggerInCallback([this](EventTriggerIn trigger) { triggerInArrived(trigger); });

        const std::shared_ptr<RegisterController> sensor = sensor_controller_;
        event_sensor_ = std::make_unique<Imx6x6Sensor>(Imx6x6Sensor::kFusionEventQueueDepth);
        event_sensor_->setApplyRegisterOperationSequenceCallback(
            [sensor](const std::vector<RegisterOperation>& sequence) {
                return sensor->applyRegisterOperationSequence(sequence);
            });
        event_sensor_->setWriteRegisterFieldCallback(
            [sensor](const std::string& reg, const std::string& field, uint32_t value) {
                sensor->writeRegisterField(reg, field, value);
            });
        if (event_sensor_->init(interface_) != 0)
            throw std::runtime_error("the event sensor did not come up");

        const std::shared_ptr<RegisterController> board = board_controller_;
        frame_sensor_ = std::make_unique<Imx415Sensor>();
        frame_sensor_->setWriteRegisterCallback([board](const std::string& reg, uint32_t value) {
            board->writeRegisterWithControlTransfer(reg, value);
        });
        if (frame_sensor_->init(interface_) != 0)
            throw std::runtime_error("the frame sensor did not come up");

        addTool(BIASES, std::make_shared<Imx636Biases>(sensor));
        trigger_in_tool_ = std::make_shared<Imx636TriggerIn>(sensor);
        if (!trigger_in_tool_->setParam("enable", true)) throw std::runtime_error("trigger input refused");
        addTool(ANTI_FLICKER, std::make_shared<Imx636AntiFlicker>(sensor));
        auto erc = std::make_shared<Imx636EventRateControl>(sensor);
        if (!erc->setParam("enable", true) || !erc->setMaxLimitEventRate(40))
            throw std::runtime_error("event rate control refused");
        erc_tool_ = erc;
        addTool(EVENT_RATE_CONTROL, erc);
        addTool(EVENT_TRAIL_FILTER, std::make_shared<Imx636EventTrailFilter>(sensor));
        addTool(ROI, std::make_shared<Imx636ROI>(sensor));
        aps_tool_ = std::make_shared<Imx415ApsCtrl>(board);
        addTool(APS_CTRL, aps_tool_);

        CalibratorParameters calibration;
        if (!readCalibrationParam(calibration)) ZV_LOG(LOG_ERROR, "Read calibration data error.");
        std::string firmware;
        getFirmwareVersion(firmware);

        frame_pool_ = std::make_unique<ObjectPool>(kFramePoolCount, false, kFrameBytes,
                                                   ObjectPool::Allocation::OnDemand);
        {
            std::lock_guard<std::mutex> lock(record_mutex_);
            recorder_exited_ = false;
            recorder_set_up_ = false;
        }
        loss_noticed_ = false;
        alive_ = true;
        inited_ = true;
        startThread(frame_recording_thread_, &TandraCamera::frameRecordingLoop);
        return 0;
    } catch (const std::exception& e) {
        ZV_LOG(LOG_ERROR, "Tandra Camera init error.");
        ZV_LOG(LOG_ERROR, "Camera %s: %s", getDescription().serial.c_str(), e.what());
        // Nothing of a bring-up that stopped half-way stays: the camera reads as not connected, its
        // device is let go, and the next init builds every tool anew over the new interface.
        clearTools();
        trigger_in_tool_.reset();
        erc_tool_.reset();
        aps_tool_.reset();
        frame_sensor_.reset();
        event_sensor_.reset();
        decoder_.reset();
        board_controller_.reset();
        sensor_controller_.reset();
        interface_.reset();
        return -1;
    }
}

// --- Streaming ---

void TandraCamera::settle(std::chrono::milliseconds pause) const {
    const double scale = interface_ ? interface_->settlingScale() : 1.0;
    const auto us = static_cast<int64_t>(std::floor(double(pause.count()) * 1000.0 * scale));
    if (us > 0) sensor_timing::waitNanoseconds(us * 1000);
}

void TandraCamera::dvsEnable(bool on) {
    const uint32_t value = on ? 1 : 0;
    bool done = false;
    try {
        done = interface_ && interface_->transferFrame({kCtrlDvsPath, {0, value}}) &&
               interface_->transferFrame({kCtrlDvsStream, {0, value}});
    } catch (const std::exception&) {
        done = false;
    }
    if (!done) ZV_LOG(LOG_ERROR, "Camera is running or no this command.");
}

void TandraCamera::wakeStreamWaiters() {
    { std::lock_guard<std::mutex> lock(state_mutex_); }
    state_cv_.notify_all();
}

bool TandraCamera::waitForStream(const Sensor& sensor) {
    std::unique_lock<std::mutex> lock(state_mutex_);
    const auto ready = [&] {
        return running_.load() != 1 || (sensor.eventStream() && sensor.eventStream()->isStarted());
    };
    state_cv_.wait_for(lock, kStreamWaitPoll, ready);
    return running_.load() == 1;
}

int TandraCamera::start(STREAM_TYPE type) {
    if (onOwnThread()) {
        // A restart would have to join the thread it runs on.
        ZV_LOG(LOG_ERROR, "start() refused: it cannot be called from the camera's own callbacks.");
        return -1;
    }
    int result = 0;
    uint64_t claimed = 0;
    {
        std::lock_guard<std::mutex> control(control_mutex_);
        // A stop claimed before this start is carried out by it (it joins what that stop left).
        claimed = stops_claimed_.load();
        result = startLocked(type);
    }
    carryOutRequestedStop();
    if (stops_claimed_.load() != claimed) {
        // Nothing streams, whichever thread carried the stop out: a 0 would have the caller wait for
        // data that never comes.
        ZV_LOG(LOG_WARNING, "Camera %s: a callback stopped streaming as it started.",
               getDescription().serial.c_str());
        return -1;
    }
    return result;
}

int TandraCamera::startLocked(STREAM_TYPE type) {
    // Never opened, or lost (and not opened again since). A loss counts from the moment a reader
    // notices it, before it has stopped anything: the device may be back by the time it has.
    const auto closed = [this] {
        return !inited_.load() || !alive_.load() || loss_noticed_.load() || !event_sensor_ || !frame_sensor_;
    };
    if (closed()) {
        ZV_LOG(LOG_ERROR, "Start refused: camera %s is not open.", getDescription().serial.c_str());
        return -1;
    }
    // Threads told to end by a stop from a callback are joined (and what they left on is stopped)
    // while the flag still tells them to end.
    if (running_.load() != 1) {
        rememberEndedRecording(stopBoth(false));
        if (closed()) {  // the threads joined had lost the device
            ZV_LOG(LOG_ERROR, "Start refused: camera %s is not open.", getDescription().serial.c_str());
            return -1;
        }
    }
    const bool running = running_.load() == 1;
    const bool already = type == DVS ? events_on_ : type == APS ? frames_on_ : fusing_.load();
    if (running && already) {
        ZV_LOG(LOG_INFO, "Camera already started.");
        return 0;
    }
    if (!isConnected()) {
        ZV_LOG(LOG_ERROR, "Start camera %s failed: the device is not connected.",
               getDescription().serial.c_str());
        return -1;
    }
    if (type == DVS_AND_APS && running) {
        // Frames are paired with exposure edges counted from the frame sensor's start edge, with
        // readers that hold nothing from before: everything starts anew.
        if (isRecording()) {
            ZV_LOG(LOG_ERROR,
                   "Start camera %s failed: both streams cannot start while a recording of one runs; stop "
                   "the recording first.",
                   getDescription().serial.c_str());
            return -1;
        }
        ZV_LOG(LOG_INFO, "Camera %s: the running stream restarts together with the other.",
               getDescription().serial.c_str());
        rememberEndedRecording(stopBoth(false));
    }
    // From 0 only: a stop claimed by a callback meanwhile (2) stays claimed.
    int previous = 0;
    const bool was_running = !running_.compare_exchange_strong(previous, 1);
    if (!was_running) events_on_ = frames_on_ = false;
    bool started = true;
    const auto startEvents = [&] {
        // A board whose firmware lacks the path switch streams without it: only logged.
        dvsEnable(true);
        if (event_sensor_->start() == 0) {
            events_on_ = true;
            eventStreamStarted();
        } else {
            started = false;
        }
        if (!event_reader_thread_.joinable())
            startThread(event_reader_thread_, &TandraCamera::eventReaderLoop);
    };
    const auto startFrames = [&] {
        if (!frame_reader_thread_.joinable())
            startThread(frame_reader_thread_, &TandraCamera::frameReaderLoop);
        if (frame_sensor_->start() == 0)
            frames_on_ = true;
        else
            started = false;
    };
    const auto startStatistics = [&] {
        if (!statistics_thread_.joinable()) startThread(statistics_thread_, &TandraCamera::statisticsLoop);
    };
    switch (type) {
        case DVS:
            startEvents();
            startStatistics();
            break;
        case APS:
            startFrames();
            break;
        default:
            // No reader runs here (see above): the edge and frame counts start from nothing.
            trigger_counter_ = 0;
            frame_counter_ = 0;
            have_last_edge_ = false;
            edge_period_ = 0;
            edges_may_be_lost_ = false;
            loss_noticed_at_ = 0;
            {
                std::lock_guard<std::mutex> lock(fusion_mutex_);
                clearQueuesLocked();
            }
            frames_lost_seen_ =
                frame_sensor_->eventStream() ? frame_sensor_->eventStream()->lostBuffers() : 0;
            event_losses_seen_ = lostEventBuffers();
            fusing_ = true;
            decoder_->setTimestampInput(0);
            ZV_LOG(LOG_INFO, "dvs start.");
            startEvents();
            ZV_LOG(LOG_INFO, "Aps start.");
            startFrames();
            if (!fusion_thread_.joinable()) startThread(fusion_thread_, &TandraCamera::fusionLoop);
            startStatistics();
            break;
    }
    wakeStreamWaiters();
    if (!started) {
        ZV_LOG(LOG_ERROR, "Start camera %s failed: a sensor did not start.", getDescription().serial.c_str());
        // Only what this call started is undone: a stream that ran before goes on.
        if (!was_running || type == DVS_AND_APS) {
            rememberEndedRecording(stopBoth(false));
        } else if (type == DVS) {
            stopEventsLocked();
        } else {
            stopFramesLocked();
        }
        return -1;
    }
    if (erc_tool_ && !erc_tool_->setParam("max_event_rate", 40))
        ZV_LOG(LOG_WARNING, "Camera %s: the event rate limit was not applied.",
               getDescription().serial.c_str());
    ZV_LOG(LOG_INFO, "Camera event stream start.");
    current_type_ = type;
    return 0;
}

int TandraCamera::stop(STREAM_TYPE type) {
    if (onOwnThread()) {
        if (type != DVS_AND_APS) {
            ZV_LOG(LOG_ERROR,
                   "stop() of one stream refused: from the camera's own callbacks only both streams can "
                   "stop.");
            return -1;
        }
        return stopFromOwnThread();
    }
    int result = 0;
    {
        std::lock_guard<std::mutex> control(control_mutex_);
        // The stop of the last stream that runs stops the camera as a whole: it no longer streams.
        if (running_.load() == 1 && type == DVS && frames_on_) {
            stopEventsLocked();
            result = endRecording();
        } else if (running_.load() == 1 && type == APS && events_on_) {
            stopFramesLocked();
            result = endRecording();
        } else {
            result = stopBoth(false);
        }
    }
    carryOutRequestedStop();
    return result;
}

int TandraCamera::stopFromOwnThread() {
    // From a callback or on a lost device: never wait for the calling thread. Streaming ends now
    // (running 1 -> 2: a stop is claimed); whoever holds the control lock (a user's call, another of
    // the camera's threads) carries the rest out when it sees the claim, or this thread does once it
    // gets the lock. Only one thread claims, and a stop already under way needs nothing from here.
    int running = 1;
    if (!running_.compare_exchange_strong(running, 2)) return 0;
    ++stops_claimed_;
    fusing_ = false;
    eventStreamEnded();
    wakeStreamWaiters();
    { std::lock_guard<std::mutex> lock(fusion_mutex_); }
    fusion_cv_.notify_all();
    { std::lock_guard<std::mutex> lock(statistics_mutex_); }
    statistics_cv_.notify_all();
    while (running_.load() == 2) {
        if (!control_mutex_.try_lock()) {
            // Woken when a stop carries it out; otherwise the lock is tried again after a moment.
            std::unique_lock<std::mutex> lock(state_mutex_);
            state_cv_.wait_for(lock, kHandOffPoll, [this] { return running_.load() != 2; });
            continue;
        }
        std::lock_guard<std::mutex> control(control_mutex_, std::adopt_lock);
        if (running_.load() != 2) break;  // carried out meanwhile
        const int result = stopBoth(true);
        rememberEndedRecording(result);
        return result;
    }
    return 0;
}

bool TandraCamera::carryOutRequestedStop() {
    bool carried_out = false;
    while (running_.load() == 2) {
        std::lock_guard<std::mutex> control(control_mutex_);
        if (running_.load() != 2) break;
        rememberEndedRecording(stopBoth(false));
        carried_out = true;
    }
    return carried_out;
}

void TandraCamera::rememberEndedRecording(int result) {
    if (result != 0) ended_recording_failed_ = true;
}

void TandraCamera::stopEventsLocked() {
    endFusingLocked();
    dvsEnable(false);
    event_sensor_->stop();
    events_on_ = false;
    eventStreamEnded();
}

void TandraCamera::stopFramesLocked() {
    endFusingLocked();
    frame_sensor_->stop();
    frames_on_ = false;
}

void TandraCamera::endFusingLocked() {
    if (!fusing_.exchange(false)) return;
    ZV_LOG(LOG_INFO, "Camera %s: frames are no longer paired with their exposures until both streams start.",
           getDescription().serial.c_str());
    std::lock_guard<std::mutex> lock(fusion_mutex_);
    clearQueuesLocked();
}

int TandraCamera::stopBoth(bool own_thread) {
    // Running, or a stop claimed by a callback while another call held the control lock: carried out
    // here.
    if (running_.exchange(0) == 0) {
        if (!own_thread) joinEndedStreamingThreads();
        return 0;
    }
    fusing_ = false;
    events_on_ = frames_on_ = false;
    eventStreamEnded();
    dvsEnable(false);
    settle(kEventPathSettle);
    if (frame_sensor_) frame_sensor_->stop();
    if (event_sensor_) event_sensor_->stop();
    wakeStreamWaiters();
    { std::lock_guard<std::mutex> lock(fusion_mutex_); }
    fusion_cv_.notify_all();
    { std::lock_guard<std::mutex> lock(statistics_mutex_); }
    statistics_cv_.notify_all();
    // On one of the camera's threads nothing is joined: the caller may hold a callback registry's lock
    // that another of them waits for. The next start(), stop() or the destructor joins them.
    if (!own_thread) joinEndedStreamingThreads();
    const int recording = endRecording();
    settle(kStopSettle);
    {
        std::lock_guard<std::mutex> lock(fusion_mutex_);
        clearQueuesLocked();
    }
    return recording;
}

void TandraCamera::joinEndedStreamingThreads() {
    for (std::thread* t :
         {&event_reader_thread_, &frame_reader_thread_, &fusion_thread_, &statistics_thread_}) {
        if (t->joinable() && t->get_id() != std::this_thread::get_id()) t->join();
    }
}

int TandraCamera::destroy() {
    {
        std::lock_guard<std::mutex> lock(record_mutex_);
        alive_ = false;
    }
    record_cv_.notify_all();
    record_done_cv_.notify_all();
    return 0;
}

void TandraCamera::handleLostConnection() {
    // Both readers look; the first to see it ends streaming.
    if (loss_noticed_.exchange(true)) return;
    ZV_LOG(LOG_INFO, "Tandra loss connection.");
    if (isRecording()) {
        // The recording ends here: whoever stops it next is told that it is incomplete.
        ZV_LOG(LOG_ERROR, "Camera %s was lost during a recording.", getDescription().serial.c_str());
        ended_recording_failed_ = true;
    }
    stop(DVS_AND_APS);
    destroy();
}

void TandraCamera::noticeLostEventBuffers() {
    const uint64_t lost = lostEventBuffers();
    if (event_losses_seen_.exchange(lost) >= lost) return;
    edges_may_be_lost_ = true;
    loss_noticed_at_ = decoder_->getLastTimestamp();
}

void TandraCamera::eventReaderLoop() {
    t_event_reader_of = this;
    setCurrentThreadName("zv-fusion-events");
    while (running_.load() == 1) {
        if (!event_sensor_->eventStream() || !event_sensor_->eventStream()->isStarted()) {
            if (!waitForStream(*event_sensor_)) break;
            // With the event sensor off, the camera can still go away under the frame stream.
            if (!isConnected()) {
                handleLostConnection();
                break;
            }
            continue;
        }
        if (event_sensor_->eventStream()->waitNextBuffer() > 0) {
            auto buffer = event_sensor_->eventStream()->getLatestBuffer();
            noticeLostEventBuffers();
            if (buffer && *buffer) {
                std::vector<uint8_t>& bytes = **buffer;
                convertEndian(bytes);
                if (event_accepting_.load(std::memory_order_acquire)) prepareDvsData2Save(bytes);
                decoder_->decode(bytes.data(), bytes.data() + bytes.size());
            }
            continue;
        }
        if (!isConnected()) {
            handleLostConnection();
            break;
        }
    }
}

void TandraCamera::frameReaderLoop() {
    setCurrentThreadName("zv-fusion-frames");
    while (running_.load() == 1) {
        if (!frame_sensor_->eventStream() || !frame_sensor_->eventStream()->isStarted()) {
            if (!waitForStream(*frame_sensor_)) break;
            if (!isConnected()) {
                handleLostConnection();
                break;
            }
            continue;
        }
        if (frame_sensor_->eventStream()->waitNextBuffer() > 0) {
            auto buffer = frame_sensor_->eventStream()->getLatestBuffer();
            // Frames the data stream lost before this one still had their exposure records. Those lost
            // after it (already counted while it waited in the queue) are the next frame's.
            const uint64_t lost = frame_sensor_->eventStream()->lostBeforeLatest();
            const uint64_t seen = frames_lost_seen_.load();
            const uint64_t lost_before = lost > seen ? lost - seen : 0;
            if (lost > seen) frames_lost_seen_.store(lost);
            if (buffer && *buffer) frameArrived(**buffer, lost_before);
            continue;
        }
        // The event reader may be idle (events stopped): either reader notices a lost device.
        if (!isConnected()) {
            handleLostConnection();
            break;
        }
    }
}

bool TandraCamera::frameArrived(const std::vector<uint8_t>& bytes, uint64_t lost_before) {
    if (bytes.size() != kFrameBytes) {
        ZV_LOG(LOG_ERROR,
               "Camera %s: a frame of %zu bytes was refused; frames of this sensor have %zu bytes.",
               getDescription().serial.c_str(), bytes.size(), kFrameBytes);
        // Its exposure record still comes: the frames after it must not take it.
        if (fusing_.load()) {
            std::lock_guard<std::mutex> lock(fusion_mutex_);
            skipFrameLocked(lost_before);
        }
        return false;
    }
    ZV_LOG(LOG_DETAIL, "aps frame cnt: %d", static_cast<int>(frame_counter_.fetch_add(1)));
    // Frames are only of use paired with their exposure: without both streams nothing takes them.
    if (!fusing_.load()) return true;
    FrameBuffer frame = frame_pool_->acquire();
    // A buffer the pool made beyond its count comes empty.
    if (frame->size() != kFrameBytes) frame->resize(kFrameBytes);
    std::memcpy(frame->data(), bytes.data(), kFrameBytes);
    {
        std::lock_guard<std::mutex> lock(fusion_mutex_);
        queueFrameLocked(std::move(frame), lost_before);
    }
    fusion_cv_.notify_all();
    return true;
}

FusionCameraPrivate::SyncRecord TandraCamera::makeSyncRecord(uint64_t ts) {
    SyncRecord record;
    int exposure = 0;
    if (!aps_tool_ || !aps_tool_->getParam("exposure_time", exposure) || exposure < 0) {
        ZV_LOG(LOG_ERROR, "Get aps exposure time failed.");
        return record;
    }
    // The edge comes a fixed time after the exposure ends; only the begin is cut at the clock's start.
    record.exposure_begin = ts - std::min<uint64_t>(ts, uint64_t(exposure) + kEdgeAfterExposureUs);
    record.exposure_end = ts + (kReadoutUs - kEdgeAfterExposureUs);
    decoder_->setTimestampInput(record.exposure_end);
    return record;
}

uint64_t TandraCamera::edgesMissedBefore(uint64_t ts) {
    if (!have_last_edge_ || ts <= last_trigger_timestamp_) return 0;
    const uint64_t gap = ts - last_trigger_timestamp_;
    if (!edges_may_be_lost_) {
        edge_period_ = gap;  // the board's frame period (it may change with the frame rate)
        return 0;
    }
    if (edge_period_ == 0) {
        edges_may_be_lost_ = false;
        ZV_LOG(LOG_WARNING,
               "Camera %s: event data were lost before the frame period was known; frame times may be off "
               "by whole frames until both streams start again.",
               getDescription().serial.c_str());
        return 0;
    }
    // The stream drops what does not fit behind the buffers it still holds, so the hole comes some
    // edges after the loss is noticed: the first gap of more than one and a half periods is it (or,
    // after two seconds of event time, there was no edge in it).
    if (2 * gap >= 3 * edge_period_) {
        edges_may_be_lost_ = false;
        return (gap + edge_period_ / 2) / edge_period_ - 1;
    }
    if (ts > loss_noticed_at_ + kEdgeLossWindowUs) edges_may_be_lost_ = false;
    return 0;
}

void TandraCamera::triggerInArrived(EventTriggerIn trigger) {
    switch (trigger.polarity) {
        case 0:
            ZV_LOG(LOG_DETAIL, "Trigger cnt: %d, p: %d, ts: %u.", static_cast<int>(trigger_counter_.load()),
                   0, static_cast<unsigned>(trigger.timestamp));
            callSyncSignalCallbacks(trigger);
            return;
        case 1: {
            ZV_LOG(LOG_DETAIL, "Trigger cnt: %d, p: %d, ts: %u.", static_cast<int>(trigger_counter_.load()),
                   1, static_cast<unsigned>(trigger.timestamp));
            uint64_t armed = 0;
            // The first rising edge after a start only arms the counter.
            if (trigger_counter_.compare_exchange_strong(armed, 1)) {
                last_trigger_timestamp_ = trigger.timestamp;
                have_last_edge_ = true;
                return;
            }
            // Records are paired only while both streams run; otherwise nothing would take them.
            if (!fusing_.load()) return;
            const uint64_t missed = edgesMissedBefore(trigger.timestamp);
            const SyncRecord record = makeSyncRecord(trigger.timestamp);
            last_trigger_timestamp_ = trigger.timestamp;
            have_last_edge_ = true;
            {
                std::lock_guard<std::mutex> lock(fusion_mutex_);
                queueSyncRecordLocked(record, missed);
            }
            fusion_cv_.notify_all();
            return;
        }
        case 2:
            ++trigger_counter_;
            trigger.polarity = 1;
            callSyncSignalCallbacks(trigger);
            return;
        default:
            callSyncSignalCallbacks(trigger);
            return;
    }
}

void TandraCamera::fusionLoop() {
    setCurrentThreadName("zv-fusion");
    std::unique_lock<std::mutex> lock(fusion_mutex_);
    while (running_.load() == 1) {
        fusion_cv_.wait(lock, [this] { return running_.load() != 1 || pairReadyLocked(); });
        if (running_.load() != 1) break;
        fuseQueuedLocked(lock);
    }
}

void TandraCamera::fuseQueuedLocked(std::unique_lock<std::mutex>& lock) {
    FrameBuffer frame;
    SyncRecord record;
    // In arrival order: the oldest frame with the oldest record (whose partners are not gone).
    while (takePairLocked(frame, record)) {
        // Conversion, callbacks and the recorder work outside the lock, so that the readers never
        // wait for them.
        lock.unlock();
        deliverFrame(frame, record);
        frame.reset();  // back to the pool once the recorder is done with it too
        lock.lock();
        if (running_.load() != 1) break;
    }
}

void TandraCamera::deliverFrame(const FrameBuffer& frame, const SyncRecord& record) {
    bool has_callbacks = false;
    {
        std::lock_guard<std::mutex> lock(frame_callback_mutex_);
        has_callbacks = !frame_callbacks_.empty();
    }
    if (has_callbacks) {
        if (!frame_converter_) {
            auto converter = std::make_unique<DataToVideoConverter>();
            converter->setConverterFrameSize(int(aps_height_), int(aps_width_), int(aps_height_),
                                             int(aps_width_));
            if (converter->setConverterFmt(DataToVideoConverter::kPixFmtNv12,
                                           DataToVideoConverter::kPixFmtBgr24) == 0) {
                frame_converter_ = std::move(converter);
                aps_frame_ = ApsFrame(int(aps_width_), int(aps_height_), 0, 0);
            }
        }
        if (frame_converter_ && frame_converter_->nv12ToRGB(frame->data(), aps_frame_.data()) == 0) {
            aps_frame_.setTimestamps(record.exposure_begin, record.exposure_end);
            std::lock_guard<std::mutex> lock(frame_callback_mutex_);
            for (auto& [id, callback] : frame_callbacks_) {
                if (callbacks_closed_.load(std::memory_order_relaxed)) break;
                callback(aps_frame_);
            }
        } else {
            ZV_LOG(LOG_ERROR, "Camera %s: a frame could not be converted for the frame callbacks.",
                   getDescription().serial.c_str());
        }
    }
    if (frame_recording_.load()) prepareApsData2Save(frame, record.exposure_end);
}

void TandraCamera::statisticsLoop() {
    setCurrentThreadName("zv-fusion-stats");
    std::unique_lock<std::mutex> lock(statistics_mutex_);
    while (running_.load() == 1) {
        if (statistics_cv_.wait_for(lock, kStatisticsPeriod, [this] { return running_.load() != 1; })) break;
        StatisticsCallback callback = statistics_callback_;
        if (!callback || callbacks_closed_.load()) continue;
        lock.unlock();
        callback(ZvStatisticInfo(decoder_->getDataRate(), decoder_->getEventRate()));
        callback = nullptr;
        lock.lock();
    }
}

// --- Calibration and board identity ---

bool TandraCamera::readCalibrationParam(CalibratorParameters& params) {
    if (!interface_) return false;
    const std::vector<uint8_t> bytes = interface_->readCalibration();
    CalibratorParameters read;
    if (bytes.empty() || !jsonDataToParam(bytes, read)) return false;
    params = read;
    std::lock_guard<std::mutex> lock(calibration_mutex_);
    calibration_ = std::move(read);
    calibration_valid_ = true;
    return true;
}

bool TandraCamera::writeCalibrationFile(std::string path) {
    if (!interface_ || !interface_->writeCalibrationFile(path)) return false;
    // Recordings carry the calibration the camera holds from now on, not the one read at opening.
    CalibratorParameters written;
    const bool readable = jsonFileToParam(path, written);
    std::lock_guard<std::mutex> lock(calibration_mutex_);
    if (readable) {
        calibration_ = std::move(written);
        calibration_valid_ = true;
    } else {
        // The camera took a file this library cannot read: recordings carry no calibration rather
        // than the one it replaced.
        ZV_LOG(LOG_WARNING, "The calibration written to the camera cannot be read: recordings carry none.");
        calibration_valid_ = false;
    }
    return true;
}

bool TandraCamera::getSerialNumber(std::string& serial) {
    uint8_t block[Interface::kDataBlockBytes] = {};
    if (!board_controller_ ||
        board_controller_->readRegisterWithControlTransfer("usb_serialnumber", block) != 0) {
        ZV_LOG(LOG_ERROR, "Failed to get Serial number.");
        return false;
    }
    serial.assign(reinterpret_cast<const char*>(block),
                  strnlen(reinterpret_cast<const char*>(block), sizeof block));
    ZV_LOG(LOG_INFO, "Serial number: %s", serial.c_str());
    return true;
}

bool TandraCamera::setSerialNumber(std::string serial) {
    if (serial.size() >= Interface::kDataBlockBytes) {
        ZV_LOG(LOG_ERROR, "Serial number length must less than 64.");
        return false;
    }
    uint8_t block[Interface::kDataBlockBytes] = {};
    std::memcpy(block, serial.data(), serial.size());
    if (!board_controller_ ||
        board_controller_->writeRegisterDataWithControlTransfer("usb_serialnumber", block) != 0) {
        ZV_LOG(LOG_ERROR, "Failed to set Serial number.");
        return false;
    }
    ZV_LOG(LOG_INFO, "Set Serial number: %s", serial.c_str());
    return true;
}

bool TandraCamera::getFirmwareVersion(std::string& version) {
    uint8_t block[Interface::kDataBlockBytes] = {};
    if (!board_controller_ ||
        board_controller_->readRegisterWithControlTransfer("firmware_version", block) != 0) {
        ZV_LOG(LOG_ERROR, "Failed to get firmware version.");
        return false;
    }
    version.assign(reinterpret_cast<const char*>(block),
                   strnlen(reinterpret_cast<const char*>(block), sizeof block));
    ZV_LOG(LOG_INFO, "Firmware version: %s", version.c_str());
    return true;
}

}  // namespace zelvan
