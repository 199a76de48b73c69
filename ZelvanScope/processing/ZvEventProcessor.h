// Turns event streams into images: counts events per pixel and polarity, and paints the counts of
// each frame with the theme colours on a render thread.
//
// The render thread never reads AppSettings: the processor keeps its own copy of the three theme
// colours, taken from the settings at construction and replaced by setThemeColors() (connected to
// AppSettings::colorThemeChanged) under its own lock.
#pragma once

#include <QColor>
#include <QImage>
#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zelvan/Types.h"

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

    // Paints `counts` (width x height x 2) into `image` with the given colours. Exposed for tests
    // and benchmarks; the render thread uses it for every frame.
    static void paint(const std::vector<uint16_t>& counts, int width, int height, QRgb on, QRgb off,
                      QRgb background, QImage& image);
    // The counters being filled (tests only read it between frames).
    const std::vector<uint16_t>& countBufferForTesting() const { return *countBuffer_; }
    // Number of frames drawn so far.
    uint64_t framesDrawn() const { return framesDrawn_.load(); }

    // The colours the next frame is drawn with.
    struct ThemeColors {
        QRgb on;
        QRgb off;
        QRgb background;
    };
    ThemeColors themeColors() const;

public slots:
    // Any thread: the next frame drawn uses these colours; the frame being drawn keeps its own.
    void setThemeColors(QColor on, QColor off, QColor background);

signals:
    void signalEventImage(QImage image);
    void signalRealTimeTimeStamp(uint64_t timestamp);

private:
    void renderLoop();

    int width_ = 1280;
    int height_ = 720;
    int maxCount_ = kMaxCount;
    std::unique_ptr<std::vector<uint16_t>> countBuffer_;
    std::unique_ptr<std::vector<uint16_t>> renderBuffer_;
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
};
