// The image view: wheel zoom between the fitted size and 50x, hand-drag panning, fit on double
// click, and a rubber-band region-of-interest selection in image pixel coordinates.
#pragma once

#include <QGraphicsRectItem>
#include <QGraphicsView>

class ZvGraphicsView : public QGraphicsView {
    Q_OBJECT
    // The ROI rectangle's dashed outline and translucent fill, set by the style sheet (the palette's
    // highlight until then); a change restyles a rectangle already drawn.
    Q_PROPERTY(QColor roiOutlineColor READ roiOutlineColor WRITE setRoiOutlineColor)
    Q_PROPERTY(QColor roiFillColor READ roiFillColor WRITE setRoiFillColor)
public:
    explicit ZvGraphicsView(QWidget* parent = nullptr);

    void setRoiSelectionEnabled(bool enabled);
    bool roiSelectionEnabled() const { return roiSelectionEnabled_; }
    double zoom() const { return zoom_; }
    static constexpr double kMinZoom = 1.0;
    static constexpr double kMaxZoom = 50.0;
    static constexpr double kStep = 1.1;
    QGraphicsRectItem* roiItem() const { return roiItem_; }
    // Clamps `rect` into the scene rectangle (normalized).
    QRectF clampToScene(const QRectF& rect) const;

    QColor roiOutlineColor() const;
    void setRoiOutlineColor(const QColor& color);
    QColor roiFillColor() const;
    void setRoiFillColor(const QColor& color);

signals:
    void signalRoiSelected(QRect roi);

protected:
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showRoi(const QRectF& rect);
    void styleRoi();

    double zoom_ = 1.0;
    bool roiSelectionEnabled_ = false;
    bool selecting_ = false;
    QPointF start_;
    QGraphicsRectItem* roiItem_ = nullptr;
    QColor roiOutlineColor_;
    QColor roiFillColor_;
};
