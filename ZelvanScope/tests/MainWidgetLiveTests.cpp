// The main window on a live simulated camera: open through the menu's code path, stream, record.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QDateTime>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <thread>

#include "FileSizeLimit.h"
#include "GuiSpy.h"
#include "TestSetup.h"
#include "TestSync.h"
#include "Utility/ZvFileRecorder.h"
#include "ViewerTestHelpers.h"
#include "dialogs/CamerasList.h"
#include "dialogs/ShowCameraInfoUI.h"
#include "main/MainWidget.h"
#include "processing/ZvEventProcessor.h"
#include "ui_MainWidget.h"
#include "view/ShowImageForm.h"
#include "widgets/WaitingWindow.h"
#include "widgets/ZvFilePathReminderForm.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/RawFileReader.h"
#include "zelvan/sim/SimDevice.h"

namespace {

// The simulated EVK4 the window opens; with settling switched off it opens at once.
zelvan::CameraDescription findEvk4(MainWidget& window) {
    for (const auto& d : window.searchCameras()) {
        if (d.product == "EVK4") return d;
    }
    return {};
}

zelvan::CameraDescription findProduct(MainWidget& window, const std::string& product) {
    for (const auto& d : window.searchCameras()) {
        if (d.product == product) return d;
    }
    return {};
}

// Opens the EVK4 as the menu does and waits until it streams.
bool openLiveEvk4(MainWidget& window) {
    const zelvan::CameraDescription evk4 = findEvk4(window);
    if (evk4.serial.empty()) return false;
    window.openCameraByDescription(evk4);
    // Live, and the pre-trigger cache set up.
    return QTest::qWaitFor([&] { return window.isLiveRunning() && !window.isCameraBusy(); }, 15000);
}

bool isCompleteRecording(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    zelvan::RawFileHeader header;
    std::string error;
    return zelvan::readRawFileHeader(in, header, error) &&
           QFileInfo(path).size() > qint64(header.payload_offset);
}

// Stalls a merge on the window's camera: a cached recording into a pipe nobody reads stalls once
// the pipe is full (the cache holds far more than a pipe takes). Null when that cannot be set up.
std::unique_ptr<PipeHold> stallAMerge(MainWidget& window, const QTemporaryDir& dir) {
    const auto camera = window.eventCamera();
    GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
    if (!QTest::qWaitFor([&] { return frames.count() >= 3; }, 20000)) return nullptr;  // the cache holds data
    const QString pipe = dir.path() + "/held.raw";
    if (::mkfifo(pipe.toLocal8Bit().constData(), 0600) != 0) return nullptr;
    auto hold = std::make_unique<PipeHold>(pipe);
    if (!hold->isOpen() || camera->startRecording(pipe.toStdString()) != 0) return nullptr;
    camera->stopRecording();
    if (!QTest::qWaitFor([&] { return camera->getRecordingStatus().merging; }, 15000)) return nullptr;
    return hold;
}

using TipSpy = std::unique_ptr<GuiSpy>;
TipSpy spyTips(MainWidget& window) {
    return std::make_unique<GuiSpy>(
        &window, qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips));
}
TipSpy spyTips(ZvFileRecorder* recorder) {
    return std::make_unique<GuiSpy>(
        recorder, qOverload<QString, ZvMessageType, QString>(&ZvFileRecorder::signalShowLeftBottomTips));
}
ZvMessageType typeOf(const QList<QVariant>& tip) { return tip.at(1).value<ZvMessageType>(); }
QString textOf(const QList<QVariant>& tip) { return tip.at(0).toString(); }
bool hasTip(const GuiSpy& spy, const QString& text) {
    return std::any_of(spy.begin(), spy.end(),
                       [&](const QList<QVariant>& tip) { return textOf(tip) == text; });
}

using zelvan::testing_support::FileSizeLimit;

}  // namespace

class MainWidgetLiveTests : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        auto configs = zelvan::sim::SimulatedCameras::defaultConfigs();
        for (auto& c : configs) c.settle_scale = 0;
        zelvan::sim::SimulatedCameras::instance().reset(configs);
        simConfigs_ = configs;
        outputFolder_ = AppSettings::instance()->outputRawFilePath;
    }

    // Trigger edges arrive on a driver thread; the window handles them on the GUI thread only
    // (where it reads the camera and the settings), and the configured edge starts a recording.
    void cameraTriggersAreHandledOnTheGuiThread() {
        auto configs = simConfigs_;
        for (auto& c : configs) {
            if (c.description.product == "EVK4") c.trigger_period_us = 200'000;
        }
        zelvan::sim::SimulatedCameras::instance().reset(configs);
        auto restore = qScopeGuard([this] { zelvan::sim::SimulatedCameras::instance().reset(simConfigs_); });
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->triggerInEdgeType = "Falling Edge";
        s->afterTriggerInSaveTime = 1;
        MainWidget window;
        window.show();
        std::atomic<int> emitted{0};
        std::atomic<bool> offGuiThread{false};
        QThread* gui = QThread::currentThread();
        QObject probe;
        connect(
            &window, &MainWidget::signalRecByTime, &probe,
            [&](uint32_t, QString) {
                if (QThread::currentThread() != gui) offGuiThread = true;
                ++emitted;
            },
            Qt::DirectConnection);
        GuiSpy requests(&window, &MainWidget::signalRecByTime);
        QVERIFY(openLiveEvk4(window));
        QTRY_VERIFY_WITH_TIMEOUT(!requests.isEmpty(), 15000);
        QVERIFY(!offGuiThread.load());
        QCOMPARE(requests.first().at(0).toUInt(), 1u);
        const QString path = requests.first().at(1).toString();
        QVERIFY2(path.startsWith(s->outputRawFilePath + "/" +
                                 QString::fromStdString(window.eventCamera()->getDescription().serial)),
                 qPrintable(path));
        QVERIFY(path.endsWith(".raw"));
        QTRY_VERIFY_WITH_TIMEOUT(window.recorder()->isRecording(), 15000);
        QVERIFY(!offGuiThread.load());
    }

    void triggerInRecordingNeverStopsTheRecordButtonsRecording() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->beforeTriggerInSaveTime = 1;
        s->afterTriggerInSaveTime = 1;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        auto windowTips = spyTips(window);
        auto recorderTips = spyTips(window.recorder());
        GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        window.form()->pb_record->click();
        QVERIFY(window.form()->pb_record->isChecked());
        QVERIFY(camera->isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);  // data reach the recording

        // The trigger's recording is refused: an error with its reason, nothing stopped. A trigger that
        // keeps coming is told once for the recording that holds the camera.
        for (int edge = 0; edge < 20; ++edge) window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(!recorderTips->isEmpty() && !window.recorder()->isRecording(), 15000);
        window.recorder()->waitForTimedRecording();
        QCoreApplication::processEvents();
        QCOMPARE(recorderTips->count(), 1);
        QCOMPARE(typeOf(recorderTips->first()), ZvMessageType::Error);
        QVERIFY2(textOf(recorderTips->first()).contains(window.lastRecordingPath()),
                 qPrintable(textOf(recorderTips->first())));
        QVERIFY(camera->isRecording());
        QVERIFY(window.form()->pb_record->isChecked());

        // The record button's recording ends as it should, its cached second merged in.
        window.form()->pb_record->click();
        QVERIFY(!window.form()->pb_record->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(textOf(windowTips->last()), QString("Save file success!"));
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Success);
        QVERIFY(isCompleteRecording(window.lastRecordingPath()));
        QTRY_VERIFY_WITH_TIMEOUT(window.form()->pb_record->isEnabled(), 15000);
    }

    void aPausedStreamPausesTheRecordingsClock() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        auto windowTips = spyTips(window);
        QLabel* clock = window.form()->label_recording_time;
        window.form()->pb_record->click();
        QVERIFY(window.form()->pb_record->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(clock->text() >= QString("00:00:02"), 20000);
        // Paused, the camera stands still: the recording goes on, its clock does not count.
        window.form()->pb_play->click();
        QVERIFY(!camera->isStreaming());
        QVERIFY(window.form()->pb_record->isChecked());
        QVERIFY(camera->isRecording());
        QTest::qWait(1100);  // the clock has ticked since the pause
        const QString paused = clock->text();
        QTest::qWait(2500);
        QCOMPARE(clock->text(), paused);
        // Played again, it counts on from there.
        window.form()->pb_play->click();
        QVERIFY(camera->isStreaming());
        QTRY_VERIFY_WITH_TIMEOUT(clock->text() > paused, 20000);
        window.form()->pb_record->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(textOf(windowTips->last()), QString("Save file success!"));
        QVERIFY(isCompleteRecording(window.lastRecordingPath()));
    }

    void aRecordingIntoAMissingFolderIsAnError() {
        AppSettings* s = AppSettings::instance();
        QTemporaryDir dir;
        const QString missing = dir.path() + "/missing";
        s->outputRawFilePath = missing;
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 1;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto windowTips = spyTips(window);
        auto recorderTips = spyTips(window.recorder());

        window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(!recorderTips->isEmpty() && !window.recorder()->isRecording(), 15000);
        window.recorder()->waitForTimedRecording();
        QCOMPARE(recorderTips->count(), 1);
        QCOMPARE(typeOf(recorderTips->first()), ZvMessageType::Error);
        QVERIFY2(textOf(recorderTips->first()).contains("No such file or directory"),
                 qPrintable(textOf(recorderTips->first())));

        window.form()->pb_record->click();
        QVERIFY(!window.form()->pb_record->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Error);
        QVERIFY2(textOf(windowTips->last()).contains("No such file or directory"),
                 qPrintable(textOf(windowTips->last())));
        QVERIFY(!QFileInfo::exists(missing));
    }

    void aRecordingThatLostDataEndsWithAnError() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        auto windowTips = spyTips(window);
        {
            // The recording outgrows the limit within a second or so of the camera's data.
            FileSizeLimit limit(4 << 20);
            QVERIFY(limit.applied());
            window.form()->pb_record->click();
            QVERIFY(window.form()->pb_record->isChecked());
            QTRY_VERIFY_WITH_TIMEOUT(camera->getRecordingStatus().failed, 10000);
            // The window notices by itself: the recording ends and its outcome is shown without the
            // user pressing stop.
            QTRY_VERIFY_WITH_TIMEOUT(!window.form()->pb_record->isChecked(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Error);
        QVERIFY2(textOf(windowTips->last()).contains("Write error"), qPrintable(textOf(windowTips->last())));
        QVERIFY(!window.form()->pb_record->isChecked());
        // What it wrote before the failure is kept.
        QVERIFY(QFileInfo(window.lastRecordingPath()).size() > 0);
    }

    // A recording that could not write even its header leaves no empty file behind, and says so.
    void aRecordingThatWroteNothingLeavesNoFile() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto windowTips = spyTips(window);
        {
            FileSizeLimit limit(0);
            QVERIFY(limit.applied());
            window.form()->pb_record->click();
            QVERIFY(window.form()->pb_record->isChecked());
            QVERIFY(QFileInfo::exists(window.lastRecordingPath()));
            QTRY_VERIFY_WITH_TIMEOUT(!window.form()->pb_record->isChecked(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Error);
        QVERIFY2(textOf(windowTips->last()).contains("the empty file was removed"),
                 qPrintable(textOf(windowTips->last())));
        QVERIFY(!QFileInfo::exists(window.lastRecordingPath()));
    }

    void cleanup() {
        for (const auto& device : zelvan::sim::SimulatedCameras::instance().devices()) device->plug();
        AppSettings* s = AppSettings::instance();
        s->outputRawFilePath = outputFolder_;
        s->triggerInRecEnable = false;
        s->beforeTriggerInSaveTime = 0;
        s->afterTriggerInSaveTime = 0;
        s->triggerInEdgeType = "Rising Edge";
    }

    void aConnectionLossEndsTheRecordButtonsRecording() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        auto windowTips = spyTips(window);
        GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);

        zelvan::sim::SimulatedCameras::instance().find(camera->getDescription().serial)->unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isRecording(), 15000);
        QVERIFY(!window.form()->pb_record->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        QVERIFY(!camera->isRecording());
        QVERIFY(window.form()->label_recording_time->text().isEmpty());
        QVERIFY(isCompleteRecording(window.lastRecordingPath()));
        // The loss and the saved file are both told, in either order.
        QTRY_VERIFY_WITH_TIMEOUT(hasTip(*windowTips, "Save file success!"), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(hasTip(*windowTips, "camera disconnected"), 15000);
    }

    void aDropNeverEndsARecording() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString dropped = dir.filePath("dropped.raw");
        {
            QFile file(dropped);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto windowTips = spyTips(window);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(dropped)});
        QDragEnterEvent enter(window.rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        QDropEvent drop(window.rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &drop);
        QVERIFY(!drop.isAccepted());
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(textOf(windowTips->last()), QString("Stop the recording before opening a recording."));
        QCoreApplication::processEvents();
        QVERIFY(window.isRecording());
        QCOMPARE(window.viewerMode(), EventCamera);
        window.form()->pb_record->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 15000);
    }

    void aLostCameraLooksStopped() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto windowTips = spyTips(window);
        QTRY_VERIFY_WITH_TIMEOUT(window.statisticsText().contains("MEv/s"), 15000);
        zelvan::sim::SimulatedCameras::instance()
            .find(window.eventCamera()->getDescription().serial)
            ->unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(textOf(windowTips->last()), QString("camera disconnected"));
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Warning);
        QVERIFY(!window.isLiveRunning());
        QVERIFY(!window.form()->pb_play->isChecked());
        QVERIFY(!window.statisticsText().contains("MEv/s"));
        QVERIFY(!window.statisticsText().contains("MB/s"));
        QVERIFY(window.form()->label_statistics->text().trimmed().isEmpty());
    }

    void aStoppedCameraShowsNoRates() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        QTRY_VERIFY_WITH_TIMEOUT(window.statisticsText().contains("MEv/s"), 15000);
        window.form()->pb_play->click();
        QVERIFY(!window.isLiveRunning());
        QVERIFY(!window.form()->pb_play->isChecked());
        QVERIFY(window.statisticsText().isEmpty());
        // Rates are reported once a second: one on its way when the stream stopped is not shown.
        QTest::qWait(1500);
        QVERIFY(window.statisticsText().isEmpty());
        QVERIFY(window.form()->label_statistics->text().isEmpty());
    }

    void aConnectionLossWhileNotStreamingEndsTheRecording() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        window.form()->pb_play->click();  // stops the stream
        QVERIFY(!window.isLiveRunning());
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        zelvan::sim::SimulatedCameras::instance().find(camera->getDescription().serial)->unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isRecording(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        QVERIFY(!camera->isRecording());
        QVERIFY(!window.form()->pb_record->isChecked());
    }

    void openingAnotherCameraEndsTheRecordingsOfTheFirst() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 60;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto first = window.eventCamera();
        GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);
        const QString firstRecording = window.lastRecordingPath();

        const zelvan::CameraDescription evk5 = findProduct(window, "EVK5");
        QVERIFY(!evk5.serial.empty());
        window.openCameraByDescription(evk5);
        const auto second = window.eventCamera();
        QVERIFY(second != nullptr && second != first);
        QVERIFY(!window.isRecording());
        QVERIFY(!window.form()->pb_record->isChecked());
        QVERIFY(window.form()->label_recording_time->text().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        QVERIFY(!first->isRecording());
        QVERIFY(isCompleteRecording(firstRecording));

        // The record button now records the camera shown, once its cache is set up.
        QTRY_VERIFY_WITH_TIMEOUT(window.isLiveRunning() && !window.isCameraBusy(), 15000);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        QVERIFY(second->isRecording());
        QVERIFY(!first->isRecording());
        QVERIFY(window.lastRecordingPath().contains(QString::fromStdString(evk5.serial)));
        window.form()->pb_record->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        QVERIFY(!second->isRecording());

        // A trigger-in recording on the second camera ends when the first is opened again.
        auto recorderTips = spyTips(window.recorder());
        window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(second->isRecording(), 15000);
        window.openCameraByDescription(findEvk4(window));
        QTRY_VERIFY_WITH_TIMEOUT(!window.recorder()->isRecording(), 15000);
        QVERIFY(!second->isRecording());
        QVERIFY(!first->isRecording());
    }

    void theHowToBeginHintGoesWhenACameraOpens() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        QLabel* hint = window.imageForm()->startHint();
        QVERIFY(hint->isVisible());
        // scripts/screenshot.sh asks for a picture of the first start too.
        const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT_START");
        if (!shot.isEmpty()) QVERIFY(window.grab().save(shot));
        QVERIFY(openLiveEvk4(window));
        QVERIFY(!hint->isVisible());
        window.form()->pb_play->click();  // stopped, the hint stays away
        QVERIFY(!window.isLiveRunning());
        QVERIFY(!hint->isVisible());
    }

    void theCameraListNamesProductAndInterface() {
        MainWidget window;
        const auto cameras = window.searchCameras();
        CamerasList list(cameras, &window);
        auto* rows = list.findChild<QListWidget*>("listWidget_cameras");
        QCOMPARE(rows->count(), int(cameras.size()));
        bool sawUsb = false, sawEthernet = false;
        for (int i = 0; i < rows->count(); ++i) {
            const auto& camera = cameras[size_t(i)];
            const QString text = rows->item(i)->text();
            const QString serial = QString::fromStdString(camera.serial);
            if (camera.product == "EVK4") {
                QCOMPARE(text, serial + "  EVK4  USB");
                sawUsb = true;
            }
            if (camera.interfaceType == zelvan::ETH) {
                QCOMPARE(text, serial + "  " + QString::fromStdString(camera.product) + "  ETH");
                sawEthernet = true;
            }
        }
        QVERIFY(sawUsb && sawEthernet);
    }

    void cameraInfoDescribesTheOpenEventCamera() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const zelvan::CameraDescription evk4 = window.eventCamera()->getDescription();
        QAction* info = menuAction(window.form()->pb_device, "Camera Info");
        QVERIFY(info);
        QMap<QString, QString> values;
        bool shownWhileLive = false;
        const bool opened = withModalDialog([&] { info->trigger(); },
                                            [&](QDialog* dialog) {
                                                QVERIFY(qobject_cast<ShowCameraInfoUI*>(dialog));
                                                for (const QLabel* label : dialog->findChildren<QLabel*>()) {
                                                    if (label->isVisible())
                                                        values[label->objectName()] = label->text();
                                                }
                                                shownWhileLive = window.isLiveRunning();
                                            });
        QVERIFY(opened);
        QVERIFY(shownWhileLive);
        QCOMPARE(values.value("label_serial_value"), QString::fromStdString(evk4.serial));
        QCOMPARE(values.value("label_product_value"), QString("EVK4"));
        QCOMPARE(values.value("label_manufacturer_value"), QString::fromStdString(evk4.manufacturer));
        QCOMPARE(values.value("label_interface_value"), QString("USB"));
        QCOMPARE(
            values.value("label_resolution_value"),
            QString("%1 x %2").arg(window.eventCamera()->getWidth()).arg(window.eventCamera()->getHeight()));
        QVERIFY(!evk4.firmwareVersion.empty());
        QCOMPARE(values.value("label_firmware_value"), QString::fromStdString(evk4.firmwareVersion));
        QVERIFY(!values.contains("label_ip_value"));
    }

    void escapeLeavesTheBusyWindowUpWhileTheCameraOpens() {
        // A camera that takes about a second to open.
        zelvan::sim::SimDeviceConfig config = zelvan::sim::SimulatedCameras::defaultConfigs().front();
        config.description.serial = "00050aff";
        config.settle_scale = 0.4;
        zelvan::sim::SimulatedCameras::instance().add(config);
        const auto removeSlow =
            qScopeGuard([&] { zelvan::sim::SimulatedCameras::instance().remove(config.description.serial); });
        MainWidget window;
        window.show();
        zelvan::CameraDescription slow;
        for (const auto& d : window.searchCameras()) {
            if (d.serial == config.description.serial) slow = d;
        }
        QVERIFY(!slow.serial.empty());
        auto* busy = window.findChild<WaitingWindow*>();
        QVERIFY(busy);
        bool shownAfterEscape = false;
        bool closedAfterEscape = false;
        QTimer::singleShot(100, busy, [&] {
            QVERIFY(busy->isVisible());
            QTest::keyClick(busy, Qt::Key_Escape);
            busy->close();
            QTimer::singleShot(100, busy, [&] {
                shownAfterEscape = busy->isVisible();
                closedAfterEscape = true;
            });
        });
        window.openCameraByDescription(slow);
        QVERIFY(closedAfterEscape);
        QVERIFY(shownAfterEscape);
        QVERIFY(!busy->isVisible());
        QVERIFY(window.eventCamera() != nullptr);
    }

    void savingSettingsDuringAMergeDoesNotWaitForIt() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->beforeTriggerInSaveTime = 1;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        QTemporaryDir dir;
        const auto hold = stallAMerge(window, dir);
        QVERIFY(hold);

        window.initDvsCameraSettings();  // what Save in the general settings runs
        QVERIFY(camera->getRecordingStatus().merging);
        QVERIFY(window.isCameraBusy());
        QVERIFY(!window.form()->pb_record->isEnabled());

        hold->release();
        QVERIFY(camera->waitForRecordingMerged(std::chrono::seconds(30)));
        QTRY_VERIFY_WITH_TIMEOUT(!window.isCameraBusy(), 15000);
        QVERIFY(window.form()->pb_record->isEnabled());
        QVERIFY(!camera->getRecordingStatus().merging);
    }

    // Trigger edges while a cached recording is still being assembled are refused at once, with one
    // message for that recording however many edges come, and no file is made for them.
    void triggerEdgesDuringAMergeAreToldOnce() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->beforeTriggerInSaveTime = 1;
        s->afterTriggerInSaveTime = 1;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        QTemporaryDir dir;
        const auto hold = stallAMerge(window, dir);
        QVERIFY(hold);
        auto recorderTips = spyTips(window.recorder());
        const QDir output(s->outputRawFilePath);
        const QStringList before = output.entryList(QDir::Files);
        for (int edge = 0; edge < 20; ++edge) window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
        QVERIFY(!window.recorder()->isRecording());
        QCoreApplication::processEvents();
        QCOMPARE(recorderTips->count(), 1);
        QCOMPARE(typeOf(recorderTips->first()), ZvMessageType::Error);
        QVERIFY2(textOf(recorderTips->first()).contains("still being assembled"),
                 qPrintable(textOf(recorderTips->first())));
        QCOMPARE(output.entryList(QDir::Files), before);
        hold->release();
        QVERIFY(camera->waitForRecordingMerged(std::chrono::seconds(30)));
    }

    void recordingsWithinOneSecondNeverReplaceAnother() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 1;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        // Recordings of the next seconds exist already under the names the viewer will choose.
        const QString serial = QString::fromStdString(camera->getDescription().serial);
        const QDateTime now = QDateTime::currentDateTime();
        QStringList earlier;
        for (int i = 0; i < 3; ++i) {
            const QString name =
                s->outputRawFilePath + "/" + serial + now.addSecs(i).toString("_yyyyMMdd_HHmmss") + ".raw";
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("earlier recording");
            earlier << name;
        }
        auto intact = [&] {
            for (const QString& name : earlier) {
                QFile file(name);
                if (!file.open(QIODevice::ReadOnly) || file.readAll() != "earlier recording") return false;
            }
            return true;
        };

        GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        QVERIFY(!earlier.contains(window.lastRecordingPath()));
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);
        window.form()->pb_record->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isCameraBusy(), 10000);
        QVERIFY(isCompleteRecording(window.lastRecordingPath()));
        QVERIFY(intact());

        auto recorderTips = spyTips(window.recorder());
        window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(!recorderTips->isEmpty(), 15000);
        QCOMPARE(typeOf(recorderTips->first()), ZvMessageType::Success);
        const QString timed = recorderTips->first().at(2).toString();
        QVERIFY(!earlier.contains(timed));
        QVERIFY(timed != window.lastRecordingPath());
        window.recorder()->waitForTimedRecording();
        QVERIFY(isCompleteRecording(timed));
        QVERIFY(isCompleteRecording(window.lastRecordingPath()));
        QVERIFY(intact());
        for (const QString& name : earlier) QFile::remove(name);
    }

    void closingDuringATimedRecordingEndsItOnItsCamera() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 60;
        auto window = std::make_unique<MainWidget>();
        window->show();
        QVERIFY(openLiveEvk4(*window));
        std::weak_ptr<zelvan::DvsCamera> camera = window->eventCamera();
        GuiSpy tips(window->recorder(),
                    qOverload<QString, ZvMessageType, QString>(&ZvFileRecorder::signalShowLeftBottomTips));
        window->onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(window->recorder()->isRecording(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!tips.isEmpty(), 15000);
        const QString path = tips.first().at(2).toString();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 0, 15000);
        window.reset();  // long before the 60 s are over
        QVERIFY(camera.expired());
        QVERIFY(isCompleteRecording(path));
    }

    void streamsRecordsAndShowsStatistics() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        zelvan::CameraDescription evk4;
        for (const auto& d : window.searchCameras()) {
            if (d.product == "EVK4") evk4 = d;
        }
        QVERIFY(!evk4.serial.empty());
        window.openCameraByDescription(evk4);
        QCOMPARE(window.viewerMode(), EventCamera);
        QVERIFY(window.eventCamera() != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(window.isLiveRunning(), 15000);
        QVERIFY(window.form()->pb_play->isChecked());

        GuiSpy images(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        QElapsedTimer clock;
        clock.start();
        // Images keep coming (how fast is the benchmark's concern: a loaded sanitizer build paints far
        // slower), and never faster than the display rate of about 30 a second allows.
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 5, 20000);
        const int frames = images.count();
        const double seconds = clock.elapsed() / 1000.0;
        qInfo() << "frames:" << frames << "in" << seconds << "s";
        QVERIFY2(frames <= 35 * seconds + 5,
                 qPrintable(QString("%1 frames in %2 s").arg(frames).arg(seconds)));
        const QImage last = images.last().at(0).value<QImage>();
        const QColor background = AppSettings::instance()->backgroundColor;
        int painted = 0;
        for (int y = 0; y < last.height(); y += 4)
            for (int x = 0; x < last.width(); x += 4) painted += last.pixelColor(x, y) != background;
        QVERIFY2(painted > 100, "the live image shows events");
        QTRY_VERIFY_WITH_TIMEOUT(window.statisticsText().contains("MEv/s"), 15000);
        // The status line shows the camera's latest rates; the time line the labelled live time.
        static const QRegularExpression rates("^ Bandwidth: \\d+\\.\\d MB/s  Events: \\d+\\.\\d MEv/s $");
        QVERIFY2(rates.match(window.form()->label_statistics->text()).hasMatch(),
                 qPrintable(window.form()->label_statistics->text()));
        static const QRegularExpression live("^Live time \\d{2,}:\\d{2}:\\d{6}$");
        QVERIFY2(live.match(window.form()->label_time->text()).hasMatch(),
                 qPrintable(window.form()->label_time->text()));
        // scripts/screenshot.sh asks for a picture of the live window.
        const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT");
        if (!shot.isEmpty()) QVERIFY(window.grab().save(shot));

        // Record two seconds with the record button.
        QTRY_VERIFY_WITH_TIMEOUT(!window.isCameraBusy(), 15000);
        window.form()->pb_record->click();
        QVERIFY(window.form()->pb_record->isChecked());
        QTest::qWait(2000);
        window.form()->pb_record->click();
        QVERIFY(!window.form()->pb_record->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingRecording(), 10000);
        const QString path = window.lastRecordingPath();
        QVERIFY(QFileInfo::exists(path));
        std::ifstream in(path.toStdString(), std::ios::binary);
        zelvan::RawFileHeader header;
        std::string error;
        QVERIFY2(zelvan::readRawFileHeader(in, header, error), error.c_str());
        QCOMPARE(header.info.serial_number, evk4.serial);
        QVERIFY(QFileInfo(path).size() > qint64(header.payload_offset) + 1'000'000);

        // A trigger-driven recording refuses a second one while it runs.
        ZvFileRecorder recorder(window.eventCamera());
        const QString timed = QFileInfo(path).absolutePath() + "/timed.raw";
        QVERIFY(recorder.recordingTime(1, timed));
        GuiSpy tips(&recorder,
                    qOverload<QString, ZvMessageType, QString>(&ZvFileRecorder::signalShowLeftBottomTips));
        QVERIFY(!recorder.recordingTime(1, timed + "2"));
        const auto refusals = [&tips] {
            return std::count_if(tips.begin(), tips.end(), [](const QList<QVariant>& tip) {
                return textOf(tip) == "Currently being recorded." && typeOf(tip) == ZvMessageType::Warning;
            });
        };
        QCOMPARE(refusals(), 1);
        // More edges of a trigger that keeps coming are refused without a message each.
        for (int edge = 0; edge < 20; ++edge) QVERIFY(!recorder.recordingTime(1, timed + "3"));
        QCOMPARE(refusals(), 1);
        recorder.waitForTimedRecording();
        QVERIFY(QFileInfo(timed).size() > 0);

        // Space is a click of the play button: the camera stops and starts with it.
        QTest::keyClick(&window, Qt::Key_Space);
        QVERIFY(!window.form()->pb_play->isChecked());
        QVERIFY(!window.isLiveRunning());
        QTest::keyClick(&window, Qt::Key_Space);
        QVERIFY(window.form()->pb_play->isChecked());
        QVERIFY(window.isLiveRunning());
        window.form()->pb_play->click();  // stops the stream
        QVERIFY(!window.isLiveRunning());
    }

    // Space, Left and Right act on the play bar wherever the focus is: a key sent to the focused
    // child never clicks that child.
    void playBarKeysWorkWhereverTheFocusIs() {
        MainWidget window;
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QVERIFY(openLiveEvk4(window));
        window.activateWindow();  // back from the busy window
        QVERIFY(QTest::qWaitForWindowActive(&window));
        for (QPushButton* button : window.findChildren<QPushButton*>()) {
            QVERIFY2(button->focusPolicy() == Qt::NoFocus, qPrintable(button->objectName()));
        }
        QSignalSpy previous(window.form()->pb_pre_frame, &QPushButton::pressed);
        QSignalSpy next(window.form()->pb_next_frame, &QPushButton::pressed);
        for (QWidget* target :
             {static_cast<QWidget*>(window.form()->pb_record), static_cast<QWidget*>(window.imageForm())}) {
            target->setFocus();
            QWidget* focused = QApplication::focusWidget();
            QVERIFY(focused);
            const bool playing = window.form()->pb_play->isChecked();
            QTest::keyClick(focused, Qt::Key_Space);
            QCOMPARE(window.form()->pb_play->isChecked(), !playing);
            // The camera follows the button; nothing records.
            QCOMPARE(window.isLiveRunning(), !playing);
            QVERIFY(!window.isRecording());
            QVERIFY(!window.form()->pb_record->isChecked());
            const qsizetype before_previous = previous.count(), before_next = next.count();
            QTest::keyClick(focused, Qt::Key_Left);
            QTest::keyClick(focused, Qt::Key_Right);
            QCOMPARE(previous.count(), before_previous + 1);
            QCOMPARE(next.count(), before_next + 1);
            QCOMPARE(QApplication::focusWidget(), focused);  // the arrows did not move the focus
        }
    }

    // With nothing to play (at start-up, or a fusion camera that could not be opened), neither a
    // click nor Space leaves the play button pressed.
    void thePlayButtonNeverLatchesWithNothingToPlay() {
        MainWidget window;
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.form()->pb_play->click();
        QVERIFY(!window.form()->pb_play->isChecked());
        QTest::keyClick(&window, Qt::Key_Space);
        QVERIFY(!window.form()->pb_play->isChecked());

        zelvan::CameraDescription tandra;
        tandra.serial = "no-such-fusion-camera";
        tandra.product = "Tandra";
        window.openCameraByDescription(tandra);
        QCOMPARE(window.viewerMode(), FusionCamera);
        QVERIFY(!window.fusionCamera());
        window.form()->pb_play->click();
        QVERIFY(!window.form()->pb_play->isChecked());
        QTest::keyClick(&window, Qt::Key_Space);
        QVERIFY(!window.form()->pb_play->isChecked());
        QVERIFY(!window.isLiveRunning());
    }

    // Only the first show centres the window; later shows keep where the user put it.
    void theWindowKeepsItsPlaceWhenShownAgain() {
        MainWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.move(37, 29);
        const QPoint placed = window.pos();
        window.hide();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.pos(), placed);
        window.showMinimized();
        window.showNormal();
        QCOMPARE(window.pos(), placed);
    }

    // Closing during a recording ends it; the window goes once the file is complete, without the
    // GUI thread waiting for it.
    void closingWaitsForTheRecordingsFileWithoutBlocking() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto windowTips = spyTips(window);
        GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);
        window.close();
        // Held back while the file is being completed (unless that was quick enough to be over).
        QVERIFY(window.isVisible() || !window.isCameraBusy());
        QVERIFY(!window.isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 15000);
        QVERIFY(!window.isCameraBusy());
        QVERIFY(isCompleteRecording(window.lastRecordingPath()));
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(textOf(windowTips->last()), QString("Save file success!"));
        // Its folder button opens the folder the file went to.
        QCOMPARE(windowTips->last().at(2).toString(), window.lastRecordingPath());
    }

    // A close while a camera task is stuck (a merge into a pipe nobody reads) returns at once with
    // the window up and busy, and completes when the task does.
    void closingDuringAStalledMergeReturnsAtOnce() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->beforeTriggerInSaveTime = 1;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        QTemporaryDir dir;
        const auto hold = stallAMerge(window, dir);
        QVERIFY(hold);
        window.initDvsCameraSettings();  // waits for the merge on the camera's task thread
        QVERIFY(window.isCameraBusy());

        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QVERIFY(window.findChild<WaitingWindow*>()->isVisible());
        hold->release();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 30000);
        QVERIFY(!window.isCameraBusy());
    }

    // A close during a trigger-in recording ends that recording and waits for its file the same way.
    void closingDuringATimedRecordingWaitsForItsFile() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 60;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto recorderTips = spyTips(window.recorder());
        window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(window.eventCamera()->getRecordingStatus().bytesWritten > 0, 15000);
        // The close ends the recording; the window goes once its file is complete, at once when the
        // recording ended that quickly.
        if (!window.close()) {
            QVERIFY(window.isVisible());
            window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));  // no new recording while closing
            QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 15000);
        }
        QVERIFY(!window.recorder()->isRecording());
        QTRY_COMPARE_WITH_TIMEOUT(recorderTips->count(), 2, 15000);
        QCOMPARE(textOf(recorderTips->last()), QString("Recording end"));
        QVERIFY(isCompleteRecording(recorderTips->first().at(2).toString()));
    }

    // A close that waits for a recording's file which then turns out incomplete leaves the window up with
    // the error, so that the user reads it; the next close goes at once.
    void aCloseThatMeetsAFailedRecordingShowsTheError() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 60;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto recorderTips = spyTips(window.recorder());
        {
            FileSizeLimit limit(1 << 20);
            QVERIFY(limit.applied());
            window.onTriggerIn(zelvan::EventTriggerIn(0, 1, 0));
            QTRY_VERIFY_WITH_TIMEOUT(window.eventCamera()->getRecordingStatus().failed, 15000);
        }
        QVERIFY(window.recorder()->isRecording());
        const auto* waiting = window.findChild<WaitingWindow*>();
        if (window.close()) {
            // The camera had already stopped the failed recording, so the close found its file complete
            // and went (a slow machine gets there first): the error was told all the same.
            QTRY_VERIFY_WITH_TIMEOUT(
                !recorderTips->isEmpty() && typeOf(recorderTips->last()) == ZvMessageType::Error, 15000);
            QVERIFY2(textOf(recorderTips->last()).contains("incomplete"),
                     qPrintable(textOf(recorderTips->last())));
            QSKIP("the close came after the camera had ended the failed recording");
        }
        QVERIFY(waiting->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!waiting->isVisible(), 15000);
        QVERIFY(window.isVisible());
        QVERIFY(!window.recorder()->isRecording());
        QCOMPARE(typeOf(recorderTips->last()), ZvMessageType::Error);
        QVERIFY2(textOf(recorderTips->last()).contains("incomplete"),
                 qPrintable(textOf(recorderTips->last())));
        QVERIFY(window.close());
        QVERIFY(!window.isVisible());
    }

    // A camera refused for its address leaves the open camera, its stream and its recording alone.
    void aRefusedEthernetCameraLeavesTheOpenOneAlone() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 20000);
        auto windowTips = spyTips(window);
        zelvan::CameraDescription clash;
        clash.serial = "5a7d0004";
        clash.product = "Tandra";
        clash.interfaceType = zelvan::ETH;
        clash.cameraIp = clash.localIp = "192.168.1.10";
        clash.subnetMask = "255.255.255.0";
        window.openCameraByDescription(clash);
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Error);
        QCOMPARE(window.viewerMode(), EventCamera);
        QCOMPARE(window.eventCamera(), camera);
        QVERIFY(window.isRecording());
        QVERIFY(window.isLiveRunning());
        window.form()->pb_record->click();
        QVERIFY(!window.isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isCameraBusy(), 15000);
        QVERIFY(isCompleteRecording(window.lastRecordingPath()));
    }

    // A camera lost, plugged back, started again and lost again says so again.
    void aSecondLossAfterARestartIsShownToo() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        auto windowTips = spyTips(window);
        const auto device =
            zelvan::sim::SimulatedCameras::instance().find(window.eventCamera()->getDescription().serial);
        auto lost = [&] {
            return std::count_if(windowTips->begin(), windowTips->end(), [](const QList<QVariant>& tip) {
                return textOf(tip) == "camera disconnected";
            });
        };
        device->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(lost(), 1, 15000);
        device->plug();
        QTRY_VERIFY_WITH_TIMEOUT(window.eventCamera()->isConnected(), 15000);
        window.form()->pb_play->click();
        QTRY_VERIFY_WITH_TIMEOUT(window.isLiveRunning(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(window.statisticsText().contains("MEv/s"), 15000);
        device->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(lost(), 2, 15000);
        QVERIFY(!window.form()->pb_play->isChecked());
        QVERIFY(!window.statisticsText().contains("MEv/s"));
    }

    // Two messages at once: the second rises above the first instead of covering it.
    void toastsStackInsteadOfCoveringEachOther() {
        MainWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.slotShowLeftBottomTips("first", ZvMessageType::Warning, QString());
        window.slotShowLeftBottomTips("second", ZvMessageType::Error, QString());
        const auto toasts = window.findChildren<ZvFilePathReminderForm*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(toasts.size(), 2);
        const QRect a = toasts[0]->geometry(), b = toasts[1]->geometry();
        QVERIFY2(!a.intersects(b),
                 qPrintable(QString("%1,%2 %3,%4").arg(a.y()).arg(a.height()).arg(b.y()).arg(b.height())));
        QCOMPARE(a.left(), b.left());
    }

    // With the rising edge chosen, a falling edge is ignored and a rising one records the cached
    // seconds before it and the two seconds after it, ending with "Recording end".
    void aTriggerInRecordingHoldsTheSecondsAroundItsEdge() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->triggerInEdgeType = "Rising Edge";
        s->beforeTriggerInSaveTime = 2;
        s->afterTriggerInSaveTime = 2;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        GuiSpy requests(&window, &MainWidget::signalRecByTime);
        auto recorderTips = spyTips(window.recorder());
        // The camera has streamed long enough since it opened for the cache to hold its second. The
        // simulated camera never runs ahead of the wall clock, and falls behind it on a loaded machine
        // or under a sanitizer: the deadline leaves it far more than three seconds.
        QTRY_VERIFY_WITH_TIMEOUT(window.latestTimestamp() > 0, 30000);
        const uint64_t opened = window.latestTimestamp();
        QTRY_VERIFY_WITH_TIMEOUT(window.latestTimestamp() > opened + 3'000'000, 120000);

        window.onTriggerIn(zelvan::EventTriggerIn(0, 0, window.latestTimestamp()));
        QCOMPARE(requests.count(), 0);
        QVERIFY(!window.recorder()->isRecording());

        const uint64_t edge = window.latestTimestamp();
        window.onTriggerIn(zelvan::EventTriggerIn(0, 1, edge));
        QCOMPARE(requests.count(), 1);
        QCOMPARE(requests.first().at(0).toUInt(), 2u);
        QTRY_VERIFY_WITH_TIMEOUT(!recorderTips->isEmpty(), 15000);
        QCOMPARE(typeOf(recorderTips->first()), ZvMessageType::Success);
        const QString path = recorderTips->first().at(2).toString();
        QVERIFY2(path.startsWith(s->outputRawFilePath + "/"), qPrintable(path));
        QTRY_VERIFY_WITH_TIMEOUT(!window.recorder()->isRecording(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(recorderTips->count(), 2, 15000);
        QCOMPARE(textOf(recorderTips->last()), QString("Recording end"));
        QCOMPARE(typeOf(recorderTips->last()), ZvMessageType::Success);

        zelvan::RawFileReader reader(path.toStdString());
        QVERIFY(reader.loadFile());
        uint64_t first = 0, last = 0;
        QVERIFY(reader.getStartTimeStamp(first));
        QVERIFY(reader.getEndTimeStamp(last));
        // The cached data before the edge (a cache of two one-second files holds at least the last
        // full second), data after it, and no more than the cache, the two seconds and a little
        // slack (the simulated camera never runs ahead of the wall clock).
        QVERIFY2(first + 500'000 <= edge, qPrintable(QString("%1 %2").arg(first).arg(edge)));
        QVERIFY2(last > edge, qPrintable(QString("%1 %2").arg(last).arg(edge)));
        QVERIFY2(last - first <= 6'000'000, qPrintable(QString::number(last - first)));
    }

    // A trigger-in recording ends with its camera, not when its time is up.
    void aTimedRecordingEndsWhenItsCameraIsLost() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 60;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        auto recorderTips = spyTips(window.recorder());
        window.onTriggerIn(zelvan::EventTriggerIn(1, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(camera->getRecordingStatus().bytesWritten > 0 && !recorderTips->isEmpty(),
                                 15000);
        const QString path = recorderTips->first().at(2).toString();
        zelvan::sim::SimulatedCameras::instance().find(camera->getDescription().serial)->unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!window.recorder()->isRecording(), 15000);
        QVERIFY(!camera->isRecording());
        QVERIFY(isCompleteRecording(path));
        QTRY_VERIFY_WITH_TIMEOUT(recorderTips->count() >= 2, 15000);
        QCOMPARE(textOf(recorderTips->last()), QString("Recording end"));
    }

    // While a trigger-in recording holds the camera, the record button is refused at once with the
    // reason, and the trigger-in recording goes on.
    void theRecordButtonIsRefusedWhileATimedRecordingRuns() {
        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->afterTriggerInSaveTime = 60;
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const auto camera = window.eventCamera();
        window.onTriggerIn(zelvan::EventTriggerIn(1, 1, 0));
        QTRY_VERIFY_WITH_TIMEOUT(camera->isRecording(), 15000);
        auto windowTips = spyTips(window);
        window.form()->pb_record->click();
        QVERIFY(!window.isRecording());
        QVERIFY(!window.form()->pb_record->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Error);
        QVERIFY2(textOf(windowTips->last()).contains("a trigger-in recording is running"),
                 qPrintable(textOf(windowTips->last())));
        QVERIFY(window.recorder()->isRecording());
        QVERIFY(camera->isRecording());
    }

    // Trigger-in settings saved during a recording cannot change the camera's cache then: the window
    // says so and applies them when the recording ends.
    void triggerInSettingsChangedDuringARecordingApplyAtItsEnd() {
        MainWidget window;
        window.show();
        QVERIFY(openLiveEvk4(window));
        const QDir cacheFolder(AppSettings::instance()->appDataPath);
        auto cacheFiles = [&] { return cacheFolder.entryList({"*_zelvan.raw.tmp"}, QDir::Files); };
        QVERIFY(cacheFiles().isEmpty());
        auto windowTips = spyTips(window);
        window.form()->pb_record->click();
        QVERIFY(window.isRecording());

        AppSettings* s = AppSettings::instance();
        s->triggerInRecEnable = true;
        s->beforeTriggerInSaveTime = 2;
        window.initDvsCameraSettings();
        QTRY_VERIFY_WITH_TIMEOUT(!windowTips->isEmpty(), 15000);
        QCOMPARE(typeOf(windowTips->last()), ZvMessageType::Warning);
        QCOMPARE(textOf(windowTips->last()),
                 QString("The trigger-in settings apply when the current recording ends."));
        QTRY_VERIFY_WITH_TIMEOUT(!window.isCameraBusy(), 15000);
        QVERIFY(cacheFiles().isEmpty());

        window.form()->pb_record->click();
        QTRY_VERIFY_WITH_TIMEOUT(!cacheFiles().isEmpty(), 15000);  // the cache runs
        QTRY_VERIFY_WITH_TIMEOUT(!window.isCameraBusy(), 15000);
    }

private:
    QString outputFolder_;
    std::vector<zelvan::sim::SimDeviceConfig> simConfigs_;
};

ZELVAN_VIEWER_TEST_MAIN(MainWidgetLiveTests)
#include "MainWidgetLiveTests.moc"
