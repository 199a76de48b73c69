// The start-up splash: version, close button; closes itself after 2 s.
#pragma once

#include <QDialog>

class InitDialog : public QDialog {
    Q_OBJECT
public:
    explicit InitDialog(QWidget* parent = nullptr);
    static constexpr const char* kVersion = "1.2.4";
    static constexpr int kShowMs = 2000;
};
