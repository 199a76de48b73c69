#include "widgets/AboutDialog.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "widgets/InitDialog.h"
#include "zelvan/Version.h"

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About us"));
    auto* logo = new QLabel(this);
    logo->setObjectName("label_about_logo");
    logo->setPixmap(QIcon(":/img/assets/logo.svg").pixmap(72, 72));
    auto* name = new QLabel("ZelvanScope", this);
    name->setObjectName("label_about_name");
    auto* version = new QLabel(tr("Current version: %1").arg(InitDialog::kVersion), this);
    version->setObjectName("label_about_version");
    auto* driver = new QLabel(tr("Driver library: %1").arg(zelvan::driverVersion()), this);
    driver->setObjectName("label_about_driver");
    auto* licence = new QLabel(tr("ZelvanScope uses the Qt library %1 under the GNU Lesser General Public "
                                  "License version 3 (LGPL v3).")
                                   .arg(qVersion()),
                               this);
    licence->setObjectName("label_about_licence");
    licence->setWordWrap(true);
    auto* close = new QPushButton(tr("Close"), this);
    close->setObjectName("pb_close");
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* text = new QVBoxLayout;
    text->setSpacing(6);
    text->addWidget(name);
    text->addWidget(version);
    text->addWidget(driver);
    text->addSpacing(8);
    text->addWidget(licence);
    auto* head = new QHBoxLayout;
    head->setSpacing(20);
    head->addWidget(logo, 0, Qt::AlignTop);
    head->addLayout(text, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 16);
    column->setSpacing(16);
    column->addLayout(head);
    column->addLayout(buttons);
    setFixedWidth(560);
}
