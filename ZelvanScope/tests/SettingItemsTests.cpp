// The building blocks of the settings panels, driven as a user drives them: the labels and names of
// items, the line-edit item (slider, typed text, plus and minus, values pushed in), the switch and
// combo-box items, the foldable box and the display item (accumulation time and slow rate), with the
// field colours from the style sheet.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSlider>
#include <QTest>
#include <QTranslator>
#include <QVBoxLayout>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "ViewerTestHelpers.h"
#include "settings/items/SettingBaseWithComboBox.h"
#include "settings/items/SettingBaseWithLineEdit.h"
#include "settings/items/SettingBaseWithSwitchButton.h"
#include "settings/items/SettingDisplayItem.h"
#include "settings/items/SettingItemBox.h"
#include "settings/items/SettingNames.h"

namespace {

const QColor kAccent("#004B6A");
const QColor kRed("#FF6058");
const QColor kGrey("#ACACAC");
const QColor kPlainBorder("#A7A7A7");

template <typename T>
T* child(const QWidget& parent, const char* name) {
    T* widget = parent.findChild<T*>(name);
    if (!widget) qFatal("no child %s", name);
    return widget;
}

// Replaces the field's text by typing, as a user does: select all, then the keys.
void typeInto(QLineEdit* edit, const QString& text) {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        QTest::keyClicks(edit, text);
}

// The colour of a field's left border, halfway down (the straight part of a rounded border).
QColor leftBorder(QWidget* field) {
    const QImage image = field->grab().toImage();
    return image.pixelColor(0, image.height() / 2);
}

QString state(const QWidget* widget) { return widget->property("state").toString(); }

using Call = std::pair<std::string, int>;
std::vector<Call> intCalls(const GuiSpy& spy) {
    std::vector<Call> calls;
    for (const auto& call : spy) calls.emplace_back(call.at(0).value<std::string>(), call.at(1).toInt());
    return calls;
}

}  // namespace

class SettingItemsTests : public QObject {
    Q_OBJECT

    // "bias_fo" over [-35, 55] showing 0, on screen (so that the style sheet's colours are drawn).
    static void setUp(SettingBaseWithLineEdit& item) {
        item.setRange(-35, 55);
        item.setValue(0);
        item.resize(400, item.sizeHint().height());
        item.show();
    }

private slots:
    void labelsAndNamesRoundTrip() {
        QCOMPARE(toDisplayName(std::string("bias_diff_on")), QString("Bias Diff On"));
        QCOMPARE(toParamName(u"Bias Diff On"), std::string("bias_diff_on"));
        QCOMPARE(toDisplayName(std::string("bias_fo")), QString("Bias Fo"));
        QCOMPARE(toParamName(u"Bias Fo"), std::string("bias_fo"));
        // Runs of separators, blanks and "_" alike, give single blanks; the rest of a word is kept.
        QCOMPARE(toDisplayName(u"_max__event rate_"), QString("Max Event Rate"));
        QCOMPARE(toDisplayName(u"x_Width"), QString("X Width"));
        QCOMPARE(toDisplayName(u""), QString());
        // Names with capitals or blanks come back in the tools' spelling.
        QCOMPARE(toParamName(toDisplayName(u"Offset X")), std::string("offset_x"));

        SettingBaseWithLineEdit item("bias_diff_on");
        QCOMPARE(child<QLabel>(item, "lb_name")->text(), QString("Bias Diff On"));
        QCOMPARE(item.displayName(), QString("Bias Diff On"));
        QCOMPARE(item.paramName(), std::string("bias_diff_on"));
        item.setRange(0, 10);
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);
        item.setValue(3);
        QCOMPARE(intCalls(changed), (std::vector<Call>{{"bias_diff_on", 3}}));
    }

    void movingTheSliderReportsNameAndValue() {
        SettingBaseWithLineEdit item("bias_fo");
        setUp(item);
        std::vector<Call> callbacks;
        item.setChangeCallback(
            [&](const std::string& name, int value) { callbacks.emplace_back(name, value); });
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);
        auto* slider = child<QSlider>(item, "slider_value");
        auto* edit = child<QLineEdit>(item, "le_value");

        QTest::keyClick(slider, Qt::Key_Right);
        QTest::keyClick(slider, Qt::Key_End);
        QCOMPARE(intCalls(changed), (std::vector<Call>{{"bias_fo", 1}, {"bias_fo", 55}}));
        QCOMPARE(callbacks, intCalls(changed));
        QCOMPARE(edit->text(), QString("55"));
        QCOMPARE(item.value(), 55);
    }

    void typedNumbersMoveTheSlider() {
        SettingBaseWithLineEdit item("bias_fo");
        setUp(item);
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);
        auto* edit = child<QLineEdit>(item, "le_value");

        typeInto(edit, "-12");
        // "-" alone is no number yet; "-1" and "-12" are applied as they are typed.
        QCOMPARE(intCalls(changed), (std::vector<Call>{{"bias_fo", -1}, {"bias_fo", -12}}));
        QCOMPARE(child<QSlider>(item, "slider_value")->value(), -12);
        QCOMPARE(state(edit), QString());
        QVERIFY(leftBorder(edit) != kRed);
        // A number typed with leading zeros stays as typed.
        typeInto(edit, "007");
        QCOMPARE(edit->text(), QString("007"));
        QCOMPARE(item.value(), 7);
    }

    void lettersTurnTheFieldRedAndLeaveTheSlider() {
        SettingBaseWithLineEdit item("bias_fo");
        setUp(item);
        item.setValue(10);
        auto* edit = child<QLineEdit>(item, "le_value");
        QCOMPARE(leftBorder(edit), kPlainBorder);
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);

        edit->setCursorPosition(edit->text().size());
        QTest::keyClicks(edit, "x");
        QCOMPARE(edit->text(), QString("10x"));
        QCOMPARE(state(edit), QString("invalid"));
        QCOMPARE(leftBorder(edit), kRed);
        typeInto(edit, "abc");
        QCOMPARE(leftBorder(edit), kRed);
        QCOMPARE(item.value(), 10);
        QVERIFY(changed.isEmpty());
        // Plus and minus do nothing while the text is no number.
        QTest::mouseClick(child<QPushButton>(item, "pb_plus"), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>(item, "pb_minus"), Qt::LeftButton);
        QCOMPARE(item.value(), 10);
        QVERIFY(changed.isEmpty());

        // A number again: applied, and the red is gone.
        typeInto(edit, "12");
        QCOMPARE(item.value(), 12);
        QVERIFY(leftBorder(edit) != kRed);
    }

    void numbersOutsideTheRangeAreRedAndNotApplied() {
        SettingBaseWithLineEdit item("Offset X");
        item.setRange(-100, 100);
        item.setValue(0);
        item.show();
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);
        auto* edit = child<QLineEdit>(item, "le_value");

        typeInto(edit, "150");
        QCOMPARE(state(edit), QString("invalid"));
        QCOMPARE(leftBorder(edit), kRed);
        QCOMPARE(item.value(), 15);  // as far as the typing was valid
        for (const Call& call : intCalls(changed)) QVERIFY(call.second <= 100);
        QCOMPARE(intCalls(changed).back(), Call("offset_x", 15));
        // Plus from a text beyond the maximum does nothing either.
        QTest::mouseClick(child<QPushButton>(item, "pb_plus"), Qt::LeftButton);
        QCOMPARE(item.value(), 15);
        QCOMPARE(edit->text(), QString("150"));
    }

    void plusAndMinusStopAtTheBounds() {
        SettingBaseWithLineEdit item("max_event_rate");
        item.setRange(0, 5);
        item.setValue(4);
        item.show();
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);
        auto* plus = child<QPushButton>(item, "pb_plus");
        auto* minus = child<QPushButton>(item, "pb_minus");
        auto* edit = child<QLineEdit>(item, "le_value");

        QTest::mouseClick(plus, Qt::LeftButton);
        QCOMPARE(item.value(), 5);
        QTest::mouseClick(plus, Qt::LeftButton);  // at the maximum: nothing
        QCOMPARE(item.value(), 5);
        QCOMPARE(edit->text(), QString("5"));
        QCOMPARE(intCalls(changed), (std::vector<Call>{{"max_event_rate", 5}}));

        item.setValue(1);
        QTest::mouseClick(minus, Qt::LeftButton);
        QTest::mouseClick(minus, Qt::LeftButton);  // at the minimum: nothing
        QCOMPARE(item.value(), 0);
        QCOMPARE(edit->text(), QString("0"));
        QCOMPARE(intCalls(changed),
                 (std::vector<Call>{{"max_event_rate", 5}, {"max_event_rate", 1}, {"max_event_rate", 0}}));

        // The whole int range: no overflow at its ends.
        item.setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        item.setValue(std::numeric_limits<int>::max());
        QTest::mouseClick(plus, Qt::LeftButton);
        QCOMPARE(item.value(), std::numeric_limits<int>::max());
        item.setValue(std::numeric_limits<int>::min());
        QTest::mouseClick(minus, Qt::LeftButton);
        QCOMPARE(item.value(), std::numeric_limits<int>::min());
    }

    void pushedValuesSetTheItemAndReportOnlyMoves() {
        SettingBaseWithLineEdit item("bias_fo");
        setUp(item);
        item.setValue(5);
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);
        auto* edit = child<QLineEdit>(item, "le_value");

        item.slotItemValueChanged(std::string("bias_fo"), 5);  // where it is already: silent
        QVERIFY(changed.isEmpty());
        item.slotItemValueChanged(std::string("bias_hpf"), 9);  // another parameter's value
        item.slotItemValueChanged(std::string("bias_fo"), 56);  // outside [-35, 55]
        QCOMPARE(item.value(), 5);
        QVERIFY(changed.isEmpty());

        item.slotItemValueChanged(std::string("bias_fo"), 7);
        QCOMPARE(item.value(), 7);
        QCOMPARE(edit->text(), QString("7"));
        QCOMPARE(intCalls(changed), (std::vector<Call>{{"bias_fo", 7}}));

        // The float overload truncates; what no int holds is ignored.
        item.slotItemValueChanged(std::string("bias_fo"), -12.9f);
        QCOMPARE(item.value(), -12);
        item.slotItemValueChanged(std::string("bias_fo"), std::nanf(""));
        item.slotItemValueChanged(std::string("bias_fo"), 1e20f);
        QCOMPARE(item.value(), -12);
        QCOMPARE(changed.count(), 2);

        // A value pushed over a red field puts the number back.
        typeInto(edit, "q");
        item.slotItemValueChanged(std::string("bias_fo"), -12);
        QCOMPARE(edit->text(), QString("-12"));
        QCOMPARE(state(edit), QString());
        QCOMPARE(changed.count(), 2);
    }

    void rangeUnitAndParameterInfo() {
        SettingBaseWithLineEdit item("max_event_rate");
        GuiSpy changed(&item, &SettingBaseWithLineEdit::signalItemValueChanged);
        item.setUnit("MEv/s");
        QCOMPARE(item.unitText(), QString("(MEv/s)"));
        item.setUnit(" ");
        QCOMPARE(item.unitText(), QString());
        item.setUnit("");
        QCOMPARE(item.unitText(), QString());

        zelvan::IntParameterInfo info;
        info.type = zelvan::PARAM_INT;
        info.description = "Set threshold";
        info.min = 0;
        info.max = 320;
        info.default_value = 320;
        info.unit = "MEv/s";
        item.setParameterInfo(info);
        QCOMPARE(item.minimum(), 0);
        QCOMPARE(item.maximum(), 320);
        QCOMPARE(item.value(), 320);
        QCOMPARE(child<QLineEdit>(item, "le_value")->text(), QString("320"));
        QCOMPARE(item.unitText(), QString("(MEv/s)"));
        QCOMPARE(item.toolTip(), QString("Set threshold"));

        // A narrower range clamps the value without a report; a value outside is ignored.
        const int reports = changed.count();
        item.setRange(0, 100);
        QCOMPARE(item.value(), 100);
        QCOMPARE(child<QLineEdit>(item, "le_value")->text(), QString("100"));
        QCOMPARE(changed.count(), reports);
        item.setValue(101);
        item.setValue(-1);
        QCOMPARE(item.value(), 100);

        SettingBaseWithLineEdit floats("threshold");
        zelvan::FloatParameterInfo f;
        f.type = zelvan::PARAM_FLOAT;
        f.min = -1.7f;
        f.max = 10.9f;
        f.default_value = 3.6f;
        floats.setParameterInfo(f);
        QCOMPARE(floats.minimum(), -1);
        QCOMPARE(floats.maximum(), 10);
        QCOMPARE(floats.value(), 3);
        QCOMPARE(floats.unitText(), QString());
        // Every whole value offered lies within the range: a bound between whole numbers is not offered.
        f.min = 6.25f;
        f.max = 99.5f;
        f.default_value = 50.0f;
        floats.setParameterInfo(f);
        QCOMPARE(floats.minimum(), 7);
        QCOMPARE(floats.maximum(), 99);
        QCOMPARE(floats.value(), 50);
    }

    void acceptedAndRejectedBorders() {
        SettingBaseWithLineEdit item("x");
        setUp(item);
        auto* edit = child<QLineEdit>(item, "le_value");
        item.setValueAccepted(false);
        QCOMPARE(leftBorder(edit), kRed);
        item.setValueAccepted(true);
        QCOMPARE(leftBorder(edit), kGrey);
        // What a change callback decides while the slider reports stays shown.
        item.setChangeCallback([&item](const std::string&, int value) { item.setValueAccepted(value < 20); });
        typeInto(edit, "25");
        QCOMPARE(leftBorder(edit), kRed);
        typeInto(edit, "5");
        QCOMPARE(leftBorder(edit), kGrey);
    }

    void switchReportsClicksOnly() {
        SettingBaseWithSwitchButton item("enable");
        item.show();
        auto* button = child<QPushButton>(item, "pb_switch");
        QCOMPARE(child<QLabel>(item, "lb_name")->text(), QString("Enable"));
        QCOMPARE(button->toolTip(), QString("Enable"));
        QVERIFY(button->isCheckable());
        GuiSpy changed(&item, &SettingBaseWithSwitchButton::signalItemValueChanged);

        QTest::mouseClick(button, Qt::LeftButton);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(0).at(0).value<std::string>(), std::string("enable"));
        QCOMPARE(changed.at(0).at(1).toBool(), true);
        QCOMPARE(changed.at(1).at(1).toBool(), false);

        item.slotItemValueChanged(std::string("enable"), true);
        QVERIFY(item.isChecked());
        QVERIFY(button->isChecked());
        item.slotItemValueChanged(std::string("mode"), false);
        QVERIFY(item.isChecked());
        QCOMPARE(changed.count(), 2);

        // The switch shows its state in the icon: accent while on.
        QVERIFY(countColour(button->grab().toImage(), kAccent) > 20);
        item.slotItemValueChanged(std::string("enable"), false);
        QCOMPARE(countColour(button->grab().toImage(), kAccent), 0);

        SettingBaseWithSwitchButton described("en");
        zelvan::BoolParameterInfo info;
        info.type = zelvan::PARAM_BOOL;
        info.description = "Set whether the Event Rate Control function is enabled";
        info.default_value = true;
        described.setParameterInfo(info);
        QVERIFY(described.isChecked());
        QCOMPARE(described.toolTip(), QString::fromStdString(info.description));
    }

    void comboReportsItsTextAndTakesPushedOptions() {
        SettingBaseWithComboBox item("type");
        GuiSpy changed(&item, &SettingBaseWithComboBox::signalItemValueChanged);
        zelvan::EnumParameterInfo info;
        info.type = zelvan::PARAM_ENUM;
        info.description = "Filter type";
        info.options = {"TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL"};
        info.default_value = "STC_CUT_TRAIL";
        item.setParameterInfo(info);
        item.show();
        QCOMPARE(item.items(), (QStringList{"TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL"}));
        QCOMPARE(item.currentText(), QString("STC_CUT_TRAIL"));
        QCOMPARE(item.toolTip(), QString("Filter type"));
        QVERIFY(changed.isEmpty());

        auto* combo = child<QComboBox>(item, "cb_value");
        QTest::keyClick(combo, Qt::Key_Down);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.last().at(0).value<std::string>(), std::string("type"));
        QCOMPARE(changed.last().at(1).value<std::string>(), std::string("STC_KEEP_TRAIL"));

        item.slotItemValueChanged(std::string("type"), std::string("STC_KEEP_TRAIL"));  // shown already
        item.slotItemValueChanged(std::string("type"), std::string("NO_SUCH_OPTION"));
        item.slotItemValueChanged(std::string("mode"), std::string("TRAIL"));
        QCOMPARE(item.currentText(), QString("STC_KEEP_TRAIL"));
        QCOMPARE(changed.count(), 1);
        item.slotItemValueChanged(std::string("type"), std::string("TRAIL"));
        QCOMPARE(item.currentText(), QString("TRAIL"));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.last().at(1).value<std::string>(), std::string("TRAIL"));
    }

    void boxFoldsAndUnfolds() {
        SettingItemBox box;
        box.setTitle("Biases");
        auto* first = new SettingBaseWithSwitchButton("b");
        auto* last = new SettingBaseWithSwitchButton("d");
        box.addItem(first);
        box.addItem(last);
        auto* top = new SettingBaseWithSwitchButton("a");
        box.insertItem(top, 0);
        auto* middle = new SettingBaseWithSwitchButton("c");
        box.insertItem(middle, 3);
        auto* beyond = new SettingBaseWithSwitchButton("e");
        box.insertItem(beyond, 99);
        QCOMPARE(box.items(), (QList<QWidget*>{top, first, last, middle, beyond}));
        box.resize(360, box.sizeHint().height());
        box.show();

        auto* title = child<QFrame>(box, "widget_setting_box_title");
        auto* container = child<QWidget>(box, "widget_container");
        auto* fold = child<QPushButton>(box, "pb_fold");
        QCOMPARE(child<QLabel>(box, "lb_setting_box_title_text")->text(), QString("Biases"));
        QCOMPARE(box.title(), QString("Biases"));
        const auto titleImage = [&] { return title->grab().toImage(); };

        // A new box is open: the items show, the title has the accent edge on the blue-grey bar.
        QVERIFY(!box.isFolded());
        QVERIFY(container->isVisible());
        QVERIFY(!fold->isChecked());
        QCOMPARE(titleImage().pixelColor(0, title->height() / 2), kAccent);
        QCOMPARE(titleImage().pixelColor(1, title->height() / 2), kAccent);
        QCOMPARE(titleImage().pixelColor(2, title->height() / 2), QColor("#E1E9ED"));

        QTest::mouseClick(fold, Qt::LeftButton);
        QVERIFY(box.isFolded());
        QVERIFY(fold->isChecked());
        QVERIFY(!container->isVisible());
        QVERIFY(box.isVisible());
        QCOMPARE(titleImage().pixelColor(0, title->height() / 2), QColor("#F4F5F7"));
        QCOMPARE(titleImage().pixelColor(2, title->height() / 2), QColor("#F4F5F7"));

        QTest::mouseClick(fold, Qt::LeftButton);
        QVERIFY(!box.isFolded());
        QVERIFY(container->isVisible());
        QCOMPARE(titleImage().pixelColor(0, title->height() / 2), kAccent);

        box.setFolded(true);
        QVERIFY(fold->isChecked());
        QVERIFY(!container->isVisible());
        box.on_pb_fold_clicked(false);
        QVERIFY(container->isVisible());
        QVERIFY(!fold->isChecked());
    }

    void accumulationTimeTexts() {
        QCOMPARE(accumulationTimeUs(u"33.33ms"), uint64_t(33330));
        QCOMPARE(accumulationTimeUs(u"500us"), uint64_t(500));
        QCOMPARE(accumulationTimeUs(u"2ms"), uint64_t(2000));
        QCOMPARE(accumulationTimeUs(u"4.35ms"), uint64_t(4350));  // 4.35 x 1000 is 4349.99... in binary
        QCOMPARE(accumulationTimeUs(u"0.0015ms"), uint64_t(1));   // truncated to whole microseconds
        QCOMPARE(accumulationTimeUs(u"12.9us"), uint64_t(12));
        QCOMPARE(accumulationTimeUs(u"1000ms"), uint64_t(1'000'000));
        QCOMPARE(accumulationTimeUs(u"1001ms"), uint64_t(1'001'000));
        QCOMPARE(accumulationTimeUs(u"2"), uint64_t(0));  // no unit
        QCOMPARE(accumulationTimeUs(u"ms"), uint64_t(0));
        QCOMPARE(accumulationTimeUs(u"-5ms"), uint64_t(0));
        QCOMPARE(accumulationTimeUs(u"1.2.3ms"), uint64_t(0));
        QCOMPARE(accumulationTimeUs(u"1e3us"), uint64_t(0));
        QVERIFY(accumulationTimeUs(u"99999999999999999999999ms") >
                SettingDisplayItem::kMaxAccumulationTimeUs);
    }

    void accumulationTimeIsAppliedWhenTheEditFinishes() {
        SettingDisplayItem item;
        item.resize(360, item.sizeHint().height());
        item.show();
        auto* box = child<QComboBox>(item, "widget_combobox_accumulation_time");
        QCOMPARE(box, item.accumulationTimeBox());
        QVERIFY(box->isEditable());
        QStringList entries;
        for (int i = 0; i < box->count(); ++i) entries << box->itemText(i);
        QCOMPARE(entries, (QStringList{"33.33ms", "100ms", "10ms", "1ms"}));
        QCOMPARE(box->currentText(), QString("33.33ms"));
        GuiSpy changed(&item, &SettingDisplayItem::signalCumulativeTimeChanged);
        GuiSpy fps(&item, &SettingDisplayItem::signalFpsChanged);
        QLineEdit* edit = box->lineEdit();
        const auto last = [&] { return changed.last().at(0).value<uint64_t>(); };

        typeInto(edit, "500us");
        QCOMPARE(state(box), QString("valid"));
        QVERIFY(changed.isEmpty());  // nothing until the edit is finished
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(last(), uint64_t(500));
        QCOMPARE(state(box), QString());
        QCOMPARE(leftBorder(box), kPlainBorder);

        // Without a unit the text counts as milliseconds and gets "ms"; the cursor stays.
        typeInto(edit, "2");
        QCOMPARE(state(box), QString("valid"));
        QCOMPARE(leftBorder(box), kAccent);
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QString("2ms"));
        QCOMPARE(edit->cursorPosition(), 1);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(last(), uint64_t(2000));

        typeInto(edit, "1000ms");
        QCOMPARE(state(box), QString("valid"));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(last(), uint64_t(1'000'000));

        typeInto(edit, "1001");  // 1001 ms: beyond one second
        QCOMPARE(state(box), QString("invalid"));
        QCOMPARE(leftBorder(box), kRed);
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(edit->text(), QString("1001ms"));
        QCOMPARE(state(box), QString("invalid"));
        QCOMPARE(leftBorder(box), kRed);
        typeInto(edit, "0us");
        QTest::keyClick(edit, Qt::Key_Return);
        typeInto(edit, "fast");
        QCOMPARE(state(box), QString("invalid"));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(changed.count(), 3);

        // Choosing an entry applies it.
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Down);
        QTest::keyClick(box, Qt::Key_Up);
        QCOMPARE(box->currentText(), QString("33.33ms"));
        QCOMPARE(last(), uint64_t(33330));
        QCOMPARE(state(box), QString());
        QVERIFY(fps.isEmpty());
    }

    void slowRateGivesTheFps() {
        SettingDisplayItem item;
        item.resize(360, item.sizeHint().height());
        item.show();
        auto* box = child<QComboBox>(item, "widget_combobox_frame_rate");
        QCOMPARE(box, item.slowRateBox());
        QStringList entries;
        for (int i = 0; i < box->count(); ++i) entries << box->itemText(i);
        QCOMPARE(entries, (QStringList{"1", "2", "5", "10", "100", "1000"}));
        GuiSpy fps(&item, &SettingDisplayItem::signalFpsChanged);
        GuiSpy time(&item, &SettingDisplayItem::signalCumulativeTimeChanged);
        QLineEdit* edit = box->lineEdit();
        const auto finish = [&](const QString& text) {
            typeInto(edit, text);
            QTest::keyClick(edit, Qt::Key_Return);
        };
        const auto last = [&] { return fps.last().at(0).value<uint32_t>(); };

        finish("1000");
        QCOMPARE(fps.count(), 1);
        QCOMPARE(last(), 30000u);
        QCOMPARE(state(box), QString());
        finish("0.5");
        QCOMPARE(last(), 15u);
        finish("0.7");  // 0.7 x 30 is 20.99... in binary
        QCOMPARE(last(), 21u);
        finish("1");
        QCOMPARE(last(), 30u);

        // From 0.03 up to below 1/30 the fps would be 0, which players divide by: 1 is sent.
        QTest::ignoreMessage(QtWarningMsg, "Slow rate 0.03 is below 1/30; sending fps 1.");
        finish("0.03");
        QCOMPARE(fps.count(), 5);
        QCOMPARE(last(), 1u);
        QCOMPARE(slowRateToFps(1.0 / 30.0), 1u);

        // Not applied: below 0.03, above 1000, not a plain number.
        for (const char* text : {"0.02", "1000.5", "abc", "1e2", "-1", ""}) {
            typeInto(edit, text);
            QCOMPARE(state(box), QString("invalid"));
            QCOMPARE(leftBorder(box), kRed);
            QTest::keyClick(edit, Qt::Key_Return);
            QCOMPARE(state(box), QString("invalid"));
        }
        QCOMPARE(fps.count(), 5);

        typeInto(edit, "2");
        QCOMPARE(state(box), QString("valid"));
        QCOMPARE(leftBorder(box), kAccent);
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(last(), 60u);
        QCOMPARE(leftBorder(box), kPlainBorder);
        QVERIFY(time.isEmpty());
    }

    // A box of every kind of item fits a narrow sidebar; ZELVAN_SCREENSHOT_SETTINGS names a picture of it.
    void aBoxOfEveryItemFitsASidebar() {
        QWidget panel;
        auto* layout = new QVBoxLayout(&panel);
        auto* display = new SettingItemBox;
        display->setTitle("Display");
        display->addItem(new SettingDisplayItem);
        auto* box = new SettingItemBox;
        box->setTitle("Event Trail Filter");
        auto* enable = new SettingBaseWithSwitchButton("enable");
        enable->setChecked(true);
        auto* threshold = new SettingBaseWithLineEdit("threshold");
        threshold->setRange(1, 100000);
        threshold->setValue(10000);
        threshold->setUnit("us");
        auto* type = new SettingBaseWithComboBox("type");
        type->addItem("STC_CUT_TRAIL");
        type->addItem("TRAIL");
        box->addItem(enable);
        box->addItem(threshold);
        box->addItem(type);
        auto* folded = new SettingItemBox;
        folded->setTitle("Biases");
        folded->addItem(new SettingBaseWithLineEdit("bias_fo"));
        folded->setFolded(true);
        layout->addWidget(display);
        layout->addWidget(box);
        layout->addWidget(folded);
        layout->addStretch(1);
        panel.resize(360, 520);
        panel.show();
        QVERIFY(panel.minimumSizeHint().width() <= 360);
        QVERIFY(threshold->findChild<QSlider*>("slider_value")->width() >= 100);
        const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT_SETTINGS");
        if (!shot.isEmpty()) QVERIFY(panel.grab().save(shot));
    }

    void textsAreTranslated() {
        QTranslator zh;
        QVERIFY(zh.load(":/app_zh.qm"));
        QVERIFY(QCoreApplication::installTranslator(&zh));
        auto uninstall = qScopeGuard([&] { QCoreApplication::removeTranslator(&zh); });

        SettingDisplayItem display;
        QCOMPARE(child<QLabel>(display, "lb_accumulation_time")->text(), QString::fromUtf8("累积时间"));
        QCOMPARE(child<QLabel>(display, "lb_frame_rate")->text(), QString::fromUtf8("慢放倍率"));
        SettingBaseWithSwitchButton enable("enable");
        QCOMPARE(child<QPushButton>(enable, "pb_switch")->toolTip(), QString::fromUtf8("启用"));
        // A label in Chinese still reports the tool's name.
        QCOMPARE(child<QLabel>(enable, "lb_name")->text(), QString::fromUtf8("启用"));
        QCOMPARE(enable.paramName(), std::string("enable"));
        SettingBaseWithLineEdit bias("bias_fo");
        QCOMPARE(child<QLabel>(bias, "lb_name")->text(), QString("Bias Fo"));
        QCOMPARE(child<QPushButton>(bias, "pb_plus")->toolTip(), QString::fromUtf8("增加"));
        SettingItemBox box;
        QCOMPARE(child<QPushButton>(box, "pb_fold")->toolTip(), QString::fromUtf8("收起"));
    }
};

ZELVAN_VIEWER_TEST_MAIN(SettingItemsTests)
#include "SettingItemsTests.moc"
