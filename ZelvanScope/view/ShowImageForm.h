// The central image area: one pixmap in a graphics scene, shown by ZvGraphicsView. Until the first
// image or camera arrives, a hint over the view tells how to begin.
#pragma once

#include <QColor>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QWidget>
#include <memory>

namespace Ui {
class ShowImageForm;
}
class ZvGraphicsView;

class ShowImageForm : public QWidget {
    Q_OBJECT
    // The fill of the placeholder shown before any image, set by the style sheet (the palette's mid
    // tone until then). A change repaints a placeholder that is showing.
    Q_PROPERTY(QColor placeholderColor READ placeholderColor WRITE setPlaceholderColor)
public:
    explicit ShowImageForm(QWidget* parent = nullptr);
    ~ShowImageForm() override;

    ZvGraphicsView* view() const;
    const QPixmap& pixmap() const { return pixmap_; }
    QGraphicsScene* scene() const { return scene_; }
    // The first-start hint; hidden for good once an image is shown or a resolution set.
    QLabel* startHint() const { return hint_; }

    QColor placeholderColor() const;
    void setPlaceholderColor(const QColor& color);

signals:
    void signalRoiSelected(QRect roi);

public slots:
    void slotShowImage(QImage image);
    // Shows the empty placeholder and the how-to-begin hint instead of the last image (a recording
    // that did not load).
    void clearImage();
    void showPixMap(QPixmap pixmap);
    // Called when a camera opens: a placeholder of its size replaces the current image.
    void slotSetResolution(int width, int height);
    void slotSetRoiSelectionEnabled(bool enabled);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setPixmap(const QPixmap& pixmap);
    void showPlaceholder();
    void fit();

    std::unique_ptr<Ui::ShowImageForm> ui_;
    QGraphicsScene* scene_;
    QGraphicsPixmapItem* item_;
    QPixmap pixmap_;
    QLabel* hint_;
    QColor placeholderColor_;
    bool placeholderShown_ = false;
    int width_ = 1280;
    int height_ = 720;
};
