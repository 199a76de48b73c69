// Turns event streams into images: counts events per pixel and polarity, and paints the counts of
// each frame with the theme colours on a render thread. Its playback half plays an event-only raw
// recording: a load thread opens it, a playback thread shows one accumulation window per 33 333 us
// of wall-clock time, the GUI thread steps and seeks, and a cut thread and an export thread write
// parts of it to new files.
//
// Threads of the playback half, all owned and joined by this object (the destructor joins every
// one): the load thread runs the reader's loadFile() and the header reads while `loading` is set,
// and nothing else touches the reader meanwhile (a close or the destructor waits for it); the
// playback thread reads the reader under the reader mutex, one window per frame; the cut and export
// threads each hold their own reference to the reader, so that opening another file while they run
// never frees the reader they use (frame operations are refused while they run). Results leave
// these threads only through signals queued to the GUI thread; a load announces its file through one
// queued call that the GUI thread drops when the file was closed or replaced meanwhile, and the
// playback thread announces each frame's time the same way, dropped once playback was stopped,
// reset, stepped, seeked or closed meanwhile.
//
// The render thread never reads AppSettings: the processor keeps its own copy of the three theme
// colours, taken from the settings at construction and replaced by setThemeColors() (connected to
// AppSettings::colorThemeChanged) under its own lock.
#pragma once

#include <QColor>
#include <QImage>
#include <QObject>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "Utility/ViewerUtils.h"
#include "zelvan/Types.h"

namespace zelvan {
class DvsFileReader;
}

class ZvEventProcessor : public QObject {
    Q_OBJECT
public:
    explicit ZvEventProcessor(QObject* parent = nullptr);
    ~ZvEventProcessor() override;

    // Counts the events of [first, last) (never empty) into the current frame. Events outside the
    // counter grid are skipped. Called by the one producer thread.
    void addEvents(const zelvan::Event2D* first, const zelvan::Event2D* last);
    // Ends the current frame: hands its counters to the render thread and starts an empty frame.
    void requestRender();
    // Shows the time of the current frame, then renders it (GUI thread, live view).
    void showCurrentFrame();

    void setResolution(int width, int height);
    int width() const { return width_; }
    int height() const { return height_; }
    uint64_t currentTimestamp() const { return currentTimestamp_.load(); }
    static constexpr int kMaxCount = 3;
    // One byte per pixel holds both of its counters, saturating at kMaxCount: OFF events in the low
    // four bits, ON events in the high four. A 1280 x 720 frame then needs 0.9 MB, which stays in a
    // core's second-level cache while 50 Mev/s stream past it.
    using Counter = uint8_t;
    using Counters = std::vector<Counter>;
    static_assert(kMaxCount <= 15);
    static int offCount(Counter c) { return c & 0x0F; }
    static int onCount(Counter c) { return c >> 4; }

    // Paints `counts` (width x height) into `image` with the given colours. Exposed for tests and
    // benchmarks; the render thread uses it for every frame.
    static void paint(const Counters& counts, int width, int height, QRgb on, QRgb off, QRgb background,
                      QImage& image);
    // The counters being filled (tests only read them between frames).
    const Counters& countBufferForTesting() const { return *countBuffer_; }
    // Number of frames drawn so far.
    uint64_t framesDrawn() const { return framesDrawn_.load(); }

    // The colours the next frame is drawn with.
    struct ThemeColors {
        QRgb on;
        QRgb off;
        QRgb background;
    };
    ThemeColors themeColors() const;

    // Playback state, for the window and for tests.
    static constexpr uint64_t kFramePeriodUs = 33333;  // wall-clock time of one played frame
    // True once a file has been loaded (until it is closed or another one is opened).
    bool hasFile() const { return reader_ != nullptr && loaded_.load(); }
    // A cut or an export is writing its file (ends just before its last loading status, false).
    bool fileJobRunning() const { return fileJobs_ > 0; }
    // A cut or export runs or its outcome has not been told yet (a close waits for that).
    bool fileJobUntold() const { return fileJobsUntold_ > 0; }
    bool isLoading() const { return loading_.load(); }
    bool isPlaying() const { return playing_.load(); }
    uint64_t position() const { return position_.load(); }
    uint64_t startTimestamp() const { return startTimestamp_.load(); }
    uint64_t endTimestamp() const { return endTimestamp_.load(); }
    uint64_t fps() const { return fps_.load(); }
    uint64_t step() const { return step_.load(); }
    uint64_t accTime() const { return accTime_.load(); }
    bool loopPlayback() const { return loopPlayback_.load(); }
    // The wall-clock time of `timestamp` in the open file, as shown in the local time label.
    QString localTimeString(uint64_t timestamp) const;

public slots:
    // Any thread: the next frame drawn uses these colours; the frame being drawn keeps its own.
    void setThemeColors(QColor on, QColor off, QColor background);

    // Opens the raw recording at `file_path` and loads it on the load thread; playback starts by
    // itself once loaded. An empty path closes the open file.
    void loadFile(QString file_path);
    void preFrame();
    void nextFrame();
    void setPlayPos(uint64_t timestamp_us);
    void slotPlaybackCtrl(bool on);
    void slotPlaybackReset();
    void slotPlayLoop(bool loop);
    // Recording time advanced per played frame is 1 000 000 / fps us; 0 counts as 1.
    void setFps(int fps);
    void setAccTime(uint64_t time_us);
    void slotSetLowerTimeStamp(uint64_t timestamp_us);
    void slotSetUpperTimeStamp(uint64_t timestamp_us);
    void slotExportVideo(QString qs_out_full_path, QString qs_out_dir, uint64_t start_ts, uint64_t end_ts);
    void slotCutRawFile(QString qs_out_full_path, QString qs_out_dir, uint64_t start_ts, uint64_t end_ts);
    // Stops the running load, cut or export at its next progress report (what it wrote is removed)
    // and says so with a Warning toast; nothing happens when none runs.
    void cancelWork();

signals:
    void signalEventImage(QImage image);
    void signalRealTimeTimeStamp(uint64_t timestamp);
    void signalStartTimeStamp(uint64_t timestamp);
    void signalEndTimeStamp(uint64_t timestamp);
    void signalPlayStatus(bool playing);
    void signalLoadingStatus(bool loading);
    // The share of the running load, cut or export done, 0 to 100 (emitted when it changes, from the
    // thread doing the work).
    void signalProgress(int percent);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);
    void signalLocalTime(QString str);
    void signalTriggerList(std::vector<std::pair<uint64_t, uint8_t>> triggers);

private:
    // The end of a load that left no recording, on the GUI thread: says why (unless the file was
    // closed or replaced meanwhile) and ends the loading status.
    Q_INVOKABLE void announceFailedLoad(quint64 generation, bool cancelled, QString why);
    void renderLoop();
    // Waits for the load, stops playback and joins every thread of the playback half (destructor).
    void shutDownPlayback();
    void loadLoop(std::shared_ptr<zelvan::DvsFileReader> reader, uint64_t generation);
    void playbackLoop(uint64_t run);
    // Clears `playing` and joins the playback thread (GUI thread).
    void stopPlaybackThread();
    // Stops playback before a step, a seek or a file operation, and tells the play button.
    void stopForStep();
    // Joins the load thread, waiting for a load still running.
    void joinLoad();
    // The frame shown at `timestamp`: counts `events`, announces the time and renders the frame (an
    // empty window gives an empty frame); nothing for a null read. The GUI thread announces the
    // time at once; the playback thread passes its run, and its announcement is dropped on the GUI
    // thread when that run has ended meanwhile.
    void showFrame(const std::shared_ptr<std::vector<zelvan::Event2D>>& events, uint64_t timestamp,
                   std::optional<uint64_t> run = std::nullopt);
    // Frame operations need a loaded file; logs "not raw file." otherwise.
    bool readyForFrames() const;
    enum class FileJob : uint8_t { Cut, Export };
    void startFileJob(FileJob job, const QString& out_full_path, const QString& out_dir, uint64_t start_ts,
                      uint64_t end_ts);
    // The reader's progress callback for work on another thread: reports percentages and answers
    // whether the work goes on (false once `cancel` is set).
    std::function<bool(uint64_t, uint64_t)> progressReporter(const std::atomic<bool>& cancel);

    int width_ = 1280;
    int height_ = 720;
    int maxCount_ = kMaxCount;
    std::unique_ptr<Counters> countBuffer_;
    std::unique_ptr<Counters> renderBuffer_;
    QImage frameImage_;
    std::atomic<uint64_t> currentTimestamp_{0};

    // Guards the theme colours; taken alone, or inside renderMutex_ by the render thread.
    mutable std::mutex colorMutex_;
    ThemeColors colors_{qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(112, 112, 112)};

    // Guards the counters being filled against the swap (so no count of a frame is lost or cleared
    // while counted); taken per batch of events, not per event.
    std::mutex countMutex_;
    // Guards the render buffer, the image and the frame request.
    std::mutex renderMutex_;
    std::condition_variable renderCv_;
    bool frameRequested_ = false;
    bool running_ = true;
    std::atomic<uint64_t> framesDrawn_{0};
    std::thread renderThread_;

    // Playback half. The reader and its replacement belong to the GUI thread; the playback thread
    // reads through it under readerMutex_, the load thread alone while `loading_` is set.
    std::shared_ptr<zelvan::DvsFileReader> reader_;
    mutable std::mutex infoMutex_;  // guards fileInfo_
    zelvan::DvsFileInfo fileInfo_;
    std::atomic<uint64_t> startTimestamp_{0};
    std::atomic<uint64_t> endTimestamp_{0};
    std::atomic<uint64_t> position_{0};
    std::atomic<uint64_t> fps_{33};
    std::atomic<uint64_t> step_{30303};
    std::atomic<uint64_t> accTime_{33333};
    std::atomic<bool> loopPlayback_{false};
    std::atomic<bool> playing_{false};
    std::atomic<bool> loading_{false};
    std::atomic<bool> loaded_{false};     // the reader's loadFile() succeeded
    std::atomic<int> fileJobs_{0};        // cuts and exports running
    std::atomic<int> fileJobsUntold_{0};  // and those whose outcome has not been told yet
    // Set to stop the running load (a close, a new file, Cancel, the destructor) or the running cut
    // or export (Cancel, the destructor); read by the reader's progress callback.
    std::atomic<bool> cancelLoad_{false};
    std::atomic<bool> cancelJob_{false};
    // Counts the opens and closes (GUI thread only): a load announces its file only while it is
    // still the one opened last.
    uint64_t loadGeneration_ = 0;
    // Counts the playback runs (GUI thread only): every start, stop, step, seek, reset or close
    // begins a new one, and a frame announced by an older run is dropped.
    uint64_t frameRun_ = 0;
    std::mutex readerMutex_;
    // Wakes the playback thread's pacing wait when playback stops (guarded by readerMutex_).
    std::condition_variable paceCv_;
    std::thread loadThread_;
    std::thread playbackThread_;
    std::thread exportThread_;
    std::thread cutThread_;
};
