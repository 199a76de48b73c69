// The modal dialog that confirms the time range, folder and file name of a video export of the open raw
// recording. It does no file work itself: the main window reads its values after acceptance.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <memory>

namespace Ui {
class ZvExportVideoUI;
}

class ZvExportVideoUI : public QDialog {
    Q_OBJECT
public:
    explicit ZvExportVideoUI(QWidget* parent = nullptr);
    ~ZvExportVideoUI() override;

    // Times in microseconds, written as decimal text; text that is not a number reads as 0.
    void setStartTime(uint64_t timestamp_us);
    void setEndTime(uint64_t timestamp_us);
    uint64_t startTime() const;
    uint64_t endTime() const;
    void setSaveDir(const QString& dir);
    QString saveDir() const;
    void setFileName(const QString& name);
    QString fileName() const;
    // The folder + "/" + the file name.
    QString fullPath() const;

public slots:
    void on_pb_save_clicked();
    void on_pb_cancel_clicked();
    void on_pb_win_close_clicked();
    void on_pb_select_dir_clicked();

private:
    std::unique_ptr<Ui::ZvExportVideoUI> ui_;
};
