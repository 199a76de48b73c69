// Shows the identity of the open camera: serial, product, manufacturer, interface (with the address of
// an Ethernet camera), sensor size and firmware.
#pragma once

#include <QDialog>
#include <memory>

#include "zelvan/CameraDescription.h"

namespace Ui {
class ShowCameraInfoUI;
}

class ShowCameraInfoUI : public QDialog {
    Q_OBJECT
public:
    explicit ShowCameraInfoUI(QWidget* parent = nullptr);
    ~ShowCameraInfoUI() override;
    // Fills the identity rows; the firmware row shows `firmware`, the resolution row stays hidden
    // until setResolution() and the address row is shown for Ethernet cameras only.
    void fill(const zelvan::CameraDescription& description, const QString& firmware);
    void setResolution(int width, int height);
    QString firmwareText() const;

public slots:
    void on_pb_close_clicked();
    void on_pb_win_close_clicked();

private:
    std::unique_ptr<Ui::ShowCameraInfoUI> ui_;
};
