#include "processing/ZvEventProcessor.h"

#include <algorithm>
#include <cstddef>

#include "settings/AppSettings.h"

ZvEventProcessor::ZvEventProcessor(QObject* parent) : QObject(parent) {
    // Created on the GUI thread, which owns the settings: copy the colours now, and again at every
    // theme change.
    AppSettings* settings = AppSettings::instance();
    setThemeColors(settings->onColor, settings->offColor, settings->backgroundColor);
    connect(settings, &AppSettings::colorThemeChanged, this, &ZvEventProcessor::setThemeColors);
    setResolution(1280, 720);
    renderThread_ = std::thread(&ZvEventProcessor::renderLoop, this);
}

ZvEventProcessor::~ZvEventProcessor() {
    // The playback half first: its threads hand frames to the render thread.
    shutDownPlayback();
    {
        std::lock_guard<std::mutex> lock(renderMutex_);
        running_ = false;
    }
    renderCv_.notify_all();
    if (renderThread_.joinable()) renderThread_.join();
}

void ZvEventProcessor::setResolution(int width, int height) {
    std::lock_guard<std::mutex> render(renderMutex_);
    std::lock_guard<std::mutex> count(countMutex_);
    const QRgb background = themeColors().background;
    frameImage_ = QImage(width, height, QImage::Format_RGB888);
    frameImage_.fill(background);
    const size_t counters = size_t(width) * size_t(height);
    countBuffer_ = std::make_unique<Counters>(counters, 0);
    renderBuffer_ = std::make_unique<Counters>(counters, 0);
    height_ = height;
    width_ = width;
}

void ZvEventProcessor::addEvents(const zelvan::Event2D* first, const zelvan::Event2D* last) {
    if (first == last) return;
    std::lock_guard<std::mutex> lock(countMutex_);
    Counter* counts = countBuffer_->data();
    const uint32_t size = static_cast<uint32_t>(countBuffer_->size());
    const uint32_t width = static_cast<uint32_t>(width_);
    const unsigned max_count = static_cast<unsigned>(std::clamp(maxCount_, 0, 15));  // within a nibble
    const auto count = [&](const zelvan::Event2D& e) {
        const uint32_t idx = uint32_t(e.x) + uint32_t(e.y) * width;
        if (idx >= size) return;
        const unsigned shift = e.polarity != 0 ? 4 : 0;
        Counter& c = counts[idx];
        c = Counter(c + ((unsigned((c >> shift) & 0x0F) < max_count) << shift));
    };
    // The events are read once, far more of them than any cache holds: fetched ahead without
    // keeping them, they do not push the counters out of the cache.
    constexpr ptrdiff_t kPerLine = 64 / sizeof(zelvan::Event2D);
    constexpr ptrdiff_t kAhead = 16 * kPerLine;
    const zelvan::Event2D* e = first;
    for (; last - e >= kAhead + kPerLine; e += kPerLine) {
        __builtin_prefetch(e + kAhead, 0, 0);
        for (ptrdiff_t i = 0; i < kPerLine; ++i) count(e[i]);
    }
    for (; e != last; ++e) count(*e);
    currentTimestamp_ = first->timestamp;
}

void ZvEventProcessor::requestRender() {
    std::lock_guard<std::mutex> render(renderMutex_);
    {
        std::lock_guard<std::mutex> count(countMutex_);
        std::swap(countBuffer_, renderBuffer_);
        std::fill(countBuffer_->begin(), countBuffer_->end(), 0);
    }
    frameRequested_ = true;
    renderCv_.notify_one();
}

ZvEventProcessor::ThemeColors ZvEventProcessor::themeColors() const {
    std::lock_guard<std::mutex> lock(colorMutex_);
    return colors_;
}

void ZvEventProcessor::setThemeColors(QColor on, QColor off, QColor background) {
    const ThemeColors colors{on.rgb(), off.rgb(), background.rgb()};
    std::lock_guard<std::mutex> lock(colorMutex_);
    colors_ = colors;
}

void ZvEventProcessor::showCurrentFrame() {
    emit signalRealTimeTimeStamp(currentTimestamp_.load());
    requestRender();
}

void ZvEventProcessor::paint(const Counters& counts, int width, int height, QRgb on, QRgb off,
                             QRgb background, QImage& image) {
    const uint8_t colours[3][3] = {
        {uint8_t(qRed(background)), uint8_t(qGreen(background)), uint8_t(qBlue(background))},
        {uint8_t(qRed(on)), uint8_t(qGreen(on)), uint8_t(qBlue(on))},
        {uint8_t(qRed(off)), uint8_t(qGreen(off)), uint8_t(qBlue(off))},
    };
    // The colour of every counter value. 1: ON wins; 2: OFF wins or ties (with at least one event);
    // 0: no event.
    uint8_t which[256];
    for (int v = 0; v < 256; ++v) {
        const int n = onCount(Counter(v));
        const int o = offCount(Counter(v));
        which[v] = uint8_t((n != 0 && n > o) ? 1 : ((o != 0 && o >= n) ? 2 : 0));
    }
    const Counter* c = counts.data();
    for (int y = 0; y < height; ++y) {
        uint8_t* line = image.scanLine(y);
        const Counter* row = c + size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x) {
            const uint8_t* colour = colours[which[row[x]]];
            uint8_t* px = line + 3 * x;
            px[0] = colour[0];
            px[1] = colour[1];
            px[2] = colour[2];
        }
    }
}

void ZvEventProcessor::renderLoop() {
    std::unique_lock<std::mutex> lock(renderMutex_);
    for (;;) {
        renderCv_.wait(lock, [this] { return frameRequested_ || !running_; });
        if (!running_) return;
        frameRequested_ = false;
        const ThemeColors colors = themeColors();
        if (frameImage_.width() != width_ || frameImage_.height() != height_) continue;
        paint(*renderBuffer_, width_, height_, colors.on, colors.off, colors.background, frameImage_);
        ++framesDrawn_;
        emit signalEventImage(frameImage_);
    }
}
