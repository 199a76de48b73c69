// The toast shown at the bottom-left corner of the main window: icon, title, tip text, close button
// and, when there is a folder to offer, an "Open Dir" link that opens it. Closes itself 5 s after it is
// created. Its colours come from the style sheet through the "type" property of the box and the title
// ("success", "warning", "error").
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "Utility/ViewerUtils.h"

class ZvFilePathReminderForm : public QWidget {
    Q_OBJECT
public:
    ZvFilePathReminderForm(const QString& tips, ZvMessageType type, const QString& directory,
                           QWidget* parent = nullptr);
    QString titleText() const { return title_->text(); }
    QString tipsText() const { return tips_->text(); }
    QString directory() const { return directory_; }
    ZvMessageType messageType() const { return type_; }
    static constexpr int kLifetimeMs = 5000;

private slots:
    void slotOpenDir();

private:
    QLabel* title_;
    QLabel* tips_;
    QPushButton* openDir_;
    QString directory_;
    ZvMessageType type_;
};
