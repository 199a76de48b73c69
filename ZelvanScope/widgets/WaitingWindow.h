// The busy window shown while a camera opens: a modal, frameless spinner over the image view.
#pragma once

#include <QDialog>
#include <QTimer>

class WaitingWindow : public QDialog {
    Q_OBJECT
public:
    explicit WaitingWindow(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
};
