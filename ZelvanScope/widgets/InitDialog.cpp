#include "widgets/InitDialog.h"

#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

InitDialog::InitDialog(QWidget* parent) : QDialog(parent, Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(500, 360);
    auto* panel = new QWidget(this);
    panel->setObjectName("init_panel");
    panel->setStyleSheet("#init_panel { background: white; border-radius: 8px; }");
    auto* shadow = new QGraphicsDropShadowEffect(panel);
    shadow->setColor(QColor("#444444"));
    shadow->setBlurRadius(30);
    shadow->setOffset(0, 0);
    panel->setGraphicsEffect(shadow);
    auto* logo = new QLabel(panel);
    logo->setPixmap(QIcon(":/img/assets/logo.svg").pixmap(120, 120));
    logo->setAlignment(Qt::AlignCenter);
    auto* name = new QLabel("ZelvanScope", panel);
    name->setAlignment(Qt::AlignCenter);
    name->setStyleSheet("font-size: 28px; color: #004B6A;");
    auto* version = new QLabel(tr("Version: ") + kVersion, panel);
    version->setObjectName("label_version");
    version->setAlignment(Qt::AlignCenter);
    auto* close = new QPushButton(QStringLiteral("✕"), panel);
    close->setObjectName("pb_close");
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
