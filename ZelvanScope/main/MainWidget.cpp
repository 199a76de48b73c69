#include "main/MainWidget.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QShortcut>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <chrono>

#include "Utility/ZvFileRecorder.h"
#include "dialogs/CamerasList.h"
#include "dialogs/ShowCameraInfoUI.h"
#include "dialogs/ZvCutRawFile.h"
#include "dialogs/ZvEthCameraConfigTool.h"
#include "dialogs/ZvExportVideoUI.h"
#include "main/WorkerThread.h"
#include "processing/ZvEventProcessor.h"
#include "processing/ZvFusionCameraDataProcessor.h"
#include "session/LiveSession.h"
#include "session/RecordingController.h"
#include "settings/AppSettings.h"
#include "settings/SidebarApsSettingUI.h"
#include "settings/SidebarCameraSettingUI.h"
#include "settings/SidebarDvsSettingUI.h"
#include "settings/ZvGeneralSetting.h"
#include "ui_MainWidget.h"
#include "view/ShowImageForm.h"
#include "widgets/AboutDialog.h"
#include "widgets/WaitingWindow.h"
#include "widgets/ZvFilePathReminderForm.h"
#include "widgets/ZvThreeHandleSlider.h"

MainWidget::MainWidget(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::MainWidget>()) {
    qRegisterMetaType<ZvMessageType>("ZvMessageType");
    qRegisterMetaType<uint64_t>("uint64_t");
    qRegisterMetaType<uint32_t>("uint32_t");
    ui_->setupUi(this);
    ui_->label_logo->setPixmap(QIcon(":/img/assets/logo.svg").pixmap(24, 24));

    setActionTexts();
    settings_ = AppSettings::instance();
    fusionProcessor_ = new ZvFusionCameraDataProcessor();
    eventProcessor_ = new ZvEventProcessor();
    live_ = std::make_unique<LiveSession>(eventProcessor_);
    recordings_ = std::make_unique<RecordingController>(settings_);

    ui_->slider->setEnabled(false);
    waitingWindow_ = new WaitingWindow(ui_->imageForm);

    buildMenus();
    // The sidebars: the camera sidebar is the one shown when the area opens; the area starts folded
    // and the image view takes the width the area leaves.
    cameraSidebar_ = new SidebarCameraSettingUI;
    dvsSidebar_ = new SidebarDvsSettingUI;
    apsSidebar_ = new SidebarApsSettingUI;
    ui_->sw_sidebars->addWidget(cameraSidebar_);
    ui_->sw_sidebars->addWidget(dvsSidebar_);
    ui_->sw_sidebars->addWidget(apsSidebar_);
    ui_->sw_sidebars->setCurrentWidget(cameraSidebar_);
    ui_->widget_sidebar_area->hide();
    ui_->splitter->setStretchFactor(0, 1);
    ui_->splitter->setStretchFactor(1, 0);
    ui_->splitter->setCollapsible(0, false);
    ui_->splitter->setCollapsible(1, false);
    setAcceptDrops(true);

    connect(this, &MainWidget::setShowCameraLiveUI, this, &MainWidget::showCameraPlayingUI);
    connect(this, &MainWidget::resetShowCameraFormTitle, this, &MainWidget::setShowTitleInfo);
    connect(this, &MainWidget::toShowCameraSerial, this, &MainWidget::showCameraSerial);
    connect(this, SIGNAL(triggerEventsToShow()), this, SLOT(getEventsToShow()));
    connect(this, &MainWidget::signalImageReslotionChanged, ui_->imageForm,
            &ShowImageForm::slotSetResolution);
    connect(this, &MainWidget::signalRecByTime, recordings_->recorder(), &ZvFileRecorder::recordingTime);
    connect(recordings_.get(), &RecordingController::tip, this,
            qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips));
    connect(recordings_->recorder(),
            qOverload<QString, ZvMessageType, QString>(&ZvFileRecorder::signalShowLeftBottomTips), this,
            qOverload<QString, ZvMessageType, QString>(&MainWidget::slotShowLeftBottomTips),
            Qt::QueuedConnection);
    connect(recordings_.get(), &RecordingController::recordingChanged, ui_->pb_record,
            &QPushButton::setChecked);
    connect(recordings_.get(), &RecordingController::elapsedChanged, ui_->label_recording_time,
            &QLabel::setText);
    connect(recordings_.get(), &RecordingController::busyChanged, this,
            [this](bool busy) { ui_->pb_record->setEnabled(!busy); });
    connect(recordings_.get(), &RecordingController::idle, this, &MainWidget::closeIfIdle);
    connect(recordings_.get(), &RecordingController::triggerArrived, this, &MainWidget::onTriggerIn);
    connect(recordings_.get(), &RecordingController::recordedCameraLost, live_.get(),
            &LiveSession::noticeLoss);
    connect(live_.get(), &LiveSession::framesReady, this, &MainWidget::triggerEventsToShow);
    connect(live_.get(), &LiveSession::statisticsChanged, this, &MainWidget::setStatistics);
    connect(live_.get(), &LiveSession::cameraLost, this, &MainWidget::cameraLost);
    connect(this, qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips), this,
            qOverload<QString, ZvMessageType, QString>(&MainWidget::slotShowLeftBottomTips),
            Qt::QueuedConnection);
    // With nothing open (a recording that did not load) a frame still being drawn for what was
    // open before is not shown.
    connect(eventProcessor_, &ZvEventProcessor::signalEventImage, ui_->imageForm, [this](QImage image) {
        if (viewerMode_ != NoDevice) ui_->imageForm->slotShowImage(std::move(image));
    });
    connect(eventProcessor_, &ZvEventProcessor::signalRealTimeTimeStamp, this, &MainWidget::showTimeStamp);
    connectPlayback();
    connectFusionProcessor();

    // The display settings reach the live camera and the playback.
    ZvEventProcessor* player = eventProcessor_;
    connect(cameraSidebar_, &SidebarCameraSettingUI::signalCumulativeTimeChanged, this,
            &MainWidget::setAccumulationTime, Qt::DirectConnection);
    connect(cameraSidebar_, &SidebarCameraSettingUI::signalCumulativeTimeChanged, player,
            &ZvEventProcessor::setAccTime);
    connect(cameraSidebar_, &SidebarCameraSettingUI::signalFpsChanged, player,
            [player](uint32_t fps) { player->setFps(int(std::min<uint32_t>(fps, 65535))); });
    connect(dvsSidebar_, &SidebarDvsSettingUI::signalCumulativeTimeChanged, this,
            &MainWidget::setAccumulationTime, Qt::DirectConnection);
    connect(dvsSidebar_, &SidebarDvsSettingUI::signalCumulativeTimeChanged, player,
            &ZvEventProcessor::setAccTime);
    connect(dvsSidebar_, &SidebarDvsSettingUI::signalFpsChanged, player,
            [player](uint32_t fps) { player->setFps(int(std::min<uint32_t>(fps, 65535))); });
    // A rectangle drawn on the image becomes the region of interest while the ROI is enabled.
    // Queued: the loss clears the panel, whose item is still telling its change.
    connect(dvsSidebar_, &SidebarDvsSettingUI::signalCameraGone, live_.get(), &LiveSession::noticeLoss,
            Qt::QueuedConnection);
    connect(dvsSidebar_, &SidebarDvsSettingUI::signalRoiSelectionEnabled, ui_->imageForm,
            &ShowImageForm::slotSetRoiSelectionEnabled);
    connect(ui_->imageForm, &ShowImageForm::signalRoiSelected, dvsSidebar_,
            &SidebarDvsSettingUI::slotApplyRoiFromImage);
    connect(dvsSidebar_,
            qOverload<QString, ZvMessageType, QString>(&SidebarDvsSettingUI::signalShowLeftBottomTips), this,
            qOverload<QString, ZvMessageType, QString>(&MainWidget::slotShowLeftBottomTips),
            Qt::QueuedConnection);

    // Space, Left and Right act on the play bar wherever the focus is in this window (a text field
    // keeps the keys it edits with); the buttons never take the focus, so a key never clicks one.
    for (QPushButton* button : findChildren<QPushButton*>()) button->setFocusPolicy(Qt::NoFocus);
    for (const int key : {Qt::Key_Space, Qt::Key_Left, Qt::Key_Right}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(key != Qt::Key_Space);
        connect(shortcut, &QShortcut::activated, this, [this, key] { handlePlayBarKey(key); });
    }
}

MainWidget::~MainWidget() {
    // Ends the record button's recording and any timed one on the camera they started on, and
    // waits until their files are complete.
    releaseEventCamera();
    // No event loop runs inside the destructor: the fusion recording's files are waited for here.
    stopFusionRecording();
    if (fusionStopWatcher_.isRunning()) fusionStopWatcher_.waitForFinished();
    releaseFusionCamera();
    recordings_.reset();
    live_.reset();
    delete eventProcessor_;
    delete fusionProcessor_;
}

ShowImageForm* MainWidget::imageForm() const { return ui_->imageForm; }
std::shared_ptr<zelvan::DvsCamera> MainWidget::eventCamera() const { return live_->camera(); }
ZvFileRecorder* MainWidget::recorder() const { return recordings_->recorder(); }
bool MainWidget::isLiveRunning() const { return live_->isRunning(); }
bool MainWidget::isRecording() const { return recordings_->isRecording(); }
uint64_t MainWidget::latestTimestamp() const { return live_->latestTimestamp(); }
QString MainWidget::lastRecordingPath() const { return recordings_->lastRecordingPath(); }
bool MainWidget::isFinishingRecording() const { return recordings_->isFinishing(); }
bool MainWidget::isCameraBusy() const { return recordings_->isBusy(); }

void MainWidget::setActionTexts() {}

void MainWidget::buildMenus() {
    auto menuOn = [this](QPushButton* button) {
        auto* menu = new QMenu(this);
        button->setMenu(menu);
        return menu;
    };
    fileMenu_ = menuOn(ui_->pb_file);
    actOpenRecording_ = fileMenu_->addAction(tr("Open Recording"));
    recentMenu_ = fileMenu_->addMenu(tr("Open Recent"));
    fillRecentMenu();
    connect(recentMenu_, &QMenu::aboutToShow, this, &MainWidget::fillRecentMenu);
    fileMenu_->addSeparator();
    actSaveAs_ = fileMenu_->addAction(tr("Save as..."));
    actCutRecording_ = fileMenu_->addAction(tr("Cut Recording"));
    fileMenu_->addSeparator();
    actQuit_ = fileMenu_->addAction(tr("Quit"));

    deviceMenu_ = menuOn(ui_->pb_device);
    actOpenCamera_ = deviceMenu_->addAction(tr("Open Camera"));
    deviceMenu_->addSeparator();
    actCameraInfo_ = deviceMenu_->addAction(tr("Camera Info"));

    settingMenu_ = menuOn(ui_->pb_setting);
    actGeneralSetting_ = settingMenu_->addAction(tr("General Setting"));
    actLanguage_ = settingMenu_->addAction(QString::fromUtf8("EN/中文"));

    helpMenu_ = menuOn(ui_->pb_help);
    actAbout_ = helpMenu_->addAction(tr("About us"));

    toolsMenu_ = menuOn(ui_->pb_tools);
    toolsMenu_->addSeparator();
    actIpConfig_ = toolsMenu_->addAction(tr("IP Configuration"));

    viewerSettingMenu_ = new QMenu(this);
    actStartEndPoint_ = viewerSettingMenu_->addAction(tr("Toggle Start/End Point"));
    actStartEndPoint_->setCheckable(true);
    viewerSettingMenu_->addSeparator();
    connect(actStartEndPoint_, &QAction::toggled, this, &MainWidget::slotStartEndPointEditable);

    connect(actQuit_, &QAction::triggered, this, &MainWidget::close);
    connect(actOpenRecording_, &QAction::triggered, this, &MainWidget::slotOpenRecording);
    connect(actSaveAs_, &QAction::triggered, this, &MainWidget::slotSaveAs);
    connect(actCutRecording_, &QAction::triggered, this, &MainWidget::slotCutRecording);
    connect(actOpenCamera_, &QAction::triggered, this, &MainWidget::slotOpenCamera);
    connect(actCameraInfo_, &QAction::triggered, this, &MainWidget::slotShowCameraInfo);
    connect(actGeneralSetting_, &QAction::triggered, this, &MainWidget::slotGeneralSetting);
    connect(actLanguage_, &QAction::triggered, this, &MainWidget::slotSwitchLanguage);
    connect(actAbout_, &QAction::triggered, this, &MainWidget::slotAbout);
    connect(actIpConfig_, &QAction::triggered, this, &MainWidget::slotShowToolIPConfig);
}

void MainWidget::openActionSlot(QAction* action) {
    // Each action is connected to its own slot; this runs the slot of `action` directly.
    if (action == actQuit_) {
        close();
    } else if (action == actOpenRecording_) {
        slotOpenRecording();
    } else if (action == actSaveAs_) {
        slotSaveAs();
    } else if (action == actCutRecording_) {
        slotCutRecording();
    } else if (action == actOpenCamera_) {
        slotOpenCamera();
    } else if (action == actCameraInfo_) {
        slotShowCameraInfo();
    } else if (action == actGeneralSetting_) {
        slotGeneralSetting();
    } else if (action == actLanguage_) {
        slotSwitchLanguage();
    } else if (action == actAbout_) {
        slotAbout();
    } else if (action == actIpConfig_) {
        slotShowToolIPConfig();
    }
}

void MainWidget::slotGeneralSetting() {
    ZvGeneralSetting dialog(this);
    connect(&dialog, &ZvGeneralSetting::signalTriggerInSaveFileParamChanged, this,
            &MainWidget::initDvsCameraSettings);
    dialog.exec();
}

void MainWidget::slotSwitchLanguage() {
    QMessageBox box(QMessageBox::Information, tr("Tips"),
                    tr("The language change will take effect after restart."), QMessageBox::NoButton, this);
    QPushButton* restart = box.addButton(tr("Restart"), QMessageBox::AcceptRole);
    box.addButton(tr("Later"), QMessageBox::RejectRole);
    box.exec();
    if (box.clickedButton() != restart) return;
    settings_->language = settings_->language == "en" ? "zh" : "en";
    if (!settings_->save()) {
        settings_->language = settings_->language == "en" ? "zh" : "en";
        emit signalShowLeftBottomTips(tr("Cannot save the settings to %1.").arg(settings_->fileName()),
                                      ZvMessageType::Error, QString());
        return;
    }
    // The new instance starts once this one has gone (main() starts it after the window, and with
    // it the camera, is released): a recording being completed first keeps this one a little longer.
    qApp->setProperty(kRestartProperty, true);
    QApplication::closeAllWindows();
}

void MainWidget::slotAbout() {
    AboutDialog about(this);
    about.exec();
}

void MainWidget::connectPlayback() {
    ZvEventProcessor* player = eventProcessor_;
    ZvThreeHandleSlider* slider = ui_->slider;
    connect(this, &MainWidget::signalOpenRawFile, player, &ZvEventProcessor::loadFile);
    connect(this, &MainWidget::signalExportVideo, player, &ZvEventProcessor::slotExportVideo);
    connect(this, &MainWidget::signalCutRawFile, player, &ZvEventProcessor::slotCutRawFile);
    connect(player, &ZvEventProcessor::signalLoadingStatus, this, [this](bool loading) {
        // Its loads, cuts and exports show how far they are and can be cancelled, except while a
        // close waits for them.
        if (loading && !closeWhenIdle_) waitingWindow_->setCancellable(true);
        slotSetWaitWinStatus(loading);
        if (!loading) forgetFailedRecording();
    });
    connect(player, &ZvEventProcessor::signalProgress, waitingWindow_, &WaitingWindow::setProgress);
    connect(waitingWindow_, &WaitingWindow::cancelRequested, player, &ZvEventProcessor::cancelWork);
    connect(player, &ZvEventProcessor::signalLocalTime, this, &MainWidget::showLocalTime);
    connect(player, &ZvEventProcessor::signalStartTimeStamp, slider, &ZvThreeHandleSlider::setMinimum);
    connect(player, &ZvEventProcessor::signalEndTimeStamp, slider, &ZvThreeHandleSlider::setMaximum);
    connect(player, &ZvEventProcessor::signalPlayStatus, ui_->pb_play, &QPushButton::setChecked);
    connect(player, qOverload<QString, ZvMessageType, QString>(&ZvEventProcessor::signalShowLeftBottomTips),
            this, qOverload<QString, ZvMessageType, QString>(&MainWidget::slotShowLeftBottomTips));
    connect(player, &ZvEventProcessor::signalTriggerList, this, &MainWidget::showTriggers);
    // The play button is shared with the camera and the fusion player: only a recording's toggle
    // reaches the event processor, which unchecks the button when it has nothing to play.
    connect(ui_->pb_play, &QPushButton::toggled, player, [this, player](bool on) {
        if (viewerMode_ == RawFile) player->slotPlaybackCtrl(on);
    });
    connect(ui_->pb_pre_frame, &QPushButton::pressed, player, &ZvEventProcessor::preFrame);
    connect(ui_->pb_next_frame, &QPushButton::pressed, player, &ZvEventProcessor::nextFrame);
    connect(ui_->pb_reset, &QPushButton::pressed, player, &ZvEventProcessor::slotPlaybackReset);
    connect(ui_->pb_loop, &QPushButton::toggled, player, &ZvEventProcessor::slotPlayLoop);
    connect(slider, &ZvThreeHandleSlider::centerValueMove, player, &ZvEventProcessor::setPlayPos);
    connect(slider, &ZvThreeHandleSlider::centerValueTrackClick, player, &ZvEventProcessor::setPlayPos);
    connect(slider, &ZvThreeHandleSlider::lowerValueChanged, player,
            &ZvEventProcessor::slotSetLowerTimeStamp);
    connect(slider, &ZvThreeHandleSlider::upperValueChanged, player,
            &ZvEventProcessor::slotSetUpperTimeStamp);
    // The total the position label shows is the end handle, also while playback stands still.
    connect(slider, &ZvThreeHandleSlider::upperValueChanged, this, [this] {
        if (!ui_->label_slider_time->text().isEmpty()) showSliderTime();
    });
}

void MainWidget::showTriggers(const std::vector<std::pair<uint64_t, uint8_t>>& triggers) {
    for (const auto& [timestamp, polarity] : triggers)
        ui_->slider->addTriggerMarker(timestamp, QColor(polarity == 1 ? "#FF6058" : "#58DB6D"));
}

void MainWidget::slotOpenRecording() {
    const QString path = QFileDialog::getOpenFileName(this, tr("Select a raw file"),
                                                      settings_->inputRawFilePath, tr("RAW files (*.raw)"));
    if (path.isEmpty()) return;
    openRecording(path);
}

void MainWidget::fillRecentMenu() {
    recentMenu_->clear();
    for (const QString& path : settings_->recentRecordings) {
        QString text = QDir::toNativeSeparators(path);
        text.replace('&', "&&");
        QAction* action = recentMenu_->addAction(text);
        connect(action, &QAction::triggered, this, [this, path] { openRecentRecording(path); });
    }
    if (settings_->recentRecordings.isEmpty())
        recentMenu_->addAction(tr("No recent recordings"))->setEnabled(false);
    recentMenu_->addSeparator();
    QAction* clear = recentMenu_->addAction(tr("Clear Recent"));
    clear->setEnabled(!settings_->recentRecordings.isEmpty());
    // The menu is filled again when it next opens: its actions are not deleted while one of them
    // is being triggered.
    connect(clear, &QAction::triggered, this, [this] {
        settings_->recentRecordings.clear();
        if (!settings_->save())
            emit signalShowLeftBottomTips(tr("Cannot save the settings to %1.").arg(settings_->fileName()),
                                          ZvMessageType::Error, QString());
    });
}

void MainWidget::openRecentRecording(const QString& path) {
    if (!QFileInfo(path).isFile()) {
        // Gone since it was opened: it leaves the list.
        settings_->recentRecordings.removeAll(path);
        if (!settings_->save()) qWarning() << "Cannot write the settings to" << settings_->fileName();
    }
    openRecording(path);
}

QString MainWidget::droppedRecording(const QMimeData* mime) {
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1) return QString();
    const QUrl url = mime->urls().first();
    if (!url.isLocalFile()) return QString();
    const QString path = url.toLocalFile();
    return path.endsWith(".raw") ? path : QString();
}

void MainWidget::dragEnterEvent(QDragEnterEvent* event) {
    if (droppedRecording(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
}

void MainWidget::dragMoveEvent(QDragMoveEvent* event) {
    if (droppedRecording(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
}

void MainWidget::dropEvent(QDropEvent* event) {
    const QString path = droppedRecording(event->mimeData());
    if (path.isEmpty()) {
        event->ignore();
        return;
    }
    // A drop is easily made by accident: it never ends a recording, the record button's or a
    // trigger-in one, also when one starts between the drop and the open.
    auto refusedForRecording = [this] {
        if (!isRecording() && recordings_->isIdle() && !isFinishingRecording()) return false;
        emit signalShowLeftBottomTips(tr("Stop the recording before opening a recording."),
                                      ZvMessageType::Warning, QString());
        return true;
    };
    if (refusedForRecording()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // Opened once the drop has ended: the drag source is not kept waiting for the load to start.
    QMetaObject::invokeMethod(
        this,
        [this, path, refusedForRecording] {
            if (!refusedForRecording()) openRecording(path);
        },
        Qt::QueuedConnection);
}

void MainWidget::openRecording(const QString& path) {
    // The reader takes recordings by their ".raw" ending; anything else is refused before the camera
    // is touched.
    const QFileInfo candidate(path);
    if (!path.endsWith(".raw") || !candidate.isFile() || !candidate.isReadable()) {
        const QString why = !candidate.exists()      ? tr("no such file")
                            : !path.endsWith(".raw") ? tr("not a raw recording (*.raw)")
                                                     : tr("not a readable file");
        qInfo().noquote() << "Cannot open recording " + path + ": " + why;
        emit signalShowLeftBottomTips(tr("Cannot open %1: %2.").arg(QDir::toNativeSeparators(path), why),
                                      ZvMessageType::Error, QString());
        return;
    }
    if (eventProcessor_->fileJobRunning()) {
        emit signalShowLeftBottomTips(
            tr("A cut or an export is running; open the recording when it has ended."),
            ZvMessageType::Warning, QString());
        return;
    }
    // A recording still loading is closed first (its load stops), so the file named here is the one
    // that loads.
    if (eventProcessor_->isLoading()) emit signalOpenRawFile(QString());
    // The live camera stops as if its play button were unchecked, and is released.
    if ((viewerMode_ == EventCamera || viewerMode_ == FusionCamera) && ui_->pb_play->isChecked())
        ui_->pb_play->click();
    releaseEventCamera();
    releaseFusionCamera();
    emit resetShowCameraFormTitle(true);
    const QFileInfo file(path);
    settings_->inputRawFilePath = file.absolutePath();
    // One entry per file, however the path was written.
    settings_->addRecentRecording(file.canonicalFilePath());
    if (!settings_->save()) qWarning() << "Cannot write the settings to" << settings_->fileName();
    ui_->label_file_name->setText(file.fileName());
    ui_->label_local_time->clear();
    ui_->slider->clearTriggerMarkers();
    // A recording with a video of the same name beside it is a fusion recording.
    const bool fusion =
        QFileInfo(QString("%1/%2.mp4").arg(file.absolutePath(), file.completeBaseName())).isFile();
    if (fusion) {
        viewerMode_ = FusionFile;
        // A fusion recording opens in the overlay view, as a fusion camera does.
        viewerShowType_ = zelvan::DVS_AND_APS;
        showViewerType(viewerShowType_);
        emit signalSetViewerShowType(viewerShowType_);
        emit signalOpenRawFile(QString());
        emit signalOpenFusionFile(path);
    } else {
        viewerMode_ = RawFile;
        emit signalOpenRawFile(path);
        emit signalOpenFusionFile(QString());
    }
    actSaveAs_->setVisible(!fusion);
    actCutRecording_->setVisible(!fusion);
    dvsSidebar_->clear();
    apsSidebar_->clear();
    cameraSidebar_->setCameraMode(false);
    showCameraPlayingUI(false);
}

void MainWidget::forgetFailedRecording() {
    // A load that failed or was cancelled leaves no recording: nothing of it may look open.
    if (viewerMode_ == RawFile && (eventProcessor_->hasFile() || eventProcessor_->isLoading())) return;
    if (viewerMode_ == FusionFile && (fusionProcessor_->hasFile() || fusionProcessor_->isLoading())) return;
    if (viewerMode_ != RawFile && viewerMode_ != FusionFile) return;
    viewerMode_ = NoDevice;
    ui_->label_file_name->clear();
    ui_->label_slider_time->clear();
    ui_->label_local_time->clear();
    ui_->slider->clearTriggerMarkers();
    ui_->slider->setCenterValue(ui_->slider->minimum());
    ui_->slider->setEnabled(false);
    for (QPushButton* b : {ui_->pb_pre_frame, ui_->pb_next_frame, ui_->pb_reset, ui_->pb_loop})
        b->setEnabled(false);
    actSaveAs_->setVisible(false);
    actCutRecording_->setVisible(false);
    ui_->imageForm->clearImage();
}

void MainWidget::slotSaveAs() {
    // A recording whose load failed has nothing to save either.
    if (viewerMode_ != RawFile || !eventProcessor_->hasFile()) {
        emit signalShowLeftBottomTips(tr("Please open a raw file first."), ZvMessageType::Warning, QString());
        return;
    }
    ZvExportVideoUI dialog(this);
    dialog.setStartTime(ui_->slider->rangeStart());
    dialog.setEndTime(ui_->slider->rangeEnd());
    dialog.setSaveDir(settings_->videoSavePath);
    dialog.setFileName(QDateTime::currentDateTime().toString("yyyyMMdd_HHmmss") + ".mp4");
    if (dialog.exec() != QDialog::Accepted) return;
    const uint64_t end = dialog.endTime();
    const uint64_t start = dialog.startTime();
    emit signalExportVideo(dialog.fullPath(), dialog.saveDir(), start, end);
}

void MainWidget::slotCutRecording() {
    // A recording whose load failed has nothing to save either.
    if (viewerMode_ != RawFile || !eventProcessor_->hasFile()) {
        emit signalShowLeftBottomTips(tr("Please open a raw file first."), ZvMessageType::Warning, QString());
        return;
    }
    ZvCutRawFile dialog(this);
    dialog.setStartTime(ui_->slider->rangeStart());
    dialog.setEndTime(ui_->slider->rangeEnd());
    dialog.setSaveDir(settings_->outputRawFilePath);
    dialog.setFileName(QDateTime::currentDateTime().toString("yyyyMMdd_HHmmss") + ".raw");
    if (dialog.exec() != QDialog::Accepted) return;
    emit signalCutRawFile(dialog.fullPath(), dialog.saveDir(), dialog.startTime(), dialog.endTime());
}

void MainWidget::slotShowToolIPConfig() {
    ZvEthCameraConfigTool dialog(this);
    connect(&dialog,
            qOverload<QString, ZvMessageType, QString>(&ZvEthCameraConfigTool::signalShowLeftBottomTips),
            this, qOverload<QString, ZvMessageType, QString>(&MainWidget::slotShowLeftBottomTips),
            Qt::QueuedConnection);
    // A search has no percentage to show.
    connect(&dialog, &ZvEthCameraConfigTool::signalLoadingStatus, this, [this](bool loading) {
        slotSetWaitWinStatus(loading);
        if (loading) waitingWindow_->setProgress(-1);
    });
    // Closing the dialog ends a running search before this returns; the busy window closes when
    // the search's end arrives here.
    dialog.exec();
}

void MainWidget::slotShowCameraInfo() {
    if (fusionCamera_) {
        ShowCameraInfoUI info(this);
        info.fill(fusionCamera_->getDescription(), QString::fromStdString(firmwareVersion_));
        info.setResolution(fusionCamera_->getWidth(zelvan::DVS), fusionCamera_->getHeight(zelvan::DVS));
        info.exec();
        return;
    }
    if (!live_->camera()) {
        emit signalShowLeftBottomTips(tr("Please connect camera first."), ZvMessageType::Warning, QString());
        return;
    }
    const zelvan::CameraDescription description = live_->camera()->getDescription();
    ShowCameraInfoUI info(this);
    info.fill(description, QString::fromStdString(description.firmwareVersion));
    info.setResolution(live_->camera()->getWidth(), live_->camera()->getHeight());
    info.exec();
}

void MainWidget::slotOpenCamera() {
    if (ui_->pb_play->isChecked()) ui_->pb_play->click();
    const auto cameras = searchCameras();
    CamerasList list(cameras, this);
    if (list.exec() != QDialog::Accepted) return;
    int index = -1;
    if (!list.selectedIndex(index) || index < 0 || size_t(index) >= cameras.size()) return;
    openCameraByDescription(cameras[size_t(index)]);
}

std::vector<zelvan::CameraDescription> MainWidget::searchCameras() {
    qInfo() << "Search cameras ...";
    auto cameras = manager_.getCameraDescs();
    qInfo() << "Search end ... find: " << cameras.size();
    return cameras;
}

void MainWidget::openCameraByDescription(const zelvan::CameraDescription& description) {
    qInfo() << "Select camera: " << QString::fromStdString(description.serial)
            << " product: " << QString::fromStdString(description.product);
    // A camera refused for its address leaves the open one (and its recording) as it was.
    if (description.interfaceType == zelvan::ETH) {
        const QString camera_ip = QString::fromStdString(description.cameraIp);
        const QString local_ip = QString::fromStdString(description.localIp);
        if (camera_ip == local_ip) {
            emit signalShowLeftBottomTips(tr("There is a conflict between the camera ip and the local ip!"),
                                          ZvMessageType::Error, QString());
            return;
        }
        if (!isSameSubnet(camera_ip, local_ip, QString::fromStdString(description.subnetMask))) {
            emit signalShowLeftBottomTips(
                tr("The camera ip is not in the same network segment as the local ip!"), ZvMessageType::Error,
                QString());
            return;
        }
    }
    emit signalOpenRawFile(QString());
    emit signalOpenFusionFile(QString());
    ui_->label_file_name->clear();
    ui_->label_local_time->clear();
    actSaveAs_->setVisible(false);
    viewerMode_ = description.product == "Tandra" ? FusionCamera : EventCamera;
    releaseEventCamera();
    releaseFusionCamera();
    if (viewerMode_ == FusionCamera) {
        openFusionCamera(description);
        return;
    }
    const std::string serial = description.serial;
    auto opened = std::make_shared<std::shared_ptr<zelvan::DvsCamera>>();
    runBehindWaitingWindow([this, serial, opened] { *opened = openCameraTask(serial); },
                           [this, serial, opened] { installEventCamera(std::move(*opened), serial); });
    viewerShowType_ = zelvan::DVS;
    showViewerType(viewerShowType_);
}

std::shared_ptr<zelvan::DvsCamera> MainWidget::openCameraTask(const std::string& serial) {
    return manager_.openCamera(serial);
}

void MainWidget::installEventCamera(std::shared_ptr<zelvan::DvsCamera> camera, const std::string& serial) {
    if (!camera) {
        emit signalShowLeftBottomTips(tr("Open camera: ") + QString::fromStdString(serial) + tr("failed."),
                                      ZvMessageType::Error, QString());
        return;
    }
    live_->install(camera);
    recordings_->setCamera(std::move(camera));
    emit signalImageReslotionChanged(live_->camera()->getWidth(), live_->camera()->getHeight());
    // The panels show the camera's tools (the saved parameters applied first) before it streams.
    dvsSidebar_->showEventCamera(live_->camera());
    cameraSidebar_->setCameraMode(true);
    initDvsCameraSettings();
    emit setShowCameraLiveUI(true);
    emit resetShowCameraFormTitle(true);
    emit toShowCameraSerial(QString::fromStdString(serial));
    if (!ui_->pb_play->isChecked()) ui_->pb_play->click();
}

void MainWidget::releaseEventCamera() {
    // The recordings end on the camera they run on; ending the stream also ends the statistics.
    recordings_->setCamera(nullptr);
    live_->release();
    dvsSidebar_->clear();
    cameraSidebar_->setCameraMode(false);
    ui_->pb_play->setChecked(false);
    clearStatistics();
}

void MainWidget::cameraLost() {
    // What the camera delivered before the loss is kept.
    recordings_->cameraLost();
    // A camera that is gone has no settings to show.
    dvsSidebar_->clear();
    ui_->pb_play->setChecked(false);
    clearStatistics();
    emit signalShowLeftBottomTips(tr("camera disconnected"), ZvMessageType::Warning, QString());
}

void MainWidget::setStatistics(uint64_t data_rate, uint64_t event_rate) {
    bandwidthText_ = bandwidthText(data_rate);
    eventRateText_ = eventRateText(event_rate);
    ui_->label_statistics->setText(statisticsText());
}

void MainWidget::clearStatistics() {
    bandwidthText_.clear();
    eventRateText_.clear();
    ui_->label_statistics->setText(statisticsText());
}

QString MainWidget::statisticsText() const {
    return statusPrefix_ + bandwidthText_ + eventRateText_ + statusSuffix_;
}

uint64_t MainWidget::liveBatchTime() const { return live_->batchTime(); }

void MainWidget::setAccumulationTime(uint64_t time_us) {
    accumulationTime_ = time_us;
    live_->setBatchTime(time_us);
    qInfo() << "set dvs time interval: " << time_us;
}

void MainWidget::initDvsCameraSettings() { recordings_->applyTriggerInSettings(); }

void MainWidget::onTriggerIn(zelvan::EventTriggerIn trigger) {
    const auto& camera = live_->camera();
    if (!settings_ || !camera || closeWhenIdle_) return;
    const bool rising = settings_->triggerInEdgeType == "Rising Edge";
    if ((rising && trigger.polarity == 1) || (!rising && trigger.polarity == 0)) {
        const QString path = settings_->outputRawFilePath + "/" +
                             QString::fromStdString(camera->getDescription().serial) +
                             QDateTime::currentDateTime().toString("_yyyyMMdd_HHmmss") + ".raw";
        emit signalRecByTime(settings_->afterTriggerInSaveTime, path);
    }
}

void MainWidget::on_pb_play_clicked(bool checked) {
    // The file modes play through the playback processors.
    if (viewerMode_ == RawFile || viewerMode_ == FusionFile) return;
    if (viewerMode_ == FusionCamera) {
        fusionPlayClicked(checked);
        return;
    }
    if (!canPlay()) {
        qInfo() << "Please connect camera first.";
        if (live_->isRunning()) live_->stop();
        ui_->pb_play->setChecked(false);
        emit signalShowLeftBottomTips(tr("Please connect camera first."), ZvMessageType::Warning, QString());
        return;
    }
    if (checked) {
        if (live_->isRunning()) return;  // already streaming
        if (live_->start(accumulationTime_) != 0) {
            qInfo() << "Please check the camera connection.";
            ui_->pb_play->setChecked(false);
            return;
        }
        ui_->pb_play->setChecked(true);
    } else {
        live_->stop();
        ui_->pb_play->setChecked(false);
        clearStatistics();
        qInfo() << "stop camera.";
    }
}

void MainWidget::getEventsToShow() { eventProcessor_->showCurrentFrame(); }

void MainWidget::on_pb_record_clicked() {
    if (viewerMode_ == RawFile || viewerMode_ == FusionFile) {  // nothing to record
        ui_->pb_record->setChecked(false);
        return;
    }
    if (viewerMode_ == FusionCamera) {
        fusionRecordClicked();
        return;
    }
    if (viewerMode_ != EventCamera || !live_->isConnected()) {
        qInfo() << "Please connect camera first.";
        recordings_->stopManual();
        ui_->pb_record->setChecked(false);
        emit signalShowLeftBottomTips(tr("Please connect camera first."), ZvMessageType::Warning, QString());
        return;
    }
    if (recordings_->isBusy()) {  // the previous recording is still being completed, or the cache changed
        ui_->pb_record->setChecked(recordings_->isRecording());
        return;
    }
    if (!recordings_->isRecording()) {
        recordings_->startManual();
        ui_->pb_record->setChecked(recordings_->isRecording());
    } else {
        recordings_->stopManual();
    }
}

bool MainWidget::filesComplete() const {
    return recordings_->isIdle() && !eventProcessor_->fileJobUntold() && !fusionRecording_ &&
           !fusionStopWatcher_.isRunning();
}

void MainWidget::closeIfIdle() {
    if (!closeWhenIdle_ || !filesComplete()) return;
    // After the messages already posted: the outcome of the file the close waited for is among them.
    QMetaObject::invokeMethod(this, &MainWidget::finishHeldClose, Qt::QueuedConnection);
}

void MainWidget::finishHeldClose() {
    if (!closeWhenIdle_ || !filesComplete()) return;
    closeWhenIdle_ = false;
    waitingWindow_->finish();
    if (closeMetError_) {
        // The error stays on screen; the next close goes at once. A restart that was asked for does not
        // happen then.
        closeMetError_ = false;
        qApp->setProperty(kRestartProperty, false);
        return;
    }
    if (!close()) return;
    // Qt decided about quitting when the close was asked for and held back; the program quits now
    // as it would have then, when it runs its event loop and no other main window is shown.
    const auto shown = [](QWidget* w) { return w->isWindow() && w->isVisible() && !w->parentWidget(); };
    const QWidgetList windows = QApplication::topLevelWidgets();
    if (QApplication::quitOnLastWindowClosed() && QThread::currentThread()->loopLevel() > 0 &&
        std::none_of(windows.begin(), windows.end(), shown)) {
        QCoreApplication::quit();
    }
}

void MainWidget::closeEvent(QCloseEvent* event) {
    // The window goes once its recordings' files and a cut or export being written are complete;
    // until then it stays responsive and shows that it is busy.
    recordings_->endAll();
    stopFusionRecording();
    if (!filesComplete()) {
        if (!closeWhenIdle_) closeMetError_ = false;
        closeWhenIdle_ = true;
        event->ignore();
        // The close waits for these files: nothing of them is cancelled from here.
        waitingWindow_->setCancellable(false);
        centreWaitingWindow();
        waitingWindow_->open();
        return;
    }
    QWidget::closeEvent(event);
}

void MainWidget::runBehindWaitingWindow(std::function<void()> work, std::function<void()> done) {
    // Until the worker hands over, the window waits behind the busy window, handling events.
    QEventLoop untilDone;
    bool finished = false;
    auto finish = [this, &finished, &done] {
        if (finished) return;
        finished = true;
        waitingWindow_->finish();
        done();
    };
    WorkerThread worker([&work, &untilDone, &finish] {
        work();
        QMetaObject::invokeMethod(
            &untilDone,
            [&untilDone, &finish] {
                finish();
                untilDone.quit();
            },
            Qt::QueuedConnection);
    });
    worker.start(QThread::InheritPriority);
    centreWaitingWindow();
    waitingWindow_->open();
    untilDone.exec();
    worker.wait();
    // The loop may have ended before the hand-over ran (the application quitting): what the worker
    // did is handed over (or its failure told) all the same.
    finish();
}

void MainWidget::centreWaitingWindow() {
    waitingWindow_->move(ui_->imageForm->mapToGlobal(ui_->imageForm->rect().center()) -
                         QPoint(waitingWindow_->width() / 2, waitingWindow_->height() / 2));
}

void MainWidget::showCameraPlayingUI(bool en) {
    for (QPushButton* b : {ui_->pb_pre_frame, ui_->pb_next_frame, ui_->pb_reset, ui_->pb_loop})
        b->setEnabled(!en);
    ui_->slider->setEnabled(!en);
    if (en) {
        ui_->slider->setCenterValue(ui_->slider->minimum());
        ui_->slider->clearTriggerMarkers();
        // A live stream has no playback position.
        ui_->label_slider_time->clear();
    }
}

void MainWidget::setShowTitleInfo(bool) {
    ui_->label_camera->clear();
    ui_->label_time->clear();
}

void MainWidget::showCameraSerial(QString str) { ui_->label_camera->setText(str); }

void MainWidget::showTimeStamp(uint64_t timestamp_us) {
    if (viewerMode_ == RawFile || viewerMode_ == FusionFile) {
        ui_->slider->setCenterValue(timestamp_us);
        showSliderTime();
        return;
    }
    ui_->label_time->setText(tr("Live time %1").arg(formatTimestamp(timestamp_us)));
}

void MainWidget::showSliderTime() {
    ui_->label_slider_time->setText(formatTimestamp(ui_->slider->centerValue()) + "/" +
                                    formatTimestamp(ui_->slider->rangeEnd()));
}

void MainWidget::showLocalTime(QString local_time) { ui_->label_local_time->setText(local_time); }

// The hidden fold button folds every sidebar.
void MainWidget::on_pb_fold_setting_clicked(bool) { showSidebar(nullptr, ui_->pb_fold_setting); }
void MainWidget::on_pb_viewer_setting_clicked(bool checked) {
    // The menu opens above the button, its bottom-right corner at the button's top-right corner.
    if (checked) {
        const QPoint corner = ui_->pb_viewer_setting->mapToGlobal(ui_->pb_viewer_setting->rect().topRight());
        const QSize size = viewerSettingMenu_->sizeHint();
        viewerSettingMenu_->popup(corner - QPoint(size.width(), size.height()));
    }
    ui_->pb_viewer_setting->setChecked(false);
}

void MainWidget::slotStartEndPointEditable(bool en) {
    // The mode change puts both handles on the ends and tells the processors: the whole file again.
    ui_->slider->setMode(en ? ZvThreeHandleSlider::StartEndEditable : ZvThreeHandleSlider::CenterOnly);
}
void MainWidget::on_pb_fold_general_setting_clicked() {
    showSidebar(cameraSidebar_, ui_->pb_fold_general_setting);
}
void MainWidget::on_pb_fold_dvs_setting_clicked(bool) { showSidebar(dvsSidebar_, ui_->pb_fold_dvs_setting); }
// The frame sidebar shows the open fusion camera's frame sensor.
void MainWidget::on_pb_fold_aps_setting_clicked(bool) { showSidebar(apsSidebar_, ui_->pb_fold_aps_setting); }

void MainWidget::showSidebar(QWidget* page, QPushButton* button) {
    const bool show = page && button->isChecked();
    for (QPushButton* b : {ui_->pb_fold_setting, ui_->pb_fold_general_setting, ui_->pb_fold_dvs_setting,
                           ui_->pb_fold_aps_setting})
        b->setChecked(show && b == button);
    if (show) ui_->sw_sidebars->setCurrentWidget(page);
    ui_->widget_sidebar_area->setVisible(show);
    ui_->widget_side->layout()->activate();
    const int side = show ? kSidebarWidth : ui_->widget_side->minimumSizeHint().width();
    ui_->splitter->setSizes({std::max(0, ui_->splitter->width() - side), side});
}
void MainWidget::on_pb_viewer_type_clicked() {
    viewerShowType_ = static_cast<zelvan::STREAM_TYPE>((int(viewerShowType_) + 1) % 3);
    showViewerType(viewerShowType_);
    emit signalSetViewerShowType(viewerShowType_);
}

void MainWidget::showViewerType(zelvan::STREAM_TYPE type) {
    struct Look {
        const char* icon;
        const char* tip;
    };
    static const Look kLooks[] = {
        {":/img/assets/view_dvs.svg", QT_TR_NOOP("Event view")},
        {":/img/assets/view_aps.svg", QT_TR_NOOP("Frame view")},
        {":/img/assets/view_fusion.svg", QT_TR_NOOP("Fusion view")},
    };
    const Look& look = kLooks[std::clamp(int(type), 0, 2)];
    ui_->pb_viewer_type->setIcon(QIcon(look.icon));
    ui_->pb_viewer_type->setToolTip(tr(look.tip));
}

void MainWidget::slotSetSliderStartTime(uint64_t ts) { ui_->slider->setMinimum(ts); }
void MainWidget::slotSetSliderEndTime(uint64_t ts) { ui_->slider->setMaximum(ts); }

void MainWidget::slotSetWaitWinStatus(bool en) {
    if (en) {
        waitingWindow_->setProgress(0);
        centreWaitingWindow();
        waitingWindow_->show();
    } else if (closeWhenIdle_) {
        closeIfIdle();  // a cut or export has ended: the waiting window stays up until the close
    } else {
        waitingWindow_->finish();
    }
}

void MainWidget::slotShowLeftBottomTips(QString tips, ZvMessageType type, QString file_path) {
    if (closeWhenIdle_ && type == ZvMessageType::Error) closeMetError_ = true;
    const QString dir = file_path.isEmpty() ? QString() : resolveTipDirectory(file_path);
    auto* toast = new ZvFilePathReminderForm(tips, type, dir, this);
    toast->adjustSize();
    // Above the toasts still shown, so that none hides another; from the bottom again when the
    // stack reaches the top of the window.
    const QPoint bottom_left = mapToGlobal(QPoint(0, height()));
    int bottom = bottom_left.y();
    for (const auto* other : findChildren<ZvFilePathReminderForm*>(Qt::FindDirectChildrenOnly)) {
        if (other != toast && other->isVisible()) bottom = std::min(bottom, other->y());
    }
    if (bottom - toast->height() < mapToGlobal(QPoint(0, 0)).y()) bottom = bottom_left.y();
    toast->move(bottom_left.x(), bottom - toast->height());
    toast->show();
}

void MainWidget::slotShowLeftBottomTips(QString tips, ZvMessageType type) {
    slotShowLeftBottomTips(tips, type, {});
}

void MainWidget::slotShowLeftBottomTips(QString tips) {
    slotShowLeftBottomTips(tips, ZvMessageType::Success, {});
}

void MainWidget::keyPressEvent(QKeyEvent* event) {
    if (!handlePlayBarKey(event->key())) QWidget::keyPressEvent(event);
}

bool MainWidget::handlePlayBarKey(int key) {
    switch (key) {
        case Qt::Key_Space:
            // A click of the play button: a camera starts or stops with it, as the button shows. With
            // nothing to play the button stays as it is rather than latching pressed.
            if (canPlay()) ui_->pb_play->click();
            return true;
        case Qt::Key_Left:
            emit ui_->pb_pre_frame->pressed();
            return true;
        case Qt::Key_Right:
            emit ui_->pb_next_frame->pressed();
            return true;
        default:
            return false;
    }
}

bool MainWidget::canPlay() const {
    switch (viewerMode_) {
        case EventCamera:
            return live_->isConnected();
        case RawFile:
        case FusionFile:
            return true;
        case FusionCamera:
            return fusionCamera_ && fusionCamera_->isConnected();
        case NoDevice:
            return false;
    }
    return false;
}

void MainWidget::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Centred when first shown; later shows (a restore from minimised) keep where the user put it.
    if (centred_) return;
    centred_ = true;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void MainWidget::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    if (waitingWindow_ && waitingWindow_->isVisible()) centreWaitingWindow();
}

void MainWidget::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) ui_->retranslateUi(this);
    QWidget::changeEvent(event);
}
