#include "view/ZvGraphicsView.h"

#include <QMouseEvent>
#include <QWheelEvent>

ZvGraphicsView::ZvGraphicsView(QWidget* parent) : QGraphicsView(parent) {
    setDragMode(QGraphicsView::ScrollHandDrag);
    setResizeAnchor(QGraphicsView::NoAnchor);
    setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
    setContentsMargins(0, 0, 0, 0);
    setFrameShape(QFrame::NoFrame);
}

void ZvGraphicsView::wheelEvent(QWheelEvent* event) {
    if (event->angleDelta().y() >= 1) {
        if (zoom_ < kMaxZoom) {
            scale(kStep, kStep);
            zoom_ *= kStep;
        }
    } else if (zoom_ > kMinZoom) {
        scale(1.0 / kStep, 1.0 / kStep);
        zoom_ /= kStep;
    }
    event->accept();
}

void ZvGraphicsView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!roiSelectionEnabled_) {
        zoom_ = 1.0;
        if (scene()) fitInView(scene()->sceneRect(), Qt::KeepAspectRatio);
    }
    QGraphicsView::mouseDoubleClickEvent(event);
}

void ZvGraphicsView::resizeEvent(QResizeEvent* event) {
    zoom_ = 1.0;
    QGraphicsView::resizeEvent(event);
}

void ZvGraphicsView::setRoiSelectionEnabled(bool enabled) {
    roiSelectionEnabled_ = enabled;
    selecting_ = false;
    setDragMode(enabled ? QGraphicsView::NoDrag : QGraphicsView::ScrollHandDrag);
    viewport()->setCursor(enabled ? Qt::CrossCursor : Qt::OpenHandCursor);
    if (!enabled && roiItem_) roiItem_->hide();
}

QRectF ZvGraphicsView::clampToScene(const QRectF& rect) const {
    if (!scene()) return rect.normalized();
    const QRectF r = rect.normalized();
    const QRectF s = scene()->sceneRect();
    auto clamp = [](qreal v, qreal lo, qreal hi) { return std::min(std::max(v, lo), hi); };
    const QPointF top_left(clamp(r.left(), s.left(), s.right()), clamp(r.top(), s.top(), s.bottom()));
    const QPointF bottom_right(clamp(r.right(), s.left(), s.right()), clamp(r.bottom(), s.top(), s.bottom()));
    return QRectF(top_left, bottom_right).normalized();
}

void ZvGraphicsView::showRoi(const QRectF& rect) {
    if (!roiItem_) {
        roiItem_ = new QGraphicsRectItem();
        roiItem_->setZValue(1000);
        styleRoi();
        scene()->addItem(roiItem_);
    }
    roiItem_->setRect(rect);
    roiItem_->setVisible(true);
}

void ZvGraphicsView::mousePressEvent(QMouseEvent* event) {
    if (roiSelectionEnabled_ && scene() && event->button() == Qt::LeftButton) {
        selecting_ = true;
        start_ = mapToScene(event->pos());
        showRoi(clampToScene(QRectF(start_, start_)));
        event->accept();
        return;
    }
    QGraphicsView::mousePressEvent(event);
}

void ZvGraphicsView::mouseMoveEvent(QMouseEvent* event) {
    if (roiSelectionEnabled_ && scene() && selecting_) {
        showRoi(clampToScene(QRectF(start_, mapToScene(event->pos()))));
        event->accept();
        return;
    }
    QGraphicsView::mouseMoveEvent(event);
}

void ZvGraphicsView::mouseReleaseEvent(QMouseEvent* event) {
    if (roiSelectionEnabled_ && scene() && selecting_ && event->button() == Qt::LeftButton) {
        selecting_ = false;
        const QRectF rect = clampToScene(QRectF(start_, mapToScene(event->pos())));
        showRoi(rect);
        const QRect r = rect.toAlignedRect();
        if (r.width() > 1 && r.height() > 1) emit signalRoiSelected(r);
        event->accept();
        return;
    }
    QGraphicsView::mouseReleaseEvent(event);
}

QColor ZvGraphicsView::roiOutlineColor() const {
    return roiOutlineColor_.isValid() ? roiOutlineColor_ : palette().color(QPalette::Highlight);
}

void ZvGraphicsView::setRoiOutlineColor(const QColor& color) {
    roiOutlineColor_ = color;
    styleRoi();
}

QColor ZvGraphicsView::roiFillColor() const {
    if (roiFillColor_.isValid()) return roiFillColor_;
    QColor fill = palette().color(QPalette::Highlight);
    fill.setAlpha(45);
    return fill;
}

void ZvGraphicsView::setRoiFillColor(const QColor& color) {
    roiFillColor_ = color;
    styleRoi();
}

void ZvGraphicsView::styleRoi() {
    if (!roiItem_) return;
    roiItem_->setBrush(QBrush(roiFillColor(), Qt::SolidPattern));
    QPen pen(roiOutlineColor());
    pen.setWidth(2);
    pen.setStyle(Qt::DashLine);
    roiItem_->setPen(pen);
}
