// The main window's playback side: opening a recording, the play bar, the slider and its labels,
// the viewer-type button, "Save as..." and "Cut Recording" with their dialogs, end to end on a copy
// of a real recording.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "TestSync.h"
#include "Utility/ViewerUtils.h"
#include "ViewerTestHelpers.h"
#include "dialogs/ZvCutRawFile.h"
#include "dialogs/ZvExportVideoUI.h"
#include "main/MainWidget.h"
#include "main/ViewerResources.h"
#include "processing/ZvEventProcessor.h"
#include "settings/AppSettings.h"
#include "ui_MainWidget.h"
#include "widgets/WaitingWindow.h"
#include "widgets/ZvThreeHandleSlider.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/RawFileReader.h"

namespace {

constexpr int kDeadlineMs = 30000;
const char* const kRecording = "event_camera_codecs_evt3_trigger.derived.raw";

// Runs `trigger`; when a dialog of type D opens, `fill` gets it and it is accepted. False when none opened.
template <typename D>
bool acceptDialog(const std::function<void()>& trigger, const std::function<void(D*)>& fill) {
    bool opened = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<D*>(widget);
            if (!dialog || !dialog->isVisible() || opened) continue;
            opened = true;
            fill(dialog);
            dialog->accept();
        }
    });
    poll.start();
    trigger();
    return opened;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A copy of the shared recording `name` in `dir` (the reader writes its index beside it), or an
// empty string when the shared recordings are not there.
QString copyOfSharedRecording(const QTemporaryDir& dir, const char* name) {
    namespace fs = std::filesystem;
    const fs::path source = fs::path(ZELVAN_TESTDATA_DIR) / name;
    const QString copy = dir.filePath(name);
    std::error_code error;
    if (!fs::exists(source) || !fs::copy_file(source, copy.toStdString(), error)) return QString();
    return copy;
}

// Save as... and Cut Recording both answer with a Warning and open no dialog.
void expectFileToolsRefused(MainWidget& window) {
    GuiSpy tips(&window, qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips));
    QVERIFY(!withModalDialog([&] { window.slotSaveAs(); }, [](QDialog*) {}));
    QVERIFY(!withModalDialog([&] { window.slotCutRecording(); }, [](QDialog*) {}));
    QCOMPARE(tips.count(), 2);
    for (const auto& call : tips) {
        QCOMPARE(call.at(0).toString(), QString("Please open a raw file first."));
        QCOMPARE(call.at(1).value<ZvMessageType>(), ZvMessageType::Warning);
    }
}

// The texts of the entries of File > Open Recent.
QStringList recentMenuTexts(MainWidget& window) {
    QStringList texts;
    for (QMenu* menu : window.findChildren<QMenu*>()) {
        if (menu->title() != "Open Recent") continue;
        emit menu->aboutToShow();
        for (QAction* action : menu->actions())
            if (!action->isSeparator()) texts << action->text() + (action->isEnabled() ? "" : " (disabled)");
    }
    return texts;
}

QAction* recentMenuAction(MainWidget& window, const QString& text) {
    for (QMenu* menu : window.findChildren<QMenu*>())
        if (menu->title() == "Open Recent")
            for (QAction* action : menu->actions())
                if (action->text() == text) return action;
    return nullptr;
}

std::vector<zelvan::Event2D> eventsOf(zelvan::DvsFileReader& reader, uint64_t start, uint64_t duration) {
    auto events = reader.getNTimeEventsGivenStartTimeStamp(start, duration);
    return events ? *events : std::vector<zelvan::Event2D>{};
}

}  // namespace

class PlaybackWindowTests : public QObject {
    Q_OBJECT

private slots:
    void timestampsAsMinutesSecondsMicroseconds() {
        QCOMPARE(formatTimestamp(61'000'005), QString("01:01:000005"));
        QCOMPARE(formatTimestamp(0), QString("00:00:000000"));
        QCOMPARE(formatTimestamp(6'000'000'000ULL), QString("100:00:000000"));
    }

    void theViewerTypeCycles() {
        MainWidget window;
        GuiSpy types(&window, &MainWidget::signalSetViewerShowType);
        QCOMPARE(window.viewerShowType(), zelvan::DVS);
        window.on_pb_viewer_type_clicked();
        QCOMPARE(window.viewerShowType(), zelvan::APS);
        window.on_pb_viewer_type_clicked();
        QCOMPARE(window.viewerShowType(), zelvan::DVS_AND_APS);
        window.on_pb_viewer_type_clicked();
        QCOMPARE(window.viewerShowType(), zelvan::DVS);
        QCOMPARE(types.count(), 3);
        QCOMPARE(types.at(0).at(0).value<zelvan::STREAM_TYPE>(), zelvan::APS);
        QCOMPARE(types.at(2).at(0).value<zelvan::STREAM_TYPE>(), zelvan::DVS);
    }

    void fileToolsNeedARawFile() {
        MainWidget window;
        expectFileToolsRefused(window);
    }

    void fileToolsNeedALoadedRecording() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        MainWidget window;
        ZvEventProcessor* player = window.eventProcessor();
        GuiSpy loading(player, &ZvEventProcessor::signalLoadingStatus);
        const QString bad = dir.filePath("bad.raw");
        QVERIFY(writeFile(bad, "not a recording\n"));
        window.openRecording(bad);  // its load fails
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() >= 2 && !loading.last().at(0).toBool(), kDeadlineMs);
        QVERIFY(!player->hasFile());
        expectFileToolsRefused(window);
    }

    void triggerMarkersTakeTheEdgeColours() {
        MainWidget window;
        emit window.eventProcessor()->signalTriggerList({{100, 1}, {50, 0}});
        const auto& markers = window.form()->slider->triggerMarkers();
        QCOMPARE(markers.size(), size_t(2));
        QCOMPARE(markers[0].first, uint64_t(100));
        QCOMPARE(markers[0].second, QColor("#FF6058"));
        QCOMPARE(markers[1].first, uint64_t(50));
        QCOMPARE(markers[1].second, QColor("#58DB6D"));
    }

    void startEndPointsResetTheRange() {
        MainWidget window;
        ZvThreeHandleSlider* slider = window.form()->slider;
        window.slotSetSliderEndTime(2'000'000);
        window.slotSetSliderStartTime(1'000'000);
        GuiSpy lower(slider, &ZvThreeHandleSlider::lowerValueChanged);
        window.slotStartEndPointEditable(true);
        QCOMPARE(slider->mode(), ZvThreeHandleSlider::StartEndEditable);
        QCOMPARE(lower.count(), 1);
        QCOMPARE(lower.last().at(0).value<uint64_t>(), uint64_t(1'000'000));
        window.slotStartEndPointEditable(false);
        QCOMPARE(slider->mode(), ZvThreeHandleSlider::CenterOnly);
    }

    void theDialogsReadBackWhatWasSet() {
        ZvExportVideoUI video;
        QCOMPARE(video.windowTitle(), QString("ZvExportVideoUI"));
        QCOMPARE(video.findChild<QLabel*>("lb_title")->text(), QString("Export a video"));
        QCOMPARE(video.findChild<QPushButton*>("pb_save")->text(), QString("Export"));
        QCOMPARE(video.fileName(), QString("xxx.mp4"));
        video.setStartTime(5'000'000'000ULL);
        QCOMPARE(video.startTime(), uint64_t(5'000'000'000ULL));
        video.findChild<QLineEdit*>("le_start_time")->setText("12ab");
        QCOMPARE(video.startTime(), uint64_t(0));
        video.setEndTime(7);
        QCOMPARE(video.endTime(), uint64_t(7));
        video.setSaveDir("/tmp/out");
        video.setFileName("a.mp4");
        QCOMPARE(video.fullPath(), QString("/tmp/out/a.mp4"));
        video.on_pb_cancel_clicked();
        QCOMPARE(video.result(), int(QDialog::Rejected));

        ZvCutRawFile cut;
        QCOMPARE(cut.windowTitle(), QString("ZvCutRawFile"));
        QCOMPARE(cut.findChild<QLabel*>("lb_title")->text(), QString("Cut Recording"));
        QCOMPARE(cut.findChild<QPushButton*>("pb_save")->text(), QString("Cut"));
        QCOMPARE(cut.fileName(), QString("xxx.raw"));
        cut.setSaveDir("/tmp/out/");
        cut.setFileName("c.raw");
        QCOMPARE(cut.fullPath(), QString("/tmp/out//c.raw"));
        cut.setStartTime(10);
        cut.setEndTime(20);
        QCOMPARE(cut.startTime(), uint64_t(10));
        QCOMPARE(cut.endTime(), uint64_t(20));
        cut.on_pb_save_clicked();
        QCOMPARE(cut.result(), int(QDialog::Accepted));
        cut.on_pb_win_close_clicked();
        QCOMPARE(cut.result(), int(QDialog::Rejected));

        // A file that exists under the chosen name is replaced only when the user says so.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile existing(dir.filePath("c.raw"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        cut.setSaveDir(dir.path());
        cut.setResult(42);
        QString asked;
        QVERIFY(withModalDialog([&] { cut.on_pb_save_clicked(); },
                                [&](QDialog* box) { asked = qobject_cast<QMessageBox*>(box)->text(); }));
        QVERIFY2(asked.contains("c.raw"), qPrintable(asked));
        QCOMPARE(cut.result(), 42);  // not replaced: the dialog stays open
        QTimer yes;
        yes.setInterval(20);
        QObject::connect(&yes, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Yes)->click();
        });
        yes.start();
        cut.on_pb_save_clicked();
        yes.stop();
        QCOMPARE(cut.result(), int(QDialog::Accepted));
    }

    void theEndHandleNarrowsPlayback() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = copyOfSharedRecording(dir, kRecording);
        if (copy.isEmpty()) QSKIP("the shared test recordings are not there");

        MainWidget window;
        window.resize(1280, 800);
        window.show();
        Ui::MainWidget* ui = window.form();
        ZvEventProcessor* player = window.eventProcessor();
        ZvThreeHandleSlider* slider = ui->slider;
        window.openRecording(copy);
        QTRY_VERIFY_WITH_TIMEOUT(ui->pb_play->isChecked(), kDeadlineMs);
        emit ui->pb_reset->pressed();
        const uint64_t start = player->startTimestamp();

        // Start/end points editable, then the end handle dragged to about 400 ms into the file.
        window.slotStartEndPointEditable(true);
        auto mouse = [&](QEvent::Type type, int x, Qt::MouseButton button, Qt::MouseButtons buttons) {
            QMouseEvent event(type, QPointF(x, 10), slider->mapToGlobal(QPointF(x, 10)), button, buttons,
                              Qt::NoModifier);
            QApplication::sendEvent(slider, &event);
        };
        const int from = slider->valueToPixel(slider->maximum());
        const int to = slider->valueToPixel(start + 400'000);
        mouse(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
        mouse(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
        const uint64_t upper = slider->upperValue();
        QCOMPARE(upper, slider->pixelToValue(to));
        QCOMPARE(player->endTimestamp(), upper);
        // The label's total follows the end handle at once.
        QVERIFY(ui->label_slider_time->text().endsWith("/" + formatTimestamp(upper)));

        // The label's total is the end handle; playback wraps there.
        emit ui->pb_next_frame->pressed();
        QVERIFY(ui->label_slider_time->text().endsWith("/" + formatTimestamp(upper)));
        GuiSpy times(player, &ZvEventProcessor::signalRealTimeTimeStamp);
        ui->pb_play->setChecked(true);
        QTRY_VERIFY_WITH_TIMEOUT(!ui->pb_play->isChecked(), kDeadlineMs);
        QVERIFY(!times.isEmpty());
        uint64_t latest = 0;
        for (const auto& call : times) latest = std::max(latest, call.at(0).value<uint64_t>());
        QCOMPARE(latest, upper);
        QCOMPARE(player->position(), start);

        // Leaving the mode gives the whole file back.
        window.slotStartEndPointEditable(false);
        QCOMPARE(player->endTimestamp(), slider->maximum());
    }

    void closingDuringACutWaitsForItsFile() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = copyOfSharedRecording(dir, kRecording);
        if (copy.isEmpty()) QSKIP("the shared test recordings are not there");

        MainWidget window;
        window.show();
        ZvEventProcessor* player = window.eventProcessor();
        window.openRecording(copy);
        QTRY_VERIFY_WITH_TIMEOUT(window.form()->pb_play->isChecked(), kDeadlineMs);
        // The cut writes into a pipe nobody reads yet: it blocks once the pipe is full.
        const QString pipe = dir.filePath("held.raw");
        QCOMPARE(::mkfifo(pipe.toLocal8Bit().constData(), 0600), 0);
        PipeHold hold(pipe);
        QVERIFY(hold.isOpen());
        emit window.signalCutRawFile(pipe, dir.path(), player->startTimestamp(), player->endTimestamp());
        QVERIFY(player->fileJobRunning());
        QVERIFY(hold.waitForData(kDeadlineMs));  // the cut is writing; it fills the pipe and waits

        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        auto* busy = window.findChild<WaitingWindow*>();
        QVERIFY(busy->isVisible());
        // The close waits for the file: nothing offers to throw it away, and Esc does not either.
        QVERIFY(!busy->isCancellable());
        QVERIFY(!busy->cancelButton()->isVisible());
        GuiSpy tips(player,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        QTest::keyClick(busy, Qt::Key_Escape);
        QVERIFY(busy->isVisible());
        QVERIFY(player->fileJobRunning());
        hold.release();
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.at(0).at(0).toString(), QString("Export raw file success!"));
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), kDeadlineMs);
        QVERIFY(!player->fileJobRunning());
    }

    void theWaitingWindowShowsProgressAndCancels() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = copyOfSharedRecording(dir, kRecording);
        if (copy.isEmpty()) QSKIP("the shared test recordings are not there");

        MainWidget window;
        window.show();
        ZvEventProcessor* player = window.eventProcessor();
        auto* busy = window.findChild<WaitingWindow*>();
        window.openRecording(copy);
        QTRY_VERIFY_WITH_TIMEOUT(window.form()->pb_play->isChecked(), kDeadlineMs);
        QVERIFY(!busy->isVisible());

        // Connected before the gate below: a report reaches the spy before the cut waits.
        GuiSpy progress(player, &ZvEventProcessor::signalProgress);
        // The cut waits in its first progress report until Cancel has been clicked.
        Gate clicked;
        auto holding = connect(
            player, &ZvEventProcessor::signalProgress, player, [&clicked] { clicked.waitOpen(); },
            Qt::DirectConnection);
        connect(busy, &WaitingWindow::cancelRequested, player, [&clicked] { clicked.open(); });
        GuiSpy tips(player,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        const QString out = dir.filePath("cut.raw");
        emit window.signalCutRawFile(out, dir.path(), player->startTimestamp(), player->endTimestamp());
        QTRY_VERIFY_WITH_TIMEOUT(busy->isVisible(), kDeadlineMs);
        QVERIFY(busy->isCancellable());
        QVERIFY(busy->cancelButton()->isVisible());
        // The percentage reported so far is the one shown.
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), kDeadlineMs);
        QCOMPARE(busy->progress(), progress.last().at(0).toInt());
        QTest::mouseClick(busy->cancelButton(), Qt::LeftButton);
        QVERIFY(!busy->cancelButton()->isEnabled());  // asked once
        QTRY_VERIFY_WITH_TIMEOUT(!busy->isVisible(), kDeadlineMs);
        disconnect(holding);
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.at(0).at(0).toString(), QString("Cut cancelled."));
        QVERIFY(!QFileInfo::exists(out));
        // The next busy spell starts without the old percentage and with Cancel usable again.
        QCOMPARE(busy->progress(), -1);
        QVERIFY(!busy->isCancellable());
        emit window.signalCutRawFile(out, dir.path(), player->startTimestamp(), player->endTimestamp());
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 2, kDeadlineMs);
        QCOMPARE(tips.at(1).at(0).toString(), QString("Export raw file success!"));
        QTRY_VERIFY_WITH_TIMEOUT(!busy->isVisible(), kDeadlineMs);
        QVERIFY(QFileInfo(out).size() > 0);
    }

    void aRealRecordingEndToEnd() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = copyOfSharedRecording(dir, kRecording);
        if (copy.isEmpty()) QSKIP("the shared test recordings are not there");

        MainWidget window;
        window.resize(1280, 800);
        window.show();
        Ui::MainWidget* ui = window.form();
        ZvEventProcessor* player = window.eventProcessor();
        GuiSpy tips(player,
                    qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips));
        GuiSpy times(player, &ZvEventProcessor::signalRealTimeTimeStamp);

        // Opens and plays by itself.
        window.openRecording(copy);
        QCOMPARE(window.viewerMode(), RawFile);
        QCOMPARE(ui->label_file_name->text(), QString(kRecording));
        QTRY_VERIFY_WITH_TIMEOUT(ui->pb_play->isChecked(), kDeadlineMs);
        QVERIFY(ui->slider->isEnabled() && ui->pb_next_frame->isEnabled());
        const uint64_t start = player->startTimestamp();
        const uint64_t end = player->endTimestamp();
        QCOMPARE(ui->slider->minimum(), start);
        QCOMPARE(ui->slider->maximum(), end);
        QCOMPARE(ui->slider->triggerMarkers().size(), size_t(2));

        // About a second of playback (the recording lasts 1.25 s of event time at 30/33 of real time).
        QTRY_VERIFY_WITH_TIMEOUT(player->position() > start + 900'000 || !ui->pb_play->isChecked(),
                                 kDeadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(!times.isEmpty(), kDeadlineMs);
        QVERIFY(ui->label_slider_time->text().endsWith("/" + formatTimestamp(end)));
        // scripts/screenshot.sh keeps a picture of playback for the README.
        if (const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT_PLAYBACK"); !shot.isEmpty()) {
            QTest::qWait(200);  // the frames queued for the view arrive
            QVERIFY(window.grab().save(shot));
        }

        // Steps stop playback.
        emit ui->pb_reset->pressed();
        QVERIFY(!ui->pb_play->isChecked());
        QCOMPARE(player->position(), start);
        emit ui->pb_next_frame->pressed();
        QCOMPARE(player->position(), start + player->step());
        QCOMPARE(ui->slider->centerValue(), start + player->step());
        emit ui->pb_pre_frame->pressed();
        QCOMPARE(player->position(), start);

        // Seeking with a click on the track.
        const uint64_t middle = start + (end - start) / 2;
        const int x = ui->slider->valueToPixel(middle);
        const uint64_t clicked = ui->slider->pixelToValue(x);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(x, 10), ui->slider->mapToGlobal(QPointF(x, 10)),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(ui->slider, &press);
        QCOMPARE(player->position(), clicked + player->accTime());
        QVERIFY(ui->label_slider_time->text().startsWith(formatTimestamp(clicked + player->accTime())));

        // Cut a range and export one.
        const uint64_t cutStart = start + 200'000;
        const uint64_t cutEnd = start + 500'000;
        QVERIFY(acceptDialog<ZvCutRawFile>([&] { window.slotCutRecording(); },
                                           [&](ZvCutRawFile* dialog) {
                                               QCOMPARE(dialog->startTime(), start);
                                               QCOMPARE(dialog->endTime(), end);
                                               QVERIFY(dialog->fileName().endsWith(".raw"));
                                               dialog->setStartTime(cutStart);
                                               dialog->setEndTime(cutEnd);
                                               dialog->setSaveDir(dir.path());
                                               dialog->setFileName("cut.raw");
                                           }));
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 1, kDeadlineMs);
        QCOMPARE(tips.at(0).at(0).toString(), QString("Export raw file success!"));
        QCOMPARE(tips.at(0).at(2).toString(), dir.path());

        const uint64_t videoStart = start;
        const uint64_t videoEnd = start + 10 * 33'333 + 100;
        QVERIFY(acceptDialog<ZvExportVideoUI>([&] { window.slotSaveAs(); },
                                              [&](ZvExportVideoUI* dialog) {
                                                  QVERIFY(dialog->fileName().endsWith(".mp4"));
                                                  dialog->setStartTime(videoStart);
                                                  dialog->setEndTime(videoEnd);
                                                  dialog->setSaveDir(dir.path());
                                                  dialog->setFileName("video.mp4");
                                              }));
        QTRY_COMPARE_WITH_TIMEOUT(tips.count(), 2, kDeadlineMs);
        QCOMPARE(tips.at(1).at(0).toString(), QString("Export video success!"));

        // The cut decodes to exactly the events of its range.
        zelvan::RawFileReader original(copy.toStdString());
        QVERIFY(original.loadFile());
        const auto expected = eventsOf(original, cutStart, cutEnd - cutStart);
        QVERIFY(!expected.empty());
        zelvan::RawFileReader cut(dir.filePath("cut.raw").toStdString());
        QVERIFY(cut.loadFile());
        uint64_t count = 0;
        QVERIFY(cut.getMaxEvents(count));
        QCOMPARE(count, uint64_t(expected.size()));
        const auto got = cut.getNEventsGivenStartEvent(0, count);
        QVERIFY(got);
        QCOMPARE(got->size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const auto& a = (*got)[i];
            const auto& b = expected[i];
            if (a.x != b.x || a.y != b.y || a.polarity != b.polarity || a.timestamp != b.timestamp)
                QFAIL(qPrintable(QString("event %1 differs").arg(i)));
        }

        // One video frame per period of 33 333 us that holds events.
        size_t frames = 0;
        for (uint64_t t = videoStart; t < videoEnd; t += 33'333)
            frames += !eventsOf(original, t, 33'333).empty();
        auto video = zelvan::ApsFileReader::createFileReader(dir.filePath("video.mp4").toStdString());
        QVERIFY(video);
        QVERIFY(video->loadFile());
        std::vector<uint64_t> stamps;
        QVERIFY(video->getTimeStamps(stamps));
        QCOMPARE(stamps.size(), frames);

        // Closing the file (as opening a camera does).
        emit window.signalOpenRawFile(QString());
        QVERIFY(!player->hasFile());
        QVERIFY(!ui->pb_play->isChecked());
    }

    void recordingsThatCannotBeOpenedAreRefused() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString notes = dir.filePath("notes.txt");
        QVERIFY(writeFile(notes, "text\n"));
        QVERIFY(QDir(dir.path()).mkdir("folder.raw"));
        MainWidget window;
        GuiSpy tips(&window,
                    qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips));
        GuiSpy loading(window.eventProcessor(), &ZvEventProcessor::signalLoadingStatus);
        window.openRecording(dir.filePath("missing.raw"));
        window.openRecording(notes);
        window.openRecording(dir.filePath("folder.raw"));
        QCOMPARE(tips.count(), 3);
        QCOMPARE(tips.at(0).at(0).toString(),
                 "Cannot open " + dir.filePath("missing.raw") + ": no such file.");
        QCOMPARE(tips.at(1).at(0).toString(), "Cannot open " + notes + ": not a raw recording (*.raw).");
        QCOMPARE(tips.at(2).at(0).toString(),
                 "Cannot open " + dir.filePath("folder.raw") + ": not a readable file.");
        for (const auto& call : tips) QCOMPARE(call.at(1).value<ZvMessageType>(), ZvMessageType::Error);
        // Nothing was opened or loaded.
        QCOMPARE(window.viewerMode(), NoDevice);
        QVERIFY(window.form()->label_file_name->text().isEmpty());
        QVERIFY(!window.eventProcessor()->isLoading());
        QVERIFY(!window.eventProcessor()->hasFile());
        QVERIFY(loading.isEmpty());
    }

    void openRecentListsTheLastFiveRecordings() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        AppSettings* settings = AppSettings::instance();
        settings->recentRecordings.clear();
        MainWidget window;
        QCOMPARE(recentMenuTexts(window),
                 QStringList({"No recent recordings (disabled)", "Clear Recent (disabled)"}));
        GuiSpy loading(window.eventProcessor(), &ZvEventProcessor::signalLoadingStatus);
        QStringList files;
        for (int i = 0; i < 6; ++i) {
            const QString file = dir.filePath(QString("r%1.raw").arg(i));
            QVERIFY(writeFile(file, "not a recording\n"));  // opens, and its load fails
            files << QFileInfo(file).canonicalFilePath();
            window.openRecording(files.last());
            QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 2 * (i + 1) && !loading.last().at(0).toBool(),
                                     kDeadlineMs);
        }
        const QStringList newestFive = {files[5], files[4], files[3], files[2], files[1]};
        QCOMPARE(settings->recentRecordings, newestFive);
        QCOMPARE(recentMenuTexts(window), newestFive + QStringList{"Clear Recent"});
        // Kept in the settings file.
        QCOMPARE(AppSettings(settings->fileName()).recentRecordings, newestFive);

        // Opening one again moves it to the top, once, also when written another way; the action
        // triggered is still there afterwards.
        window.openRecording(dir.path() + "/./r2.raw");
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 14 && !loading.last().at(0).toBool(), kDeadlineMs);
        QCOMPARE(settings->recentRecordings, QStringList({files[2], files[5], files[4], files[3], files[1]}));
        recentMenuTexts(window);
        QPointer<QAction> again = recentMenuAction(window, files[3]);
        again->trigger();
        QVERIFY(!again.isNull());
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 16 && !loading.last().at(0).toBool(), kDeadlineMs);
        QCOMPARE(settings->recentRecordings, QStringList({files[3], files[2], files[5], files[4], files[1]}));
        recentMenuTexts(window);
        recentMenuAction(window, files[2])->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 18 && !loading.last().at(0).toBool(), kDeadlineMs);
        QCOMPARE(settings->recentRecordings, QStringList({files[2], files[3], files[5], files[4], files[1]}));

        // One that has gone says so and leaves the list.
        GuiSpy tips(&window,
                    qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips));
        QVERIFY(QFile::remove(files[4]));
        recentMenuTexts(window);
        recentMenuAction(window, files[4])->trigger();
        QCOMPARE(tips.count(), 1);
        QCOMPARE(tips.at(0).at(0).toString(), "Cannot open " + files[4] + ": no such file.");
        QCOMPARE(settings->recentRecordings, QStringList({files[2], files[3], files[5], files[1]}));
        QCOMPARE(AppSettings(settings->fileName()).recentRecordings, settings->recentRecordings);

        recentMenuTexts(window);
        recentMenuAction(window, "Clear Recent")->trigger();
        QVERIFY(settings->recentRecordings.isEmpty());
        QVERIFY(AppSettings(settings->fileName()).recentRecordings.isEmpty());
        QCOMPARE(recentMenuTexts(window),
                 QStringList({"No recent recordings (disabled)", "Clear Recent (disabled)"}));
    }

    void aRecordingThatFailsToLoadLeavesNothingShown() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = copyOfSharedRecording(dir, kRecording);
        if (copy.isEmpty()) QSKIP("the shared test recordings are not there");
        const QString bad = dir.filePath("bad.raw");
        QVERIFY(writeFile(bad, "not a recording\n"));

        MainWidget window;
        window.show();
        Ui::MainWidget* ui = window.form();
        window.openRecording(copy);
        QTRY_VERIFY_WITH_TIMEOUT(ui->pb_play->isChecked(), kDeadlineMs);
        QVERIFY(!ui->slider->triggerMarkers().empty());
        GuiSpy loading(window.eventProcessor(), &ZvEventProcessor::signalLoadingStatus);
        window.openRecording(bad);
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 2 && !loading.last().at(0).toBool(), kDeadlineMs);
        // Nothing of either file looks open.
        QCOMPARE(window.viewerMode(), NoDevice);
        QVERIFY(ui->label_file_name->text().isEmpty());
        QVERIFY(ui->label_slider_time->text().isEmpty());
        QVERIFY(ui->label_local_time->text().isEmpty());
        QVERIFY(ui->slider->triggerMarkers().empty());
        QVERIFY(!ui->slider->isEnabled());
        QVERIFY(!ui->pb_next_frame->isEnabled());
        QVERIFY(!ui->pb_play->isChecked());
    }

    void openingAnotherRecordingWhileOneLoadsLoadsTheNewOne() {
        namespace fs = std::filesystem;
        const fs::path first = fs::path(ZELVAN_TESTDATA_DIR) / kRecording;
        const fs::path second = fs::path(ZELVAN_TESTDATA_DIR) / "expelliarmus_evt3_sample.raw";
        if (!fs::exists(first) || !fs::exists(second)) QSKIP("the shared test recordings are not there");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString a = dir.filePath("a.raw");
        const QString b = dir.filePath("b.raw");
        fs::copy_file(first, a.toStdString());
        fs::copy_file(second, b.toStdString());
        zelvan::RawFileReader reader(b.toStdString());
        QVERIFY(reader.loadFile());
        uint64_t bStart = 0;
        QVERIFY(reader.getStartTimeStamp(bStart));

        MainWidget window;
        window.show();
        ZvEventProcessor* player = window.eventProcessor();
        // The first load waits in its first progress report until the second open is under way (the
        // close that stops it tells the play button first).
        Gate secondOpen;
        auto holding = connect(
            player, &ZvEventProcessor::signalProgress, player, [&secondOpen] { secondOpen.waitOpen(); },
            Qt::DirectConnection);
        window.openRecording(a);
        QVERIFY(player->isLoading());
        auto opening = connect(
            player, &ZvEventProcessor::signalPlayStatus, player, [&secondOpen] { secondOpen.open(); },
            Qt::DirectConnection);
        window.openRecording(b);
        disconnect(holding);
        disconnect(opening);
        // The second file is short: it may have played to its end already.
        QTRY_VERIFY_WITH_TIMEOUT(player->hasFile() && window.form()->slider->minimum() == bStart,
                                 kDeadlineMs);
        QCOMPARE(window.form()->label_file_name->text(), QString("b.raw"));
        QCOMPARE(player->startTimestamp(), bStart);
        QCOMPARE(window.viewerMode(), RawFile);
    }

    void recentEntriesShowAmpersandsAsWritten() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        AppSettings* settings = AppSettings::instance();
        settings->recentRecordings.clear();
        QVERIFY(writeFile(dir.filePath("this&that.raw"), "not a recording\n"));
        const QString odd = QFileInfo(dir.filePath("this&that.raw")).canonicalFilePath();
        MainWidget window;
        GuiSpy loading(window.eventProcessor(), &ZvEventProcessor::signalLoadingStatus);
        window.openRecording(odd);
        QTRY_VERIFY_WITH_TIMEOUT(loading.count() == 2 && !loading.last().at(0).toBool(), kDeadlineMs);
        QString shown = odd;
        shown.replace("&", "&&");  // a menu shows "&&" as one "&"
        QCOMPARE(recentMenuTexts(window).first(), shown);
    }

    void aDroppedRecordingOpensAndPlays() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = copyOfSharedRecording(dir, kRecording);
        if (copy.isEmpty()) QSKIP("the shared test recordings are not there");
        const QString notes = dir.filePath("notes.txt");
        QVERIFY(writeFile(notes, "text\n"));

        // Only a single local ".raw" file is taken.
        QMimeData one, two, text, remote;
        one.setUrls({QUrl::fromLocalFile(copy)});
        two.setUrls({QUrl::fromLocalFile(copy), QUrl::fromLocalFile(copy)});
        text.setUrls({QUrl::fromLocalFile(notes)});
        remote.setUrls({QUrl("https://example.org/a.raw")});
        QCOMPARE(MainWidget::droppedRecording(&one), copy);
        QVERIFY(MainWidget::droppedRecording(&two).isEmpty());
        QVERIFY(MainWidget::droppedRecording(&text).isEmpty());
        QVERIFY(MainWidget::droppedRecording(&remote).isEmpty());

        MainWidget window;
        window.show();
        QVERIFY(window.acceptDrops());
        const QPoint at = window.rect().center();
        QDragEnterEvent refused(at, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &refused);
        QVERIFY(!refused.isAccepted());
        QDragEnterEvent enter(at, Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &one, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &drop);
        QVERIFY(drop.isAccepted());
        QTRY_COMPARE_WITH_TIMEOUT(window.viewerMode(), RawFile, kDeadlineMs);
        QCOMPARE(window.form()->label_file_name->text(), QString(kRecording));
        QTRY_VERIFY_WITH_TIMEOUT(window.form()->pb_play->isChecked(), kDeadlineMs);
    }

    void theCommandLineNamesOneRecording() {
        QVERIFY(recordingFromArguments({"ZelvanScope"}).isEmpty());
        QCOMPARE(recordingFromArguments({"ZelvanScope", "some/a.raw"}),
                 QDir::current().absoluteFilePath("some/a.raw"));
        QCOMPARE(recordingFromArguments({"ZelvanScope", "/tmp/b.raw"}), QString("/tmp/b.raw"));
    }
};

ZELVAN_VIEWER_TEST_MAIN(PlaybackWindowTests)
#include "PlaybackWindowTests.moc"
