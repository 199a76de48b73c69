// The busy window shown while a camera opens: a modal, frameless spinner over the image view.
#pragma once

#include <QColor>
#include <QDialog>
#include <QTimer>

// The work it stands for cannot be cancelled, so neither Esc nor the window manager closes it;
// finish() does, once the work is done.
class WaitingWindow : public QDialog {
    Q_OBJECT
    // The colour of the spinner's strokes, set by the style sheet (the palette's highlight until then).
    Q_PROPERTY(QColor spinnerColor READ spinnerColor WRITE setSpinnerColor)
public:
    explicit WaitingWindow(QWidget* parent = nullptr);

    void finish();
    void reject() override;

    QColor spinnerColor() const;
    void setSpinnerColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer_;
    int angle_ = 0;
    bool finishing_ = false;
    QColor spinnerColor_;
};
