// The busy window shown while a camera opens, a recording loads or a cut or an export writes its
// file: a modal, frameless spinner over the image view, with the work's percentage and a Cancel
// button for work that can be stopped.
#pragma once

#include <QColor>
#include <QDialog>
#include <QTimer>

class QPushButton;

// Neither Esc nor the window manager closes it; finish() does, once the work is done. Esc and the
// Cancel button ask for a cancellable work's end through cancelRequested(): the window stays up
// until the work has ended.
class WaitingWindow : public QDialog {
    Q_OBJECT
    // The colour of the spinner's strokes, set by the style sheet (the palette's highlight until then).
    Q_PROPERTY(QColor spinnerColor READ spinnerColor WRITE setSpinnerColor)
public:
    explicit WaitingWindow(QWidget* parent = nullptr);

    // Closes the window and forgets the percentage and the Cancel button of the work it showed.
    void finish();
    void reject() override;

    // The share of the work done, 0 to 100, drawn inside the spinner; -1 shows none.
    void setProgress(int percent);
    int progress() const { return percent_; }
    // Whether the work shown can be cancelled: a Cancel button below the spinner.
    void setCancellable(bool cancellable);
    bool isCancellable() const { return cancellable_; }
    // The Cancel button (tests click it).
    QPushButton* cancelButton() const { return cancel_; }

    QColor spinnerColor() const;
    void setSpinnerColor(const QColor& color);

signals:
    // The user asked the work to stop; asked once per work.
    void cancelRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void requestCancel();
    // Sizes the window (and the button) for what it shows.
    void layOut();

    QTimer timer_;
    int angle_ = 0;
    int percent_ = -1;
    bool cancellable_ = false;
    bool finishing_ = false;
    QPushButton* cancel_ = nullptr;
    QColor spinnerColor_;
};
