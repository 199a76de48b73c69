#include "dialogs/ShowCameraInfoUI.h"

#include "ui_ShowCameraInfoUI.h"

ShowCameraInfoUI::ShowCameraInfoUI(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ShowCameraInfoUI>()) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    ui_->formLayout->setRowVisible(ui_->label_ip_value, false);
    ui_->formLayout->setRowVisible(ui_->label_resolution_value, false);
}

ShowCameraInfoUI::~ShowCameraInfoUI() = default;

void ShowCameraInfoUI::fill(const zelvan::CameraDescription& d, const QString& firmware) {
    ui_->label_serial_value->setText(QString::fromStdString(d.serial));
    ui_->label_product_value->setText(QString::fromStdString(d.product));
    ui_->label_manufacturer_value->setText(QString::fromStdString(d.manufacturer));
    const bool ethernet = d.interfaceType == zelvan::ETH;
    ui_->label_interface_value->setText(ethernet ? tr("Ethernet") : QStringLiteral("USB"));
    ui_->label_ip_value->setText(QString::fromStdString(d.cameraIp));
    ui_->formLayout->setRowVisible(ui_->label_ip_value, ethernet && !d.cameraIp.empty());
    ui_->label_firmware_value->setText(firmware);
}

void ShowCameraInfoUI::setResolution(int width, int height) {
    ui_->label_resolution_value->setText(QString("%1 x %2").arg(width).arg(height));
    ui_->formLayout->setRowVisible(ui_->label_resolution_value, true);
}

QString ShowCameraInfoUI::firmwareText() const { return ui_->label_firmware_value->text(); }

void ShowCameraInfoUI::on_pb_close_clicked() { close(); }

void ShowCameraInfoUI::on_pb_win_close_clicked() { close(); }
