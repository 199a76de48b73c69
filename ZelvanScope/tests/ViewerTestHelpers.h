// Helpers of the viewer tests that look at widgets: colours in a picture, modal dialogs, menu actions.
#pragma once

#include <QAction>
#include <QApplication>
#include <QColor>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <functional>

// Pixels of exactly this colour in the image.
inline int countColour(const QImage& image, const QColor& colour) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    int n = 0;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x) n += argb.pixelColor(x, y) == colour;
    return n;
}

// Runs `trigger`; the first modal dialog it opens is handed to `inspect` and then closed. False when
// no dialog opened. The dialog is looked for every 20 ms while `trigger` runs its event loop.
inline bool withModalDialog(const std::function<void()>& trigger,
                            const std::function<void(QDialog*)>& inspect) {
    bool opened = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        if (!opened) {
            opened = true;
            inspect(dialog);
        }
        dialog->reject();
    });
    poll.start();
    trigger();
    return opened;
}

// The texts of all labels inside `widget`.
inline QStringList labelTexts(const QWidget* widget) {
    QStringList texts;
    for (const QLabel* label : widget->findChildren<QLabel*>()) texts << label->text();
    return texts;
}

// The action of a title-bar menu by its text; null when there is none.
inline QAction* menuAction(QPushButton* menuButton, const QString& text) {
    for (QAction* action : menuButton->menu()->actions()) {
        if (action->text() == text) return action;
    }
    return nullptr;
}
