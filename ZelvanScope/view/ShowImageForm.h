// The central image area: one pixmap in a graphics scene, shown by ZvGraphicsView.
#pragma once

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImage>
#include <QPixmap>
#include <QWidget>

namespace Ui {
class ShowImageForm;
}
class ZvGraphicsView;

class ShowImageForm : public QWidget {
    Q_OBJECT
public:
    explicit ShowImageForm(QWidget* parent = nullptr);
    ~ShowImageForm() override;

    ZvGraphicsView* view() const;
    const QPixmap& pixmap() const { return pixmap_; }
    QGraphicsScene* scene() const { return scene_; }

signals:
    void signalRoiSelected(QRect roi);

public slots:
    void slotShowImage(QImage image);
    void showPixMap(QPixmap pixmap);
    void slotSetResolution(int width, int height);
    void slotSetRoiSelectionEnabled(bool enabled);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void setPixmap(const QPixmap& pixmap);
    void fit();

    Ui::ShowImageForm* ui_;
    QGraphicsScene* scene_;
    QGraphicsPixmapItem* item_;
    QPixmap pixmap_;
    int width_ = 1280;
    int height_ = 720;
};
