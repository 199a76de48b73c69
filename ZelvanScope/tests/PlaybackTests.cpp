// Playback of raw recordings by ZvEventProcessor: loading, the paced playback loop, steps, seeking,
// the playback range, closing, and the cut and export jobs with their messages.
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "TestSync.h"
#include "processing/ZvEventProcessor.h"
#include "zelvan/EVT3Encoder.h"
#include "zelvan/FileHeader.h"
#include "zelvan/SyntheticScene.h"

namespace {

constexpr int kDeadlineMs = 20000;
constexpr uint64_t kT0 = 1'000'000;  // the synthetic recordings start here (header time base)

// A synthetic 320 x 240 recording of [kT0, kT0 + duration) us.
void writeRecording(const QString& path, uint64_t duration_us, uint64_t rate = 200'000) {
    zelvan::DvsFileInfo info;
    info.width = 320;
    info.height = 240;
    info.dvs_start_timestamp = kT0;
    info.serial_number = "PLAYBACK-TEST";
    info.date = std::chrono::system_clock::now();
    const std::string header = zelvan::generateDvsFileHeader(info);
    std::vector<uint8_t> bytes(header.begin(), header.end());
    zelvan::SyntheticScene scene(320, 240, rate, 7);
    zelvan::EVT3Encoder encoder(320);
    std::vector<zelvan::Event2D> events;
    for (uint64_t t = kT0; t < kT0 + duration_us; t += 5000) {
        events.clear();
        scene.generate(t, t + 5000, events);
        encoder.advanceTime(t, bytes);
        encoder.encode(events.data(), events.data() + events.size(), bytes);
    }
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The timestamps a spy of signalRealTimeTimeStamp recorded.
std::vector<uint64_t> timestamps(const GuiSpy& spy) {
    std::vector<uint64_t> out;
    for (const auto& call : spy) out.push_back(call.at(0).value<uint64_t>());
    return out;
}

bool lastPlayStatusIs(const GuiSpy& spy, bool playing) {
    return !spy.isEmpty() && spy.last().at(0).toBool() == playing;
}

bool percentagesRiseTo100(const GuiSpy& progress) {
    int last = -1;
    for (const auto& call : progress) {
        const int percent = call.at(0).toInt();
        if (percent < last || percent > 100) return false;
        last = percent;
    }
    return last == 100;
}

}  // namespace

class PlaybackTests : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString oneSecond_;

    // Opens `path` and waits until it is loaded.
    static bool load(ZvEventProcessor& processor, const QString& path) {
        GuiSpy loading(&processor, &ZvEventProcessor::signalLoadingStatus);
        processor.loadFile(path);
        return QTest::qWaitFor(
            [&] { return loading.count() >= 2 && !loading.last().at(0).toBool() && !processor.isLoading(); },
            kDeadlineMs);
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        oneSecond_ = dir_.filePath("one_second.raw");
        writeRecording(oneSecond_, 1'000'000);
    }

    void defaults() {
        ZvEventProcessor processor;
        QCOMPARE(processor.fps(), uint64_t(33));
        QCOMPARE(processor.step(), uint64_t(30303));
        QCOMPARE(processor.accTime(), uint64_t(33333));
        QCOMPARE(ZvEventProcessor::kFramePeriodUs, uint64_t(33333));
        QVERIFY(!processor.loopPlayback());
        QVERIFY(!processor.isPlaying());
        QVERIFY(!processor.hasFile());
    }

    void fpsSetsTheStep() {
        ZvEventProcessor processor;
        QTest::ignoreMessage(QtInfoMsg, "set fps: 300 time interval: 3333");
        processor.setFps(300);
        QCOMPARE(processor.step(), uint64_t(3333));
        // 0 (a slow rate below 1/30) is clamped to 1 rather than dividing by zero.
        QTest::ignoreMessage(QtInfoMsg, "set fps: 0 is out of range, 1 is used.");
        QTest::ignoreMessage(QtInfoMsg, "set fps: 1 time interval: 1000000");
        processor.setFps(0);
        QCOMPARE(processor.fps(), uint64_t(1));
        QCOMPARE(processor.step(), uint64_t(1'000'000));
    }

    void frameOperationsWithoutAFile() {
        ZvEventProcessor processor;
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        for (int i = 0; i < 4; ++i) QTest::ignoreMessage(QtInfoMsg, "not raw file.");
        processor.nextFrame();
        processor.preFrame();
        processor.setPlayPos(5);
        processor.slotPlaybackReset();
        processor.slotPlaybackCtrl(true);
        QVERIFY(!processor.isPlaying());
        QVERIFY(times.isEmpty());
    }

    void playRefusedUnchecksThePlayButton() {
        ZvEventProcessor processor;
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        processor.slotPlaybackCtrl(true);  // no file
        QTRY_VERIFY_WITH_TIMEOUT(lastPlayStatusIs(play, false), kDeadlineMs);
        QVERIFY(!processor.isPlaying());
        // A file that failed to load.
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Load raw file failed: "));
        QVERIFY(load(processor, dir_.filePath("missing.raw")));
        const auto before = play.count();
        processor.slotPlaybackCtrl(true);
        QTRY_COMPARE_WITH_TIMEOUT(play.count(), before + 1, kDeadlineMs);
        QVERIFY(lastPlayStatusIs(play, false));
        // A pause asked for when nothing plays says nothing.
        processor.slotPlaybackCtrl(false);
        QCoreApplication::processEvents();
        QCOMPARE(play.count(), before + 1);
    }

    void notARawFile() {
        ZvEventProcessor processor;
        GuiSpy loading(&processor, &ZvEventProcessor::signalLoadingStatus);
        QTest::ignoreMessage(QtInfoMsg, "Load raw file: /tmp/x.txt");
        QTest::ignoreMessage(QtInfoMsg, "not raw file.");
        processor.loadFile("/tmp/x.txt");
        QVERIFY(!processor.hasFile());
        QVERIFY(loading.isEmpty());
    }

    void aFileThatFailsToLoadTellsWhy() {
        ZvEventProcessor processor;
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        QVERIFY(load(processor, dir_.filePath("missing.raw")));
        QVERIFY(!processor.hasFile());
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.first().at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QVERIFY(tips.first().at(0).toString().size() > QString("Load raw file failed: ").size());
    }

    void loadAnnouncesTheFile() {
        ZvEventProcessor processor;
        GuiSpy start(&processor, &ZvEventProcessor::signalStartTimeStamp);
        GuiSpy end(&processor, &ZvEventProcessor::signalEndTimeStamp);
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        GuiSpy local(&processor, &ZvEventProcessor::signalLocalTime);
        GuiSpy triggers(&processor, &ZvEventProcessor::signalTriggerList);
        QVERIFY(load(processor, oneSecond_));
        QTRY_VERIFY_WITH_TIMEOUT(lastPlayStatusIs(play, true), kDeadlineMs);
        QVERIFY(processor.hasFile());
        QCOMPARE(start.count(), 1);
        QCOMPARE(end.count(), 1);
        QVERIFY(start.first().at(0).value<uint64_t>() >= kT0);
        QVERIFY(start.first().at(0).value<uint64_t>() < kT0 + 10'000);
        QVERIFY(end.first().at(0).value<uint64_t>() > kT0 + 900'000);
        QCOMPARE(processor.position(), processor.startTimestamp());
        QCOMPARE(triggers.count(), 1);
        QVERIFY(!local.isEmpty());
        QVERIFY(!local.last().at(0).toString().isEmpty());
    }

    void aSmallRecordingKeepsTheFullGrid() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        processor.nextFrame();  // a frame of the 320 x 240 recording is counted and drawn
        QCOMPARE(processor.width(), 1280);
        QCOMPARE(processor.height(), 720);
        // An event of a full-size live sensor afterwards lands on its own pixel.
        const zelvan::Event2D live{1000, 600, 1, kT0};
        processor.addEvents(&live, &live + 1);
        const auto& counts = processor.countBufferForTesting();
        QCOMPARE(counts.size(), size_t(1280) * 720);
        QCOMPARE(ZvEventProcessor::onCount(counts.at(1000 + 600 * 1280)), 1);
        QCOMPARE(ZvEventProcessor::offCount(counts.at(1000 + 600 * 1280)), 0);
    }

    void oneSecondWithoutLoopStopsAtTheStart() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        processor.setFps(10);  // 100 ms of recording per frame: ten frames
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        GuiSpy images(&processor, &ZvEventProcessor::signalEventImage);
        processor.slotPlaybackCtrl(true);
        QVERIFY(processor.isPlaying());
        QTRY_VERIFY_WITH_TIMEOUT(lastPlayStatusIs(play, false), kDeadlineMs);
        QVERIFY(!processor.isPlaying());
        QCOMPARE(processor.position(), processor.startTimestamp());
        const auto shown = timestamps(times);
        QVERIFY(shown.size() >= 9);
        QVERIFY(std::is_sorted(shown.begin(), shown.end()));
        QCOMPARE(shown.back(), processor.endTimestamp());
        QTRY_VERIFY_WITH_TIMEOUT(!images.isEmpty(), kDeadlineMs);
        processor.slotPlaybackCtrl(false);  // the play button's answer joins the finished thread
    }

    void loopRestartsWithoutStopping() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        processor.setFps(3);  // a third of the recording per frame
        processor.slotPlayLoop(true);
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        processor.slotPlaybackCtrl(true);
        auto restarted = [&] {
            const auto shown = timestamps(times);
            return std::adjacent_find(shown.begin(), shown.end(), std::greater<>()) != shown.end();
        };
        QTRY_VERIFY_WITH_TIMEOUT(restarted(), kDeadlineMs);
        QVERIFY(processor.isPlaying());
        QVERIFY(play.isEmpty());
        processor.slotPlaybackCtrl(false);
        QVERIFY(!processor.isPlaying());
    }

    void framesOfAResetRunAreDropped() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        const uint64_t start = processor.startTimestamp();
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        GuiSpy local(&processor, &ZvEventProcessor::signalLocalTime);
        processor.slotPlaybackCtrl(true);
        // Without running the event loop: once the second frame is read, the first one's time is
        // queued to this thread and not delivered yet.
        QDeadlineTimer deadline(kDeadlineMs);
        while (processor.position() < start + 2 * processor.step() && !deadline.hasExpired())
            std::this_thread::yield();
        QVERIFY(!deadline.hasExpired());
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^set ts: "));
        processor.slotPlaybackReset();
        QCoreApplication::processEvents();
        QVERIFY(!times.isEmpty());
        QCOMPARE(timestamps(times).back(), start);
        QCOMPARE(local.last().at(0).toString(), processor.localTimeString(start));
        // A step after the stop is not followed by frames of the stopped run either.
        processor.slotPlaybackCtrl(true);
        deadline.setRemainingTime(kDeadlineMs);
        while (processor.position() < start + 2 * processor.step() && !deadline.hasExpired())
            std::this_thread::yield();
        QVERIFY(!deadline.hasExpired());
        processor.slotPlaybackCtrl(false);
        processor.nextFrame();
        const uint64_t stepped = processor.position();
        QCoreApplication::processEvents();
        QCOMPARE(timestamps(times).back(), stepped);
    }

    void stepsAtTheEnds() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        const uint64_t start = processor.startTimestamp();
        const uint64_t end = processor.endTimestamp();
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        processor.preFrame();
        QCOMPARE(processor.position(), start);
        processor.nextFrame();
        QCOMPARE(processor.position(), start + processor.step());
        QCOMPARE(timestamps(times).back(), start + processor.step());
        processor.preFrame();
        QCOMPARE(processor.position(), start);
        // Fewer than accTime us left: nothing happens.
        processor.setPlayPos(end - 10'000);
        QCOMPARE(processor.position(), end - 10'000 + processor.accTime());
        const auto before = times.count();
        processor.nextFrame();
        QCOMPARE(processor.position(), end - 10'000 + processor.accTime());
        QCOMPARE(times.count(), before);
    }

    void seekingOutsideTheRangeDoesNothing() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        const uint64_t start = processor.startTimestamp();
        const uint64_t end = processor.endTimestamp();
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        processor.setPlayPos(start - 1);
        processor.setPlayPos(end + 1);
        QCOMPARE(processor.position(), start);
        QVERIFY(times.isEmpty());
        processor.setPlayPos(start + 500'000);
        QCOMPARE(processor.position(), start + 500'000 + processor.accTime());
        // A narrowed range refuses what lies outside it.
        processor.slotSetLowerTimeStamp(start + 400'000);
        processor.slotSetUpperTimeStamp(start + 600'000);
        processor.setPlayPos(start + 300'000);
        processor.setPlayPos(start + 700'000);
        QCOMPARE(processor.position(), start + 500'000 + processor.accTime());
        QCOMPARE(times.count(), 1);
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^set ts: "));
        processor.slotPlaybackReset();
        QCOMPARE(processor.position(), start + 400'000);
    }

    void raisingTheStartPastThePositionMovesIt() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        const uint64_t start = processor.startTimestamp();
        processor.setPlayPos(start + 100'000);
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        GuiSpy local(&processor, &ZvEventProcessor::signalLocalTime);
        // Lowered, or raised up to the position: the position stays.
        processor.slotSetLowerTimeStamp(start + 50'000);
        QCOMPARE(processor.position(), start + 100'000 + processor.accTime());
        QVERIFY(times.isEmpty());
        // Raised past it: the position and the slider's centre follow.
        processor.slotSetLowerTimeStamp(start + 500'000);
        QCOMPARE(processor.position(), start + 500'000);
        QCOMPARE(times.count(), 1);
        QCOMPARE(times.last().at(0).value<uint64_t>(), start + 500'000);
        QCOMPARE(local.last().at(0).toString(), processor.localTimeString(start + 500'000));
        // A step goes on from there.
        processor.nextFrame();
        QCOMPARE(processor.position(), start + 500'000 + processor.step());
        processor.preFrame();
        QCOMPARE(processor.position(), start + 500'000);
    }

    void theUpperBoundWrapsPlayback() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        const uint64_t start = processor.startTimestamp();
        const uint64_t upper = start + 300'000;
        processor.slotSetUpperTimeStamp(upper);
        processor.setFps(10);
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        GuiSpy times(&processor, &ZvEventProcessor::signalRealTimeTimeStamp);
        processor.slotPlaybackCtrl(true);
        QTRY_VERIFY_WITH_TIMEOUT(lastPlayStatusIs(play, false), kDeadlineMs);
        const auto shown = timestamps(times);
        QVERIFY(!shown.empty());
        QCOMPARE(*std::max_element(shown.begin(), shown.end()), upper);
        QCOMPARE(processor.position(), start);
        processor.slotPlaybackCtrl(false);
    }

    void anEmptyPathCloses() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        processor.slotPlayLoop(true);
        processor.slotPlaybackCtrl(true);
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        processor.loadFile(QString());
        QVERIFY(lastPlayStatusIs(play, false));
        QVERIFY(!processor.isPlaying());
        QVERIFY(!processor.hasFile());
        QTest::ignoreMessage(QtInfoMsg, "not raw file.");
        processor.nextFrame();
    }

    void aLoadClosedMeanwhileAnnouncesNothing() {
        ZvEventProcessor processor;
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        GuiSpy start(&processor, &ZvEventProcessor::signalStartTimeStamp);
        GuiSpy loading(&processor, &ZvEventProcessor::signalLoadingStatus);
        processor.loadFile(oneSecond_);
        processor.loadFile(QString());  // waits for the load, which may or may not have ended
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() >= 2 && !loading.last().at(0).toBool(), kDeadlineMs);
        QVERIFY(start.isEmpty());
        for (const auto& call : play) QVERIFY(!call.at(0).toBool());
        QVERIFY(!processor.hasFile());
        processor.slotPlaybackCtrl(true);
        QVERIFY(!processor.isPlaying());
    }

    void aLoadRefusedWhileLoadingKeepsTheRunningOne() {
        const QString slow = dir_.filePath("slow.raw");
        writeRecording(slow, 2'000'000, 1'000'000);
        ZvEventProcessor processor;
        GuiSpy play(&processor, &ZvEventProcessor::signalPlayStatus);
        GuiSpy start(&processor, &ZvEventProcessor::signalStartTimeStamp);
        processor.loadFile(slow);
        // Refused while the first load runs ("is loading."), or opened after it when it was quick:
        // either way one file is announced and plays.
        processor.loadFile(oneSecond_);
        QTRY_VERIFY_WITH_TIMEOUT(!start.isEmpty(), kDeadlineMs);
        QVERIFY(processor.hasFile());
        QCoreApplication::processEvents();
        QCOMPARE(start.count(), 1);
        QVERIFY(lastPlayStatusIs(play, true));
        QCOMPARE(start.first().at(0).value<uint64_t>(), processor.startTimestamp());
    }

    void closingOrDestroyingWhileLoadingWaitsForTheLoad() {
        // A larger file, so that the load is still running when the close comes.
        const QString big = dir_.filePath("big.raw");
        writeRecording(big, 2'000'000, 1'000'000);
        for (int i = 0; i < 3; ++i) {
            QFile::remove(dir_.filePath("big.zvmark.tmp"));
            auto processor = std::make_unique<ZvEventProcessor>();
            processor->loadFile(big);
            if (i == 0) {
                processor->loadFile(QString());
                QVERIFY(!processor->isLoading());
                QVERIFY(!processor->hasFile());
            }
            processor.reset();  // joins the load thread; its queued signals are dropped
        }
    }

    void aLoadReportsProgressAndCanBeCancelled() {
        // Several MiB: the first progress report comes part way through the scan.
        const QString path = dir_.filePath("cancelled_load.raw");
        writeRecording(path, 2'000'000, 1'000'000);
        QVERIFY(QFileInfo(path).size() > 3 * 1'048'576);
        const QString index = dir_.filePath("cancelled_load.zvmark.tmp");
        ZvEventProcessor processor;
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        GuiSpy start(&processor, &ZvEventProcessor::signalStartTimeStamp);
        GuiSpy loading(&processor, &ZvEventProcessor::signalLoadingStatus);
        // Cancelled at its first progress report, from the load thread itself.
        auto cancelling = connect(
            &processor, &ZvEventProcessor::signalProgress, &processor,
            [&processor] { processor.cancelWork(); }, Qt::DirectConnection);
        processor.loadFile(path);
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 2 && !loading.last().at(0).toBool(), kDeadlineMs);
        disconnect(cancelling);
        QVERIFY(!processor.hasFile());
        QVERIFY(!processor.isLoading());
        QVERIFY(start.isEmpty());
        QCOMPARE(tips.count(), 1);
        QCOMPARE(tips.at(0).at(0).toString(), QString("Loading cancelled."));
        QCOMPARE(tips.at(0).at(1).value<ZvMessageType>(), ZvMessageType::Warning);
        QVERIFY(!QFileInfo::exists(index));
        processor.slotPlaybackCtrl(true);
        QVERIFY(!processor.isPlaying());

        // Loaded again, it reports rising percentages up to 100 and plays.
        GuiSpy progress(&processor, &ZvEventProcessor::signalProgress);
        QVERIFY(load(processor, path));
        QVERIFY(processor.hasFile());
        QVERIFY(percentagesRiseTo100(progress));
        QVERIFY(QFileInfo::exists(index));
        QCOMPARE(tips.count(), 1);
        // Nothing runs: a cancel changes nothing.
        processor.cancelWork();
        QVERIFY(processor.hasFile());
    }

    void closingWhileLoadingStopsTheLoad() {
        const QString path = dir_.filePath("closed_load.raw");
        writeRecording(path, 1'000'000);
        ZvEventProcessor processor;
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        GuiSpy start(&processor, &ZvEventProcessor::signalStartTimeStamp);
        GuiSpy loading(&processor, &ZvEventProcessor::signalLoadingStatus);
        // The load waits in its first progress report until the close is under way: the close asks
        // the load to stop before it tells the play button, and waits for it afterwards.
        Gate closing;
        auto holding = connect(
            &processor, &ZvEventProcessor::signalProgress, &processor, [&closing] { closing.waitOpen(); },
            Qt::DirectConnection);
        processor.loadFile(path);
        auto opening = connect(
            &processor, &ZvEventProcessor::signalPlayStatus, &processor, [&closing] { closing.open(); },
            Qt::DirectConnection);
        processor.loadFile(QString());  // stops the load, then waits for it
        disconnect(holding);
        disconnect(opening);
        QVERIFY(!processor.isLoading());
        QVERIFY(!processor.hasFile());
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 2 && !loading.last().at(0).toBool(), kDeadlineMs);
        // A load stopped by a close says nothing.
        QVERIFY(start.isEmpty());
        QVERIFY(tips.isEmpty());
        QVERIFY(!QFileInfo::exists(dir_.filePath("closed_load.zvmark.tmp")));
    }

    void aCutOrAnExportCanBeCancelled() {
        // Several MiB: the cut's first progress report comes part way through the copy.
        const QString big = dir_.filePath("cancelled_jobs.raw");
        writeRecording(big, 1'000'000, 1'000'000);
        QVERIFY(QFileInfo(big).size() > 2 * 1'048'576);
        ZvEventProcessor processor;
        QVERIFY(load(processor, big));
        const uint64_t start = processor.startTimestamp();
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        GuiSpy loading(&processor, &ZvEventProcessor::signalLoadingStatus);
        auto cancelling = connect(
            &processor, &ZvEventProcessor::signalProgress, &processor,
            [&processor] { processor.cancelWork(); }, Qt::DirectConnection);
        processor.slotCutRawFile(dir_.filePath("cancelled.raw"), dir_.path(), start, start + 900'000);
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 2, kDeadlineMs);
        processor.slotExportVideo(dir_.filePath("cancelled.mp4"), dir_.path(), start, start + 900'000);
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 4, kDeadlineMs);
        disconnect(cancelling);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 2, kDeadlineMs);
        QCOMPARE(tips.at(0).at(0).toString(), QString("Cut cancelled."));
        QCOMPARE(tips.at(1).at(0).toString(), QString("Export cancelled."));
        for (const auto& call : tips) QCOMPARE(call.at(1).value<ZvMessageType>(), ZvMessageType::Warning);
        QVERIFY(!QFileInfo::exists(dir_.filePath("cancelled.raw")));
        QVERIFY(!QFileInfo::exists(dir_.filePath("cancelled.mp4")));

        // The next job is not cancelled by the earlier request, and reports its way to 100.
        GuiSpy progress(&processor, &ZvEventProcessor::signalProgress);
        processor.slotCutRawFile(dir_.filePath("whole.raw"), dir_.path(), start, start + 900'000);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 3, kDeadlineMs);
        QCOMPARE(tips.at(2).at(0).toString(), QString("Export raw file success!"));
        QTRY_VERIFY_WITH_TIMEOUT(percentagesRiseTo100(progress), kDeadlineMs);
        QVERIFY(QFileInfo(dir_.filePath("whole.raw")).size() > 0);
    }

    void aFailingCutOrExportSaysWhy() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        GuiSpy loading(&processor, &ZvEventProcessor::signalLoadingStatus);
        const uint64_t start = processor.startTimestamp();
        processor.slotCutRawFile(dir_.filePath("no/such/dir/cut.raw"), dir_.filePath("no/such/dir"), start,
                                 start + 100'000);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.at(0).at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QVERIFY(tips.at(0).at(0).toString().startsWith("Export raw file failed: "));
        QVERIFY(tips.at(0).at(0).toString().size() > QString("Export raw file failed: ").size());
        processor.slotExportVideo(dir_.filePath("no/such/dir/v.mp4"), dir_.filePath("no/such/dir"), start,
                                  start + 100'000);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 2, kDeadlineMs);
        QCOMPARE(tips.at(1).at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QVERIFY(tips.at(1).at(0).toString().startsWith("Export video failed: "));
        QTRY_COMPARE_WITH_TIMEOUT(loading.count(), 4, kDeadlineMs);
        QVERIFY(!loading.last().at(0).toBool());
    }

    void aCutOrExportWithoutARecordingSaysSo() {
        ZvEventProcessor processor;
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        processor.slotCutRawFile(dir_.filePath("c.raw"), dir_.path(), kT0, kT0 + 100'000);
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^Load raw file failed: "));
        QVERIFY(load(processor, dir_.filePath("missing.raw")));
        processor.slotExportVideo(dir_.filePath("e.mp4"), dir_.path(), kT0, kT0 + 100'000);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 3, kDeadlineMs);  // with the failed load's own
        QCOMPARE(tips.at(0).at(0).toString(), QString("No recording is loaded."));
        QCOMPARE(tips.at(0).at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QCOMPARE(tips.at(2).at(0).toString(), QString("No recording is loaded."));
        QCOMPARE(tips.at(2).at(1).value<ZvMessageType>(), ZvMessageType::Error);
        QVERIFY(!QFileInfo::exists(dir_.filePath("c.raw")));
        QVERIFY(!QFileInfo::exists(dir_.filePath("e.mp4")));
    }

    void aSecondJobWhileOneRunsIsRefused() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        const uint64_t start = processor.startTimestamp();
        // The export waits in its first progress report until the second request has been answered.
        Gate answered;
        auto holding = connect(
            &processor, &ZvEventProcessor::signalProgress, &processor, [&answered] { answered.waitOpen(); },
            Qt::DirectConnection);
        processor.slotExportVideo(dir_.filePath("long.mp4"), dir_.path(), start, start + 300'000);
        QTRY_VERIFY_WITH_TIMEOUT(processor.fileJobRunning(), kDeadlineMs);
        processor.slotCutRawFile(dir_.filePath("second.raw"), dir_.path(), start, start + 100'000);
        processor.slotExportVideo(dir_.filePath("third.mp4"), dir_.path(), start, start + 100'000);
        QCOMPARE(tips.count(), 2);
        for (const auto& call : tips) {
            QCOMPARE(call.at(0).toString(), QString("A cut or an export is already running."));
            QCOMPARE(call.at(1).value<ZvMessageType>(), ZvMessageType::Error);
        }
        QTest::ignoreMessage(QtInfoMsg, "a cut or an export is running.");
        processor.nextFrame();
        answered.open();
        disconnect(holding);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 3, kDeadlineMs);
        QCOMPARE(tips.at(2).at(0).toString(), QString("Export video success!"));
        QVERIFY(!QFileInfo::exists(dir_.filePath("second.raw")));
        QVERIFY(!QFileInfo::exists(dir_.filePath("third.mp4")));
        // Once the export has ended another job is accepted.
        QTRY_VERIFY_WITH_TIMEOUT(!processor.fileJobRunning(), kDeadlineMs);
        processor.slotCutRawFile(dir_.filePath("fourth.raw"), dir_.path(), start, start + 100'000);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 4, kDeadlineMs);
        QCOMPARE(tips.at(3).at(0).toString(), QString("Export raw file success!"));
    }

    void aCutAndAnExportSucceed() {
        ZvEventProcessor processor;
        QVERIFY(load(processor, oneSecond_));
        GuiSpy tips(&processor,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        const uint64_t start = processor.startTimestamp();
        processor.slotCutRawFile(dir_.filePath("cut.raw"), dir_.path(), start + 100'000, start + 200'000);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        processor.slotExportVideo(dir_.filePath("v.mp4"), dir_.path(), start, start + 300'000);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 2, kDeadlineMs);
        QStringList texts;
        for (const auto& call : tips) {
            QCOMPARE(call.at(1).value<ZvMessageType>(), ZvMessageType::Success);
            QCOMPARE(call.at(2).toString(), dir_.path());
            texts << call.at(0).toString();
        }
        texts.sort();
        QCOMPARE(texts, QStringList({"Export raw file success!", "Export video success!"}));
        QVERIFY(QFileInfo(dir_.filePath("cut.raw")).size() > 0);
        QVERIFY(QFileInfo(dir_.filePath("v.mp4")).size() > 0);
    }
};

ZELVAN_VIEWER_TEST_MAIN(PlaybackTests)
#include "PlaybackTests.moc"
