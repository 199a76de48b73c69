// What the settings sidebars share: a title above a scroll area (scroll_area_setting, no scroll
// bars, resizable content) whose vertical layout ends in a stretch, so that boxes inserted before
// the last entry stay at the top in the order they were inserted.
#pragma once

#include <QLabel>
#include <QScrollArea>
#include <QString>
#include <QVBoxLayout>
#include <QWidget>

// Builds the frame inside `panel` and returns the layout of the scroll area's content.
inline QVBoxLayout* buildSidebarFrame(QWidget* panel, const QString& title) {
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* heading = new QLabel(title, panel);
    heading->setObjectName("lb_sidebar_title");
    column->addWidget(heading);

    auto* scroll = new QScrollArea(panel);
    scroll->setObjectName("scroll_area_setting");
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(scroll);
    content->setObjectName("widget_setting_content");
    auto* boxes = new QVBoxLayout(content);
    boxes->setContentsMargins(0, 0, 0, 0);
    boxes->setSpacing(6);
    boxes->addStretch(1);
    scroll->setWidget(content);
    column->addWidget(scroll, 1);
    return boxes;
}
