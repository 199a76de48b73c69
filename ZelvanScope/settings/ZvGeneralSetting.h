// The general settings dialog: default folders, trigger-in recording and the colour theme.
// The edge and theme combos show their choices translated and carry the stored English keys as
// item data, so the settings hold the same keys in every language.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class ZvGeneralSetting;
}

class ZvGeneralSetting : public QDialog {
    Q_OBJECT
public:
    explicit ZvGeneralSetting(QWidget* parent = nullptr);
    ~ZvGeneralSetting() override;
    Ui::ZvGeneralSetting* form() const { return ui_.get(); }

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
    std::unique_ptr<Ui::ZvGeneralSetting> ui_;
};
