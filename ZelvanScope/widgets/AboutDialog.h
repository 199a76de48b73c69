// Help > About: the program's name, its version and that of the driver library, and the licence
// under which it uses Qt.
#pragma once

#include <QDialog>

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
