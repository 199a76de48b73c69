// Shows the identity and firmware of the open camera.
#pragma once

#include <QDialog>

#include "zelvan/CameraDescription.h"

namespace Ui {
class ShowCameraInfoUI;
}

class ShowCameraInfoUI : public QDialog {
    Q_OBJECT
public:
    explicit ShowCameraInfoUI(QWidget* parent = nullptr);
    ~ShowCameraInfoUI() override;
    void fill(const zelvan::CameraDescription& description, const QString& firmware);
    QString firmwareText() const;

public slots:
    void on_pb_close_clicked();
    void on_pb_win_close_clicked();

private:
    Ui::ShowCameraInfoUI* ui_;
};
