#include "dialogs/ZvCutRawFile.h"

#include <QFileDialog>

#include "ui_ZvCutRawFile.h"

ZvCutRawFile::ZvCutRawFile(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::ZvCutRawFile>()) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
}

ZvCutRawFile::~ZvCutRawFile() = default;

void ZvCutRawFile::setStartTime(uint64_t timestamp_us) {
    ui_->le_start_time->setText(QString::number(timestamp_us));
}
void ZvCutRawFile::setEndTime(uint64_t timestamp_us) {
    ui_->le_end_time->setText(QString::number(timestamp_us));
}
uint64_t ZvCutRawFile::startTime() const { return ui_->le_start_time->text().toULongLong(nullptr, 10); }
uint64_t ZvCutRawFile::endTime() const { return ui_->le_end_time->text().toULongLong(nullptr, 10); }
void ZvCutRawFile::setSaveDir(const QString& dir) { ui_->le_save_file_path->setText(dir); }
QString ZvCutRawFile::saveDir() const { return ui_->le_save_file_path->text(); }
void ZvCutRawFile::setFileName(const QString& name) { ui_->le_file_name->setText(name); }
QString ZvCutRawFile::fileName() const { return ui_->le_file_name->text(); }
QString ZvCutRawFile::fullPath() const { return saveDir() + "/" + fileName(); }

void ZvCutRawFile::on_pb_save_clicked() { accept(); }
void ZvCutRawFile::on_pb_cancel_clicked() { reject(); }
void ZvCutRawFile::on_pb_win_close_clicked() { reject(); }

void ZvCutRawFile::on_pb_select_dir_clicked() {
    const QString dir =
        QFileDialog::getExistingDirectory(this, tr("Select Directory"), saveDir(),
                                          QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    // A cancelled chooser keeps the folder shown.
    if (!dir.isEmpty()) setSaveDir(dir);
}
