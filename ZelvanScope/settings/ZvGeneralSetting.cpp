#include "settings/ZvGeneralSetting.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

#include "settings/AppSettings.h"
#include "ui_ZvGeneralSetting.h"

namespace {
uint32_t numberIn(const QLineEdit* edit) {
    bool ok = false;
    const uint32_t v = edit->text().toUInt(&ok);
    return ok ? v : 0;
}
void step(QLineEdit* edit, int delta) {
    const uint32_t v = numberIn(edit);
    if (delta < 0 && v == 0) {
        edit->setText("0");
        return;
    }
    edit->setText(QString::number(delta < 0 ? v - 1 : v + 1));
}
// Fills `combo` with the translated `keys`, each carrying its key, and selects `current` (the
// first entry when it is none of them).
void fillWithKeys(QComboBox* combo, const QStringList& keys, const QString& current) {
    combo->clear();
    for (const QString& key : keys) {
        combo->addItem(QCoreApplication::translate("ZvGeneralSetting", key.toUtf8().constData()), key);
    }
    combo->setCurrentIndex(qMax(0, combo->findData(current)));
}
// The key of the selected entry.
QString selectedKey(const QComboBox* combo) { return combo->currentData().toString(); }
QString chooseDirectory(QWidget* parent, const QString& start) {
    return QFileDialog::getExistingDirectory(parent, QObject::tr("Select Directory"), start,
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}
}  // namespace

ZvGeneralSetting::ZvGeneralSetting(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ZvGeneralSetting>()) {
    ui_->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    ui_->tabWidget->tabBar()->hide();
    AppSettings* s = AppSettings::instance();
    ui_->le_raw_file_path->setText(s->outputRawFilePath);
    ui_->le_video_save_path->setText(s->videoSavePath);
    ui_->cb_trigger_in_enable->setChecked(s->triggerInRecEnable);
    // The form's items are replaced by the keyed ones, in the same order.
    fillWithKeys(ui_->cb_trigger_edge, AppSettings::triggerEdgeTypes(), s->triggerInEdgeType);
    ui_->le_trigger_in_before_time->setText(QString::number(s->beforeTriggerInSaveTime));
    ui_->le_trigger_in_after_time->setText(QString::number(s->afterTriggerInSaveTime));
    fillWithKeys(ui_->cb_events_color, AppSettings::colorThemes(), s->colorType);
    ui_->lw_general_setting_items->setCurrentRow(0);
}

ZvGeneralSetting::~ZvGeneralSetting() = default;

void ZvGeneralSetting::on_pb_win_close_clicked() { close(); }
void ZvGeneralSetting::on_pb_cancel_clicked() { close(); }

void ZvGeneralSetting::on_pb_save_clicked() {
    AppSettings* s = AppSettings::instance();
    s->videoSavePath = ui_->le_video_save_path->text();
    s->outputRawFilePath = ui_->le_raw_file_path->text();
    s->triggerInRecEnable = ui_->cb_trigger_in_enable->isChecked();
    s->triggerInEdgeType = selectedKey(ui_->cb_trigger_edge);
    s->beforeTriggerInSaveTime = numberIn(ui_->le_trigger_in_before_time);
    s->afterTriggerInSaveTime = numberIn(ui_->le_trigger_in_after_time);
    s->colorType = selectedKey(ui_->cb_events_color);
    // The new settings apply in any case; the user learns when they will not outlast this run.
    const bool saved = s->save();
    emit signalTriggerInSaveFileParamChanged();
    if (!saved) {
        QMessageBox::warning(this, tr("Tips"),
                             tr("The settings apply now but could not be saved to %1.").arg(s->fileName()));
    }
    close();
}

void ZvGeneralSetting::on_pb_select_dir_clicked() {
    const QString dir = chooseDirectory(this, AppSettings::instance()->outputRawFilePath);
    if (!dir.isEmpty()) ui_->le_raw_file_path->setText(dir);
}

void ZvGeneralSetting::on_pb_select_video_save_path_clicked() {
    const QString dir = chooseDirectory(this, AppSettings::instance()->videoSavePath);
    if (!dir.isEmpty()) ui_->le_video_save_path->setText(dir);
}

void ZvGeneralSetting::on_pb_add_trigger_in_before_time_clicked() {
    step(ui_->le_trigger_in_before_time, +1);
}
void ZvGeneralSetting::on_pb_sub_trigger_in_before_time_clicked() {
    step(ui_->le_trigger_in_before_time, -1);
}
void ZvGeneralSetting::on_pb_add_trigger_in_after_time_clicked() { step(ui_->le_trigger_in_after_time, +1); }
void ZvGeneralSetting::on_pb_sub_trigger_in_after_time_clicked() { step(ui_->le_trigger_in_after_time, -1); }

void ZvGeneralSetting::on_lw_general_setting_items_currentRowChanged(int currentRow) {
    if (currentRow >= 0) ui_->tabWidget->setCurrentIndex(currentRow);
}
