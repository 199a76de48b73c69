#include "widgets/WaitingWindow.h"

#include <QPainter>
#include <QPushButton>
#include <algorithm>

namespace {
constexpr int kSpinnerSize = 96;
constexpr int kButtonHeight = 32;
constexpr int kGap = 8;
}  // namespace

WaitingWindow::WaitingWindow(QWidget* parent) : QDialog(parent, Qt::FramelessWindowHint | Qt::Dialog) {
    setAttribute(Qt::WA_TranslucentBackground);
    setModal(true);
    setFixedSize(kSpinnerSize, kSpinnerSize);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setObjectName("pb_waiting_cancel");
    cancel_->hide();
    connect(cancel_, &QPushButton::clicked, this, &WaitingWindow::requestCancel);
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
    setProgress(-1);
    setCancellable(false);
}

void WaitingWindow::reject() {
    if (finishing_) {
        QDialog::reject();
        return;
    }
    // Esc: cancels what can be cancelled, and never closes the window itself.
    if (cancellable_) requestCancel();
}

void WaitingWindow::requestCancel() {
    if (!cancellable_ || !cancel_->isEnabled()) return;
    cancel_->setEnabled(false);
    cancel_->setText(tr("Cancelling..."));
    emit cancelRequested();
}

void WaitingWindow::setProgress(int percent) {
    percent_ = percent < 0 ? -1 : std::min(percent, 100);
    update();
}

void WaitingWindow::setCancellable(bool cancellable) {
    if (cancellable == cancellable_) return;
    cancellable_ = cancellable;
    cancel_->setText(tr("Cancel"));
    cancel_->setEnabled(true);
    cancel_->setVisible(cancellable);
    layOut();
}

void WaitingWindow::layOut() {
    int width = kSpinnerSize;
    if (cancellable_) {
        // Wide enough for either text of the button in the style's font.
        cancel_->ensurePolished();
        const QString shown = cancel_->text();
        cancel_->setText(tr("Cancelling..."));
        width = std::max(width, cancel_->sizeHint().width());
        cancel_->setText(shown);
        width = std::max(width, cancel_->sizeHint().width());
        cancel_->setGeometry(0, kSpinnerSize + kGap, width, kButtonHeight);
    }
    setFixedSize(width, cancellable_ ? kSpinnerSize + kGap + kButtonHeight : kSpinnerSize);
}

void WaitingWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor colour = spinnerColor();
    if (percent_ >= 0) {
        // The percentage sits on a light disc inside the spinner, readable over any picture.
        p.setPen(Qt::NoPen);
        p.setBrush(palette().color(QPalette::Base));
        p.drawEllipse(QPointF(width() / 2.0, kSpinnerSize / 2.0), 40, 40);
        QFont font = p.font();
        font.setPixelSize(13);
        p.setFont(font);
        p.setPen(colour);
        p.drawText(QRect(0, 0, width(), kSpinnerSize), Qt::AlignCenter, QString("%1%").arg(percent_));
    }
    p.translate(width() / 2.0, kSpinnerSize / 2.0);
    p.rotate(angle_);
    for (int i = 0; i < 12; ++i) {
        QColor c = colour;
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
