// The display settings: accumulation time (how much event time one frame shows) and slow rate (how
// much slower than real time a recording plays), each an editable combo box with common entries.
//
// Accumulation time: "<number>us" or "<number>ms"; a text without unit counts as milliseconds while
// typed and gets "ms" appended when the edit is finished. Valid from 1 us to 1 s. A finished valid
// edit (Return, leaving the field, choosing an entry) emits signalCumulativeTimeChanged(us).
// Slow rate: a decimal number from 0.03 to 1000. A finished valid edit emits signalFpsChanged with
// the playback's ticks per second of event time, 30 x rate: players advance the event clock by
// 1000000 / fps us per 1/30 s tick, so 1 plays in real time and 2 at half speed. Rates below 1/30 are
// sent as 1 fps (logged), because receivers divide by the fps.
// While typed, a field's "state" property is "valid" or "invalid" (colours from the style sheet); a
// finished valid edit returns it to the plain look.
#pragma once

#include <QString>
#include <QStringView>
#include <QWidget>
#include <cstdint>
#include <optional>

class QComboBox;

// Microseconds of an accumulation time text ("33.33ms" -> 33330, "500us" -> 500), truncated to whole
// microseconds; 0 for a text without "us" or "ms" at its end or without a plain decimal number before.
uint64_t accumulationTimeUs(QStringView text);
// The slow rate of a text: a plain decimal number from 0.03 to 1000; nothing otherwise.
std::optional<double> parseSlowRate(QStringView text);
// 30 x rate truncated to a whole number and kept to 16 bits, at least 1 (a smaller result is logged).
uint32_t slowRateToFps(double rate);

class SettingDisplayItem : public QWidget {
    Q_OBJECT
public:
    static constexpr uint64_t kMinAccumulationTimeUs = 1;
    static constexpr uint64_t kMaxAccumulationTimeUs = 1'000'000;

    explicit SettingDisplayItem(QWidget* parent = nullptr);

    QComboBox* accumulationTimeBox() const { return accumulationTime_; }
    QComboBox* slowRateBox() const { return slowRate_; }

public slots:
    void slotAccumulationTimeTextChanged(const QString& text);
    void slotAccumulationTimeTextEditFinished();
    void slotFrameRateTextChanged(const QString& text);
    void slotFrameRateEditTextFinished();

signals:
    void signalCumulativeTimeChanged(uint64_t time_us);
    void signalFpsChanged(uint32_t fps);

private:
    QComboBox* accumulationTime_;
    QComboBox* slowRate_;
    // Whether the field changed since its value was last handled (finishing an edit is reported once
    // even where Return both finishes the line edit and activates the combo box).
    bool accumulationTimePending_ = false;  // set by an edit, cleared once it is reported
    bool slowRatePending_ = false;
};
