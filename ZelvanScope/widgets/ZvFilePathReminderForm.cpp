#include "widgets/ZvFilePathReminderForm.h"

#include <QDebug>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace {
struct Look {
    const char* title;
    const char* type;  // the style sheet's name of the message type
    const char* icon;
};
const Look kLooks[] = {
    {QT_TRANSLATE_NOOP("ZvFilePathReminderForm", "Success"), "success", ":/img/assets/icon_success.svg"},
    {QT_TRANSLATE_NOOP("ZvFilePathReminderForm", "Warning"), "warning", ":/img/assets/icon_warning.svg"},
    {QT_TRANSLATE_NOOP("ZvFilePathReminderForm", "Error"), "error", ":/img/assets/icon_error.svg"},
};
}  // namespace

ZvFilePathReminderForm::ZvFilePathReminderForm(const QString& tips, ZvMessageType type,
                                               const QString& directory, QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool),
      directory_(directory),
      type_(type) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("ZvFilePathReminderForm");
    const Look& look = kLooks[std::clamp(int(type), 0, 2)];

    auto* box = new QFrame(this);
    box->setObjectName("toast_box");
    box->setProperty("type", look.type);
    auto* icon = new QLabel(box);
    icon->setObjectName("toast_icon");
    icon->setPixmap(QIcon(look.icon).pixmap(20, 20));
    title_ = new QLabel(tr(look.title), box);
    title_->setObjectName("toast_title");
    title_->setProperty("type", look.type);
    tips_ = new QLabel(tips, box);
    tips_->setObjectName("toast_tips");
    tips_->setWordWrap(true);
    auto* close = new QPushButton(box);
    close->setObjectName("pb_toast_close");
    close->setIcon(QIcon(":/img/assets/close.svg"));
    close->setIconSize(QSize(14, 14));
    close->setToolTip(tr("Close"));
    close->setFlat(true);
    openDir_ = new QPushButton(tr("Open Dir"), box);
    openDir_->setObjectName("pb_open_dir");
    openDir_->setIcon(QIcon(":/img/assets/folder.svg"));
    openDir_->setIconSize(QSize(16, 16));
    openDir_->setFlat(true);
    openDir_->setCursor(Qt::PointingHandCursor);
    openDir_->setToolTip(directory_);
    openDir_->setVisible(!directory_.isEmpty());

    auto* head = new QHBoxLayout;
    head->addWidget(icon);
    head->addWidget(title_, 1);
    head->addWidget(close);
    auto* column = new QVBoxLayout(box);
    column->addLayout(head);
    column->addWidget(tips_);
    column->addWidget(openDir_, 0, Qt::AlignRight);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    outer->addWidget(box);
    // The style sheet's fonts and paddings (of the children too) count for the height below.
    ensurePolished();
    setFixedWidth(320);
    // Long texts (paths, the driver's reasons) wrap: the toast is as tall as its wrapped text.
    setFixedHeight(outer->totalHeightForWidth(320));

    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(openDir_, &QPushButton::clicked, this, &ZvFilePathReminderForm::slotOpenDir);
    QTimer::singleShot(kLifetimeMs, this, &QWidget::close);
}

void ZvFilePathReminderForm::slotOpenDir() {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(directory_)))
        qWarning() << "Failed to open directory.";
}
