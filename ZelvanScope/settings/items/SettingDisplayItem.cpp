#include "settings/items/SettingDisplayItem.h"

#include <QComboBox>
#include <QDebug>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <limits>

#include "settings/items/StyleState.h"

namespace {

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Digits with at most one decimal point, at least one digit ("12", "0.5", ".5", "3.").
bool isPlainDecimal(QStringView number) {
    int digits = 0;
    int points = 0;
    for (const QChar c : number) {
        if (isDigit(c)) {
            ++digits;
        } else if (c == u'.') {
            if (++points > 1) return false;
        } else {
            return false;
        }
    }
    return digits > 0;
}

bool hasTimeUnit(QStringView text) { return text.endsWith(u"us") || text.endsWith(u"ms"); }

bool isValidAccumulationTime(uint64_t us) {
    return us >= SettingDisplayItem::kMinAccumulationTimeUs &&
           us <= SettingDisplayItem::kMaxAccumulationTimeUs;
}

QComboBox* editableBox(const char* objectName, const QStringList& entries, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(objectName);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(entries);
    box->setMinimumWidth(120);
    return box;
}

}  // namespace

uint64_t accumulationTimeUs(QStringView text) {
    const QStringView trimmed = text.trimmed();
    int fractionDigits = 0;  // digits of the number that count as whole microseconds
    uint64_t scale = 1;
    if (trimmed.endsWith(u"ms")) {
        fractionDigits = 3;
        scale = 1000;
    } else if (!trimmed.endsWith(u"us")) {
        return 0;
    }
    const QStringView number = trimmed.chopped(2).trimmed();
    if (!isPlainDecimal(number)) return 0;
    const qsizetype point = number.indexOf(u'.');
    const QStringView whole = point < 0 ? number : number.left(point);
    const QStringView fraction = point < 0 ? QStringView() : number.mid(point + 1);
    // Exact decimal arithmetic: "33.33ms" is 33330 us, not a binary fraction's 33329.99...
    constexpr uint64_t kTooLarge = 1'000'000'000'000'000;  // far beyond any valid time
    uint64_t value = 0;
    for (const QChar c : whole) {
        value = value * 10 + static_cast<uint64_t>(c.unicode() - u'0');
        if (value > kTooLarge) return std::numeric_limits<uint64_t>::max();
    }
    value *= scale;
    uint64_t part = 0;
    for (int i = 0; i < fractionDigits; ++i)
        part = part * 10 + (i < fraction.size() ? static_cast<uint64_t>(fraction[i].unicode() - u'0') : 0);
    return value + part;
}

std::optional<double> parseSlowRate(QStringView text) {
    const QStringView trimmed = text.trimmed();
    if (!isPlainDecimal(trimmed)) return std::nullopt;
    bool ok = false;
    const double rate = trimmed.toDouble(&ok);
    if (!ok || rate < 0.03 || rate > 1000.0) return std::nullopt;
    return rate;
}

uint32_t slowRateToFps(double rate) {
    // The small addition keeps decimal rates whole where binary arithmetic falls just short
    // (0.7 x 30 = 20.999...).
    const double ticks = std::floor(rate * 30.0 + 1e-9);
    const auto fps =
        static_cast<uint32_t>(std::clamp(ticks, 0.0, double(std::numeric_limits<uint16_t>::max())));
    if (fps == 0) {
        qWarning().noquote() << QStringLiteral("Slow rate %1 is below 1/30; sending fps 1.").arg(rate);
        return 1;
    }
    return fps;
}

SettingDisplayItem::SettingDisplayItem(QWidget* parent) : QWidget(parent) {
    auto* timeLabel = new QLabel(tr("Accumulation time"), this);
    timeLabel->setObjectName("lb_accumulation_time");
    accumulationTime_ = editableBox(
        "widget_combobox_accumulation_time",
        {QStringLiteral("33.33ms"), QStringLiteral("100ms"), QStringLiteral("10ms"), QStringLiteral("1ms")},
        this);
    accumulationTime_->setToolTip(
        tr("Event time shown in one frame: a number with \"ms\" or \"us\", from 1us to 1000ms."));
    auto* rateLabel = new QLabel(tr("Slow Rate"), this);
    rateLabel->setObjectName("lb_frame_rate");
    slowRate_ = editableBox("widget_combobox_frame_rate",
                            {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("5"),
                             QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("1000")},
                            this);
    slowRate_->setToolTip(
        tr("How many times slower than real time recordings play: 1 is real time, 2 half speed (0.03 to "
           "1000)."));
    timeLabel->setBuddy(accumulationTime_);
    rateLabel->setBuddy(slowRate_);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setHorizontalSpacing(12);
    grid->addWidget(timeLabel, 0, 0);
    grid->addWidget(accumulationTime_, 0, 1);
    grid->addWidget(rateLabel, 1, 0);
    grid->addWidget(slowRate_, 1, 1);
    grid->setColumnStretch(1, 1);

    connect(accumulationTime_, &QComboBox::editTextChanged, this,
            &SettingDisplayItem::slotAccumulationTimeTextChanged);
    connect(accumulationTime_->lineEdit(), &QLineEdit::editingFinished, this,
            &SettingDisplayItem::slotAccumulationTimeTextEditFinished);
    connect(accumulationTime_, &QComboBox::activated, this,
            &SettingDisplayItem::slotAccumulationTimeTextEditFinished);
    connect(slowRate_, &QComboBox::editTextChanged, this, &SettingDisplayItem::slotFrameRateTextChanged);
    connect(slowRate_->lineEdit(), &QLineEdit::editingFinished, this,
            &SettingDisplayItem::slotFrameRateEditTextFinished);
    connect(slowRate_, &QComboBox::activated, this, &SettingDisplayItem::slotFrameRateEditTextFinished);
}

void SettingDisplayItem::slotAccumulationTimeTextChanged(const QString& text) {
    accumulationTimePending_ = true;
    const uint64_t us = accumulationTimeUs(hasTimeUnit(text) ? text : text + QStringLiteral("ms"));
    setStyleState(accumulationTime_, "state", isValidAccumulationTime(us) ? "valid" : "invalid");
}

void SettingDisplayItem::slotAccumulationTimeTextEditFinished() {
    if (!accumulationTimePending_) return;
    QLineEdit* edit = accumulationTime_->lineEdit();
    if (!hasTimeUnit(edit->text())) {
        const int cursor = edit->cursorPosition();
        edit->setText(edit->text() + QStringLiteral("ms"));
        edit->setCursorPosition(cursor);
    }
    accumulationTimePending_ = false;
    const uint64_t us = accumulationTimeUs(edit->text());
    if (!isValidAccumulationTime(us)) {
        setStyleState(accumulationTime_, "state", "invalid");
        return;
    }
    setStyleState(accumulationTime_, "state", QString());
    emit signalCumulativeTimeChanged(us);
}

void SettingDisplayItem::slotFrameRateTextChanged(const QString& text) {
    slowRatePending_ = true;
    setStyleState(slowRate_, "state", parseSlowRate(text) ? "valid" : "invalid");
}

void SettingDisplayItem::slotFrameRateEditTextFinished() {
    if (!slowRatePending_) return;
    slowRatePending_ = false;
    const std::optional<double> rate = parseSlowRate(slowRate_->lineEdit()->text());
    if (!rate) {
        setStyleState(slowRate_, "state", "invalid");
        return;
    }
    setStyleState(slowRate_, "state", QString());
    emit signalFpsChanged(slowRateToFps(*rate));
}
