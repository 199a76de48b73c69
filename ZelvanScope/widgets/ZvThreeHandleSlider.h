// The playback slider: a horizontal track over [minimum, maximum] (microseconds) with three handles,
// the current position (center value) and, in mode 3, a start handle (lower value) and an end handle
// (upper value) that narrow the range played. Trigger markers are drawn over the track in the order
// they were added. The colours come from the style sheet (qproperty-accentColor and friends).
//
// Value rules: the center value always lies in [lower value, upper value]; the start handle never
// passes the current position or the minimum, the end handle never the current position or the
// maximum. Setting the minimum (maximum) moves the start (end) handle onto it without emitting
// lowerValueChanged (upperValueChanged); a mode change puts both handles on the ends and emits both.
#pragma once

#include <QColor>
#include <QWidget>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

class ZvThreeHandleSlider : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor accentColor READ accentColor WRITE setAccentColor)
    Q_PROPERTY(QColor handleColor READ handleColor WRITE setHandleColor)
    Q_PROPERTY(QColor disabledAccentColor READ disabledAccentColor WRITE setDisabledAccentColor)
    Q_PROPERTY(QColor disabledHandleColor READ disabledHandleColor WRITE setDisabledHandleColor)
public:
    // Only the current-position handle, or the start and end handles too.
    enum Mode { CenterOnly = 1, StartEndEditable = 3 };
    enum class Handle : uint8_t { None, Center, Lower, Upper };
    static constexpr int kHandleRadius = 7;  // the handles' half width in pixels
    static constexpr int kTrackMargin = 9;   // the track's ends lie this far inside the widget

    explicit ZvThreeHandleSlider(QWidget* parent = nullptr);

    uint64_t minimum() const { return minimum_; }
    uint64_t maximum() const { return maximum_; }
    uint64_t lowerValue() const { return lower_; }
    uint64_t upperValue() const { return upper_; }
    uint64_t centerValue() const { return center_; }
    Mode mode() const { return mode_; }
    // The range played: [lower, upper] in mode 3, [minimum, maximum] otherwise.
    uint64_t rangeStart() const { return mode_ == StartEndEditable ? lower_ : minimum_; }
    uint64_t rangeEnd() const { return mode_ == StartEndEditable ? upper_ : maximum_; }
    void setMode(Mode mode);

    // Markers at timestamps, drawn in their colours, kept in the order added.
    void addTriggerMarker(uint64_t timestamp, const QColor& colour);
    void clearTriggerMarkers();
    const std::vector<std::pair<uint64_t, QColor>>& triggerMarkers() const { return markers_; }

    // Geometry of the track (also used by tests): the pixel of a value and the value under a pixel
    // (clamped to [minimum, maximum]).
    int valueToPixel(uint64_t value) const;
    uint64_t pixelToValue(int x) const;
    // The handle under `pos`: the current position first, then the start and end handles (mode 3).
    Handle handleAt(const QPoint& pos) const;
    Handle draggedHandle() const { return dragged_; }

    // The track and handle colours for the enabled or disabled state.
    QColor accentColor() const { return accent_; }
    QColor handleColor() const { return handle_; }
    QColor disabledAccentColor() const { return disabledAccent_; }
    QColor disabledHandleColor() const { return disabledHandle_; }
    void setAccentColor(const QColor& c);
    void setHandleColor(const QColor& c);
    void setDisabledAccentColor(const QColor& c);
    void setDisabledHandleColor(const QColor& c);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

public slots:
    void setMinimum(uint64_t value);
    void setMaximum(uint64_t value);
    void setCenterValue(uint64_t value);

signals:
    void lowerValueChanged(uint64_t aLowerValue);
    void upperValueChanged(uint64_t aUpperValue);
    void centerValueTrackClick(uint64_t center_value);
    void centerValueMove(uint64_t center_value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int trackLeft() const { return kTrackMargin; }
    int trackRight() const { return width() - 1 - kTrackMargin; }

    uint64_t minimum_ = 0;
    uint64_t maximum_ = std::numeric_limits<uint64_t>::max();
    uint64_t lower_ = 0;
    uint64_t upper_ = std::numeric_limits<uint64_t>::max();
    uint64_t center_ = 0;
    Mode mode_ = CenterOnly;
    Handle dragged_ = Handle::None;
    int dragOffset_ = 0;  // press point minus the dragged handle's pixel
    std::vector<std::pair<uint64_t, QColor>> markers_;
    // Plain greys until the style sheet gives the theme's colours.
    QColor accent_{0x50, 0x50, 0x50};
    QColor handle_{0xE0, 0xE0, 0xE0};
    QColor disabledAccent_{0xB0, 0xB0, 0xB0};
    QColor disabledHandle_{0x90, 0x90, 0x90};
};
