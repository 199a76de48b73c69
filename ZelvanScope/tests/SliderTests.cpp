// The three-handle playback slider at the value level: handles, clamping, hit-testing and dragging
// with synthetic mouse events, trigger markers and the colours from the style sheet.
#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <limits>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "ViewerTestHelpers.h"
#include "widgets/ZvThreeHandleSlider.h"

namespace {

constexpr int kY = 12;

void mouse(ZvThreeHandleSlider& slider, QEvent::Type type, int x, Qt::MouseButton button,
           Qt::MouseButtons buttons) {
    const QPointF local(x, kY);
    QMouseEvent event(type, local, slider.mapToGlobal(local), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&slider, &event);
}
void press(ZvThreeHandleSlider& slider, int x) {
    mouse(slider, QEvent::MouseButtonPress, x, Qt::LeftButton, Qt::LeftButton);
}
void move(ZvThreeHandleSlider& slider, int x) {
    mouse(slider, QEvent::MouseMove, x, Qt::NoButton, Qt::LeftButton);
}
void release(ZvThreeHandleSlider& slider, int x) {
    mouse(slider, QEvent::MouseButtonRelease, x, Qt::LeftButton, Qt::NoButton);
}

uint64_t lastValue(const GuiSpy& spy) { return spy.last().at(0).value<uint64_t>(); }

}  // namespace

class SliderTests : public QObject {
    Q_OBJECT

    // A 1000 px slider over [1 000 000, 2 000 000] us.
    static void setUp(ZvThreeHandleSlider& slider) {
        slider.resize(1000 + 2 * ZvThreeHandleSlider::kTrackMargin + 1, 24);
        slider.setMaximum(2'000'000);
        slider.setMinimum(1'000'000);
    }

private slots:
    void defaults() {
        ZvThreeHandleSlider slider;
        QCOMPARE(slider.minimum(), uint64_t(0));
        QCOMPARE(slider.maximum(), std::numeric_limits<uint64_t>::max());
        QCOMPARE(slider.mode(), ZvThreeHandleSlider::CenterOnly);
        QCOMPARE(slider.centerValue(), uint64_t(0));
        // The whole 64-bit range maps onto the track without overflow.
        slider.resize(200, 24);
        QCOMPARE(slider.pixelToValue(slider.valueToPixel(slider.maximum())), slider.maximum());
        QCOMPARE(slider.pixelToValue(0), uint64_t(0));
    }

    void limitsMoveTheHandlesSilently() {
        ZvThreeHandleSlider slider;
        GuiSpy lower(&slider, &ZvThreeHandleSlider::lowerValueChanged);
        GuiSpy upper(&slider, &ZvThreeHandleSlider::upperValueChanged);
        setUp(slider);
        QCOMPARE(slider.lowerValue(), uint64_t(1'000'000));
        QCOMPARE(slider.upperValue(), uint64_t(2'000'000));
        QCOMPARE(slider.centerValue(), uint64_t(1'000'000));
        QVERIFY(lower.isEmpty());
        QVERIFY(upper.isEmpty());
        slider.setCenterValue(5);
        QCOMPARE(slider.centerValue(), uint64_t(1'000'000));
        slider.setCenterValue(3'000'000);
        QCOMPARE(slider.centerValue(), uint64_t(2'000'000));
        QCOMPARE(slider.rangeStart(), uint64_t(1'000'000));
        QCOMPARE(slider.rangeEnd(), uint64_t(2'000'000));
    }

    void aModeChangeResetsTheRangeAndSaysSo() {
        ZvThreeHandleSlider slider;
        setUp(slider);
        GuiSpy lower(&slider, &ZvThreeHandleSlider::lowerValueChanged);
        GuiSpy upper(&slider, &ZvThreeHandleSlider::upperValueChanged);
        slider.setMode(ZvThreeHandleSlider::StartEndEditable);
        QCOMPARE(lower.count(), 1);
        QCOMPARE(lastValue(lower), uint64_t(1'000'000));
        QCOMPARE(upper.count(), 1);
        QCOMPARE(lastValue(upper), uint64_t(2'000'000));
        slider.setMode(ZvThreeHandleSlider::CenterOnly);
        QCOMPARE(lower.count(), 2);
        QCOMPARE(upper.count(), 2);
    }

    void aTrackClickMovesThePositionThere() {
        ZvThreeHandleSlider slider;
        setUp(slider);
        GuiSpy clicks(&slider, &ZvThreeHandleSlider::centerValueTrackClick);
        const int x = slider.valueToPixel(1'500'000);
        press(slider, x);
        release(slider, x);
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(lastValue(clicks), uint64_t(1'500'000));
        QCOMPARE(slider.centerValue(), uint64_t(1'500'000));
        // Outside the range played, the click is clamped into it.
        slider.setMode(ZvThreeHandleSlider::StartEndEditable);
        slider.setCenterValue(1'500'000);
        press(slider, slider.valueToPixel(1'000'000));  // the start handle
        move(slider, slider.valueToPixel(1'200'000));
        release(slider, slider.valueToPixel(1'200'000));
        QCOMPARE(slider.lowerValue(), uint64_t(1'200'000));
        press(slider, slider.valueToPixel(1'100'000));
        release(slider, slider.valueToPixel(1'100'000));
        QCOMPARE(clicks.count(), 2);
        QCOMPARE(lastValue(clicks), uint64_t(1'200'000));
        QCOMPARE(slider.centerValue(), uint64_t(1'200'000));
    }

    void theCurrentHandleIsHitFirstAndDoesNotJump() {
        ZvThreeHandleSlider slider;
        setUp(slider);
        slider.setMode(ZvThreeHandleSlider::StartEndEditable);
        // All three handles at the start: the current position wins.
        QCOMPARE(slider.handleAt(QPoint(slider.valueToPixel(1'000'000), kY)),
                 ZvThreeHandleSlider::Handle::Center);
        slider.setCenterValue(1'500'000);
        QCOMPARE(slider.handleAt(QPoint(slider.valueToPixel(1'000'000), kY)),
                 ZvThreeHandleSlider::Handle::Lower);
        QCOMPARE(slider.handleAt(QPoint(slider.valueToPixel(2'000'000), kY)),
                 ZvThreeHandleSlider::Handle::Upper);
        QCOMPARE(slider.handleAt(QPoint(slider.valueToPixel(1'250'000), kY)),
                 ZvThreeHandleSlider::Handle::None);

        GuiSpy moves(&slider, &ZvThreeHandleSlider::centerValueMove);
        GuiSpy clicks(&slider, &ZvThreeHandleSlider::centerValueTrackClick);
        const int at = slider.valueToPixel(1'500'000);
        press(slider, at + 4);  // off the handle's centre: the offset is kept
        QCOMPARE(slider.draggedHandle(), ZvThreeHandleSlider::Handle::Center);
        QVERIFY(clicks.isEmpty());
        move(slider, at + 4 + 100);
        QCOMPARE(slider.centerValue(), slider.pixelToValue(at + 100));
        QCOMPARE(lastValue(moves), slider.centerValue());
        release(slider, at + 104);
        QCOMPARE(slider.draggedHandle(), ZvThreeHandleSlider::Handle::None);
        const auto count = moves.count();
        move(slider, at + 200);  // no drag after the release
        QCOMPARE(moves.count(), count);
    }

    void theCurrentHandleStaysBetweenTheEnds() {
        ZvThreeHandleSlider slider;
        setUp(slider);
        GuiSpy moves(&slider, &ZvThreeHandleSlider::centerValueMove);
        slider.setCenterValue(1'500'000);
        const int at = slider.valueToPixel(1'500'000);
        press(slider, at);
        // Mode 1: only while the pointer is over the widget.
        move(slider, slider.width() + 50);
        QCOMPARE(slider.centerValue(), uint64_t(1'500'000));
        QVERIFY(moves.isEmpty());
        move(slider, slider.width() - 1);
        QCOMPARE(slider.centerValue(), uint64_t(2'000'000));
        release(slider, slider.width() - 1);

        // Mode 3: only while the pointer is between the start and the end handle.
        slider.setMode(ZvThreeHandleSlider::StartEndEditable);
        slider.setCenterValue(1'500'000);
        press(slider, slider.valueToPixel(2'000'000));  // the end handle
        move(slider, slider.valueToPixel(1'800'000));
        release(slider, slider.valueToPixel(1'800'000));
        QCOMPARE(slider.upperValue(), uint64_t(1'800'000));
        press(slider, at);
        const auto count = moves.count();
        move(slider, slider.valueToPixel(1'900'000));
        QCOMPARE(moves.count(), count);
        QCOMPARE(slider.centerValue(), uint64_t(1'500'000));
        release(slider, slider.valueToPixel(1'900'000));
    }

    void theEndHandlesNeverPassThePositionOrTheLimits() {
        ZvThreeHandleSlider slider;
        setUp(slider);
        slider.setMode(ZvThreeHandleSlider::StartEndEditable);
        slider.setCenterValue(1'500'000);
        GuiSpy lower(&slider, &ZvThreeHandleSlider::lowerValueChanged);
        GuiSpy upper(&slider, &ZvThreeHandleSlider::upperValueChanged);

        const int lowerX = slider.valueToPixel(1'000'000);
        press(slider, lowerX);
        QCOMPARE(slider.draggedHandle(), ZvThreeHandleSlider::Handle::Lower);
        move(slider, slider.valueToPixel(1'200'000));
        QCOMPARE(slider.lowerValue(), uint64_t(1'200'000));
        QCOMPARE(lastValue(lower), uint64_t(1'200'000));
        move(slider, slider.valueToPixel(1'900'000));  // beyond the position
        QCOMPARE(slider.lowerValue(), uint64_t(1'500'000));
        move(slider, -100);  // below the minimum
        QCOMPARE(slider.lowerValue(), uint64_t(1'000'000));
        release(slider, -100);

        press(slider, slider.valueToPixel(2'000'000));
        QCOMPARE(slider.draggedHandle(), ZvThreeHandleSlider::Handle::Upper);
        move(slider, slider.valueToPixel(1'100'000));  // before the position
        QCOMPARE(slider.upperValue(), uint64_t(1'500'000));
        QCOMPARE(lastValue(upper), uint64_t(1'500'000));
        move(slider, slider.width() + 100);  // above the maximum
        QCOMPARE(slider.upperValue(), uint64_t(2'000'000));
        release(slider, slider.width() + 100);
        QCOMPARE(slider.rangeEnd(), uint64_t(2'000'000));
    }

    void mode1HasNoEndHandles() {
        ZvThreeHandleSlider slider;
        setUp(slider);
        slider.setCenterValue(1'500'000);
        GuiSpy lower(&slider, &ZvThreeHandleSlider::lowerValueChanged);
        GuiSpy clicks(&slider, &ZvThreeHandleSlider::centerValueTrackClick);
        const int x = slider.valueToPixel(1'000'000);
        QCOMPARE(slider.handleAt(QPoint(x, kY)), ZvThreeHandleSlider::Handle::None);
        press(slider, x);
        move(slider, x + 50);
        release(slider, x + 50);
        QVERIFY(lower.isEmpty());
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(slider.centerValue(), uint64_t(1'000'000));
    }

    void markersKeepTheirOrderAndColours() {
        ZvThreeHandleSlider slider;
        setUp(slider);
        slider.addTriggerMarker(1'700'000, QColor("#FF6058"));
        slider.addTriggerMarker(1'200'000, QColor("#58DB6D"));
        QCOMPARE(slider.triggerMarkers().size(), size_t(2));
        QCOMPARE(slider.triggerMarkers()[0].first, uint64_t(1'700'000));
        QCOMPARE(slider.triggerMarkers()[0].second, QColor("#FF6058"));
        QCOMPARE(slider.triggerMarkers()[1].first, uint64_t(1'200'000));
        QCOMPARE(slider.triggerMarkers()[1].second, QColor("#58DB6D"));
        slider.setEnabled(true);
        const QImage image = slider.grab().toImage();
        QVERIFY(countColour(image, QColor("#FF6058")) > 10);
        QVERIFY(countColour(image, QColor("#58DB6D")) > 10);
        slider.clearTriggerMarkers();
        QVERIFY(slider.triggerMarkers().empty());
    }

    void coloursComeFromTheStyleSheet() {
        ZvThreeHandleSlider slider;
        // Before the style sheet is applied the slider has its own plain colours.
        const QStringList sheet = {"#004B6A", "#FFFFFF", "#C7C7C7", "#707070"};
        for (const QColor& colour : {slider.accentColor(), slider.handleColor(), slider.disabledAccentColor(),
                                     slider.disabledHandleColor()})
            QVERIFY(!sheet.contains(colour.name(), Qt::CaseInsensitive));
        slider.ensurePolished();
        QCOMPARE(slider.accentColor(), QColor("#004B6A"));
        QCOMPARE(slider.handleColor(), QColor("#FFFFFF"));
        QCOMPARE(slider.disabledAccentColor(), QColor("#C7C7C7"));
        QCOMPARE(slider.disabledHandleColor(), QColor("#707070"));
        setUp(slider);
        slider.setEnabled(false);
        const QImage disabled = slider.grab().toImage();
        QCOMPARE(countColour(disabled, QColor("#004B6A")), 0);
        QVERIFY(countColour(disabled, QColor("#C7C7C7")) > 100);
        slider.setEnabled(true);
        const QImage enabled = slider.grab().toImage();
        QCOMPARE(countColour(enabled, QColor("#C7C7C7")), 0);
        QVERIFY(countColour(enabled, QColor("#004B6A")) > 100);
    }
};

ZELVAN_VIEWER_TEST_MAIN(SliderTests)
#include "SliderTests.moc"
