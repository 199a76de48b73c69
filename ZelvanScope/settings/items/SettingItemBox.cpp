#include "settings/items/SettingItemBox.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "settings/items/StyleState.h"

SettingItemBox::SettingItemBox(QWidget* parent) : QWidget(parent) {
    title_ = new QFrame(this);
    title_->setObjectName("widget_setting_box_title");
    titleText_ = new QLabel(title_);
    titleText_->setObjectName("lb_setting_box_title_text");
    fold_ = new QPushButton(title_);
    fold_->setObjectName("pb_fold");
    fold_->setCheckable(true);
    fold_->setFocusPolicy(Qt::NoFocus);
    // Unfolded the button shows the pressed up arrow, folded (checked) the down arrow.
    QIcon icon;
    icon.addFile(":/img/assets/bnt_arrow_up_Pressed.svg", QSize(), QIcon::Normal, QIcon::Off);
    icon.addFile(":/img/assets/bnt_arrow_down.svg", QSize(), QIcon::Normal, QIcon::On);
    fold_->setIcon(icon);
    fold_->setIconSize(QSize(16, 16));

    auto* bar = new QHBoxLayout(title_);
    bar->setContentsMargins(10, 6, 6, 6);
    bar->addWidget(titleText_, 1);
    bar->addWidget(fold_);

    container_ = new QWidget(this);
    container_->setObjectName("widget_container");
    items_ = new QVBoxLayout(container_);
    items_->setContentsMargins(0, 4, 0, 4);
    items_->setSpacing(2);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(title_);
    column->addWidget(container_);

    connect(fold_, &QPushButton::clicked, this, &SettingItemBox::on_pb_fold_clicked);
    setFolded(false);
}

void SettingItemBox::setTitle(const QString& text) { titleText_->setText(text); }

QString SettingItemBox::title() const { return titleText_->text(); }

void SettingItemBox::addItem(QWidget* item) { items_->addWidget(item); }

void SettingItemBox::insertItem(QWidget* item, int index) {
    items_->insertWidget(std::clamp(index, 0, items_->count()), item);
}

QList<QWidget*> SettingItemBox::items() const {
    QList<QWidget*> widgets;
    for (int i = 0; i < items_->count(); ++i) {
        if (QWidget* w = items_->itemAt(i)->widget()) widgets.append(w);
    }
    return widgets;
}

void SettingItemBox::setFolded(bool folded) {
    folded_ = folded;
    container_->setVisible(!folded);
    fold_->setChecked(folded);
    fold_->setToolTip(folded ? tr("Unfold") : tr("Fold"));
    setStyleState(title_, "folded", folded);
}

void SettingItemBox::on_pb_fold_clicked(bool checked) { setFolded(checked); }
