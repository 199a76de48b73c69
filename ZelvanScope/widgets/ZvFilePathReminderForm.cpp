#include "widgets/ZvFilePathReminderForm.h"

#include <QDebug>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {
struct Look {
    const char* title;
    const char* colour;
    const char* fill;
    const char* icon;
};
const Look kLooks[] = {
    {QT_TRANSLATE_NOOP("ZvFilePathReminderForm", "Success"), "#58DB6D", "#F5FCF6", ":/img/assets/icon_success.svg"},
    {QT_TRANSLATE_NOOP("ZvFilePathReminderForm", "Warning"), "#F9BF37", "#FEFBF4", ":/img/assets/icon_warning.svg"},
    {QT_TRANSLATE_NOOP("ZvFilePathReminderForm", "Error"), "#FF6058", "#FFF6F6", ":/img/assets/icon_error.svg"},
};
}  // namespace

ZvFilePathReminderForm::ZvFilePathReminderForm(const QString& tips, ZvMessageType type, const QString& directory,
                                               QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool), directory_(directory) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("ZvFilePathReminderForm");
    const Look& look = kLooks[std::clamp(int(type), 0, 2)];

    auto* box = new QFrame(this);
    box->setObjectName("toast_box");
    box->setStyleSheet(QString("#toast_box { background: %1; border: 1px solid %2; border-radius: 6px; }")
                           .arg(look.fill, look.colour));
    auto* icon = new QLabel(box);
    icon->setPixmap(QIcon(look.icon).pixmap(20, 20));
    title_ = new QLabel(tr(look.title), box);
    title_->setStyleSheet(QString("color: %1; font-weight: bold;").arg(look.colour));
    tips_ = new QLabel(tips, box);
    tips_->setWordWrap(true);
    auto* close = new QPushButton(QStringLiteral("✕"), box);
    close->setFlat(true);
    openDir_ = new QPushButton(tr("Open Dir"), box);
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
    setFixedWidth(320);
    // Long texts (paths, the driver's reasons) wrap: the toast is as tall as its wrapped text.
    setFixedHeight(outer->totalHeightForWidth(320));

    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(openDir_, &QPushButton::clicked, this, &ZvFilePathReminderForm::slotOpenDir);
    QTimer::singleShot(kLifetimeMs, this, &QWidget::close);
}

void ZvFilePathReminderForm::slotOpenDir() {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(directory_))) qWarning() << "Failed to open directory.";
}
