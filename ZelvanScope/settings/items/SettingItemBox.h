// A foldable titled box that groups the setting items of one camera tool: a title bar
// (widget_setting_box_title: the title lb_setting_box_title_text and the fold button pb_fold) above a
// container (widget_container) that holds the items. Folding hides the container and checks the fold
// button; the title bar's look follows through its "folded" property, matched by the style sheet
// (folded: no edge on a grey bar; unfolded: an accent edge on the left of a blue-grey bar). A new box
// is unfolded.
#pragma once

#include <QString>
#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;
class QVBoxLayout;

class SettingItemBox : public QWidget {
    Q_OBJECT
public:
    explicit SettingItemBox(QWidget* parent = nullptr);

    void setTitle(const QString& text);
    QString title() const;
    // Appends an item to the container, which takes it over.
    void addItem(QWidget* item);
    // Inserts an item at `index` of the container (an index beyond the items appends).
    void insertItem(QWidget* item, int index);
    // The items in their order.
    QList<QWidget*> items() const;

    void setFolded(bool folded);
    bool isFolded() const { return folded_; }

public slots:
    // The fold button: checked folds the box.
    void on_pb_fold_clicked(bool checked);

private:
    bool folded_ = false;
    QFrame* title_;
    QLabel* titleText_;
    QPushButton* fold_;
    QWidget* container_;
    QVBoxLayout* items_;
};
