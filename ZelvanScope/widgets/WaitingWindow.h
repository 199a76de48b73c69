// The busy window shown while a camera opens: a modal, frameless spinner over the image view.
#pragma once

#include <QDialog>
#include <QTimer>

// The work it stands for cannot be cancelled, so neither Esc nor the window manager closes it;
// finish() does, once the work is done.
class WaitingWindow : public QDialog {
    Q_OBJECT
public:
    explicit WaitingWindow(QWidget* parent = nullptr);

    void finish();
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
    bool finishing_ = false;
};
