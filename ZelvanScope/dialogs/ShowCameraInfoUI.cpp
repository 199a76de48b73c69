#include "dialogs/ShowCameraInfoUI.h"

#include "ui_ShowCameraInfoUI.h"

ShowCameraInfoUI::ShowCameraInfoUI(QWidget* parent) : QDialog(parent), ui_(new Ui::ShowCameraInfoUI) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
}

ShowCameraInfoUI::~ShowCameraInfoUI() { delete ui_; }

void ShowCameraInfoUI::fill(const zelvan::CameraDescription& d, const QString& firmware) {
    ui_->label_serial_value->setText(QString::fromStdString(d.serial));
    ui_->label_product_value->setText(QString::fromStdString(d.product));
    ui_->label_manufacturer_value->setText(QString::fromStdString(d.manufacturer));
    ui_->label_firmware_value->setText(firmware);
}

QString ShowCameraInfoUI::firmwareText() const { return ui_->label_firmware_value->text(); }

void ShowCameraInfoUI::on_pb_close_clicked() { close(); }

void ShowCameraInfoUI::on_pb_win_close_clicked() { close(); }
