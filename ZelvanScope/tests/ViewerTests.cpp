// Viewer components without a camera: rendering rules, image view, settings, helpers, dialogs,
// the trigger-driven recorder.
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTranslator>
#include <QUrl>
#include <QWheelEvent>
#include <atomic>
#include <functional>
#include <random>
#include <thread>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "Utility/ViewerUtils.h"
#include "Utility/ZvFileRecorder.h"
#include "ViewerTestHelpers.h"
#include "dialogs/CamerasList.h"
#include "dialogs/ShowCameraInfoUI.h"
#include "main/MainWidget.h"
#include "processing/ZvEventProcessor.h"
#include "settings/AppSettings.h"
#include "settings/ZvGeneralSetting.h"
#include "ui_MainWidget.h"
#include "ui_ZvGeneralSetting.h"
#include "view/ShowImageForm.h"
#include "view/ZvGraphicsView.h"
#include "widgets/AboutDialog.h"
#include "widgets/InitDialog.h"
#include "widgets/WaitingWindow.h"
#include "widgets/ZvFilePathReminderForm.h"
#include "widgets/ZvThreeHandleSlider.h"

using zelvan::Event2D;

namespace {

// Counts the events into a fresh processor and paints one 1280 x 720 frame with the theme.
QImage paintEvents(const std::vector<Event2D>& events, const QString& theme) {
    AppSettings* s = AppSettings::instance();
    s->colorType = theme;
    s->applyColorTheme();
    ZvEventProcessor processor;
    if (!events.empty()) processor.addEvents(events.data(), events.data() + events.size());
    QImage image(1280, 720, QImage::Format_RGB888);
    ZvEventProcessor::paint(processor.countBufferForTesting(), 1280, 720, s->onColor.rgb(), s->offColor.rgb(),
                            s->backgroundColor.rgb(), image);
    return image;
}

std::vector<Event2D> repeat(uint16_t x, uint16_t y, int on, int off) {
    std::vector<Event2D> v;
    for (int i = 0; i < on; ++i) v.emplace_back(x, y, 1, 10);
    for (int i = 0; i < off; ++i) v.emplace_back(x, y, 0, 11);
    return v;
}

// A wheel event with the given vertical (and horizontal) angle delta at the view's centre.
void wheel(ZvGraphicsView* view, int dy, int dx = 0) {
    const QPointF pos = view->viewport()->rect().center();
    QWheelEvent e(pos, view->viewport()->mapToGlobal(pos), QPoint(), QPoint(dx, dy), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &e);
}

}  // namespace

// Collects what QDesktopServices::openUrl is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

class ViewerTests : public QObject {
    Q_OBJECT
private slots:
    void colourRules() {
        struct Case {
            int on, off;
            const char* expect;  // "on", "off", "bg"
        } cases[] = {{1, 0, "on"}, {0, 1, "off"}, {2, 2, "off"}, {5, 2, "on"}, {4, 4, "off"}, {0, 0, "bg"}};
        AppSettings* s = AppSettings::instance();
        for (const auto& c : cases) {
            const QImage image = paintEvents(repeat(100, 50, c.on, c.off), "Gray");
            const QColor px = image.pixelColor(100, 50);
            const QColor want = QString(c.expect) == "on"    ? s->onColor
                                : QString(c.expect) == "off" ? s->offColor
                                                             : s->backgroundColor;
            QCOMPARE(px, want);
            QCOMPARE(image.pixelColor(101, 50), s->backgroundColor);
        }
    }

    void countsSaturateAndOutOfGridEventsAreHandled() {
        ZvEventProcessor processor;
        auto many = repeat(3, 4, 9, 9);
        processor.addEvents(many.data(), many.data() + many.size());
        const auto& counts = processor.countBufferForTesting();
        const size_t i = size_t(4) * 1280 + 3;
        QCOMPARE(ZvEventProcessor::offCount(counts[i]), 3);
        QCOMPARE(ZvEventProcessor::onCount(counts[i]), 3);
        QCOMPARE(processor.currentTimestamp(), uint64_t(10));  // first event of the range
        // y = 720 lies beyond the grid: nothing counted; x = 1300 on row 5 lands on row 6, x 20.
        std::vector<Event2D> odd = {Event2D(0, 720, 1, 1), Event2D(1300, 5, 1, 2)};
        processor.addEvents(odd.data(), odd.data() + odd.size());
        size_t total = 0;
        for (ZvEventProcessor::Counter c : processor.countBufferForTesting())
            total += size_t(ZvEventProcessor::onCount(c) + ZvEventProcessor::offCount(c));
        QCOMPARE(total, size_t(7));
        QCOMPARE(ZvEventProcessor::onCount(processor.countBufferForTesting()[size_t(6) * 1280 + 20]), 1);
    }

    // Long runs take the read-ahead loop, short ones and the tail the plain one: every length and
    // every kind of event counts as one event at a time would.
    void countsOfAnyRunMatchTheEventsOneByOne() {
        std::mt19937 rng(11);
        for (const size_t n : {size_t(1), size_t(67), size_t(68), size_t(69), size_t(71), size_t(72),
                               size_t(1000), size_t(200'000)}) {
            std::vector<Event2D> events(n);
            for (Event2D& e : events) {
                // Mostly a small patch (counters saturate), some anywhere, some beyond the grid.
                const uint32_t kind = rng() % 8;
                e.x = uint16_t(kind == 0 ? rng() % 2000 : kind < 3 ? rng() % 1280 : 600 + rng() % 8);
                e.y = uint16_t(kind == 1 ? rng() % 1000 : kind < 3 ? rng() % 720 : 300 + rng() % 4);
                const uint8_t polarities[] = {0, 1, 2, 255};
                e.polarity = polarities[rng() % 4];
                e.timestamp = rng();
            }
            std::vector<int> on(size_t(1280) * 720), off(size_t(1280) * 720);
            for (const Event2D& e : events) {
                const size_t idx = size_t(e.x) + size_t(e.y) * 1280;
                if (idx >= on.size()) continue;
                int& c = e.polarity != 0 ? on[idx] : off[idx];
                c = std::min(c + 1, ZvEventProcessor::kMaxCount);
            }
            ZvEventProcessor processor;
            processor.addEvents(events.data(), events.data() + n);
            const auto& counts = processor.countBufferForTesting();
            QCOMPARE(counts.size(), on.size());
            size_t differing = 0;
            for (size_t i = 0; i < counts.size(); ++i) {
                if (ZvEventProcessor::onCount(counts[i]) != on[i] ||
                    ZvEventProcessor::offCount(counts[i]) != off[i])
                    ++differing;
            }
            QVERIFY2(differing == 0,
                     qPrintable(QString("%1 pixels differ after %2 events").arg(differing).arg(n)));
        }
    }

    void requestRenderStartsAnEmptyFrame() {
        ZvEventProcessor processor;
        GuiSpy images(&processor, &ZvEventProcessor::signalEventImage);
        auto ev = repeat(640, 360, 1, 0);
        processor.addEvents(ev.data(), ev.data() + ev.size());
        processor.requestRender();
        for (ZvEventProcessor::Counter c : processor.countBufferForTesting()) QCOMPARE(int(c), 0);
        QTRY_VERIFY_WITH_TIMEOUT(processor.framesDrawn() == 1, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(images.count(), 1, 15000);
        const QImage image = images.takeFirst().at(0).value<QImage>();
        QCOMPARE(image.pixelColor(640, 360), AppSettings::instance()->onColor);
    }

    void themes() {
        const struct {
            const char* name;
            QColor on, off, bg;
        } themes[] = {
            {"Gray", QColor(255, 255, 255), QColor(0, 0, 0), QColor(112, 112, 112)},
            {"RedBlue", QColor(255, 0, 0), QColor(0, 0, 255), QColor(112, 112, 112)},
            {"Dark", QColor(255, 255, 255), QColor(64, 126, 200), QColor(30, 37, 52)},
            {"RedGreen", QColor(255, 0, 0), QColor(0, 255, 0), QColor(112, 112, 112)},
            {"Light", QColor(0, 0, 0), QColor(64, 126, 201), QColor(255, 255, 255)},
        };
        for (const auto& t : themes) {
            std::vector<Event2D> ev = {Event2D(10, 10, 1, 0), Event2D(20, 10, 0, 0)};
            const QImage image = paintEvents(ev, t.name);
            QCOMPARE(image.pixelColor(10, 10), t.on);
            QCOMPARE(image.pixelColor(20, 10), t.off);
            QCOMPARE(image.pixelColor(30, 10), t.bg);
        }
        // An unknown theme leaves the colours as they were.
        AppSettings* s = AppSettings::instance();
        s->colorType = "Blue";
        s->applyColorTheme();
        QCOMPARE(s->backgroundColor, QColor(255, 255, 255));
        s->colorType = "Gray";
        s->applyColorTheme();
    }

    void zoomLimits() {
        ShowImageForm form;
        form.resize(840, 429);
        form.show();
        ZvGraphicsView* view = form.view();
        for (int i = 0; i < 50; ++i) wheel(view, 120);
        QVERIFY(view->zoom() >= 50.0);
        QVERIFY(view->zoom() < 50.0 * 1.1);
        QVERIFY(qAbs(view->zoom() - std::pow(1.1, 42)) < 1e-6);
        for (int i = 0; i < 60; ++i) wheel(view, -120);
        QVERIFY(qAbs(view->zoom() - 1.0) < 1e-9);
        wheel(view, 120);
        wheel(view, 0, 120);  // horizontal only counts as zooming out
        QVERIFY(qAbs(view->zoom() - 1.0) < 1e-9);
    }

    void roiRectangles() {
        ShowImageForm form;
        form.resize(840, 429);
        form.show();
        ZvGraphicsView* view = form.view();
        QSignalSpy roi(&form, &ShowImageForm::signalRoiSelected);
        view->setRoiSelectionEnabled(true);
        auto drag = [&](QPointF from, QPointF to) {
            const QPoint a = view->mapFromScene(from), b = view->mapFromScene(to);
            QTest::mousePress(view->viewport(), Qt::LeftButton, Qt::NoModifier, a);
            QTest::mouseMove(view->viewport(), b);
            QTest::mouseRelease(view->viewport(), Qt::LeftButton, Qt::NoModifier, b);
        };
        // Scene coordinates are clamped and normalized; compare through the view's own clamping.
        QCOMPARE(view->clampToScene(QRectF(QPointF(100, 50), QPointF(20, 10))).toAlignedRect(),
                 QRect(20, 10, 80, 40));
        QCOMPARE(view->clampToScene(QRectF(QPointF(1200, 700), QPointF(1400, 900))).toAlignedRect(),
                 QRect(1200, 700, 80, 20));
        drag(QPointF(300, 200), QPointF(100, 100));
        QCOMPARE(roi.count(), 1);
        const QRect r = roi.takeFirst().at(0).toRect();
        QVERIFY(qAbs(r.x() - 100) <= 2 && qAbs(r.y() - 100) <= 2);
        QVERIFY(qAbs(r.width() - 200) <= 3 && qAbs(r.height() - 100) <= 3);
        // A click emits nothing.
        drag(QPointF(50, 50), QPointF(50, 50));
        QCOMPARE(roi.count(), 0);
        // With ROI selection on, a double click does not refit.
        wheel(view, 120);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton);
        QVERIFY(view->zoom() > 1.05);
        view->setRoiSelectionEnabled(false);
        QVERIFY(!view->roiItem()->isVisible());
        // Placeholder size follows the resolution; the next image replaces it.
        form.slotSetResolution(320, 320);
        QCOMPARE(form.pixmap().size(), QSize(320, 320));
        form.slotShowImage(QImage(1280, 720, QImage::Format_RGB888));
        QCOMPARE(form.scene()->sceneRect().size(), QSizeF(1280, 720));
    }

    void settingsLoadAndSave() {
        QTemporaryDir dir;
        const QString ini = dir.path() + "/config.ini";
        {
            QSettings raw(ini, QSettings::IniFormat);
            raw.setValue("Setting/dvs_trigger_in_rec_edge_type", "Falling Edge");  // without the enable key
            raw.setValue("Setting/language", "fr");
            raw.setValue("Setting/dvs_color_type", "Blue");
        }
        {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unknown colour theme \"Blue\""));
            AppSettings s(ini);
            QCOMPARE(s.triggerInEdgeType, QString("Rising Edge"));
            QCOMPARE(s.beforeTriggerInSaveTime, 0u);
            QCOMPARE(s.afterTriggerInSaveTime, 0u);
            QCOMPARE(s.language, QString("en"));
            // "Blue" is no theme: the default one, never an all-black picture.
            QCOMPARE(s.colorType, QString("Gray"));
            QCOMPARE(s.backgroundColor, QColor(112, 112, 112));
            QVERIFY(QDir(s.outputRawFilePath).exists());
            s.triggerInRecEnable = true;
            s.afterTriggerInSaveTime = 7;
            s.colorType = "Dark";
            QVERIFY(s.save());
        }
        QSettings raw(ini, QSettings::IniFormat);
        QCOMPARE(raw.value("Setting/language").toString(), QString("en"));
        QCOMPARE(raw.value("Setting/dvs_after_tirgger_in_save_time").toUInt(), 7u);
        AppSettings again(ini);
        QVERIFY(again.triggerInRecEnable);
        QCOMPARE(again.afterTriggerInSaveTime, 7u);
        QCOMPARE(again.backgroundColor, QColor(30, 37, 52));
    }

    void generalSettingDialog() {
        ZvGeneralSetting dialog;
        auto* ui = dialog.form();
        ui->le_trigger_in_before_time->setText("0");
        ui->pb_sub_trigger_in_before_time->click();
        QCOMPARE(ui->le_trigger_in_before_time->text(), QString("0"));
        ui->pb_add_trigger_in_after_time->click();
        ui->pb_add_trigger_in_after_time->click();
        ui->le_trigger_in_before_time->setText("abc");
        ui->cb_events_color->setCurrentText("Light");
        QSignalSpy changed(&dialog, &ZvGeneralSetting::signalTriggerInSaveFileParamChanged);
        ui->pb_save->click();
        QCOMPARE(changed.count(), 1);
        AppSettings* s = AppSettings::instance();
        QCOMPARE(s->beforeTriggerInSaveTime, 0u);
        QCOMPARE(s->afterTriggerInSaveTime, 2u);
        QCOMPARE(s->colorType, QString("Light"));
        s->colorType = "Gray";
        s->applyColorTheme();
    }

    // In Chinese the dialog shows the choices translated but stores the English keys, and the
    // chosen theme reaches the picture.
    void chineseSettingsRoundTrip() {
        QTranslator zh;
        QVERIFY(zh.load(":/app_zh.qm"));  // as the program loads it for the language "zh"
        QVERIFY(QCoreApplication::installTranslator(&zh));
        auto uninstall = qScopeGuard([&] { QCoreApplication::removeTranslator(&zh); });
        AppSettings* s = AppSettings::instance();
        auto restore = qScopeGuard([s] {
            s->triggerInRecEnable = false;
            s->triggerInEdgeType = "Rising Edge";
            s->colorType = "Gray";
            QVERIFY(s->save());
        });
        s->triggerInEdgeType = "Rising Edge";
        s->colorType = "Gray";
        s->applyColorTheme();
        ZvEventProcessor processor;
        {
            ZvGeneralSetting dialog;
            auto* ui = dialog.form();
            QCOMPARE(ui->cb_trigger_edge->currentText(), QString::fromUtf8("上升沿"));
            QCOMPARE(ui->cb_events_color->currentText(), QString::fromUtf8("灰色"));
            ui->cb_trigger_in_enable->setChecked(true);
            ui->cb_trigger_edge->setCurrentText(QString::fromUtf8("下降沿"));
            ui->cb_events_color->setCurrentText(QString::fromUtf8("浅色"));
            ui->pb_save->click();
        }
        QCOMPARE(s->triggerInEdgeType, QString("Falling Edge"));
        QCOMPARE(s->colorType, QString("Light"));
        QCOMPARE(s->onColor, QColor(0, 0, 0));
        QCOMPARE(s->offColor, QColor(64, 126, 201));
        QCOMPARE(s->backgroundColor, QColor(255, 255, 255));

        // The file holds the keys, and a restart reads them back.
        const QString ini = s->appDataPath + "/config.ini";
        {
            QSettings raw(ini, QSettings::IniFormat);
            QCOMPARE(raw.value("Setting/dvs_trigger_in_rec_edge_type").toString(), QString("Falling Edge"));
            QCOMPARE(raw.value("Setting/dvs_color_type").toString(), QString("Light"));
        }
        {
            AppSettings again(ini);
            QVERIFY(again.triggerInRecEnable);
            QCOMPARE(again.triggerInEdgeType, QString("Falling Edge"));
            QCOMPARE(again.colorType, QString("Light"));
            QCOMPARE(again.backgroundColor, QColor(255, 255, 255));
        }

        // The next frame is drawn with the theme.
        GuiSpy images(&processor, &ZvEventProcessor::signalEventImage);
        std::vector<Event2D> ev = {Event2D(10, 10, 1, 0), Event2D(20, 10, 0, 0)};
        processor.addEvents(ev.data(), ev.data() + ev.size());
        processor.requestRender();
        QTRY_VERIFY_WITH_TIMEOUT(!images.isEmpty(), 15000);
        const QImage image = images.last().at(0).value<QImage>();
        QCOMPARE(image.pixelColor(10, 10), QColor(0, 0, 0));
        QCOMPARE(image.pixelColor(20, 10), QColor(64, 126, 201));
        QCOMPARE(image.pixelColor(30, 10), QColor(255, 255, 255));

        // Opened again, the dialog shows the stored choices, translated.
        ZvGeneralSetting dialog;
        QCOMPARE(dialog.form()->cb_trigger_edge->currentText(), QString::fromUtf8("下降沿"));
        QCOMPARE(dialog.form()->cb_events_color->currentText(), QString::fromUtf8("浅色"));
    }

    // Keys the program does not know (here texts saved translated) fall back to the defaults, with
    // a warning each, and are written back as keys.
    void unknownSettingsKeysFallBackToTheDefaults() {
        QTemporaryDir dir;
        const QString ini = dir.path() + "/config.ini";
        {
            QSettings raw(ini, QSettings::IniFormat);
            raw.setValue("Setting/dvs_trigger_in_rec_enable", true);
            raw.setValue("Setting/dvs_trigger_in_rec_edge_type", QString::fromUtf8("上下沿"));
            raw.setValue("Setting/dvs_after_tirgger_in_save_time", 3);
            raw.setValue("Setting/dvs_color_type", "Blue");
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unknown trigger edge"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Unknown colour theme"));
        AppSettings s(ini);
        QVERIFY(s.triggerInRecEnable);
        QCOMPARE(s.afterTriggerInSaveTime, 3u);
        QCOMPARE(s.triggerInEdgeType, QString("Rising Edge"));
        QCOMPARE(s.colorType, QString("Gray"));
        QCOMPARE(s.onColor, QColor(255, 255, 255));
        QCOMPARE(s.offColor, QColor(0, 0, 0));
        QCOMPARE(s.backgroundColor, QColor(112, 112, 112));
        QVERIFY(s.save());
        QSettings raw(ini, QSettings::IniFormat);
        QCOMPARE(raw.value("Setting/dvs_trigger_in_rec_edge_type").toString(), QString("Rising Edge"));
        QCOMPARE(raw.value("Setting/dvs_color_type").toString(), QString("Gray"));
    }

    // Earlier versions stored the Chinese texts of the choices; they still mean what they said.
    void chineseChoicesOfEarlierVersionsReadAsTheirKeys() {
        QTemporaryDir dir;
        const QString ini = dir.path() + "/config.ini";
        {
            QSettings raw(ini, QSettings::IniFormat);
            raw.setValue("Setting/dvs_trigger_in_rec_enable", true);
            raw.setValue("Setting/dvs_trigger_in_rec_edge_type", QString::fromUtf8("下降沿"));
            raw.setValue("Setting/dvs_color_type", QString::fromUtf8("浅色"));
        }
        AppSettings s(ini);
        QCOMPARE(s.triggerInEdgeType, QString("Falling Edge"));
        QCOMPARE(s.colorType, QString("Light"));
        QCOMPARE(s.onColor, QColor(0, 0, 0));
        QVERIFY(s.save());
        QSettings raw(ini, QSettings::IniFormat);
        QCOMPARE(raw.value("Setting/dvs_trigger_in_rec_edge_type").toString(), QString("Falling Edge"));
        QCOMPARE(raw.value("Setting/dvs_color_type").toString(), QString("Light"));
    }

    // A settings file that cannot be written is reported, not taken as saved.
    void anUnwritableSettingsFileIsReported() {
        QTemporaryDir dir;
        const QString ini = dir.path() + "/config.ini";
        AppSettings s(ini);
        // A folder where the file should be: no one, root included, writes the file there.
        QVERIFY(QDir(dir.path()).mkdir("config.ini"));
        s.colorType = "Dark";
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot write the settings to"));
        QVERIFY(!s.save());
    }

    // The render thread draws with the processor's own copy of the colours, which a theme change
    // replaces; it never reads the settings object that the GUI thread writes.
    void themeChangesWhileFramesRender() {
        AppSettings* s = AppSettings::instance();
        auto restore = qScopeGuard([s] {
            s->colorType = "Gray";
            s->applyColorTheme();
        });
        ZvEventProcessor processor;
        std::vector<Event2D> ev = {Event2D(10, 10, 1, 0), Event2D(20, 10, 0, 0)};
        std::atomic<bool> stop{false};
        // A playback-like producer: counts and requests frames as fast as they are drawn.
        std::thread producer([&] {
            while (!stop.load()) {
                processor.addEvents(ev.data(), ev.data() + ev.size());
                processor.requestRender();
            }
        });
        auto joinProducer = qScopeGuard([&] {
            stop = true;
            producer.join();
        });
        const QStringList themes = AppSettings::colorThemes();
        for (int i = 0; i < 20; ++i) {
            s->colorType = themes.at(i % themes.size());
            s->applyColorTheme();
            const uint64_t drawn = processor.framesDrawn();
            QTRY_VERIFY_WITH_TIMEOUT(processor.framesDrawn() > drawn, 15000);
        }
        joinProducer.dismiss();
        stop = true;
        producer.join();

        // Settled: a frame requested after the change is drawn with the new theme.
        s->colorType = "Dark";
        s->applyColorTheme();
        GuiSpy images(&processor, &ZvEventProcessor::signalEventImage);
        // Draws one frame with an ON and an OFF event in columns no other frame used, and gives the
        // ON, OFF and background colours of that frame as the GUI thread receives it.
        uint16_t column = 100;
        auto drawOneFrame = [&]() -> QList<QColor> {
            const uint16_t x = column;
            column += 2;
            std::vector<Event2D> frame = {Event2D(x, 100, 1, 0), Event2D(uint16_t(x + 1), 100, 0, 0)};
            processor.addEvents(frame.data(), frame.data() + frame.size());
            processor.requestRender();
            QImage ours;
            const bool arrived = QTest::qWaitFor(
                [&] {
                    for (const auto& call : images) {
                        const QImage image = call.at(0).value<QImage>();
                        if (image.pixelColor(x, 100) != image.pixelColor(x, 101)) ours = image;
                    }
                    return !ours.isNull();
                },
                15000);
            if (!arrived) return {};
            return {ours.pixelColor(x, 100), ours.pixelColor(x + 1, 100), ours.pixelColor(x, 101)};
        };
        const QList<QColor> dark = {QColor(255, 255, 255), QColor(64, 126, 200), QColor(30, 37, 52)};
        QCOMPARE(drawOneFrame(), dark);
        // A write to the settings' fields that was not announced does not reach the picture.
        s->onColor = QColor(1, 2, 3);
        s->backgroundColor = QColor(4, 5, 6);
        QCOMPARE(drawOneFrame(), dark);
        s->colorType = "RedGreen";
        s->applyColorTheme();
        QCOMPARE(drawOneFrame(),
                 QList<QColor>({QColor(255, 0, 0), QColor(0, 255, 0), QColor(112, 112, 112)}));
    }

    void applicationFontIsTheProportionalChineseFace() {
        const QStringList collection = {"Noto Sans CJK JP",      "Noto Sans CJK KR",
                                        "Noto Sans CJK SC",      "Noto Sans CJK TC",
                                        "Noto Sans CJK HK",      "Noto Sans Mono CJK JP",
                                        "Noto Sans Mono CJK KR", "Noto Sans Mono CJK SC",
                                        "Noto Sans Mono CJK TC", "Noto Sans Mono CJK HK"};
        QCOMPARE(chooseApplicationFontFamily(collection), QString("Noto Sans CJK SC"));
        QStringList reversed(collection.rbegin(), collection.rend());
        QCOMPARE(chooseApplicationFontFamily(reversed), QString("Noto Sans CJK SC"));
        QCOMPARE(chooseApplicationFontFamily({"Noto Sans SC"}), QString("Noto Sans SC"));
        QCOMPARE(chooseApplicationFontFamily({"Noto Sans Mono CJK SC", "Other Sans"}), QString("Other Sans"));
        QCOMPARE(chooseApplicationFontFamily({}), QString());

        QTemporaryDir dir;
        QTest::ignoreMessage(QtWarningMsg, "Failed to load font!");
        QVERIFY(!loadApplicationFont({dir.path() + "/NoSuchFont.ttc"}).has_value());

        const QString installed = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
        if (!QFile::exists(installed)) QSKIP("fonts-noto-cjk is not installed");
        const std::optional<QFont> font = loadApplicationFont({dir.path() + "/NoSuchFont.ttc", installed});
        QVERIFY(font.has_value());
        QCOMPARE(font->family(), QString("Noto Sans CJK SC"));
        QVERIFY(!QFontInfo(*font).fixedPitch());
    }

    void helpers() {
        QCOMPARE(formatDuration(65), QString("00:01:05"));
        QCOMPARE(formatDuration(3600 * 100 + 1), QString("100:00:01"));
        QCOMPARE(formatTimestamp(61'033'333), QString("01:01:033333"));
        QCOMPARE(bandwidthText(1048576), QString(" Bandwidth: 1.0 MB/s "));
        QCOMPARE(eventRateText(2000000), QString(" Events: 2.0 MEv/s "));
        QVERIFY(isVersionAtLeast("Tandra_V1.7.2", "Tandra_V1.7.2"));
        QVERIFY(!isVersionAtLeast("Tandra_V1.7.1", "Tandra_V1.7.2"));
        QVERIFY(isVersionAtLeast("Tandra_V1.8", "Tandra_V1.7.2"));
        QVERIFY(!isVersionAtLeast("Tandra_v1.9", "Tandra_V1.7.2"));
        QVERIFY(isSameSubnet("192.168.1.10", "192.168.1.20", "255.255.255.0"));
        QVERIFY(!isSameSubnet("192.168.1.10", "192.168.2.20", "255.255.255.0"));
        QTemporaryDir dir;
        QCOMPARE(resolveTipDirectory(dir.path() + "/missing.raw"), QDir(dir.path()).absolutePath());
        QCOMPARE(resolveTipDirectory(dir.path() + "/no/such/file.raw"), QString());
    }

    void uniqueFilesNeverReplaceAFile() {
        QTemporaryDir dir;
        const QString wanted = dir.path() + "/CAM_20260101_120000.raw";
        QCOMPARE(createUniqueFile(wanted), wanted);
        {
            QFile first(wanted);
            QVERIFY(first.open(QIODevice::WriteOnly));
            first.write("first");
        }
        QCOMPARE(createUniqueFile(wanted), dir.path() + "/CAM_20260101_120000_1.raw");
        QCOMPARE(createUniqueFile(wanted), dir.path() + "/CAM_20260101_120000_2.raw");
        QFile first(wanted);
        QVERIFY(first.open(QIODevice::ReadOnly));
        QCOMPARE(first.readAll(), QByteArray("first"));
        QCOMPARE(createUniqueFile(dir.path() + "/plain"), dir.path() + "/plain");
        QCOMPARE(createUniqueFile(dir.path() + "/plain"), dir.path() + "/plain_1");
        QCOMPARE(createUniqueFile(dir.path() + "/missing/CAM.raw"), QString());
    }

    void toastsAreAsTallAsTheirText() {
        const QString long_text =
            "Cannot record into /root/Documents/ZelvanData/00050a11_20261207_214956.raw: Cannot open "
            "recording "
            "file /root/Documents/ZelvanData/00050a11_20261207_214956.raw: No such file or directory";
        ZvFilePathReminderForm toast(long_text, ZvMessageType::Error, "/tmp");
        toast.show();
        QLabel* tips = nullptr;
        for (auto* label : toast.findChildren<QLabel*>()) {
            if (label->text() == long_text) tips = label;
        }
        QVERIFY(tips != nullptr);
        const int needed = tips->heightForWidth(tips->width());
        QVERIFY2(tips->height() >= needed,
                 qPrintable(QString("text needs %1 px, has %2").arg(needed).arg(tips->height())));
        QCOMPARE(toast.width(), 320);
    }

    void cameraList() {
        std::vector<zelvan::CameraDescription> cams(3);
        for (int i = 0; i < 3; ++i) cams[size_t(i)].serial = "CAM" + std::to_string(i);
        cams[0].product = "EVK4";
        cams[2].product = "Pelmo";
        cams[2].interfaceType = zelvan::ETH;
        CamerasList list(cams, nullptr);
        auto* widget = list.findChild<QListWidget*>("listWidget_cameras");
        QVERIFY(widget);
        QCOMPARE(widget->count(), 3);
        // Serial, product and interface; a camera that names no product shows no gap for it.
        QCOMPARE(widget->item(0)->text(), QString("CAM0  EVK4  USB"));
        QCOMPARE(widget->item(1)->text(), QString("CAM1  USB"));
        QCOMPARE(widget->item(2)->text(), QString("CAM2  Pelmo  ETH"));
        // A dialog: white, in the dialog font size.
        list.ensurePolished();
        QCOMPARE(widget->font().pixelSize(), 18);
        QCOMPARE(list.findChild<QLabel*>("label_camera_list")->font().pixelSize(), 18);
        int index = -1;
        QVERIFY(list.selectedIndex(index));
        QCOMPARE(index, 0);
        list.show();
        const QRect third = widget->visualItemRect(widget->item(2));
        QTest::mouseClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
        QTest::mouseDClick(widget->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
        QCOMPARE(list.result(), int(QDialog::Accepted));
        QVERIFY(list.selectedIndex(index));
        QCOMPARE(index, 2);

        CamerasList empty({}, nullptr);
        QVERIFY(!empty.selectedIndex(index));
        empty.findChild<QPushButton*>("pb_open")->click();
        QCOMPARE(empty.result(), int(QDialog::Accepted));
    }

    void cameraInfoShowsAnEventCamerasIdentity() {
        zelvan::CameraDescription usb;
        usb.serial = "00050a11";
        usb.product = "EVK4";
        usb.manufacturer = "Prophesee";
        usb.firmwareVersion = "3.2.3";
        ShowCameraInfoUI info;
        info.fill(usb, QString::fromStdString(usb.firmwareVersion));
        info.setResolution(1280, 720);
        info.show();
        auto value = [&](const char* name) { return info.findChild<QLabel*>(name); };
        QCOMPARE(value("label_serial_value")->text(), QString("00050a11"));
        QCOMPARE(value("label_product_value")->text(), QString("EVK4"));
        QCOMPARE(value("label_manufacturer_value")->text(), QString("Prophesee"));
        QCOMPARE(value("label_interface_value")->text(), QString("USB"));
        QCOMPARE(value("label_resolution_value")->text(), QString("1280 x 720"));
        QVERIFY(value("label_resolution_value")->isVisible());
        QCOMPARE(info.firmwareText(), QString("3.2.3"));
        QVERIFY(!value("label_ip_value")->isVisible());  // a USB camera has no address

        zelvan::CameraDescription eth = usb;
        eth.interfaceType = zelvan::ETH;
        eth.cameraIp = "192.168.1.100";
        ShowCameraInfoUI ethInfo;
        ethInfo.fill(eth, "2.3.1");
        ethInfo.show();
        QCOMPARE(ethInfo.findChild<QLabel*>("label_interface_value")->text(), QString("Ethernet"));
        QVERIFY(ethInfo.findChild<QLabel*>("label_ip_value")->isVisible());
        QCOMPARE(ethInfo.findChild<QLabel*>("label_ip_value")->text(), QString("192.168.1.100"));
        QVERIFY(!ethInfo.findChild<QLabel*>("label_resolution_value")->isVisible());
    }

    void cameraInfoWithoutACameraAsksForOne() {
        MainWidget window;
        window.show();
        GuiSpy tips(&window,
                    qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips));
        QAction* info = menuAction(window.form()->pb_device, "Camera Info");
        QVERIFY(info);
        const bool opened = withModalDialog([&] { info->trigger(); }, [](QDialog*) {});
        QVERIFY(!opened);
        QCOMPARE(tips.count(), 1);
        QCOMPARE(tips.at(0).at(0).toString(), QString("Please connect camera first."));
        QCOMPARE(tips.at(0).at(1).value<ZvMessageType>(), ZvMessageType::Warning);
    }

    void aboutShowsNameVersionAndLicence() {
        MainWidget window;
        window.show();
        UrlCatcher web;
        QDesktopServices::setUrlHandler("http", &web, "open");
        QDesktopServices::setUrlHandler("https", &web, "open");
        QStringList texts;
        QString kind;
        QAction* about = menuAction(window.form()->pb_help, "About us");
        QVERIFY(about);
        const bool opened = withModalDialog([&] { about->trigger(); },
                                            [&](QDialog* dialog) {
                                                kind = dialog->metaObject()->className();
                                                texts = labelTexts(dialog);
                                            });
        QDesktopServices::unsetUrlHandler("http");
        QDesktopServices::unsetUrlHandler("https");
        QVERIFY(opened);
        QCOMPARE(kind, QString("AboutDialog"));
        const QString all = texts.join("\n");
        QVERIFY2(texts.contains("ZelvanScope"), qPrintable(all));
        QVERIFY2(all.contains(QString("Current version: %1").arg(InitDialog::kVersion)), qPrintable(all));
        QVERIFY2(all.contains("LGPL"), qPrintable(all));
        QVERIFY2(all.contains(qVersion()), qPrintable(all));
        QVERIFY(web.urls.isEmpty());  // nothing is opened in a browser
    }

    void toastsShowTheirTypeInIconAndColour() {
        const struct {
            ZvMessageType type;
            const char* title;
            QColor colour, fill;
        } cases[] = {
            {ZvMessageType::Success, "Success", QColor("#58DB6D"), QColor("#F5FCF6")},
            {ZvMessageType::Warning, "Warning", QColor("#F9BF37"), QColor("#FEFBF4")},
            {ZvMessageType::Error, "Error", QColor("#FF6058"), QColor("#FFF6F6")},
        };
        for (const auto& c : cases) {
            ZvFilePathReminderForm toast("Something happened.", c.type, QString());
            toast.show();
            auto* title = toast.findChild<QLabel*>("toast_title");
            auto* box = toast.findChild<QFrame*>("toast_box");
            auto* icon = toast.findChild<QLabel*>("toast_icon");
            QVERIFY(title && box && icon);
            QCOMPARE(toast.titleText(), QString(c.title));
            QCOMPARE(title->palette().color(title->foregroundRole()), c.colour);
            const QImage boxImage = box->grab().toImage();
            QCOMPARE(boxImage.pixelColor(4, boxImage.height() / 2), c.fill);
            // The icon is drawn in the type's colour, and in no other type's.
            const QImage iconImage = icon->pixmap().toImage();
            QVERIFY2(countColour(iconImage, c.colour) >= 40, c.title);
            for (const auto& other : cases) {
                if (other.type != c.type) QCOMPARE(countColour(iconImage, other.colour), 0);
            }
        }
    }

    void toastOffersItsFolderOnly() {
        ZvFilePathReminderForm plain("Recording end", ZvMessageType::Success, QString());
        plain.show();
        auto* noLink = plain.findChild<QPushButton*>("pb_open_dir");
        QVERIFY(noLink);
        QVERIFY(!noLink->isVisible());

        QTemporaryDir dir;
        ZvFilePathReminderForm saved("Save file success!", ZvMessageType::Success, dir.path());
        saved.show();
        auto* link = saved.findChild<QPushButton*>("pb_open_dir");
        QVERIFY(link && link->isVisible());
        QCOMPARE(link->text(), QString("Open Dir"));
        UrlCatcher files;
        QDesktopServices::setUrlHandler("file", &files, "open");
        link->click();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(files.urls, QList<QUrl>{QUrl::fromLocalFile(dir.path())});
    }

    void toastsRiseAtTheWindowsBottomLeftWithTheFileFolder() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        QTemporaryDir dir;
        window.slotShowLeftBottomTips("Save file success!", ZvMessageType::Success, dir.path() + "/rec.raw");
        const auto toasts = window.findChildren<ZvFilePathReminderForm*>();
        QCOMPARE(toasts.size(), 1);
        ZvFilePathReminderForm* toast = toasts.first();
        QCOMPARE(toast->directory(), QDir(dir.path()).absolutePath());
        QVERIFY(toast->findChild<QPushButton*>("pb_open_dir")->isVisible());
        const QPoint corner = window.mapToGlobal(QPoint(0, window.height()));
        QCOMPARE(toast->frameGeometry().bottomLeft() + QPoint(0, 1), corner);
        toast->close();
    }

    void toastClosesItselfAfterItsTime() {
        QElapsedTimer clock;
        clock.start();
        QPointer<ZvFilePathReminderForm> toast =
            new ZvFilePathReminderForm("Recording end", ZvMessageType::Success, QString());
        toast->show();
        QVERIFY(toast->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(toast.isNull(), ZvFilePathReminderForm::kLifetimeMs + 15000);
        // A coarse timer may fire up to 5 % early, never sooner.
        QVERIFY2(clock.elapsed() >= ZvFilePathReminderForm::kLifetimeMs * 95 / 100,
                 qPrintable(QString("closed after %1 ms").arg(clock.elapsed())));
    }

    void statisticsLabel() {
        MainWidget window;
        QLabel* label = window.form()->label_statistics;
        QVERIFY(label->text().isEmpty());
        window.setStatistics(1048576, 2000000);
        QCOMPARE(label->text(), QString(" Bandwidth: 1.0 MB/s  Events: 2.0 MEv/s "));
        QCOMPARE(window.statisticsText(), label->text());
        window.setStatistics(12 * 1048576 + 300 * 1024, 5'100'000);
        QCOMPARE(label->text(), QString(" Bandwidth: 12.3 MB/s  Events: 5.1 MEv/s "));
        window.clearStatistics();
        QVERIFY(label->text().isEmpty());
    }

    void firstStartShowsHowToBeginAndNoPlaceholders() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        QLabel* hint = window.imageForm()->startHint();
        QVERIFY(hint->isVisible());
        QVERIFY(hint->text().contains("Device > Open Camera"));
        QVERIFY(hint->text().contains("File > Open Recording"));
        // Over the image, in its middle.
        const QRect view = window.imageForm()->rect();
        QVERIFY(view.contains(hint->geometry()));
        QVERIFY((hint->geometry().center() - view.center()).manhattanLength() < 40);

        auto* ui = window.form();
        for (const QLabel* label : window.findChildren<QLabel*>()) {
            QVERIFY2(!label->text().contains("--"), qPrintable(label->objectName() + ": " + label->text()));
        }
        QVERIFY(ui->label_slider_time->text().isEmpty());
        window.showCameraPlayingUI(true);  // what opening a camera does
        QVERIFY(ui->label_slider_time->text().isEmpty());
        window.showTimeStamp(5'123'456);
        QCOMPARE(ui->label_time->text(), QString("Live time 00:05:123456"));

        // The first image takes the hint away.
        window.imageForm()->slotShowImage(QImage(1280, 720, QImage::Format_RGB888));
        QVERIFY(!hint->isVisible());
    }

    void playBarShowsIconsThatFollowTheState() {
        MainWidget window;
        window.show();
        auto* ui = window.form();
        const auto buttons = ui->widget_playbar->findChildren<QPushButton*>();
        QVERIFY(buttons.size() >= 8);
        for (const QPushButton* b : buttons) {
            QVERIFY2(!b->icon().isNull(), qPrintable(b->objectName()));
            QVERIFY2(b->text().isEmpty(), qPrintable(b->objectName() + ": " + b->text()));
            QVERIFY2(!b->toolTip().isEmpty(), qPrintable(b->objectName()));
        }
        // The window frame is the platform's: no second set of window buttons.
        QVERIFY(!window.findChild<QPushButton*>("pb_win_min"));
        QVERIFY(!window.findChild<QPushButton*>("pb_win_max"));
        QVERIFY(!window.findChild<QPushButton*>("pb_win_close"));

        // Play shows a pause symbol (in the accent colour) while checked.
        const QColor accent("#004B6A");
        QCOMPARE(countColour(ui->pb_play->grab().toImage(), accent), 0);
        ui->pb_play->setChecked(true);
        QVERIFY(countColour(ui->pb_play->grab().toImage(), accent) > 20);
        ui->pb_play->setChecked(false);
        QCOMPARE(countColour(ui->pb_play->grab().toImage(), accent), 0);

        // Record's symbol turns red while it records (the button's frame may too; the symbol must).
        const QColor red("#FF6058");
        auto symbol = [&](QIcon::State state) {
            return ui->pb_record->icon().pixmap(ui->pb_record->iconSize(), QIcon::Normal, state).toImage();
        };
        QCOMPARE(countColour(symbol(QIcon::Off), red), 0);
        QVERIFY(countColour(symbol(QIcon::On), red) > 20);
        QCOMPARE(countColour(ui->pb_record->grab().toImage(), red), 0);
        ui->pb_record->setChecked(true);
        QVERIFY(countColour(ui->pb_record->grab().toImage(), red) > 20);
        ui->pb_record->setChecked(false);
    }

    void disabledSliderLooksDisabled() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        ZvThreeHandleSlider* slider = window.form()->slider;
        QVERIFY(!slider->isEnabled());
        const QImage disabled = slider->grab().toImage();
        QCOMPARE(countColour(disabled, QColor("#004B6A")), 0);
        QVERIFY(countColour(disabled, QColor("#C7C7C7")) > 100);
        slider->setEnabled(true);
        QVERIFY(countColour(slider->grab().toImage(), QColor("#004B6A")) > 20);
    }

    void paintedColoursComeFromTheStyleSheet() {
        ShowImageForm form;
        form.ensurePolished();
        QCOMPARE(form.pixmap().toImage().pixelColor(10, 10), QColor("#707070"));
        form.slotSetResolution(320, 320);
        QCOMPARE(form.pixmap().toImage().pixelColor(10, 10), QColor("#707070"));
        ZvGraphicsView* view = form.view();
        QCOMPARE(view->roiOutlineColor(), QColor("#00A6D6"));
        QCOMPARE(view->roiFillColor(), QColor(0, 75, 106, 45));
        WaitingWindow busy;
        busy.ensurePolished();
        QCOMPARE(busy.spinnerColor(), QColor("#004B6A"));
        InitDialog splash;
        splash.ensurePolished();
        QCOMPARE(splash.shadowColor(), QColor("#444444"));
    }

    void recorderRefusesWithoutACamera() {
        ZvFileRecorder recorder;
        GuiSpy tips(&recorder,
                    qOverload<QString, ZvMessageType, QString>(&ZvFileRecorder::signalShowLeftBottomTips));
        QVERIFY(!recorder.recordingTime(5, "/tmp/x.raw"));
        QCOMPARE(tips.count(), 1);
        QCOMPARE(tips.at(0).at(0).toString(), QString("Currently being recorded."));
        QCOMPARE(tips.at(0).at(2).toString(), QString("/tmp/x.raw"));
        QVERIFY(!recorder.startRecording("/tmp/x.raw"));
        QVERIFY(!recorder.stopRecording());
    }
};

ZELVAN_VIEWER_TEST_MAIN(ViewerTests)
#include "ViewerTests.moc"
