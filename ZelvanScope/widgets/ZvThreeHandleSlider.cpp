#include "widgets/ZvThreeHandleSlider.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

ZvThreeHandleSlider::ZvThreeHandleSlider(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMouseTracking(false);
}

QSize ZvThreeHandleSlider::sizeHint() const { return {200, 24}; }
QSize ZvThreeHandleSlider::minimumSizeHint() const { return {2 * kTrackMargin + 20, 24}; }

void ZvThreeHandleSlider::setMode(Mode mode) {
    mode_ = mode;
    lower_ = minimum_;
    upper_ = maximum_;
    center_ = std::clamp(center_, lower_, upper_);
    update();
    emit lowerValueChanged(minimum_);
    emit upperValueChanged(maximum_);
}

void ZvThreeHandleSlider::setMinimum(uint64_t value) {
    minimum_ = value;
    if (maximum_ < minimum_) maximum_ = minimum_;
    lower_ = minimum_;
    upper_ = std::max(upper_, lower_);
    center_ = std::clamp(center_, lower_, upper_);
    update();
}

void ZvThreeHandleSlider::setMaximum(uint64_t value) {
    maximum_ = value;
    if (minimum_ > maximum_) minimum_ = maximum_;
    upper_ = maximum_;
    lower_ = std::min(lower_, upper_);
    center_ = std::clamp(center_, lower_, upper_);
    update();
}

void ZvThreeHandleSlider::setCenterValue(uint64_t value) {
    center_ = std::clamp(value, lower_, upper_);
    update();
}

void ZvThreeHandleSlider::addTriggerMarker(uint64_t timestamp, const QColor& colour) {
    markers_.emplace_back(timestamp, colour);
    update();
}

void ZvThreeHandleSlider::clearTriggerMarkers() {
    markers_.clear();
    update();
}

int ZvThreeHandleSlider::valueToPixel(uint64_t value) const {
    const int left = trackLeft();
    const int span = std::max(0, trackRight() - left);
    if (maximum_ <= minimum_) return left;
    value = std::clamp(value, minimum_, maximum_);
    // Long double keeps the ratio exact enough over the whole 64-bit range.
    const long double ratio =
        static_cast<long double>(value - minimum_) / static_cast<long double>(maximum_ - minimum_);
    return left + static_cast<int>(std::lround(static_cast<double>(ratio * span)));
}

uint64_t ZvThreeHandleSlider::pixelToValue(int x) const {
    const int left = trackLeft();
    const int span = trackRight() - left;
    if (span <= 0 || maximum_ <= minimum_) return minimum_;
    if (x <= left) return minimum_;
    if (x >= trackRight()) return maximum_;
    const uint64_t range = maximum_ - minimum_;
    const long double offset =
        static_cast<long double>(x - left) / span * static_cast<long double>(range) + 0.5L;
    // Inside the track the offset stays below the range, which a long double holds exactly.
    if (offset >= static_cast<long double>(range)) return maximum_;
    return minimum_ + static_cast<uint64_t>(offset);
}

ZvThreeHandleSlider::Handle ZvThreeHandleSlider::handleAt(const QPoint& pos) const {
    auto hit = [&](uint64_t value) { return std::abs(pos.x() - valueToPixel(value)) <= kHandleRadius; };
    if (hit(center_)) return Handle::Center;
    if (mode_ == StartEndEditable) {
        if (hit(lower_)) return Handle::Lower;
        if (hit(upper_)) return Handle::Upper;
    }
    return Handle::None;
}

void ZvThreeHandleSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const QPoint pos = event->position().toPoint();
    dragged_ = handleAt(pos);
    switch (dragged_) {
        case Handle::Center:
            dragOffset_ = pos.x() - valueToPixel(center_);
            break;
        case Handle::Lower:
            dragOffset_ = pos.x() - valueToPixel(lower_);
            break;
        case Handle::Upper:
            dragOffset_ = pos.x() - valueToPixel(upper_);
            break;
        case Handle::None: {
            // A press on the track moves the position there.
            center_ = std::clamp(pixelToValue(pos.x()), lower_, upper_);
            update();
            emit centerValueTrackClick(center_);
            break;
        }
    }
    event->accept();
}

void ZvThreeHandleSlider::mouseMoveEvent(QMouseEvent* event) {
    if (dragged_ == Handle::None || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QPoint pos = event->position().toPoint();
    const uint64_t value = pixelToValue(pos.x() - dragOffset_);
    switch (dragged_) {
        case Handle::Center: {
            const bool inside = mode_ == StartEndEditable
                                    ? pos.x() >= valueToPixel(lower_) && pos.x() <= valueToPixel(upper_)
                                    : rect().contains(pos);
            if (!inside) break;
            const uint64_t next = std::clamp(value, lower_, upper_);
            if (next == center_) break;
            center_ = next;
            update();
            emit centerValueMove(center_);
            break;
        }
        case Handle::Lower: {
            const uint64_t next = std::max(std::min(value, center_), minimum_);
            if (next == lower_) break;
            lower_ = next;
            update();
            emit lowerValueChanged(lower_);
            break;
        }
        case Handle::Upper: {
            const uint64_t next = std::min(std::max(value, center_), maximum_);
            if (next == upper_) break;
            upper_ = next;
            update();
            emit upperValueChanged(upper_);
            break;
        }
        case Handle::None:
            break;
    }
    event->accept();
}

void ZvThreeHandleSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragged_ = Handle::None;
    QWidget::mouseReleaseEvent(event);
}

void ZvThreeHandleSlider::setAccentColor(const QColor& c) {
    accent_ = c;
    update();
}
void ZvThreeHandleSlider::setHandleColor(const QColor& c) {
    handle_ = c;
    update();
}
void ZvThreeHandleSlider::setDisabledAccentColor(const QColor& c) {
    disabledAccent_ = c;
    update();
}
void ZvThreeHandleSlider::setDisabledHandleColor(const QColor& c) {
    disabledHandle_ = c;
    update();
}

void ZvThreeHandleSlider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const bool enabled = isEnabled();
    const QColor accent = enabled ? accent_ : disabledAccent_;
    const QColor handle = enabled ? handle_ : disabledHandle_;
    const int mid = height() / 2;
    const int left = trackLeft();
    const int right = std::max(left, trackRight());

    // The track: a thin line over the whole range, a thick one over what has been played.
    painter.fillRect(QRect(left, mid - 1, right - left + 1, 3), accent);
    const int from = valueToPixel(rangeStart());
    const int at = valueToPixel(center_);
    painter.fillRect(QRect(from, mid - 3, std::max(0, at - from), 7), accent);

    for (const auto& [timestamp, colour] : markers_) {
        if (timestamp < minimum_ || timestamp > maximum_) continue;
        painter.fillRect(QRect(valueToPixel(timestamp) - 1, mid - 8, 2, 16), colour);
    }

    if (mode_ == StartEndEditable) {
        // The start and end handles: bars with a flag pointing into the range.
        for (const auto& [value, inward] : {std::pair{lower_, 1}, std::pair{upper_, -1}}) {
            const int x = valueToPixel(value);
            painter.fillRect(QRect(x - 1, mid - 9, 3, 18), accent);
            painter.fillRect(QRect(inward > 0 ? x + 2 : x - 6, mid - 9, 5, 5), accent);
        }
    }

    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(accent, 2));
    painter.setBrush(handle);
    painter.drawEllipse(QPoint(at, mid), kHandleRadius - 1, kHandleRadius - 1);
}
