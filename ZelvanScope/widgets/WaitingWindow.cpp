#include "widgets/WaitingWindow.h"

#include <QPainter>

WaitingWindow::WaitingWindow(QWidget* parent) : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog) {
    setAttribute(Qt::WA_TranslucentBackground);
    setModal(true);
    setFixedSize(96, 96);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
    timer_.start(80);
}

void WaitingWindow::finish() {
    finishing_ = true;
    done(QDialog::Accepted);
    finishing_ = false;
}

void WaitingWindow::reject() {
    if (finishing_) QDialog::reject();
}

void WaitingWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(width() / 2.0, height() / 2.0);
    p.rotate(angle_);
    for (int i = 0; i < 12; ++i) {
        QColor c = spinnerColor();
        c.setAlpha(40 + i * 18);
        p.setPen(QPen(c, 5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(0, -18, 0, -34);
        p.rotate(30);
    }
}

QColor WaitingWindow::spinnerColor() const {
    return spinnerColor_.isValid() ? spinnerColor_ : palette().color(QPalette::Highlight);
}

void WaitingWindow::setSpinnerColor(const QColor& color) {
    spinnerColor_ = color;
    update();
}
