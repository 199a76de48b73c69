// Lets the user pick one of the cameras that discovery found.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "zelvan/CameraDescription.h"

namespace Ui {
class CamerasList;
}

class CamerasList : public QDialog {
    Q_OBJECT
public:
    CamerasList(const std::vector<zelvan::CameraDescription>& cameras, QWidget* parent);
    ~CamerasList() override;

    // False when no row is current; otherwise true with the current row in `index`.
    bool selectedIndex(int& index) const;
    // The text of a camera's row: serial, product and interface ("00050a11  EVK4  USB").
    static QString rowText(const zelvan::CameraDescription& camera);

public slots:
    void accept() override;
    void rejected();
    void on_pb_win_close_clicked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::CamerasList> ui_;
    QWidget* parent_;
    std::vector<zelvan::CameraDescription> cameras_;
};
