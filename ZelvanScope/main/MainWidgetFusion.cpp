// The fusion side of the main window: opening a fusion camera, its live stream and recording, its
// loss, and the wiring of the fusion processor to the play bar, the slider and the sidebars.
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include "main/MainWidget.h"
#include "processing/ZvFusionCameraDataProcessor.h"
#include "settings/AppSettings.h"
#include "settings/SidebarApsSettingUI.h"
#include "settings/SidebarCameraSettingUI.h"
#include "settings/SidebarDvsSettingUI.h"
#include "ui_MainWidget.h"
#include "view/ShowImageForm.h"
#include "widgets/WaitingWindow.h"
#include "widgets/ZvThreeHandleSlider.h"

void MainWidget::connectFusionProcessor() {
    ZvFusionCameraDataProcessor* fusion = fusionProcessor_;
    ZvThreeHandleSlider* slider = ui_->slider;
    connect(this, &MainWidget::signalOpenFusionFile, fusion,
            &ZvFusionCameraDataProcessor::slotReadFusionFile);
    connect(this, SIGNAL(signalSetViewerShowType(zelvan::STREAM_TYPE)), fusion,
            SLOT(slotSetViewerType(zelvan::STREAM_TYPE)));
    connect(fusion, &ZvFusionCameraDataProcessor::signalLoadingStatus, this, [this](bool loading) {
        // A load shows how far it is and can be cancelled, except while a close waits for it.
        if (loading) waitingWindow_->setCancellable(!closeWhenIdle_);
        slotSetWaitWinStatus(loading);
        if (loading) waitingWindow_->setProgress(-1);
        if (!loading) forgetFailedRecording();
    });
    connect(fusion, &ZvFusionCameraDataProcessor::signalProgress, waitingWindow_,
            &WaitingWindow::setProgress);
    connect(waitingWindow_, &WaitingWindow::cancelRequested, fusion,
            &ZvFusionCameraDataProcessor::cancelWork);
    // Images of the camera or recording shown; one drawn for what was open before is dropped.
    connect(
        fusion, &ZvFusionCameraDataProcessor::signalFusionImage, ui_->imageForm,
        [this](QImage image) {
            if (viewerMode_ == FusionCamera || viewerMode_ == FusionFile)
                ui_->imageForm->slotShowImage(std::move(image));
        },
        Qt::QueuedConnection);
    connect(fusion, &ZvFusionCameraDataProcessor::signalFusionPixMap, ui_->imageForm, [this](QPixmap pixmap) {
        if (viewerMode_ == FusionCamera || viewerMode_ == FusionFile)
            ui_->imageForm->slotShowImage(pixmap.toImage());
    });
    connect(
        fusion, &ZvFusionCameraDataProcessor::signalTimeStamp, this,
        [this](uint64_t t) {
            if (viewerMode_ == FusionCamera || viewerMode_ == FusionFile) showTimeStamp(t);
        },
        Qt::QueuedConnection);
    connect(fusion, &ZvFusionCameraDataProcessor::signalLocalTime, this, &MainWidget::showLocalTime);
    connect(fusion, &ZvFusionCameraDataProcessor::signalStartTimeStamp, slider,
            &ZvThreeHandleSlider::setMinimum);
    connect(fusion, &ZvFusionCameraDataProcessor::signalEndTimeStamp, slider,
            &ZvThreeHandleSlider::setMaximum);
    // Emitted by the loader and playback threads: the button changes on the GUI thread.
    connect(fusion, &ZvFusionCameraDataProcessor::signalPlayStatus, this, [this](bool playing) {
        if (viewerMode_ == FusionFile) ui_->pb_play->setChecked(playing);
    });
    connect(fusion, &ZvFusionCameraDataProcessor::signalPalyFileFinished, this, [this] {
        if (viewerMode_ == FusionFile) ui_->pb_play->setChecked(false);
    });
    connect(
        fusion,
        qOverload<QString, ZvMessageType, QString>(&ZvFusionCameraDataProcessor::signalShowLeftBottomTips),
        this, qOverload<QString, ZvMessageType, QString>(&MainWidget::slotShowLeftBottomTips),
        Qt::QueuedConnection);
    // The play bar reaches the fusion processor while a fusion recording is open.
    connect(
        ui_->pb_play, &QPushButton::toggled, fusion,
        [this, fusion](bool on) {
            if (viewerMode_ == FusionFile) fusion->slotPlaybackCtrl(on);
        },
        Qt::QueuedConnection);
    const auto inFusionFile = [this] { return viewerMode_ == FusionFile; };
    connect(ui_->pb_pre_frame, &QPushButton::pressed, fusion, [fusion, inFusionFile] {
        if (inFusionFile()) fusion->preFrame();
    });
    connect(ui_->pb_next_frame, &QPushButton::pressed, fusion, [fusion, inFusionFile] {
        if (inFusionFile()) fusion->nextFrame();
    });
    connect(ui_->pb_reset, &QPushButton::pressed, fusion, [fusion, inFusionFile] {
        if (inFusionFile()) fusion->slotPlaybackReset();
    });
    connect(ui_->pb_loop, &QPushButton::toggled, fusion, &ZvFusionCameraDataProcessor::slotSetReplayFlag);
    // A drag asks for many positions: only the latest one waiting is decoded.
    const auto seek = [fusion, inFusionFile](uint64_t t) {
        if (inFusionFile()) fusion->requestPlayPos(t);
    };
    connect(slider, &ZvThreeHandleSlider::centerValueMove, fusion, seek);
    connect(slider, &ZvThreeHandleSlider::centerValueTrackClick, fusion, seek);
    connect(slider, &ZvThreeHandleSlider::lowerValueChanged, fusion,
            &ZvFusionCameraDataProcessor::slotSetLowerTimeStamp);
    connect(slider, &ZvThreeHandleSlider::upperValueChanged, fusion,
            &ZvFusionCameraDataProcessor::slotSetUpperTimeStamp);
    connect(cameraSidebar_, &SidebarCameraSettingUI::signalFpsChanged, fusion,
            [fusion](uint32_t fps) { fusion->setFps(int(std::min<uint32_t>(fps, 65535))); });
    connect(cameraSidebar_, &SidebarCameraSettingUI::signalCumulativeTimeChanged, fusion,
            &ZvFusionCameraDataProcessor::setAccTime);
    connect(apsSidebar_, &SidebarApsSettingUI::signalManualCaliOffsetXY, fusion,
            &ZvFusionCameraDataProcessor::slotSetApsOffset);
    connect(apsSidebar_, &SidebarApsSettingUI::signalApplyCaliOffset, fusion,
            &ZvFusionCameraDataProcessor::slotApplyOffset);
    connect(fusion, &ZvFusionCameraDataProcessor::signalCalibrationOffsetApplied, apsSidebar_,
            &SidebarApsSettingUI::resetOffsets);
    // A file loaded from the frame sensor's panel sets the event sensor's tools too.
    connect(apsSidebar_, &SidebarApsSettingUI::signalCameraToolsLoaded, dvsSidebar_,
            &SidebarDvsSettingUI::slotRefreshConfig);
    connect(apsSidebar_,
            qOverload<QString, ZvMessageType, QString>(&SidebarApsSettingUI::signalShowLeftBottomTips), this,
            qOverload<QString, ZvMessageType, QString>(&MainWidget::slotShowLeftBottomTips),
            Qt::QueuedConnection);

    fusionRecordingTimer_.setInterval(1000);
    connect(&fusionRecordingTimer_, &QTimer::timeout, this, [this] {
        ui_->label_recording_time->setText(formatDuration(uint64_t(fusionRecordingClock_.elapsed() / 1000)));
    });
    fusionWatch_.setInterval(500);
    connect(&fusionWatch_, &QTimer::timeout, this, &MainWidget::watchFusionCamera);
    connect(&fusionStopWatcher_, &QFutureWatcher<int>::finished, this, [this] {
        const int result = fusionStopWatcher_.result();
        ui_->pb_record->setEnabled(true);
        if (result == 0) {
            emit signalShowLeftBottomTips(tr("Save file success!"), ZvMessageType::Success,
                                          settings_->outputRawFilePath);
        } else {
            emit signalShowLeftBottomTips(
                tr("The recording %1 is incomplete: data were lost or could not be written.")
                    .arg(QDir::toNativeSeparators(fusionRecordingBase_)),
                ZvMessageType::Error, settings_->outputRawFilePath);
        }
        closeIfIdle();
    });
}

void MainWidget::openFusionCamera(const zelvan::CameraDescription& description) {
    const std::string serial = description.serial;
    auto opened = std::make_shared<std::shared_ptr<zelvan::FusionCamera>>();
    auto firmware = std::make_shared<std::string>();
    runBehindWaitingWindow(
        [this, serial, opened, firmware] { *opened = openFusionCameraTask(serial, *firmware); },
        [this, serial, opened, firmware] {
            firmwareVersion_ = *firmware;
            installFusionCamera(std::move(*opened), serial);
        });
}

std::shared_ptr<zelvan::FusionCamera> MainWidget::openFusionCameraTask(const std::string& serial,
                                                                       std::string& firmware) {
    qInfo() << "Open fusion camera.";
    std::shared_ptr<zelvan::FusionCamera> camera = manager_.openFusionCamera(serial);
    // A camera whose bring-up failed is handed out too, not connected.
    if (!camera || !camera->isConnected()) return nullptr;
    if (!camera->getFirmwareVersion(firmware)) firmware.clear();
    if (!isVersionAtLeast(QString::fromStdString(firmware), "Tandra_V1.7.2")) {
        qInfo().noquote() << "The Tandra camera firmware needs to be upgraded! Firmware: " +
                                 QString::fromStdString(firmware);
        emit signalShowLeftBottomTips(tr("The Tandra camera firmware needs to be upgraded!"),
                                      ZvMessageType::Warning, QString());
    }
    zelvan::CalibratorParameters params;
    if (camera->readCalibrationParam(params)) {
        if (!fusionProcessor_->loadCalibration(params))
            emit signalShowLeftBottomTips(
                tr("The camera's calibration cannot be used; the default calibration is shown."),
                ZvMessageType::Warning, QString());
    } else {
        zelvan::CalibratorParameters defaults = Calibrator::defaultParameters();
        fusionProcessor_->loadCalibration(defaults);
        emit signalShowLeftBottomTips(
            tr("The camera's calibration cannot be read; the default calibration is shown."),
            ZvMessageType::Warning, QString());
    }
    ZvFusionCameraDataProcessor* fusion = fusionProcessor_;
    camera->addApsFrameCallback([fusion](zelvan::ApsFrame frame) { fusion->addApsData(std::move(frame)); });
    camera->addEventsStreamHandleCallback([fusion](zelvan::Event2D* first, zelvan::Event2D* last) {
        fusion->accumulateDvsEvents(first, last);
        fusion->addDvsData(first, last);
    });
    camera->addSyncSignalCallback(
        [fusion](zelvan::EventTriggerIn trigger) { fusion->addSyncSignal(trigger); });
    // Rates are shown while this camera is the one open and streams.
    camera->setStatisticInfoCallback(
        [this, source = std::weak_ptr<zelvan::FusionCamera>(camera)](zelvan::ZvStatisticInfo info) {
            QMetaObject::invokeMethod(
                this,
                [this, source, info] {
                    if (fusionLive_ && source.lock() == fusionCamera_)
                        setStatistics(info.dataRate, info.eventRate);
                },
                Qt::QueuedConnection);
        });
    fusion->clearFusionData();
    fusion->setFusionCamera(camera);
    return camera;
}

void MainWidget::installFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera,
                                     const std::string& serial) {
    if (!camera) {
        emit signalShowLeftBottomTips(tr("Open camera: ") + QString::fromStdString(serial) + tr("failed."),
                                      ZvMessageType::Error, QString());
        return;
    }
    fusionCamera_ = std::move(camera);
    emit signalImageReslotionChanged(fusionCamera_->getWidth(zelvan::DVS),
                                     fusionCamera_->getHeight(zelvan::DVS));
    dvsSidebar_->showFusionCamera(fusionCamera_);
    apsSidebar_->setFusionCamera(fusionCamera_, fusionCamera_->getTool(zelvan::APS_CTRL));
    ui_->pb_fold_aps_setting->setEnabled(true);
    cameraSidebar_->setCameraMode(true);
    viewerShowType_ = zelvan::DVS_AND_APS;
    showViewerType(viewerShowType_);
    emit signalSetViewerShowType(viewerShowType_);
    fusionWatch_.start();
    emit setShowCameraLiveUI(true);
    emit resetShowCameraFormTitle(true);
    emit toShowCameraSerial(QString::fromStdString(serial));
    if (!ui_->pb_play->isChecked()) ui_->pb_play->click();
}

void MainWidget::releaseFusionCamera() {
    fusionWatch_.stop();
    if (fusionRecording_) stopFusionRecording();
    // A recording being completed keeps its own reference to the camera.
    waitForFusionRecordingFiles();
    if (fusionCamera_) {
        if (fusionLive_) stopFusionStreams();
        fusionCamera_->setStatisticInfoCallback(nullptr);
        if (fusionCamera_->isConnected()) fusionCamera_->destroy();
    }
    fusionLive_ = false;
    fusionCamera_.reset();
    fusionProcessor_->setFusionCamera(nullptr);
    fusionProcessor_->clearFusionData();
    apsSidebar_->clear();
    if (ui_->pb_fold_aps_setting->isChecked()) {
        ui_->pb_fold_aps_setting->setChecked(false);
        showSidebar(nullptr, ui_->pb_fold_aps_setting);
    }
    ui_->pb_fold_aps_setting->setEnabled(false);
}

void MainWidget::watchFusionCamera() {
    if (!fusionCamera_ || fusionCamera_->isConnected()) return;
    qInfo() << "Camera connection lost.";
    fusionWatch_.stop();
    // What the camera recorded before the loss is kept.
    if (fusionRecording_) stopFusionRecording();
    fusionLive_ = false;
    fusionProcessor_->clearFusionData();
    dvsSidebar_->clear();
    apsSidebar_->clear();
    ui_->pb_play->setChecked(false);
    clearStatistics();
    emit signalShowLeftBottomTips(tr("camera disconnected"), ZvMessageType::Warning, QString());
}

void MainWidget::fusionPlayClicked(bool checked) {
    if (!fusionCamera_ || !fusionCamera_->isConnected()) {
        qInfo() << "Please connect camera first.";
        ui_->pb_play->setChecked(false);
        emit signalShowLeftBottomTips(tr("Please connect camera first."), ZvMessageType::Warning, QString());
        return;
    }
    if (checked) {
        if (fusionLive_) return;
        fusionProcessor_->clearFusionData();
        if (fusionCamera_->start(zelvan::DVS_AND_APS) != 0) {
            qInfo() << "Please check the camera connection.";
            ui_->pb_play->setChecked(false);
            emit signalShowLeftBottomTips(tr("The camera could not be started; check its connection."),
                                          ZvMessageType::Error, QString());
            return;
        }
        fusionLive_ = true;
        ui_->pb_play->setChecked(true);
        qInfo() << "Fusion camera start";
        return;
    }
    // The recording ends with the stream.
    if (fusionRecording_) stopFusionRecording();
    waitForFusionRecordingFiles();
    if (!fusionCamera_) return;  // released while the files were completed
    stopFusionStreams();
    fusionLive_ = false;
    ui_->pb_play->setChecked(false);
    clearStatistics();
    qInfo() << "Fusion camera stop.";
    fusionProcessor_->clearFusionData();
}

void MainWidget::stopFusionStreams() {
    if (fusionCamera_->stop(zelvan::DVS_AND_APS) == 0) return;
    qInfo() << "Fusion camera stop failed: a recording could not be completed.";
    emit signalShowLeftBottomTips(tr("The camera stopped, but a recording of it could not be completed."),
                                  ZvMessageType::Error, settings_->outputRawFilePath);
}

void MainWidget::fusionRecordClicked() {
    if (!fusionCamera_ || !fusionCamera_->isConnected()) {
        qInfo() << "Please connect camera first.";
        ui_->pb_record->setChecked(false);
        emit signalShowLeftBottomTips(tr("Please connect camera first."), ZvMessageType::Warning, QString());
        return;
    }
    if (fusionStopWatcher_.isRunning()) {  // the previous recording's files are still being completed
        ui_->pb_record->setChecked(false);
        return;
    }
    if (fusionRecording_) {
        stopFusionRecording();
        return;
    }
    if (!fusionLive_) {
        ui_->pb_record->setChecked(false);
        emit signalShowLeftBottomTips(tr("Start the camera before recording."), ZvMessageType::Warning,
                                      QString());
        return;
    }
    qInfo() << "start recording...";
    const QString folder = settings_->outputRawFilePath;
    const QString name = QString::fromStdString(fusionCamera_->getDescription().serial) +
                         QDateTime::currentDateTime().toString("_yyyyMMdd_HHmmss");
    if (!ensureDirectory(folder) ||
        fusionCamera_->startRecording(toFileSystemPath(folder), toFileSystemPath(name),
                                      zelvan::DVS_AND_APS) != 0) {
        ui_->pb_record->setChecked(false);
        emit signalShowLeftBottomTips(
            tr("Cannot start recording into %1.").arg(QDir::toNativeSeparators(folder)), ZvMessageType::Error,
            folder);
        return;
    }
    fusionRecording_ = true;
    fusionRecordingBase_ = folder + "/" + name;
    ui_->pb_record->setChecked(true);
    fusionRecordingClock_.start();
    ui_->label_recording_time->setText(formatDuration(0));
    fusionRecordingTimer_.start();
}

void MainWidget::stopFusionRecording() {
    if (!fusionRecording_) return;
    qInfo() << "stop recording";
    fusionRecording_ = false;
    fusionRecordingTimer_.stop();
    ui_->label_recording_time->clear();
    ui_->pb_record->setChecked(false);
    ui_->pb_record->setEnabled(false);
    // The frame video is completed on another thread; its outcome is told when it ends.
    std::shared_ptr<zelvan::FusionCamera> camera = fusionCamera_;
    fusionStopWatcher_.setFuture(QtConcurrent::run([camera, hook = fusionStopHook_] {
        if (hook) hook();
        return camera->stopRecording(zelvan::DVS_AND_APS);
    }));
}

void MainWidget::waitForFusionRecordingFiles() {
    if (!fusionStopWatcher_.isRunning()) return;
    QEventLoop untilComplete;
    connect(&fusionStopWatcher_, &QFutureWatcher<int>::finished, &untilComplete, &QEventLoop::quit);
    waitingWindow_->setCancellable(false);
    waitingWindow_->setProgress(-1);
    centreWaitingWindow();
    waitingWindow_->open();
    // The watcher may have finished before the connection: then its signal is already queued.
    if (fusionStopWatcher_.isRunning()) untilComplete.exec();
    if (!closeWhenIdle_) waitingWindow_->finish();
}
