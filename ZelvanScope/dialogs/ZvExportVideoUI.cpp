#include "dialogs/ZvExportVideoUI.h"

#include <QFileDialog>

#include "ui_ZvExportVideoUI.h"

ZvExportVideoUI::ZvExportVideoUI(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ZvExportVideoUI>()) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
}

ZvExportVideoUI::~ZvExportVideoUI() = default;

void ZvExportVideoUI::setStartTime(uint64_t timestamp_us) {
    ui_->le_start_time->setText(QString::number(timestamp_us));
}
void ZvExportVideoUI::setEndTime(uint64_t timestamp_us) {
    ui_->le_end_time->setText(QString::number(timestamp_us));
}
uint64_t ZvExportVideoUI::startTime() const { return ui_->le_start_time->text().toULongLong(nullptr, 10); }
uint64_t ZvExportVideoUI::endTime() const { return ui_->le_end_time->text().toULongLong(nullptr, 10); }
void ZvExportVideoUI::setSaveDir(const QString& dir) { ui_->le_save_file_path->setText(dir); }
QString ZvExportVideoUI::saveDir() const { return ui_->le_save_file_path->text(); }
void ZvExportVideoUI::setFileName(const QString& name) { ui_->le_file_name->setText(name); }
QString ZvExportVideoUI::fileName() const { return ui_->le_file_name->text(); }
QString ZvExportVideoUI::fullPath() const { return saveDir() + "/" + fileName(); }

void ZvExportVideoUI::on_pb_save_clicked() { accept(); }
void ZvExportVideoUI::on_pb_cancel_clicked() { reject(); }
void ZvExportVideoUI::on_pb_win_close_clicked() { reject(); }

void ZvExportVideoUI::on_pb_select_dir_clicked() {
    const QString dir =
        QFileDialog::getExistingDirectory(this, tr("Select Directory"), saveDir(),
                                          QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    // A cancelled chooser keeps the folder shown.
    if (!dir.isEmpty()) setSaveDir(dir);
}
