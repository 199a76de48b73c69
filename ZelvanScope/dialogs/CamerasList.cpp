#include "dialogs/CamerasList.h"

#include <QIcon>
#include <QListWidgetItem>

#include "ui_CamerasList.h"

CamerasList::CamerasList(const std::vector<zelvan::CameraDescription>& cameras, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::CamerasList>()), parent_(parent), cameras_(cameras) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    ui_->listWidget_cameras->setIconSize(QSize(24, 24));
    for (const auto& camera : cameras_) {
        new QListWidgetItem(QIcon(":/img/assets/btn_camera.svg"), rowText(camera), ui_->listWidget_cameras);
    }
    if (!cameras_.empty()) ui_->listWidget_cameras->setCurrentRow(0);
    connect(ui_->pb_open, &QPushButton::clicked, this, &CamerasList::accept);
    connect(ui_->pb_close, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui_->listWidget_cameras, &QListWidget::itemDoubleClicked, this, [this] { accept(); });
}

CamerasList::~CamerasList() = default;

QString CamerasList::rowText(const zelvan::CameraDescription& camera) {
    const QString link = camera.interfaceType == zelvan::ETH ? "ETH" : "USB";
    QStringList parts = {QString::fromStdString(camera.serial)};
    if (!camera.product.empty()) parts << QString::fromStdString(camera.product);
    parts << link;
    return parts.join("  ");
}

bool CamerasList::selectedIndex(int& index) const {
    const int row = ui_->listWidget_cameras->currentRow();
    if (row < 0) return false;
    index = row;
    return true;
}

void CamerasList::accept() { QDialog::accept(); }

void CamerasList::rejected() { emit QDialog::rejected(); }

void CamerasList::on_pb_win_close_clicked() { close(); }

void CamerasList::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (parent_) {
        const QPoint origin = parent_->mapToGlobal(QPoint(0, 0));
        move(origin.x() + (parent_->width() - width()) / 2, origin.y() + (parent_->height() - height()) / 2);
    }
}
