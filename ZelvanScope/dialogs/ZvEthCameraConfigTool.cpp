#include "dialogs/ZvEthCameraConfigTool.h"

#include <QCloseEvent>
#include <QDebug>
#include <QIcon>
#include <QListWidgetItem>
#include <QRegularExpression>
#include <QStyle>
#include <exception>

#include "ui_ZvEthCameraConfigTool.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/StringUtils.h"

namespace {

QString addressText(uint32_t address) {
    return QString("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

}  // namespace

ZvEthCameraConfigTool::ZvEthCameraConfigTool(QWidget* parent)
    : ZvEthCameraConfigTool(&ZvEthCameraConfigTool::searchWithManager, parent) {}

ZvEthCameraConfigTool::ZvEthCameraConfigTool(Search search, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ZvEthCameraConfigTool>()), search_(std::move(search)) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    ui_->listWidget_cameras->setIconSize(QSize(24, 24));
    for (QLineEdit* field : {ui_->le_ip, ui_->le_subnet_mask, ui_->le_gateway}) {
        connect(field, &QLineEdit::textEdited, this, [field] { markInvalid(field, false); });
    }
    connect(this, &ZvEthCameraConfigTool::signalRefreshCompleted, this,
            &ZvEthCameraConfigTool::slotRefreshCompleted, Qt::QueuedConnection);
    showCamera(-1);
    // Started from the event loop: whoever made the dialog has connected to it by then. A dialog
    // closed before that searches only when asked to.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!firstSearchPending_) return;
            firstSearchPending_ = false;
            refresh();
        },
        Qt::QueuedConnection);
}

ZvEthCameraConfigTool::~ZvEthCameraConfigTool() {
    // The thread emits through this object: it is joined while the object is whole.
    endSearch();
}

std::vector<zelvan::CameraDescription> ZvEthCameraConfigTool::searchWithManager(std::stop_token stop) {
    std::vector<zelvan::CameraDescription> cameras;
    {
        zelvan::DvsCameraManager manager;
        cameras = manager.getCameraDescs();
    }
    if (stop.stop_requested()) cameras.clear();
    return cameras;
}

void ZvEthCameraConfigTool::refresh() {
    ui_->listWidget_cameras->clear();
    cameras_.clear();
    endSearch();
    const uint64_t generation = ++generation_;
    searching_ = true;
    updateButtons();
    searchThread_ = std::jthread([this, generation](std::stop_token stop) {
        emit signalLoadingStatus(true);
        std::vector<zelvan::CameraDescription> ethernet;
        bool failed = false;
        try {
            for (auto& camera : search_(stop)) {
                if (camera.interfaceType == zelvan::ETH) ethernet.push_back(std::move(camera));
            }
        } catch (const std::exception& e) {
            qWarning() << "Camera search failed:" << e.what();
            failed = true;
        }
        const bool stopped = stop.stop_requested();
        if (!stopped) {
            std::lock_guard<std::mutex> lock(foundMutex_);
            found_ = std::move(ethernet);
            foundGeneration_ = generation;
        }
        emit signalLoadingStatus(false);
        if (failed && !stopped) {
            emit signalShowLeftBottomTips(tr("The camera search failed."), ZvMessageType::Error, QString());
        }
        if (!stopped) emit signalRefreshCompleted();
    });
    emit signalShowLeftBottomTips(tr("Refresh completed!"), ZvMessageType::Success, QString());
}

void ZvEthCameraConfigTool::endSearch() {
    if (searchThread_.joinable()) {
        searchThread_.request_stop();
        searchThread_.join();
    }
    {
        std::lock_guard<std::mutex> lock(foundMutex_);
        found_.reset();
    }
    if (searching_) {
        searching_ = false;
        updateButtons();
    }
}

void ZvEthCameraConfigTool::slotRefreshCompleted() {
    std::optional<std::vector<zelvan::CameraDescription>> found;
    {
        std::lock_guard<std::mutex> lock(foundMutex_);
        // A completion of an earlier search, or one whose cameras are listed already, lists nothing.
        if (!found_ || foundGeneration_ != generation_) return;
        found.swap(found_);
    }
    // The thread has nothing left to do but end.
    if (searchThread_.joinable()) searchThread_.join();
    searching_ = false;
    cameras_ = std::move(*found);
    for (const auto& camera : cameras_) {
        new QListWidgetItem(QIcon(":/img/assets/btn_camera.svg"), QString::fromStdString(camera.serial),
                            ui_->listWidget_cameras);
    }
    if (!cameras_.empty()) ui_->listWidget_cameras->setCurrentRow(0);
    updateButtons();
}

void ZvEthCameraConfigTool::on_listWidget_cameras_currentRowChanged(int currentRow) {
    showCamera(!cameras_.empty() && currentRow >= 0 && size_t(currentRow) < cameras_.size() ? currentRow
                                                                                            : -1);
    updateButtons();
}

void ZvEthCameraConfigTool::showCamera(int row) {
    const zelvan::CameraDescription none;
    const zelvan::CameraDescription& camera = row >= 0 ? cameras_[size_t(row)] : none;
    ui_->lb_serial->setText(QString::fromStdString(camera.serial));
    ui_->lb_product->setText(QString::fromStdString(camera.product));
    ui_->lb_manufacturer->setText(QString::fromStdString(camera.manufacturer));
    ui_->lb_firm_ver->setText(QString::fromStdString(camera.firmwareVersion));
    ui_->le_ip->setText(QString::fromStdString(camera.cameraIp));
    ui_->le_subnet_mask->setText(QString::fromStdString(camera.subnetMask));
    ui_->le_gateway->setText(QString::fromStdString(camera.gateway));
    for (QLineEdit* field : {ui_->le_ip, ui_->le_subnet_mask, ui_->le_gateway}) {
        markInvalid(field, false);
        field->setEnabled(row >= 0);
    }
}

void ZvEthCameraConfigTool::updateButtons() {
    const int row = ui_->listWidget_cameras->currentRow();
    ui_->pb_refresh->setEnabled(!searching_);
    ui_->pb_config->setEnabled(!searching_ && row >= 0 && size_t(row) < cameras_.size());
}

void ZvEthCameraConfigTool::on_pb_refresh_clicked() {
    firstSearchPending_ = false;
    refresh();
}

void ZvEthCameraConfigTool::on_pb_config_clicked() {
    // While a search runs the list is being replaced: nothing to configure until it is shown.
    const int row = ui_->listWidget_cameras->currentRow();
    if (searching_ || cameras_.empty() || row < 0 || size_t(row) >= cameras_.size()) return;
    uint32_t ip = 0, mask = 0, gateway = 0;
    // Every field is checked, so that each one that is wrong is marked.
    const bool ip_ok = readAddress(ui_->le_ip, ip);
    const bool mask_ok = readAddress(ui_->le_subnet_mask, mask);
    const bool gateway_ok = readAddress(ui_->le_gateway, gateway);
    zelvan::CameraDescription& camera = cameras_[size_t(row)];
    if (!ip_ok || !mask_ok || !gateway_ok) {
        qInfo() << "Camera" << QString::fromStdString(camera.serial)
                << "not configured: an address is not a dotted address.";
        emit signalShowLeftBottomTips(tr("Configuration failed!"), ZvMessageType::Error, QString());
        return;
    }
    if (!zelvan::DvsCameraManager::ethCameraForceIP(camera, ip, mask, gateway)) {
        qInfo() << "Camera" << QString::fromStdString(camera.serial) << "refused" << addressText(ip)
                << addressText(mask) << addressText(gateway);
        emit signalShowLeftBottomTips(tr("Configuration failed!"), ZvMessageType::Error, QString());
        return;
    }
    // The camera now answers at these: selecting it again shows them.
    camera.cameraIp = addressText(ip).toStdString();
    camera.subnetMask = addressText(mask).toStdString();
    camera.gateway = addressText(gateway).toStdString();
    showCamera(row);
    emit signalShowLeftBottomTips(tr("Configuration successful!"), ZvMessageType::Success, QString());
}

bool ZvEthCameraConfigTool::readAddress(QLineEdit* field, uint32_t& address) {
    const QString text = field->text().trimmed();
    address = zelvan::stringToIP(text.toStdString());
    // stringToIP gives 0 for text it cannot read; "0.0.0.0" (no gateway) is the one address that is 0.
    static const QRegularExpression zero("^0{1,3}(\\.0{1,3}){3}$");
    const bool valid = address != 0 || zero.match(text).hasMatch();
    markInvalid(field, !valid);
    return valid;
}

void ZvEthCameraConfigTool::markInvalid(QLineEdit* field, bool invalid) {
    if (field->property("invalid").toBool() == invalid) return;
    field->setProperty("invalid", invalid);
    field->style()->unpolish(field);
    field->style()->polish(field);
}

void ZvEthCameraConfigTool::on_pb_win_close_clicked() { close(); }

void ZvEthCameraConfigTool::on_pb_close_clicked() { close(); }

void ZvEthCameraConfigTool::done(int result) {
    firstSearchPending_ = false;
    endSearch();
    ui_->listWidget_cameras->clear();
    cameras_.clear();
    updateButtons();
    QDialog::done(result);
}

void ZvEthCameraConfigTool::closeEvent(QCloseEvent* event) {
    // A dialog that is not shown is closed without done(): the search ends here too.
    firstSearchPending_ = false;
    endSearch();
    QDialog::closeEvent(event);
}

void ZvEthCameraConfigTool::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (QWidget* owner = parentWidget()) {
        const QPoint origin = owner->mapToGlobal(QPoint(0, 0));
        move(origin.x() + (owner->width() - width()) / 2, origin.y() + (owner->height() - height()) / 2);
    }
}
