// Viewer components without a camera: rendering rules, image view, settings, helpers, dialogs,
// the trigger-driven recorder.
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>
#include <QWheelEvent>
#include <atomic>
#include <thread>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "Utility/ViewerUtils.h"
#include "Utility/ZvFileRecorder.h"
#include "dialogs/CamerasList.h"
#include "processing/ZvEventProcessor.h"
#include "settings/AppSettings.h"
#include "settings/ZvGeneralSetting.h"
#include "ui_ZvGeneralSetting.h"
#include "view/ShowImageForm.h"
#include "view/ZvGraphicsView.h"
#include "widgets/ZvFilePathReminderForm.h"

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
    QWheelEvent e(pos, view->viewport()->mapToGlobal(pos), QPoint(), QPoint(dx, dy), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &e);
}

}  // namespace

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
            const QColor want = QString(c.expect) == "on" ? s->onColor : QString(c.expect) == "off" ? s->offColor
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
        const size_t i = 2 * (size_t(4) * 1280 + 3);
        QCOMPARE(int(counts[i]), 3);
        QCOMPARE(int(counts[i + 1]), 3);
        QCOMPARE(processor.currentTimestamp(), uint64_t(10));  // first event of the range
        // y = 720 lies beyond the grid: nothing counted; x = 1300 on row 5 lands on row 6, x 20.
        std::vector<Event2D> odd = {Event2D(0, 720, 1, 1), Event2D(1300, 5, 1, 2)};
        processor.addEvents(odd.data(), odd.data() + odd.size());
        size_t total = 0;
        for (uint16_t c : processor.countBufferForTesting()) total += c;
        QCOMPARE(total, size_t(7));
        QCOMPARE(int(processor.countBufferForTesting()[2 * (size_t(6) * 1280 + 20) + 1]), 1);
    }

    void requestRenderStartsAnEmptyFrame() {
        ZvEventProcessor processor;
        GuiSpy images(&processor, &ZvEventProcessor::signalEventImage);
        auto ev = repeat(640, 360, 1, 0);
        processor.addEvents(ev.data(), ev.data() + ev.size());
        processor.requestRender();
        for (uint16_t c : processor.countBufferForTesting()) QCOMPARE(int(c), 0);
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
        QCOMPARE(view->clampToScene(QRectF(QPointF(100, 50), QPointF(20, 10))).toAlignedRect(), QRect(20, 10, 80, 40));
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
            s.save();
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
            s->save();
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
            raw.setValue("Setting/dvs_trigger_in_rec_edge_type", QString::fromUtf8("下降沿"));
            raw.setValue("Setting/dvs_after_tirgger_in_save_time", 3);
            raw.setValue("Setting/dvs_color_type", QString::fromUtf8("灰色"));
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
        s.save();
        QSettings raw(ini, QSettings::IniFormat);
        QCOMPARE(raw.value("Setting/dvs_trigger_in_rec_edge_type").toString(), QString("Rising Edge"));
        QCOMPARE(raw.value("Setting/dvs_color_type").toString(), QString("Gray"));
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
            "Cannot record into /root/Documents/ZelvanData/00050a11_20261207_214956.raw: Cannot open recording "
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
        CamerasList list(cams, nullptr);
        auto* widget = list.findChild<QListWidget*>("listWidget_cameras");
        QVERIFY(widget);
        QCOMPARE(widget->count(), 3);
        QCOMPARE(widget->item(2)->text(), QString("CAM2"));
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

    void recorderRefusesWithoutACamera() {
        ZvFileRecorder recorder;
        GuiSpy tips(&recorder, qOverload<QString, ZvMessageType, QString>(&ZvFileRecorder::signalShowLeftBottomTips));
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
