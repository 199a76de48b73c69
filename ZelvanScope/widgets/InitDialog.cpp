#include "widgets/InitDialog.h"

#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

InitDialog::InitDialog(QWidget* parent) : QDialog(parent, Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(500, 360);
    auto* panel = new QWidget(this);
    panel->setObjectName("init_panel");
    panel->setAttribute(Qt::WA_StyledBackground);
    shadow_ = new QGraphicsDropShadowEffect(panel);
    shadow_->setBlurRadius(30);
    shadow_->setOffset(0, 0);
    panel->setGraphicsEffect(shadow_);
    auto* logo = new QLabel(panel);
    logo->setPixmap(QIcon(":/img/assets/logo.svg").pixmap(120, 120));
    logo->setAlignment(Qt::AlignCenter);
    auto* name = new QLabel("ZelvanScope", panel);
    name->setObjectName("label_app_name");
    name->setAlignment(Qt::AlignCenter);
    auto* version = new QLabel(tr("Version: ") + kVersion, panel);
    version->setObjectName("label_version");
    version->setAlignment(Qt::AlignCenter);
    auto* close = new QPushButton(panel);
    close->setObjectName("pb_close");
    close->setIcon(QIcon(":/img/assets/close.svg"));
    close->setToolTip(tr("Close"));
    close->setFlat(true);
    auto* column = new QVBoxLayout(panel);
    column->addWidget(close, 0, Qt::AlignRight);
    column->addWidget(logo);
    column->addWidget(name);
    column->addWidget(version);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(20, 20, 20, 20);
    outer->addWidget(panel);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    qInfo() << "ZelvanScope Version: " << kVersion;
    QTimer::singleShot(kShowMs, this, &QDialog::accept);
}

QColor InitDialog::shadowColor() const { return shadow_->color(); }

void InitDialog::setShadowColor(const QColor& color) { shadow_->setColor(color); }
