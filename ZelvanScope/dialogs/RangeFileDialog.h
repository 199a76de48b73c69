// What the cut and the video-export dialogs share: a time range of the open recording, a folder and
// a file name, confirmed by the user. They do no file work themselves: the main window reads their
// values after acceptance. Each dialog has its own form; the form's line edits and buttons carry the
// same object names, so the buttons reach the slots below by name.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

class QLineEdit;

class RangeFileDialog : public QDialog {
    Q_OBJECT
public:
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
    // Accepts; a file that exists under the chosen name is replaced only when the user confirms it.
    void on_pb_save_clicked();
    void on_pb_cancel_clicked();
    void on_pb_win_close_clicked();
    // Lets the user pick the folder; a cancelled chooser keeps the folder shown.
    void on_pb_select_dir_clicked();

protected:
    explicit RangeFileDialog(QWidget* parent);
    // The form's fields, handed over by the dialog once its form is set up.
    void setFields(QLineEdit* start, QLineEdit* end, QLineEdit* dir, QLineEdit* name);

private:
    QLineEdit* start_ = nullptr;
    QLineEdit* end_ = nullptr;
    QLineEdit* dir_ = nullptr;
    QLineEdit* name_ = nullptr;
};
