// The state a setting widget shows (a field's border, a box title's look) is a dynamic property
// matched by the style sheet; changing it re-applies the sheet to that widget.
#pragma once

#include <QStyle>
#include <QVariant>
#include <QWidget>

inline void setStyleState(QWidget* widget, const char* property, const QVariant& value) {
    if (widget->property(property) == value) return;
    widget->setProperty(property, value);
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}
