// The general settings dialog: default folders, trigger-in recording and the colour theme.
#pragma once

#include <QDialog>

namespace Ui {
class ZvGeneralSetting;
}

class ZvGeneralSetting : public QDialog {
    Q_OBJECT
public:
    explicit ZvGeneralSetting(QWidget* parent = nullptr);
    ~ZvGeneralSetting() override;
    Ui::ZvGeneralSetting* form() const { return ui_; }

signals:
    void signalTriggerInSaveFileParamChanged();

public slots:
    void on_pb_win_close_clicked();
    void on_pb_cancel_clicked();
    void on_pb_save_clicked();
    void on_pb_select_dir_clicked();
    void on_pb_select_video_save_path_clicked();
    void on_pb_add_trigger_in_before_time_clicked();
    void on_pb_sub_trigger_in_before_time_clicked();
    void on_pb_add_trigger_in_after_time_clicked();
    void on_pb_sub_trigger_in_after_time_clicked();
    void on_lw_general_setting_items_currentRowChanged(int currentRow);

private:
    Ui::ZvGeneralSetting* ui_;
};
