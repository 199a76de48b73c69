// The start-up splash: version, close button; closes itself after 2 s.
#pragma once

#include <QColor>
#include <QDialog>

class QGraphicsDropShadowEffect;

class InitDialog : public QDialog {
    Q_OBJECT
    // The colour of the panel's shadow, set by the style sheet.
    Q_PROPERTY(QColor shadowColor READ shadowColor WRITE setShadowColor)
public:
    explicit InitDialog(QWidget* parent = nullptr);
    static constexpr const char* kVersion = "1.2.4";
    static constexpr int kShowMs = 2000;

    QColor shadowColor() const;
    void setShadowColor(const QColor& color);

private:
    QGraphicsDropShadowEffect* shadow_;
};
