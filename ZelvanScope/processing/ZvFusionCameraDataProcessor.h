// Turns the data of a fusion camera into images: live, fed by the camera's callbacks through the
// pairing processor, and in playback of a fusion recording (BASE.raw events, BASE.mp4 frames,
// BASE.json calibration). Each frame is resampled onto the event sensor's grid by the calibrator and
// shown alone (APS), as events only (DVS), or with its events drawn over it (DVS_AND_APS).
//
// Live: the pairing processor cuts the events at the frames' exposure ends (the camera stamps every
// frame with its exposure window on the event clock) and calls the fusion handler on the camera's
// threads; the events-only view counts events per pixel on the camera's event thread.
//
// Playback: a loader thread opens the two files, a playback thread advances the time base by one
// frame interval every 33 333 us of wall-clock time, and the frames are decoded and resampled ahead
// on a thread of their own (FusionFrameQueue). The GUI thread steps and seeks after stopping playback.
// Every thread is owned and joined by this object. Images and times leave these threads through
// signals (queued to the GUI thread by the window's connections).
//
// Failures reach the user as toasts (signalShowLeftBottomTips): a recording that cannot be loaded
// (naming the file), a calibration that cannot be stored.
#pragma once

#include <QImage>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Utility/ViewerUtils.h"
#include "processing/Calibrator.h"
#include "processing/DvsApsFusionProccessor.h"
#include "zelvan/ApsFrame.h"
#include "zelvan/CalibratorParameters.h"
#include "zelvan/Types.h"

namespace zelvan {
class ApsFileReader;
class DvsFileReader;
class FusionCamera;
}  // namespace zelvan
class FusionFrameQueue;

class ZvFusionCameraDataProcessor : public QObject {
    Q_OBJECT
public:
    static constexpr int kCountLimit = 10;
    static constexpr uint64_t kWallPeriodUs = 33333;  // wall-clock time of one playback tick

    explicit ZvFusionCameraDataProcessor(QObject* parent = nullptr);
    ~ZvFusionCameraDataProcessor() override;

    // How the frames of a recording are opened (ApsFileReader::createFileReader unless set; tests).
    using FrameReaderFactory = std::function<std::shared_ptr<zelvan::ApsFileReader>(const std::string& path)>;
    void setFrameReaderFactory(FrameReaderFactory factory) { frameReaderFactory_ = std::move(factory); }

    // Live use (the window registers the camera's callbacks to these).
    void setFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera);
    std::shared_ptr<zelvan::FusionCamera> fusionCamera() const;
    // False (logged) when `params` cannot be used: the default calibration is loaded instead.
    bool loadCalibration(zelvan::CalibratorParameters& params);
    void addApsData(zelvan::ApsFrame frame);
    void addDvsData(const zelvan::Event2D* first, const zelvan::Event2D* last);
    void addSyncSignal(zelvan::EventTriggerIn trigger);
    void clearFusionData();
    void accumulateDvsEvents(const zelvan::Event2D* first, const zelvan::Event2D* last);

    // The pairing processor's handler: shows `frame` with the events of [first, last) (time-ordered)
    // of the accumulation time up to the frame's exposure end.
    void fusionHandler(zelvan::ApsFrame& frame, zelvan::Event2D* first, zelvan::Event2D* last);

    // Paints `events` onto `image` (BGR888, DVS size): polarity 1 in `on`, others in `off`; columns
    // mirrored left to right when `mirror` is set. Events outside the image are skipped.
    static void drawEvents(const zelvan::Event2D* first, const zelvan::Event2D* last, bool mirror, QRgb on,
                           QRgb off, QImage& image);

    Calibrator& calibrator() { return calibrator_; }
    DvsApsFusionProccessor& pairing() { return fusion_; }
    zelvan::STREAM_TYPE viewerType() const { return viewType_.load(); }
    // The live counters (2 per event pixel: off, on) for tests.
    std::vector<uint16_t> countersForTesting() const;

    // Playback state, for the window and tests.
    bool isLoading() const { return loading_.load(); }
    bool hasFile() const;
    bool isPlaying() const { return playing_.load(); }
    bool replay() const { return replay_.load(); }
    uint64_t timeBase() const { return timeBase_.load(); }
    uint64_t frameOffset() const { return frameOffset_.load(); }
    uint64_t lowerTimestamp() const { return lower_.load(); }
    uint64_t upperTimestamp() const { return upper_.load(); }
    uint64_t frameInterval() const { return interval_.load(); }
    uint64_t accumulationTime() const { return accTime_.load(); }
    int fps() const { return fps_.load(); }
    // Time (on the event clock) of the frame shown in playback.
    uint64_t currentFrameTime() const;
    // The folder the manual calibration file is written to, and its path.
    QString calibrationFilePath() const;

public slots:
    void setThemeColors(QColor on, QColor off, QColor background);
    void slotSetViewerType(zelvan::STREAM_TYPE type);
    bool slotReadFusionFile(QString str);
    // Stops a load under way at its next progress report (it ends with a Warning).
    void cancelWork();

public slots:
    void slotSetLowerTimeStamp(uint64_t timestamp);
    void slotSetUpperTimeStamp(uint64_t timestamp);
    void slotSetReplayFlag(bool replay);
    void slotPlaybackCtrl(bool play);
    void slotPlaybackReset();
    void preFrame();
    void nextFrame();
    void setPlayPos(uint64_t timestamp_us);
    // setPlayPos of the latest time asked for, once the GUI thread has handled what waits for it:
    // the many positions of a slider drag cost one seek each time the thread comes round (GUI thread).
    void requestPlayPos(uint64_t timestamp_us);
    void setFps(int fps);
    void setAccTime(uint64_t time_us);
    void slotSetApsOffset(double dx, double dy);
    void slotApplyOffset();

signals:
    void signalFusionImage(QImage image);
    void signalFusionPixMap(QPixmap pixmap);
    void triggerFusionImage();
    void signalTimeStamp(uint64_t timestamp);
    void signalLocalTime(QString str);
    void signalStartTimeStamp(uint64_t timestamp);
    void signalEndTimeStamp(uint64_t timestamp);
    void signalPalyFileFinished();
    void signalPlayStatus(bool playing);
    void signalLoadingStatus(bool loading);
    void signalProgress(int percent);  // of a load, -1 when unknown
    // The manual translation was folded into the calibration (Apply): it is 0 now.
    void signalCalibrationOffsetApplied();
    void signalShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path);
    void signalShowLeftBottomTips(QString tips, ZvMessageType type);
    void signalShowLeftBottomTips(QString tips);

private:
    struct Colors {
        QRgb on;
        QRgb off;
        QRgb background;
    };
    Colors colors() const;
    void loadLoop(std::shared_ptr<zelvan::ApsFileReader> frames,
                  std::shared_ptr<zelvan::DvsFileReader> events, QString path);
    // The end of a load that left no recording: the readers go, the user is told.
    void failLoad(const QString& log_line, const QString& tip, const QString& path,
                  ZvMessageType type = ZvMessageType::Error);
    void playbackLoop();
    // Stops the playback thread (GUI thread); `tell` emits signalPlayStatus(false).
    void stopPlayback(bool tell);
    // Stops a load under way (at its next progress report) and joins its thread.
    void joinLoader();
    // Shows the frame at the time base (playback, under the reader lock). False when nothing was
    // shown (a frame could not be read).
    bool renderFrameAt();
    // A step that showed nothing: back to time base `tb` (under the reader lock).
    void keepTimeBase(uint64_t tb);
    // Rewinds to the playback start (under the reader lock).
    bool rewindLocked();
    // Frame operations need a loaded recording.
    bool readyForSteps() const;
    void closeRecording();
    void emitImage(const QImage& image, uint64_t timestamp);
    void runRequestedPlayPos();

    // Live.
    mutable std::mutex cameraMutex_;
    std::shared_ptr<zelvan::FusionCamera> camera_;
    std::atomic<bool> cameraSet_{false};
    std::atomic<zelvan::STREAM_TYPE> viewType_{zelvan::DVS_AND_APS};
    int dvsWidth_ = 1280;
    int dvsHeight_ = 720;
    mutable std::mutex counterMutex_;
    std::vector<uint16_t> counters_;
    std::mutex imageMutex_;        // the fusion image
    std::mutex eventsImageMutex_;  // the events image
    QImage fusionImage_;
    QImage eventsImage_;
    zelvan::ApsFrame liveMapped_;  // the handler's resampled frame (the handler runs under the pairing lock)
    mutable std::mutex colorMutex_;
    Colors colors_{qRgb(255, 255, 255), qRgb(0, 0, 0), qRgb(112, 112, 112)};

    Calibrator calibrator_;
    DvsApsFusionProccessor fusion_;

    // Playback. The readers belong to the GUI thread; the loader uses them alone while loading_ is
    // set, the playback thread and the GUI thread's steps under readerMutex_.
    FrameReaderFactory frameReaderFactory_;
    std::shared_ptr<zelvan::ApsFileReader> frameReader_;
    std::shared_ptr<zelvan::DvsFileReader> eventReader_;
    std::unique_ptr<FusionFrameQueue> frames_;
    std::vector<uint64_t> frameTimes_;
    std::mutex readerMutex_;
    std::condition_variable paceCv_;  // wakes the pacing wait on stop (guarded by readerMutex_)
    zelvan::ApsFrame currentFrame_;
    zelvan::ApsFrame nextFrame_;
    bool skipsTold_ = false;  // frames that could not be decoded were told about (under readerMutex_)
    std::atomic<uint64_t> currentFrameTime_{0};
    std::atomic<bool> playing_{false};
    std::atomic<bool> replay_{false};
    std::atomic<bool> loading_{false};
    std::atomic<bool> cancelLoad_{false};
    std::atomic<bool> loaded_{false};
    std::atomic<uint64_t> eventStart_{0};
    std::atomic<uint64_t> eventEnd_{0};
    std::atomic<uint64_t> lower_{0};
    std::atomic<uint64_t> upper_{0};
    std::atomic<uint64_t> timeBase_{0};
    std::atomic<uint64_t> frameOffset_{0};
    std::atomic<int> fps_{30};
    std::atomic<uint64_t> interval_{33333};
    std::atomic<uint64_t> accTime_{33333};
    uint64_t requestedPos_ = 0;  // GUI thread only
    bool seekRequested_ = false;
    std::thread loaderThread_;
    std::thread playbackThread_;
};
