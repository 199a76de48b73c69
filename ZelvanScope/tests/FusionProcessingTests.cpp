// The fusion side of the viewer: pairing frames with event segments (DvsApsFusionProccessor), the
// calibrator, and ZvFusionCameraDataProcessor live (counting, drawing) and playing fusion recordings.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>
#include <vector>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "processing/Calibrator.h"
#include "processing/DvsApsFusionProccessor.h"
#include "processing/FusionFrameQueue.h"
#include "processing/ZvFusionCameraDataProcessor.h"
#include "settings/AppSettings.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/DataToVideoConverter.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"

namespace {

constexpr int kDeadlineMs = 20000;
using Pairing = DvsApsFusionProccessor::Pairing;

std::vector<zelvan::Event2D> eventsAt(std::initializer_list<uint64_t> times, uint16_t x = 1) {
    std::vector<zelvan::Event2D> out;
    for (uint64_t t : times) out.emplace_back(x, 2, 1, t);
    return out;
}

zelvan::ApsFrame frameEnding(uint64_t end, int tag = 0) {
    zelvan::ApsFrame frame(4, 2, end > 100 ? end - 100 : 0, end);
    frame.data()[0] = uint8_t(tag);
    return frame;
}

zelvan::EventTriggerIn sync(int16_t polarity, uint64_t t) { return zelvan::EventTriggerIn(0, polarity, t); }

struct Pair {
    int tag;
    std::vector<uint64_t> times;
};

// Records the pairs the processor hands out: the frame's tag and the events' times.
void recordPairs(DvsApsFusionProccessor& p, std::vector<Pair>& pairs) {
    p.addFusionDataCallback([&pairs](zelvan::ApsFrame& frame, zelvan::Event2D* first, zelvan::Event2D* last) {
        Pair pair{frame.data()[0], {}};
        for (auto* e = first; e != last; ++e) pair.times.push_back(e->timestamp);
        pairs.push_back(pair);
    });
}

// A frame of APS size whose pixel (x, y) holds x in its low 12 bits and y in its high 12 bits.
zelvan::ApsFrame coordinateFrame() {
    zelvan::ApsFrame frame(3840, 2160, 1, 2);
    uint8_t* p = frame.data();
    for (uint32_t y = 0; y < 2160; ++y)
        for (uint32_t x = 0; x < 3840; ++x, p += 3) {
            const uint32_t v = x | (y << 12);
            p[0] = uint8_t(v);
            p[1] = uint8_t(v >> 8);
            p[2] = uint8_t(v >> 16);
        }
    return frame;
}

// The APS pixel a resampled pixel came from (or (-1, -1) for a black one outside the frame).
QPoint sourceOf(const zelvan::ApsFrame& mapped, int x, int y) {
    const uint8_t* p = mapped.data() + (size_t(y) * size_t(mapped.width()) + size_t(x)) * 3;
    const uint32_t v = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
    if (v == 0 && !(x == 0 && y == 0)) return {-1, -1};
    return {int(v & 0xFFF), int(v >> 12)};
}

QRgb pixelAt(const QImage& image, int x, int y) { return image.pixel(x, y) | 0xFF000000u; }

// Small fusion recordings: frames of kW x kH whose colour tells their number, a calibration that maps
// the event grid onto them, and events of one pixel per 1000 us.
constexpr int kW = 320;
constexpr int kH = 180;

bool writeMp4(const QString& path, const std::vector<int64_t>& pts) {
    zelvan::DataToVideoConverter video;
    video.setConverterFrameSize(kH, kW, kH, kW);
    if (video.setConverterFmt(zelvan::DataToVideoConverter::kPixFmtBgr24,
                              zelvan::DataToVideoConverter::kPixFmtYuv420p) != 0)
        return false;
    if (video.initVideoConverter() != 0 || video.setOutputFile(path.toStdString()) != 0) return false;
    std::vector<uint8_t> bgr(size_t(kW) * kH * 3);
    for (size_t i = 0; i < pts.size(); ++i) {
        std::fill(bgr.begin(), bgr.end(), uint8_t(40 + 40 * i));
        if (video.rgbToVideo(bgr.data(), pts[i]) != 0) return false;
    }
    return video.flushAndCloseVideo() == 0;
}

void writeRaw(const QString& path, uint64_t aps_start, uint64_t from, uint64_t to) {
    zelvan::DvsFileInfo info;
    info.aps_start_timestamp = aps_start;
    info.dvs_start_timestamp = from;
    info.serial_number = "FUSION-TEST";
    info.date = std::chrono::system_clock::now();
    const std::string header = zelvan::generateDvsFileHeader(info);
    std::vector<uint8_t> bytes(header.begin(), header.end());
    zelvan::EVT3Encoder encoder(1280);
    std::vector<zelvan::Event2D> events;
    for (uint64_t t = from; t < to; t += 1000) {
        events.assign(1, zelvan::Event2D(uint16_t(10 + (t / 1000) % 100), 20, 1, t));
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), bytes);
    }
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void writeCalibration(const QString& path) {
    zelvan::CalibratorParameters p = Calibrator::defaultParameters();
    p.aps_width = kW;
    p.aps_height = kH;
    const double s = double(kW) / 1280.0;
    p.transforms["1"] = {s, 0, 0, 0, s, 0};
    p.transforms["0"] = {1 / s, 0, 0, 0, 1 / s, 0};
    QVERIFY(zelvan::paramToJsonFile(p, path.toStdString()));
}

// Ten small frames at 0, 1000, ... 9000 us whose first byte tells their number. A seek to
// `failingSeek` fails after the reader has run to the end of the file.
class ListedFrameReader : public zelvan::ApsFileReader {
public:
    static constexpr uint64_t kFrames = 10;
    uint64_t failingSeek = 999'999;
    std::set<uint64_t> undecodable;  // numbers of frames that cannot be decoded
    std::function<void()> onLoad;    // runs in loadFile()

    ListedFrameReader() : zelvan::ApsFileReader("listed.mp4") {
        width_ = 8;
        height_ = 4;
    }
    bool loadFile() override {
        if (onLoad) onLoad();
        return true;
    }
    // What the reader's progress callback answers now (true: go on).
    bool askToGoOn() const { return !progress_ || progress_(0, 1); }
    bool seekTime(uint64_t) override { return false; }
    bool getTimeStamps(std::vector<uint64_t>& timestamps) override {
        timestamps.clear();
        for (uint64_t i = 0; i < kFrames; ++i) timestamps.push_back(1000 * i);
        return true;
    }
    bool getNextFrame(zelvan::ApsFrame& frame) override {
        if (position_ >= kFrames) return false;
        if (undecodable.count(position_)) {
            ++position_;  // the reader went past it
            return false;
        }
        frame = zelvan::ApsFrame(width_, height_, 1000 * position_, 1000 * position_);
        frame.data()[0] = uint8_t(position_);
        ++position_;
        return true;
    }
    bool getNFrame(int index, zelvan::ApsFrame& frame) override {
        return getFrameGivenTimeStamp(1000 * uint64_t(index), frame);
    }
    bool getFrameGivenTimeStamp(uint64_t timestamp, zelvan::ApsFrame& frame) override {
        if (timestamp == failingSeek) {
            position_ = kFrames;
            return false;
        }
        position_ = std::min(timestamp / 1000, kFrames - 1);
        return getNextFrame(frame);
    }

private:
    uint64_t position_ = 0;
};

// The number of the frame an image shows (frames are filled with 40 + 40 * number).
int frameNumber(const QImage& image) {
    const int v = qBlue(image.pixel(600, 400));
    return int(std::lround((v - 40) / 40.0));
}

}  // namespace

class FusionProcessingTests : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    // base.raw (aps start 5 000 000), base.mp4 (frames at `pts`), base.json.
    QString writeRecording(const QString& name, const std::vector<int64_t>& pts,
                           uint64_t raw_end = 5'400'000) {
        const QString base = dir_.filePath(name);
        writeRaw(base + ".raw", 5'000'000, 4'900'000, raw_end);
        if (!writeMp4(base + ".mp4", pts)) return {};
        writeCalibration(base + ".json");
        return base + ".raw";
    }

    // Opens a recording and waits until it has loaded (and stops the playback its load starts).
    void openLoaded(ZvFusionCameraDataProcessor& p, const QString& path) {
        QVERIFY(p.slotReadFusionFile(path));
        QTRY_VERIFY_WITH_TIMEOUT(!p.isLoading(), kDeadlineMs);
        QVERIFY(p.hasFile());
    }

private slots:
    // --- Pairing by sync signal ---

    void threeFramesBeforeAnySyncSignalWaitForThem() {
        DvsApsFusionProccessor p;
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        for (int i = 1; i <= 3; ++i) p.addApsData(frameEnding(1000 * i, i));
        QVERIFY(pairs.empty());
        const auto a = eventsAt({10, 20});
        p.addDvsData(a.data(), a.data() + a.size());
        p.addSyncSignal(sync(1, 25));
        const auto b = eventsAt({30});
        p.addDvsData(b.data(), b.data() + b.size());
        p.addSyncSignal(sync(1, 35));
        p.addSyncSignal(sync(1, 45));
        QCOMPARE(pairs.size(), size_t(3));
        QCOMPARE(pairs[0].tag, 1);
        QCOMPARE(pairs[0].times, std::vector<uint64_t>({10, 20}));
        QCOMPARE(pairs[1].tag, 2);
        QCOMPARE(pairs[1].times, std::vector<uint64_t>({30}));
        QCOMPARE(pairs[2].tag, 3);
        QVERIFY(pairs[2].times.empty());
    }

    void syncSignalsOfOtherPolaritiesChangeNothing() {
        DvsApsFusionProccessor p;
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        p.addApsData(frameEnding(1000, 1));
        const auto a = eventsAt({10, 20});
        p.addDvsData(a.data(), a.data() + a.size());
        p.addSyncSignal(sync(0, 21));
        p.addSyncSignal(sync(2, 22));
        QVERIFY(pairs.empty());
        QCOMPARE(p.queuedSegments(), size_t(0));
        QCOMPARE(p.currentSegmentSize(), size_t(2));
        p.addSyncSignal(sync(1, 23));
        QCOMPARE(pairs.size(), size_t(1));
        QCOMPARE(pairs[0].times, std::vector<uint64_t>({10, 20}));
    }

    void clearDropsQueuedFramesAndTheSegmentBeingFilled() {
        DvsApsFusionProccessor p;
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        p.addApsData(frameEnding(1000, 1));
        const auto a = eventsAt({10, 20});
        p.addDvsData(a.data(), a.data() + a.size());
        p.clear();
        QCOMPARE(p.queuedFrames(), size_t(0));
        p.addSyncSignal(sync(1, 30));
        QVERIFY(pairs.empty());  // the frame queued before the clear is gone
        p.addApsData(frameEnding(2000, 2));
        QCOMPARE(pairs.size(), size_t(1));
        QCOMPARE(pairs[0].tag, 2);
        QVERIFY(pairs[0].times.empty());  // the segment closed after the clear started empty
    }

    void withoutCallbackPairsAreTakenAndDiscarded() {
        DvsApsFusionProccessor p;
        p.addApsData(frameEnding(1000, 1));
        p.addApsData(frameEnding(2000, 2));
        p.addSyncSignal(sync(1, 10));
        p.addSyncSignal(sync(1, 20));
        QCOMPARE(p.queuedFrames(), size_t(0));
        QCOMPARE(p.queuedSegments(), size_t(0));
        QCOMPARE(p.counters().pairs, uint64_t(2));
        // A callback set afterwards gets only what comes after.
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        p.addApsData(frameEnding(3000, 3));
        p.addSyncSignal(sync(1, 30));
        QCOMPARE(pairs.size(), size_t(1));
        QCOMPARE(pairs[0].tag, 3);
    }

    void framesWithoutSegmentsAreBoundedAndLaterPairsStayAligned() {
        DvsApsFusionProccessor p;
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        // Ten frames and no sync signal: the queue keeps the last four.
        for (int i = 0; i < 10; ++i) p.addApsData(frameEnding(1000 * (i + 1), i));
        QCOMPARE(p.queuedFrames(), DvsApsFusionProccessor::kMaxQueuedFrames);
        QCOMPARE(p.counters().droppedFrames, uint64_t(10 - DvsApsFusionProccessor::kMaxQueuedFrames));
        // Segment k goes with frame k: the segments of the dropped frames are discarded.
        for (uint64_t k = 0; k < 10; ++k) {
            const auto e = eventsAt({100 + k});
            p.addDvsData(e.data(), e.data() + e.size());
            p.addSyncSignal(sync(1, 200 + k));
        }
        QCOMPARE(pairs.size(), size_t(4));
        for (size_t i = 0; i < 4; ++i) {
            QCOMPARE(pairs[i].tag, int(6 + i));
            QCOMPARE(pairs[i].times, std::vector<uint64_t>({100 + 6 + i}));
        }
    }

    void framesLeftWithoutTheirSegmentAreLogged() {
        DvsApsFusionProccessor p;
        p.setDropLogInterval(std::chrono::milliseconds(0));
        // Nine segments while no frame comes: the first one is dropped from the full queue.
        QTest::ignoreMessage(QtWarningMsg,
                             "Fusion pairing fell behind: 0 frames, 1 segments and 0 events "
                             "dropped so far.");
        for (int i = 0; i < 9; ++i) p.addSyncSignal(sync(1, uint64_t(i)));
        // Frame 0, whose segment went, is found out at pairing: counted and logged.
        QTest::ignoreMessage(QtWarningMsg,
                             "Fusion pairing fell behind: 1 frames, 1 segments and 0 events "
                             "dropped so far.");
        p.addApsData(frameEnding(1000, 1));
        QCOMPARE(p.counters().droppedFrames, uint64_t(1));
        QCOMPARE(p.counters().pairs, uint64_t(0));
    }

    void byFrameTimeFramesThatCannotBePlacedAreBoundedAndLogged() {
        DvsApsFusionProccessor p(Pairing::ByFrameTime);
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        // Frames whose exposure ends do not move on (no frame period) and no events: four wait.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Fusion pairing fell behind: 1 frames"));
        for (int i = 0; i < 10; ++i) p.addApsData(frameEnding(1000, i));
        QVERIFY(pairs.empty());
        QCOMPARE(p.queuedFrames(), DvsApsFusionProccessor::kMaxQueuedFrames);
        QCOMPARE(p.counters().droppedFrames, uint64_t(10 - DvsApsFusionProccessor::kMaxQueuedFrames));
        // A later event completes the four newest.
        const auto a = eventsAt({900, 1001});
        p.addDvsData(a.data(), a.data() + a.size());
        QCOMPARE(pairs.size(), size_t(4));
        QCOMPARE(pairs[0].tag, 6);
        QCOMPARE(pairs[0].times, std::vector<uint64_t>({900}));
    }

    void byFrameTimeClearDropsTheWaitingFramesAndEvents() {
        DvsApsFusionProccessor p(Pairing::ByFrameTime);
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        const auto a = eventsAt({500, 900});
        p.addDvsData(a.data(), a.data() + a.size());
        p.addApsData(frameEnding(1000, 1));
        p.addApsData(frameEnding(2000, 2));
        p.clear();
        QCOMPARE(p.queuedFrames(), size_t(0));
        QCOMPARE(p.currentSegmentSize(), size_t(0));
        // The frame period is learned again: frame 3 waits for a later event.
        p.addApsData(frameEnding(5000, 3));
        p.addApsData(frameEnding(9000, 4));
        QVERIFY(pairs.empty());
        const auto b = eventsAt({4000, 5001});
        p.addDvsData(b.data(), b.data() + b.size());
        QCOMPARE(pairs.size(), size_t(1));
        QCOMPARE(pairs[0].tag, 3);
        QCOMPARE(pairs[0].times, std::vector<uint64_t>({4000}));
    }

    void segmentsWithoutFramesAreBounded() {
        DvsApsFusionProccessor p;
        for (int i = 0; i < 50; ++i) p.addSyncSignal(sync(1, uint64_t(i)));
        QCOMPARE(p.queuedSegments(), DvsApsFusionProccessor::kMaxQueuedSegments);
        QCOMPARE(p.counters().droppedSegments, uint64_t(50 - DvsApsFusionProccessor::kMaxQueuedSegments));
    }

    void aSegmentNeverGrowsBeyondItsCapacity() {
        DvsApsFusionProccessor p;
        std::vector<zelvan::Event2D> block(1'000'000);
        for (size_t i = 0; i < block.size(); ++i) block[i].timestamp = i;
        for (int i = 0; i < 5; ++i) p.addDvsData(block.data(), block.data() + block.size());
        QVERIFY(p.currentSegmentSize() <= DvsApsFusionProccessor::kSegmentCapacity);
        QVERIFY(p.counters().droppedEvents >= 5'000'000 - DvsApsFusionProccessor::kSegmentCapacity);
        QCOMPARE(p.currentSegmentSize() + p.counters().droppedEvents, uint64_t(5'000'000));
    }

    // --- Pairing by frame time ---

    void byFrameTimeAFrameTakesTheEventsUpToItsExposureEnd() {
        DvsApsFusionProccessor p(Pairing::ByFrameTime);
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        const auto a = eventsAt({90, 100, 110});
        p.addDvsData(a.data(), a.data() + a.size());
        p.addApsData(frameEnding(100, 1));
        QCOMPARE(pairs.size(), size_t(1));
        QCOMPARE(pairs[0].times, std::vector<uint64_t>({90, 100}));
        // The next frame waits until the stream has passed its end.
        p.addApsData(frameEnding(200, 2));
        QCOMPARE(pairs.size(), size_t(1));
        const auto b = eventsAt({150, 200});
        p.addDvsData(b.data(), b.data() + b.size());
        QCOMPARE(pairs.size(), size_t(1));
        p.addSyncSignal(sync(1, 201));  // not used in this pairing
        QCOMPARE(pairs.size(), size_t(1));
        const auto c = eventsAt({201});
        p.addDvsData(c.data(), c.data() + c.size());
        QCOMPARE(pairs.size(), size_t(2));
        QCOMPARE(pairs[1].tag, 2);
        QCOMPARE(pairs[1].times, std::vector<uint64_t>({110, 150, 200}));
        QCOMPARE(p.currentSegmentSize(), size_t(1));
    }

    void byFrameTimeAFrameWithoutLaterEventsGoesTwoFramePeriodsLater() {
        DvsApsFusionProccessor p(Pairing::ByFrameTime);
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        const auto a = eventsAt({500, 900});
        p.addDvsData(a.data(), a.data() + a.size());
        p.addApsData(frameEnding(1000, 1));
        p.addApsData(frameEnding(2000, 2));
        QVERIFY(pairs.empty());  // one period: the events may still come
        p.addApsData(frameEnding(3000, 3));
        QCOMPARE(pairs.size(), size_t(1));
        QCOMPARE(pairs[0].tag, 1);
        QCOMPARE(pairs[0].times, std::vector<uint64_t>({500, 900}));
        // No events at all: each frame goes two frames later, nothing is dropped.
        for (int i = 4; i <= 12; ++i) p.addApsData(frameEnding(1000 * uint64_t(i), i));
        QCOMPARE(pairs.size(), size_t(10));
        for (size_t i = 0; i < pairs.size(); ++i) QCOMPARE(pairs[i].tag, int(i + 1));
        QVERIFY(pairs[5].times.empty());
        QCOMPARE(p.counters().droppedFrames, uint64_t(0));
        // An event after them completes the two that wait.
        const auto b = eventsAt({12001});
        p.addDvsData(b.data(), b.data() + b.size());
        QCOMPARE(pairs.size(), size_t(12));
    }

    void byFrameTimeWithoutWaitingForEventsEveryFrameGoesAtOnce() {
        DvsApsFusionProccessor p(Pairing::ByFrameTime);
        std::vector<Pair> pairs;
        recordPairs(p, pairs);
        p.addApsData(frameEnding(1000, 1));
        QVERIFY(pairs.empty());
        p.setWaitForEvents(false);  // the waiting frame goes
        QCOMPARE(pairs.size(), size_t(1));
        const auto a = eventsAt({1500, 2500});
        p.addDvsData(a.data(), a.data() + a.size());
        p.addApsData(frameEnding(2000, 2));
        QCOMPARE(pairs.size(), size_t(2));
        QCOMPARE(pairs[1].times, std::vector<uint64_t>({1500}));
        QCOMPARE(p.currentSegmentSize(), size_t(1));
    }

    void liveFramesWithoutEventsStillGiveImages() {
        ZvFusionCameraDataProcessor p;
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        // Frame only: at once.
        p.slotSetViewerType(zelvan::APS);
        p.addApsData(zelvan::ApsFrame(3840, 2160, 0, 33333));
        QCOMPARE(images.count(), 1);
        // Events only, and a still scene: two frames later.
        p.slotSetViewerType(zelvan::DVS);
        p.addApsData(zelvan::ApsFrame(3840, 2160, 33333, 66666));
        p.addApsData(zelvan::ApsFrame(3840, 2160, 66666, 99999));
        QCOMPARE(images.count(), 1);
        p.addApsData(zelvan::ApsFrame(3840, 2160, 99999, 133332));
        QCOMPARE(images.count(), 2);
        p.addApsData(zelvan::ApsFrame(3840, 2160, 133332, 166665));
        QCOMPARE(images.count(), 3);
    }

    // --- Calibrator ---

    void calibratorDefaultsMapTheSensorCentresOntoEachOther() {
        Calibrator c;
        const zelvan::ApsFrame aps = coordinateFrame();
        zelvan::ApsFrame mapped;
        c.mapApsToDvs(aps, mapped);
        QCOMPARE(mapped.width(), 1280);
        QCOMPARE(mapped.height(), 720);
        QCOMPARE(mapped.startTimestamp(), uint64_t(1));
        QCOMPARE(mapped.endTimestamp(), uint64_t(2));
        QCOMPARE(sourceOf(mapped, 640, 360), QPoint(1920, 1080));
        // (0, 0) maps to x = -225.1, truncated to -225: outside, left black.
        const uint8_t* origin = mapped.data();
        QCOMPARE(int(origin[0]) + int(origin[1]) + int(origin[2]), 0);
        // The inverse default maps the frame's centre back onto the event sensor's.
        const Calibrator::Affine inv = c.inverseTransform();
        QVERIFY(std::fabs(inv[0] * 1920 + inv[2] - 640) < 1e-9);
        QVERIFY(std::fabs(inv[4] * 1080 + inv[5] - 360) < 1e-9);
    }

    void translationShiftsTheSampledColumnAndSaveFoldsIt() {
        Calibrator c;
        c.adjustAffineTranslation(10, 0);
        c.adjustAffineTranslation(10, 0);  // replaces, does not add
        const zelvan::ApsFrame aps = coordinateFrame();
        zelvan::ApsFrame mapped;
        c.mapApsToDvs(aps, mapped);
        QCOMPARE(sourceOf(mapped, 640, 360), QPoint(1930, 1080));
        std::string path = dir_.filePath("saved_calibration.json").toStdString();
        QVERIFY(c.saveCalibrationParam(path));
        QCOMPARE(c.forwardTransform()[2], -215.10344827586232);
        QCOMPARE(c.translationX(), 0.0);
        QCOMPARE(c.translationY(), 0.0);
        // The display does not jump: the same source once the translation is folded in.
        c.mapApsToDvs(aps, mapped);
        QCOMPARE(sourceOf(mapped, 640, 360), QPoint(1930, 1080));
        // The file holds the folded transform and its inverse.
        zelvan::CalibratorParameters read;
        QVERIFY(zelvan::jsonFileToParam(path, read));
        QCOMPARE(read.transforms["1"][2], -215.10344827586232);
        Calibrator reloaded;
        QVERIFY(reloaded.loadCalibrationParam(read));
        const Calibrator::Affine inv = reloaded.inverseTransform();
        QVERIFY(std::fabs(inv[0] * 1930 + inv[2] - 640) < 1e-9);
    }

    void singularTransformLeavesTheInverseUntouched() {
        const double singular[6] = {0, 0, 5, 0, 0, 7};
        double out[6] = {1, 2, 3, 4, 5, 6};
        Calibrator::computeInverseAffine(singular, out);
        QCOMPARE(std::vector<double>(out, out + 6), std::vector<double>({1, 2, 3, 4, 5, 6}));
        const double shift[6] = {2, 0, 4, 0, 4, 8};
        Calibrator::computeInverseAffine(shift, out);
        QCOMPARE(std::vector<double>(out, out + 6), std::vector<double>({0.5, 0, -2, 0, 0.25, -2}));
    }

    void unusableCalibrationRecordsKeepTheTransformsInUse() {
        Calibrator c;
        const Calibrator::Affine before = c.forwardTransform();
        zelvan::CalibratorParameters missing = Calibrator::defaultParameters();
        missing.transforms.erase("0");
        QVERIFY(!c.loadCalibrationParam(missing));
        zelvan::CalibratorParameters short_one = Calibrator::defaultParameters();
        short_one.transforms["1"] = {1, 0, 0, 0, 1};
        QVERIFY(!c.loadCalibrationParam(short_one));
        zelvan::CalibratorParameters singular = Calibrator::defaultParameters();
        singular.transforms["1"] = {0, 0, 0, 0, 0, 0};
        QVERIFY(!c.loadCalibrationParam(singular));
        zelvan::CalibratorParameters huge = Calibrator::defaultParameters();
        huge.dvs_width = 65535;
        huge.dvs_height = 65535;
        QVERIFY(!c.loadCalibrationParam(huge));
        zelvan::CalibratorParameters small = Calibrator::defaultParameters();
        small.dvs_height = 360;
        QVERIFY(!c.loadCalibrationParam(small));
        QCOMPARE(c.dvsWidth(), 1280);
        QCOMPARE(c.dvsHeight(), 720);
        zelvan::CalibratorParameters not_finite = Calibrator::defaultParameters();
        not_finite.transforms["0"][3] = std::nan("");
        QVERIFY(!c.loadCalibrationParam(not_finite));
        QCOMPARE(c.forwardTransform(), before);
        // A usable record is taken, and the translation starts again from 0.
        c.adjustAffineTranslation(3, 4);
        zelvan::CalibratorParameters good = Calibrator::defaultParameters();
        good.transforms["1"] = {3, 0, 1, 0, 3, 2, 99};  // numbers beyond six are carried along
        QVERIFY(c.loadCalibrationParam(good));
        QCOMPARE(c.forwardTransform(), (Calibrator::Affine{3, 0, 1, 0, 3, 2}));
        QCOMPARE(c.translationX(), 0.0);
    }

    void anUnusableCameraCalibrationGivesTheDefaultNotTheOneBefore() {
        ZvFusionCameraDataProcessor processor;
        zelvan::CalibratorParameters other = Calibrator::defaultParameters();
        other.transforms["1"] = {3, 0, 1, 0, 3, 2};
        QVERIFY(processor.loadCalibration(other));  // the camera or recording shown before
        processor.calibrator().adjustAffineTranslation(5, 6);
        zelvan::CalibratorParameters missing = Calibrator::defaultParameters();
        missing.transforms.erase("1");
        QVERIFY(!processor.loadCalibration(missing));
        QCOMPARE(processor.calibrator().forwardTransform(), Calibrator().forwardTransform());
        QCOMPARE(processor.calibrator().translationX(), 0.0);
        QCOMPARE(processor.calibrator().translationY(), 0.0);
    }

    void eventsMapOntoTheFrameGridWithoutTheTranslation() {
        Calibrator c;
        c.adjustAffineTranslation(50, 50);
        zelvan::Event2D e(640, 360, 1, 5);
        c.mapDvsToAps(&e, &e + 1);
        QCOMPARE(int(e.x), 1920);
        QCOMPARE(int(e.y), 1080);
    }

    // --- Live counting and drawing ---

    void liveEventsOnlyViewPaintsTheMajorityWithTiesToOn() {
        ZvFusionCameraDataProcessor p;
        p.setThemeColors(QColor("#FFFFFF"), QColor("#000000"), QColor("#707070"));
        p.slotSetViewerType(zelvan::DVS);
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        std::vector<zelvan::Event2D> events;
        for (int i = 0; i < 12; ++i) events.emplace_back(5, 5, 1, 10);
        for (int i = 0; i < 3; ++i) events.emplace_back(5, 5, 0, 10);
        for (int i = 0; i < 4; ++i) events.emplace_back(6, 5, 1, 10);
        for (int i = 0; i < 4; ++i) events.emplace_back(6, 5, 0, 10);
        for (int i = 0; i < 5; ++i) events.emplace_back(7, 5, 0, 10);
        events.emplace_back(7, 5, 1, 10);
        // Beyond the sensor's width: its row-major index (5 * 1280 + 2000) lies inside the counters,
        // at pixel (720, 6), and must not be counted there.
        events.emplace_back(2000, 5, 1, 10);
        events.emplace_back(3, 720, 1, 10);  // below the last row
        p.accumulateDvsEvents(events.data(), events.data() + events.size());
        const std::vector<uint16_t> counts = p.countersForTesting();
        const size_t at = 2 * (5 * 1280 + 5);
        QCOMPARE(counts[at + 1], uint16_t(10));  // the count stops at the limit
        QCOMPARE(counts[at], uint16_t(3));
        const size_t wrapped = 2 * (6 * 1280 + 720);
        QCOMPARE(counts[wrapped + 1], uint16_t(0));
        QCOMPARE(counts[wrapped], uint16_t(0));
        // Nothing but the events on the sensor is counted: 10 (capped) + 3, 4 + 4, 5 + 1.
        QCOMPARE(std::accumulate(counts.begin(), counts.end(), 0), 27);
        zelvan::ApsFrame frame(3840, 2160, 100, 200);
        p.fusionHandler(frame, nullptr, nullptr);
        QCOMPARE(images.count(), 1);
        const QImage image = images.first().at(0).value<QImage>();
        QCOMPARE(pixelAt(image, 5, 5), qRgb(255, 255, 255));
        QCOMPARE(pixelAt(image, 6, 5), qRgb(255, 255, 255));
        QCOMPARE(pixelAt(image, 7, 5), qRgb(0, 0, 0));
        QCOMPARE(pixelAt(image, 8, 5), qRgb(0x70, 0x70, 0x70));
        QCOMPARE(pixelAt(image, 720, 6), qRgb(0x70, 0x70, 0x70));
        // The counters start again for the next frame.
        const std::vector<uint16_t> after = p.countersForTesting();
        QVERIFY(std::all_of(after.begin(), after.end(), [](uint16_t c) { return c == 0; }));
        // Other views count nothing.
        p.slotSetViewerType(zelvan::APS);
        p.accumulateDvsEvents(events.data(), events.data() + events.size());
        QCOMPARE(p.countersForTesting()[at + 1], uint16_t(0));
    }

    void liveOverlayNeedsAConnectedCameraAndTheFrameViewDoesNot() {
        ZvFusionCameraDataProcessor p;
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        GuiSpy times(&p, &ZvFusionCameraDataProcessor::signalTimeStamp);
        zelvan::ApsFrame frame = coordinateFrame();
        zelvan::Event2D e(640, 360, 1, 150);
        p.slotSetViewerType(zelvan::DVS_AND_APS);
        p.fusionHandler(frame, &e, &e + 1);
        QCOMPARE(images.count(), 0);
        p.slotSetViewerType(zelvan::APS);
        p.fusionHandler(frame, &e, &e + 1);
        QCOMPARE(images.count(), 1);
        QCOMPARE(times.first().at(0).value<uint64_t>(), uint64_t(2));
        const QImage image = images.first().at(0).value<QImage>();
        QCOMPARE(image.size(), QSize(1280, 720));
        // Frame only: the event is not drawn; the resampled pixel is the frame's centre.
        const QRgb centre = image.pixel(640, 360);
        const uint32_t v =
            uint32_t(qBlue(centre)) | (uint32_t(qGreen(centre)) << 8) | (uint32_t(qRed(centre)) << 16);
        QCOMPARE(int(v & 0xFFF), 1920);
        QCOMPARE(int(v >> 12), 1080);
    }

    void eventsAreDrawnMirroredOnlyWhenAsked() {
        QImage image(1280, 720, QImage::Format_BGR888);
        image.fill(Qt::black);
        const zelvan::Event2D events[] = {{0, 10, 1, 1}, {1279, 11, 0, 2}, {1280, 12, 1, 3}, {5, 720, 1, 4}};
        ZvFusionCameraDataProcessor::drawEvents(events, events + 4, true, qRgb(255, 0, 0), qRgb(0, 0, 255),
                                                image);
        QCOMPARE(pixelAt(image, 1279, 10), qRgb(255, 0, 0));
        QCOMPARE(pixelAt(image, 0, 11), qRgb(0, 0, 255));
        QCOMPARE(pixelAt(image, 0, 10), qRgb(0, 0, 0));
        image.fill(Qt::black);
        ZvFusionCameraDataProcessor::drawEvents(events, events + 4, false, qRgb(255, 0, 0), qRgb(0, 0, 255),
                                                image);
        QCOMPARE(pixelAt(image, 0, 10), qRgb(255, 0, 0));
        QCOMPARE(pixelAt(image, 1279, 11), qRgb(0, 0, 255));
    }

    void applyingTheOffsetWithoutACameraWritesTheFileAndReportsFailure() {
        AppSettings* settings = AppSettings::instance();
        settings->inputRawFilePath = dir_.path();
        ZvFusionCameraDataProcessor p;
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        p.slotSetApsOffset(12, -3);
        p.slotApplyOffset();
        QCOMPARE(tips.count(), 1);
        QCOMPARE(tips.first().at(0).toString(),
                 QString("Manual calibration parameters were written failed!"));
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QVERIFY(tips.first().at(2).toString().isEmpty());
        const QString path = dir_.filePath("tmp_calibration_file.json");
        QVERIFY(QFileInfo(path).isFile());
        zelvan::CalibratorParameters read;
        QVERIFY(zelvan::jsonFileToParam(path.toStdString(), read));
        QCOMPARE(read.transforms["1"][2], -225.10344827586232 + 12);
        QCOMPARE(read.transforms["1"][5], -126.62068965517255 - 3);
        QCOMPARE(p.calibrator().translationX(), 0.0);
    }

    // --- Playback ---

    // The overlay draws the events of the accumulation time up to the frame it shows, not up to the
    // time base: one event a millisecond at x = 10 + (ms % 100), y = 20.
    void theOverlayDrawsTheEventsUpToTheFrameShown() {
        const QString path = writeRecording("overlay_window", {0, 33333, 66666, 99999});
        QVERIFY(!path.isEmpty());
        ZvFusionCameraDataProcessor p;
        p.setThemeColors(QColor("#FF00FF"), QColor("#00FFFF"), QColor("#000000"));
        p.slotSetViewerType(zelvan::DVS_AND_APS);
        openLoaded(p, path);
        p.slotPlaybackCtrl(false);
        QCOMPARE(p.accumulationTime(), uint64_t(33333));
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        const auto onColumns = [](const QImage& image) {
            std::vector<int> columns;
            for (int x = 0; x < 120; ++x)
                if (pixelAt(image, x, 20) == qRgb(255, 0, 255)) columns.push_back(x);
            return columns;
        };
        const auto range = [](int from, int to) {
            std::vector<int> r;
            for (int x = from; x <= to; ++x) r.push_back(x);
            return r;
        };
        // 17 ms after the frame of 5 033 333: the events of [5 000 000, 5 033 333), ms 0 to 33.
        p.setPlayPos(5'050'000);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'033'333));
        QVERIFY(!images.isEmpty());
        QCOMPARE(onColumns(images.last().at(0).value<QImage>()), range(10, 43));
        // On a frame's time: the window ends there too.
        p.setPlayPos(5'066'666);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'066'666));
        QCOMPARE(onColumns(images.last().at(0).value<QImage>()), range(10 + 34, 10 + 66));
        // The events only view follows the time base.
        p.slotSetViewerType(zelvan::DVS);
        p.setPlayPos(5'050'000);
        QCOMPARE(onColumns(images.last().at(0).value<QImage>()), range(10 + 17, 10 + 49));
    }

    void aNewOffsetShowsOnThePausedFrame() {
        const QString path = writeRecording("moved", {0, 33000, 66000});
        QVERIFY(!path.isEmpty());
        ZvFusionCameraDataProcessor p;
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        p.slotSetViewerType(zelvan::APS);
        openLoaded(p, path);
        p.slotPlaybackCtrl(false);
        p.setPlayPos(5'040'000);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'033'000));
        QVERIFY(!images.isEmpty());
        const QImage before = images.last().at(0).value<QImage>();
        const qsizetype shown = images.count();
        p.slotSetApsOffset(40, 0);
        QTRY_VERIFY_WITH_TIMEOUT(images.count() > shown, kDeadlineMs);
        const QImage after = images.last().at(0).value<QImage>();
        QCOMPARE(after.size(), before.size());
        QVERIFY2(after != before, "the frame moved");
        QCOMPARE(p.currentFrameTime(), uint64_t(5'033'000));
    }

    void theSecondFrameShowsOnceTheTimeBaseReachesItsTime() {
        const QString path = writeRecording("offset", {0, 33000, 66000, 99000});
        QVERIFY(!path.isEmpty());
        ZvFusionCameraDataProcessor p;
        GuiSpy starts(&p, &ZvFusionCameraDataProcessor::signalStartTimeStamp);
        GuiSpy ends(&p, &ZvFusionCameraDataProcessor::signalEndTimeStamp);
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        p.slotSetViewerType(zelvan::APS);
        openLoaded(p, path);
        QTRY_COMPARE_WITH_TIMEOUT(starts.count(), 1, kDeadlineMs);
        QCOMPARE(starts.first().at(0).value<uint64_t>(), uint64_t(5'000'000));
        QVERIFY(ends.first().at(0).value<uint64_t>() >= uint64_t(5'390'000));
        QCOMPARE(p.frameOffset(), uint64_t(5'000'000));
        p.setPlayPos(5'032'999);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'000'000));
        p.setPlayPos(5'033'000);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'033'000));
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 2, kDeadlineMs);
        QCOMPARE(frameNumber(images.at(images.count() - 2).at(0).value<QImage>()), 0);
        QCOMPARE(frameNumber(images.last().at(0).value<QImage>()), 1);
        // Stepping on: one frame interval per step, the frame whose time has come.
        p.nextFrame();
        QCOMPARE(p.timeBase(), uint64_t(5'066'333));
        QCOMPARE(p.currentFrameTime(), uint64_t(5'066'000));
        p.preFrame();
        p.preFrame();
        QCOMPARE(p.timeBase(), uint64_t(5'000'000));  // not before the playback start
        QCOMPARE(p.currentFrameTime(), uint64_t(5'000'000));
    }

    void aFailedSeekKeepsTheFrameShown() {
        // The first frame comes 10 ms after the frame start: there is no frame before that.
        const QString path = writeRecording("late", {10000, 43333, 76666});
        QVERIFY(!path.isEmpty());
        ZvFusionCameraDataProcessor p;
        openLoaded(p, path);
        p.setPlayPos(5'050'000);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'043'333));
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        GuiSpy times(&p, &ZvFusionCameraDataProcessor::signalTimeStamp);
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        p.setPlayPos(5'005'000);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'043'333));
        QCOMPARE(p.timeBase(), uint64_t(5'050'000));
        QCOMPARE(images.count(), 0);
        // The slider is sent back to the time shown, and the user is told.
        QCOMPARE(times.count(), 1);
        QCOMPARE(times.first().at(0).value<uint64_t>(), uint64_t(5'050'000));
        QCOMPARE(tips.count(), 1);
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Warning);
    }

    void aFailedSeekLeavesTheQueueAndTheReaderWhereTheyWere() {
        auto reader = std::make_shared<ListedFrameReader>();
        std::vector<uint64_t> times;
        reader->getTimeStamps(times);
        Calibrator calibrator;
        FusionFrameQueue queue(reader, times, calibrator);
        zelvan::ApsFrame frame;
        QVERIFY(queue.seek(2000, frame));
        QCOMPARE(frame.startTimestamp(), uint64_t(2000));
        QVERIFY(queue.next(frame));
        QCOMPARE(frame.startTimestamp(), uint64_t(3000));
        // A seek that runs the reader to the end and fails: the next frames are still 4000, 5000, ...
        QVERIFY(!queue.seek(reader->failingSeek, frame));
        QCOMPARE(frame.startTimestamp(), uint64_t(3000));
        for (uint64_t t = 4000; t < 1000 * ListedFrameReader::kFrames; t += 1000) {
            QVERIFY(queue.next(frame));
            QCOMPARE(frame.startTimestamp(), t);
        }
        QVERIFY(!queue.next(frame));
        // A time before the first frame fails too, and a later seek still works.
        QVERIFY(queue.seek(1000, frame));
        reader->failingSeek = 0;
        QVERIFY(!queue.seek(0, frame));
        QVERIFY(queue.next(frame));
        QCOMPARE(frame.startTimestamp(), uint64_t(2000));
    }

    void framesThatCannotBeDecodedAreSkippedAndTheRestFollow() {
        auto reader = std::make_shared<ListedFrameReader>();
        reader->undecodable = {3, 4, 9};
        std::vector<uint64_t> times;
        reader->getTimeStamps(times);
        Calibrator calibrator;
        FusionFrameQueue queue(reader, times, calibrator);
        zelvan::ApsFrame frame;
        QVERIFY(queue.rewind(frame));
        std::vector<uint64_t> got;
        while (queue.next(frame)) got.push_back(frame.startTimestamp());
        QCOMPARE(got, (std::vector<uint64_t>{1000, 2000, 5000, 6000, 7000, 8000}));
        QCOMPARE(queue.skippedFrames(), uint64_t(3));
    }

    void afterAFailedSeekSteppingAndPlayingGoOn() {
        const QString path = writeRecording("late_long", {10000, 43333, 76666, 110000, 143333, 176666});
        QVERIFY(!path.isEmpty());
        ZvFusionCameraDataProcessor p;
        p.slotSetViewerType(zelvan::APS);
        openLoaded(p, path);
        p.setPlayPos(5'050'000);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'043'333));
        p.setPlayPos(5'005'000);  // before the first frame: fails
        QCOMPARE(p.currentFrameTime(), uint64_t(5'043'333));
        // Steps back onto the first frame, then before it: that step keeps the frame and its time.
        p.preFrame();
        QCOMPARE(p.currentFrameTime(), uint64_t(5'010'000));
        const uint64_t first = p.timeBase();
        QVERIFY(first > 5'010'000);
        {
            GuiSpy times(&p, &ZvFusionCameraDataProcessor::signalTimeStamp);
            p.preFrame();
            QCOMPARE(p.timeBase(), first);
            QCOMPARE(p.currentFrameTime(), uint64_t(5'010'000));
            QVERIFY(!times.isEmpty());
            QCOMPARE(times.last().at(0).value<uint64_t>(), first);
        }
        p.setPlayPos(5'050'000);
        p.nextFrame();
        QCOMPARE(p.currentFrameTime(), uint64_t(5'076'666));
        p.nextFrame();
        QCOMPARE(p.currentFrameTime(), uint64_t(5'110'000));
        p.setPlayPos(5'005'000);
        GuiSpy finished(&p, &ZvFusionCameraDataProcessor::signalPalyFileFinished);
        p.slotPlaybackCtrl(true);
        QTRY_VERIFY_WITH_TIMEOUT(p.currentFrameTime() == 5'176'666 || finished.count() > 0, kDeadlineMs);
        QCOMPARE(p.currentFrameTime(), uint64_t(5'176'666));
        p.slotPlaybackCtrl(false);
    }

    void theEndWithoutReplayFinishesAndTheNextPlayStartsAtTheStart() {
        const QString path = writeRecording("end", {0, 33333, 66666, 99999}, 5'200'000);
        QVERIFY(!path.isEmpty());
        ZvFusionCameraDataProcessor p;
        GuiSpy finished(&p, &ZvFusionCameraDataProcessor::signalPalyFileFinished);
        GuiSpy times(&p, &ZvFusionCameraDataProcessor::signalTimeStamp);
        openLoaded(p, path);
        p.setFps(60);
        QCOMPARE(p.frameInterval(), uint64_t(16666));
        QElapsedTimer wall;
        wall.start();
        p.slotPlaybackCtrl(true);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDeadlineMs);
        const qint64 elapsed_ms = wall.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(!p.isPlaying(), kDeadlineMs);
        QCOMPARE(p.timeBase(), p.lowerTimestamp());
        // Each tick moved the time base by one frame interval.
        std::vector<uint64_t> seen;
        for (const auto& call : times) seen.push_back(call.at(0).value<uint64_t>());
        QVERIFY(seen.size() >= 5);
        // The ticks are paced by the wall clock, not by the fps: N ticks span at least N - 1 periods
        // of 33 ms (unpaced they would come at once, paced by 60 fps in half the time). The load's
        // time (the start) is no tick.
        const qint64 ticks =
            std::count_if(seen.begin(), seen.end(), [&](uint64_t t) { return t > p.lowerTimestamp(); });
        QVERIFY(ticks >= 5);
        QVERIFY2(elapsed_ms >= (ticks - 1) * 33,
                 qPrintable(QString("%1 ticks in %2 ms").arg(ticks).arg(elapsed_ms)));
        // Steps of one interval; the last ends at the end of the recording, not beyond it.
        for (size_t i = 2; i + 2 < seen.size(); ++i) QCOMPARE(seen[i + 1] - seen[i], uint64_t(16666));
        QCOMPARE(seen.back(), p.upperTimestamp());
        QVERIFY(seen.back() - seen[seen.size() - 2] <= 16666);
        // Played again from the start.
        const qsizetype before = times.count();
        p.slotPlaybackCtrl(true);
        QTRY_VERIFY_WITH_TIMEOUT(times.count() > before, kDeadlineMs);
        QCOMPARE(times.at(before).at(0).value<uint64_t>(), uint64_t(5'000'000 + 16666));
        p.slotPlaybackCtrl(false);
        QVERIFY(!p.isPlaying());
    }

    void replayWrapsAroundWithoutFinishing() {
        const QString path = writeRecording("replay", {0, 33333, 66666}, 5'100'000);
        QVERIFY(!path.isEmpty());
        ZvFusionCameraDataProcessor p;
        GuiSpy finished(&p, &ZvFusionCameraDataProcessor::signalPalyFileFinished);
        GuiSpy times(&p, &ZvFusionCameraDataProcessor::signalTimeStamp);
        openLoaded(p, path);
        p.slotSetReplayFlag(true);
        p.slotPlaybackCtrl(true);
        // Past the end more than once.
        QTRY_VERIFY_WITH_TIMEOUT(std::count_if(times.begin(), times.end(),
                                               [](const QList<QVariant>& c) {
                                                   return c.at(0).value<uint64_t>() == 5'033'333;
                                               }) >= 2,
                                 kDeadlineMs);
        p.slotPlaybackCtrl(false);
        QCOMPARE(finished.count(), 0);
    }

    void aLoadWhoseFirstFrameCannotBeReadEndsCleanly() {
        const QString base = dir_.filePath("noframes");
        writeRaw(base + ".raw", 5'000'000, 4'900'000, 5'100'000);
        QVERIFY(writeMp4(base + ".mp4", {}));
        ZvFusionCameraDataProcessor p;
        GuiSpy loading(&p, &ZvFusionCameraDataProcessor::signalLoadingStatus);
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        GuiSpy play(&p, &ZvFusionCameraDataProcessor::signalPlayStatus);
        QVERIFY(p.slotReadFusionFile(base + ".raw"));
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 2, kDeadlineMs);
        QCOMPARE(loading.last().at(0).toBool(), false);
        QVERIFY(!p.isLoading());
        QVERIFY(!p.hasFile());
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QVERIFY(tips.first().at(0).toString().contains("noframes.mp4"));
        QVERIFY(std::none_of(play.begin(), play.end(),
                             [](const QList<QVariant>& c) { return c.at(0).toBool(); }));
        // Steps do nothing, and another recording opens.
        p.nextFrame();
        const QString good = writeRecording("after", {0, 33333});
        openLoaded(p, good);
    }

    void aCalibrationFileOfAnotherSensorSizeIsRefusedWithAWarning() {
        const QString path = writeRecording("huge_sensor", {0, 33333, 66666});
        QVERIFY(!path.isEmpty());
        const QString json = dir_.filePath("huge_sensor.json");
        zelvan::CalibratorParameters bad = Calibrator::defaultParameters();
        bad.dvs_width = 65535;
        bad.dvs_height = 65535;
        QVERIFY(zelvan::paramToJsonFile(bad, json.toStdString()));
        ZvFusionCameraDataProcessor p;
        p.slotSetViewerType(zelvan::APS);
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        GuiSpy images(&p, &ZvFusionCameraDataProcessor::signalFusionImage);
        p.calibrator().adjustAffineTranslation(7, 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Calibration not loaded.*65535 x 65535"));
        openLoaded(p, path);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Warning);
        QVERIFY(tips.first().at(0).toString().contains("huge_sensor.json"));
        // The default calibration is shown, at the sensor's size.
        QCOMPARE(p.calibrator().dvsWidth(), 1280);
        QCOMPARE(p.calibrator().forwardTransform(), Calibrator().forwardTransform());
        QCOMPARE(p.calibrator().translationX(), 0.0);
        p.setPlayPos(5'040'000);
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 1, kDeadlineMs);
        QCOMPARE(images.last().at(0).value<QImage>().size(), QSize(1280, 720));
    }

    void aLoadWhoseFramesAreListedButUndecodableEndsCleanly() {
        const QString raw = writeRecording("undecodable", {0, 33333, 66666});
        QVERIFY(!raw.isEmpty());
        const QString mp4 = dir_.filePath("undecodable.mp4");
        // The frames are listed, and the first one cannot be decoded.
        ZvFusionCameraDataProcessor p;
        p.setFrameReaderFactory([](const std::string&) {
            auto reader = std::make_shared<ListedFrameReader>();
            for (uint64_t i = 0; i < ListedFrameReader::kFrames; ++i) reader->undecodable.insert(i);
            return reader;
        });
        GuiSpy loading(&p, &ZvFusionCameraDataProcessor::signalLoadingStatus);
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        QVERIFY(p.slotReadFusionFile(raw));
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 2, kDeadlineMs);
        QCOMPARE(loading.last().at(0).toBool(), false);
        QVERIFY(!p.isLoading());
        QVERIFY(!p.hasFile());
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QCOMPARE(tips.first().at(0).toString(),
                 QString("Cannot read the first frame of %1.").arg(QDir::toNativeSeparators(mp4)));
        // Steps do nothing, and the same recording opens once its frames can be read.
        p.nextFrame();
        p.setFrameReaderFactory(nullptr);
        openLoaded(p, raw);
    }

    void framesThatCannotBeDecodedAreSkippedWithOneWarning() {
        const QString raw = writeRecording("skipped", {0, 33333});
        QVERIFY(!raw.isEmpty());
        ZvFusionCameraDataProcessor p;
        p.slotSetViewerType(zelvan::APS);
        p.setFrameReaderFactory([](const std::string&) {
            auto reader = std::make_shared<ListedFrameReader>();
            reader->undecodable = {0, 5};
            return reader;
        });
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        openLoaded(p, raw);
        // The first frame that decodes is the first shown.
        p.setFps(1000);  // steps of 1000 us: one listed frame each
        p.nextFrame();
        QCOMPARE(p.currentFrameTime(), uint64_t(5'001'000));
        const auto warnings = [&tips] {
            return std::count_if(tips.begin(), tips.end(), [](const QList<QVariant>& t) {
                return t.at(0).toString() == "Frames of the recording that cannot be decoded are skipped." &&
                       t.at(1).value<ZvMessageType>() == ZvMessageType::Warning;
            });
        };
        QCOMPARE(warnings(), 1);
        std::vector<uint64_t> shown;
        for (int i = 0; i < 10; ++i) {
            p.nextFrame();
            if (shown.empty() || shown.back() != p.currentFrameTime()) shown.push_back(p.currentFrameTime());
        }
        QVERIFY(std::find(shown.begin(), shown.end(), uint64_t(5'005'000)) == shown.end());
        QVERIFY(std::find(shown.begin(), shown.end(), uint64_t(5'006'000)) != shown.end());
        QCOMPARE(warnings(), 1);  // once per recording
    }

    void closingOrDestroyingDuringALoadCancelsIt() {
        const QString raw = writeRecording("held", {0, 33333});
        QVERIFY(!raw.isEmpty());
        for (const bool destroy : {false, true}) {
            auto p = std::make_unique<ZvFusionCameraDataProcessor>();
            // The frames' load holds until a cancel is asked for (10 s at most).
            auto entered = std::make_shared<std::atomic<bool>>(false);
            auto sawCancel = std::make_shared<std::atomic<bool>>(false);
            p->setFrameReaderFactory([=](const std::string&) {
                auto reader = std::make_shared<ListedFrameReader>();
                // As the video reader does, the load asks its progress callback whether to go on.
                reader->onLoad = [=, r = reader.get()] {
                    entered->store(true);
                    *sawCancel = QTest::qWaitFor([=] { return !r->askToGoOn(); }, 10'000);
                };
                return reader;
            });
            GuiSpy tips(p.get(), qOverload<QString, ZvMessageType, QString>(
                                     &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
            QVERIFY(p->slotReadFusionFile(raw));
            QTRY_VERIFY_WITH_TIMEOUT(entered->load(), kDeadlineMs);
            QElapsedTimer timer;
            timer.start();
            if (destroy) {
                p.reset();  // joins the loader
            } else {
                QVERIFY(!p->slotReadFusionFile(QString()));
                QVERIFY(!p->isLoading());
                QVERIFY(!p->hasFile());
                QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
                QCOMPARE(tips.first().at(0).toString(), QString("Loading cancelled."));
            }
            QVERIFY(sawCancel->load());
            QVERIFY2(timer.elapsed() < 9'000, "the load went on to its end");
        }
    }

    void aLoadCanBeCancelledAndTheNextOneLoads() {
        const QString raw = writeRecording("cancelled", {0, 33333});
        QVERIFY(!raw.isEmpty());
        ZvFusionCameraDataProcessor p;
        GuiSpy loading(&p, &ZvFusionCameraDataProcessor::signalLoadingStatus);
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        GuiSpy play(&p, &ZvFusionCameraDataProcessor::signalPlayStatus);
        // Cancelled as the load reports its progress (as the busy window's Cancel does).
        std::atomic<int> reports{0};
        QObject context;
        connect(
            &p, &ZvFusionCameraDataProcessor::signalProgress, &context,
            [&] {
                ++reports;
                p.cancelWork();
            },
            Qt::DirectConnection);
        QVERIFY(p.slotReadFusionFile(raw));
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 2, kDeadlineMs);
        QCOMPARE(loading.last().at(0).toBool(), false);
        QVERIFY(reports.load() >= 1);
        QVERIFY(!p.hasFile());
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.first().at(0).toString(), QString("Loading cancelled."));
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Warning);
        QVERIFY(std::none_of(play.begin(), play.end(),
                             [](const QList<QVariant>& c) { return c.at(0).toBool(); }));
        // The next load goes through.
        QObject::disconnect(&p, &ZvFusionCameraDataProcessor::signalProgress, &context, nullptr);
        openLoaded(p, raw);
    }

    void aMissingFrameFileIsAnErrorNamingIt() {
        const QString base = dir_.filePath("nomp4");
        writeRaw(base + ".raw", 5'000'000, 4'900'000, 5'100'000);
        ZvFusionCameraDataProcessor p;
        GuiSpy tips(&p, qOverload<QString, ZvMessageType, QString>(
                            &ZvFusionCameraDataProcessor::signalShowLeftBottomTips));
        QVERIFY(p.slotReadFusionFile(base + ".raw"));
        QTRY_VERIFY_WITH_TIMEOUT(!p.isLoading(), kDeadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QVERIFY(tips.first().at(0).toString().contains("nomp4.mp4"));
        QVERIFY(!p.hasFile());
        QVERIFY(!p.slotReadFusionFile(QString()));
    }
};

ZELVAN_VIEWER_TEST_MAIN(FusionProcessingTests)
#include "FusionProcessingTests.moc"
