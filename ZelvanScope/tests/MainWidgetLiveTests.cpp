// The main window on a live simulated camera: open through the menu's code path, stream, record.
#include <QFileInfo>
#include <QPushButton>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <fstream>

#include "TestSetup.h"
#include "Utility/ZvFileRecorder.h"
#include "main/MainWidget.h"
#include "processing/ZvEventProcessor.h"
#include "ui_MainWidget.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/RawFileHeader.h"

class MainWidgetLiveTests : public QObject {
    Q_OBJECT
private slots:
    void streamsRecordsAndShowsStatistics() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        zelvan::CameraDescription evk4;
        for (const auto& d : window.searchCameras()) {
            if (d.product == "EVK4") evk4 = d;
        }
        QVERIFY(!evk4.serial.empty());
        window.openCameraByDescription(evk4);
        QCOMPARE(window.viewerMode(), EventCamera);
        QVERIFY(window.eventCamera() != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(window.isLiveRunning(), 5000);
        QVERIFY(window.form()->pb_play->isChecked());

        QSignalSpy images(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
        QElapsedTimer clock;
        clock.start();
        // Images keep coming (how fast is the benchmark's concern: a loaded sanitizer build paints far
        // slower), and never faster than the display rate of about 30 a second allows.
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 5, 20000);
        const int frames = images.count();
        const double seconds = clock.elapsed() / 1000.0;
        qInfo() << "frames:" << frames << "in" << seconds << "s";
        QVERIFY2(frames <= 35 * seconds + 5, qPrintable(QString("%1 frames in %2 s").arg(frames).arg(seconds)));
        const QImage last = images.last().at(0).value<QImage>();
        const QColor background = AppSettings::instance()->backgroundColor;
        int painted = 0;
        for (int y = 0; y < last.height(); y += 4)
            for (int x = 0; x < last.width(); x += 4) painted += last.pixelColor(x, y) != background;
        QVERIFY2(painted > 100, "the live image shows events");
        QTRY_VERIFY_WITH_TIMEOUT(window.statisticsText().contains("MEv/s"), 3000);
        // scripts/screenshot.sh asks for a picture of the live window.
        const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT");
        if (!shot.isEmpty()) QVERIFY(window.grab().save(shot));

        // Record two seconds with the record button.
        window.form()->pb_record->click();
        QVERIFY(window.form()->pb_record->isChecked());
        QTest::qWait(2000);
        window.form()->pb_record->click();
        QVERIFY(!window.form()->pb_record->isChecked());
        const QString path = window.lastRecordingPath();
        QVERIFY(QFileInfo::exists(path));
        std::ifstream in(path.toStdString(), std::ios::binary);
        zelvan::RawFileHeader header;
        std::string error;
        QVERIFY2(zelvan::readRawFileHeader(in, header, error), error.c_str());
        QCOMPARE(header.info.serial_number, evk4.serial);
        QVERIFY(QFileInfo(path).size() > qint64(header.payload_offset) + 1'000'000);

        // A trigger-driven recording refuses a second one while it runs.
        ZvFileRecorder recorder(window.eventCamera());
        const QString timed = QFileInfo(path).absolutePath() + "/timed.raw";
        QVERIFY(recorder.recordingTime(1, timed));
        QSignalSpy tips(&recorder, qOverload<QString, ZvMessageType, QString>(&ZvFileRecorder::signalShowLeftBottomTips));
        QVERIFY(!recorder.recordingTime(1, timed + "2"));
        QCOMPARE(tips.last().at(0).toString(), QString("Currently being recorded."));
        recorder.waitForTimedRecording();
        QVERIFY(QFileInfo(timed).size() > 0);

        // Space only flips the play button in camera mode.
        QTest::keyClick(&window, Qt::Key_Space);
        QVERIFY(!window.form()->pb_play->isChecked());
        QVERIFY(window.isLiveRunning());
        window.form()->pb_play->setChecked(true);
        window.form()->pb_play->click();  // stops the stream
        QVERIFY(!window.isLiveRunning());
    }
};

ZELVAN_VIEWER_TEST_MAIN(MainWidgetLiveTests)
#include "MainWidgetLiveTests.moc"
