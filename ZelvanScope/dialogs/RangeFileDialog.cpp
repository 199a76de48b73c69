#include "dialogs/RangeFileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>

RangeFileDialog::RangeFileDialog(QWidget* parent) : QDialog(parent) {}

void RangeFileDialog::setFields(QLineEdit* start, QLineEdit* end, QLineEdit* dir, QLineEdit* name) {
    start_ = start;
    end_ = end;
    dir_ = dir;
    name_ = name;
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
}

void RangeFileDialog::setStartTime(uint64_t timestamp_us) { start_->setText(QString::number(timestamp_us)); }
void RangeFileDialog::setEndTime(uint64_t timestamp_us) { end_->setText(QString::number(timestamp_us)); }
uint64_t RangeFileDialog::startTime() const { return start_->text().toULongLong(nullptr, 10); }
uint64_t RangeFileDialog::endTime() const { return end_->text().toULongLong(nullptr, 10); }
void RangeFileDialog::setSaveDir(const QString& dir) { dir_->setText(dir); }
QString RangeFileDialog::saveDir() const { return dir_->text(); }
void RangeFileDialog::setFileName(const QString& name) { name_->setText(name); }
QString RangeFileDialog::fileName() const { return name_->text(); }
QString RangeFileDialog::fullPath() const { return saveDir() + "/" + fileName(); }

void RangeFileDialog::on_pb_save_clicked() {
    // A file of that name is replaced only when the user says so; otherwise the dialog stays open for
    // another name.
    const QString path = fullPath();
    if (QFileInfo::exists(path) &&
        QMessageBox::question(this, tr("Replace File"),
                              tr("%1 already exists. Replace it?").arg(QDir::toNativeSeparators(path))) !=
            QMessageBox::Yes)
        return;
    accept();
}
void RangeFileDialog::on_pb_cancel_clicked() { reject(); }
void RangeFileDialog::on_pb_win_close_clicked() { reject(); }

void RangeFileDialog::on_pb_select_dir_clicked() {
    const QString dir =
        QFileDialog::getExistingDirectory(this, tr("Select Directory"), saveDir(),
                                          QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (!dir.isEmpty()) setSaveDir(dir);
}
