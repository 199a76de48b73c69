// The fusion side of the main window on the simulated fusion camera: opening it, the firmware check,
// streaming both sensors, the viewer types, recording both streams and playing the recording back;
// the frame sidebar with its manual calibration box; and how well the overlay fits the frame.
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "TestSync.h"
#include "ViewerTestHelpers.h"
#include "main/MainWidget.h"
#include "processing/Calibrator.h"
#include "processing/DvsApsFusionProccessor.h"
#include "processing/ZvFusionCameraDataProcessor.h"
#include "settings/AppSettings.h"
#include "settings/SidebarApsSettingUI.h"
#include "settings/SidebarDvsSettingUI.h"
#include "settings/items/SettingBaseWithLineEdit.h"
#include "settings/items/SettingBaseWithSwitchButton.h"
#include "settings/items/SettingItemBox.h"
#include "ui_MainWidget.h"
#include "widgets/WaitingWindow.h"
#include "zelvan/ApsFileReader.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/Mp4FileReader.h"
#include "zelvan/RawFileHeader.h"
#include "zelvan/SyntheticScene.h"
#include "zelvan/sim/SimDevice.h"

namespace {

constexpr int kDeadlineMs = 30000;
using zelvan::sim::SimDeviceConfig;
using zelvan::sim::SimulatedCameras;

template <typename W>
W* child(QWidget* parent, const char* name) {
    W* widget = parent->findChild<W*>(name);
    if (!widget) qFatal("no child %s", name);
    return widget;
}

void typeInto(QLineEdit* edit, const QString& text) {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
}

using TipSpy = std::unique_ptr<GuiSpy>;
TipSpy spyTips(MainWidget& window) {
    return std::make_unique<GuiSpy>(
        &window, qOverload<QString, ZvMessageType, QString>(&MainWidget::signalShowLeftBottomTips));
}

// The simulated fusion camera, opened through `manager`; null when there is none.
std::shared_ptr<zelvan::FusionCamera> openTandra(zelvan::DvsCameraManager& manager) {
    for (const auto& d : manager.getCameraDescs())
        if (d.product == "Tandra") return manager.openFusionCamera(d.serial);
    return nullptr;
}

zelvan::CameraDescription findTandra(MainWidget& window) {
    for (const auto& d : window.searchCameras())
        if (d.product == "Tandra") return d;
    return {};
}

// A tool whose parameters are all switches.
class SwitchesTool : public zelvan::CameraTool {
public:
    SwitchesTool() {
        for (const char* name : {"auto_exposure", "auto_gain"}) {
            addParameter(
                zelvan::FullParamteterInfo::makeBool(name, "a switch", false),
                [this, n = std::string(name)](zelvan::ParameterValue& v) {
                    v = values_[n];
                    return true;
                },
                [this, n = std::string(name)](const zelvan::ParameterValue& v) {
                    values_[n] = std::get<bool>(v);
                    return true;
                });
        }
    }
    zelvan::ToolInfo getToolInfo() const override { return {zelvan::APS_CTRL, "Switches", {}, {}}; }
    std::map<std::string, bool> values_;
};

// Luma of a BGR pixel.
inline int luma(const uint8_t* p) { return (29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8; }

// Distances (pixels of the drawn image) from a sample of the event pixels drawn over `frame` in
// `drawn` (the pixels where the two differ) to the nearest strong luma step of `frame`. Both are
// packed BGR of the same size.
std::vector<double> overlayDistances(const QImage& drawn, const zelvan::ApsFrame& frame) {
    const int w = frame.width();
    const int h = frame.height();
    std::vector<uint8_t> edge(size_t(w) * h, 0);
    const uint8_t* px = frame.data();
    for (int y = 0; y + 1 < h; ++y)
        for (int x = 0; x + 1 < w; ++x) {
            const uint8_t* p = px + (size_t(y) * w + x) * 3;
            const int l = luma(p);
            if (std::abs(l - luma(p + 3)) > 100 || std::abs(l - luma(p + size_t(w) * 3)) > 100)
                edge[size_t(y) * w + x] = 1;
        }
    std::vector<QPoint> events;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = drawn.constScanLine(y);
        const uint8_t* under = px + size_t(y) * w * 3;
        for (int x = 0; x < w; ++x)
            if (std::memcmp(row + x * 3, under + x * 3, 3) != 0) events.emplace_back(x, y);
    }
    // Squared distance to the nearest edge pixel, exact, by the separable lower envelope of
    // parabolas over columns and then rows (linear in the pixels).
    constexpr double kFar = 1e12;
    std::vector<double> dist(size_t(w) * h);
    for (size_t i = 0; i < dist.size(); ++i) dist[i] = edge[i] ? 0.0 : kFar;
    std::vector<double> line(size_t(std::max(w, h))), out(line.size()), z(line.size() + 1);
    std::vector<int> v(line.size());
    const auto envelope = [&](int n) {
        constexpr double kInf = std::numeric_limits<double>::infinity();
        const auto cross = [&](int q, int p) {
            return ((line[size_t(q)] + double(q) * q) - (line[size_t(p)] + double(p) * p)) / (2.0 * (q - p));
        };
        int k = 0;
        v[0] = 0;
        z[0] = -kInf;
        z[1] = kInf;
        for (int q = 1; q < n; ++q) {
            double sq = cross(q, v[size_t(k)]);
            while (sq <= z[size_t(k)]) sq = cross(q, v[size_t(--k)]);
            ++k;
            v[size_t(k)] = q;
            z[size_t(k)] = sq;
            z[size_t(k) + 1] = kInf;
        }
        k = 0;
        for (int q = 0; q < n; ++q) {
            while (z[size_t(k) + 1] < q) ++k;
            const int p = v[size_t(k)];
            out[size_t(q)] = double(q - p) * (q - p) + line[size_t(p)];
        }
    };
    for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) line[size_t(y)] = dist[size_t(y) * w + x];
        envelope(h);
        for (int y = 0; y < h; ++y) dist[size_t(y) * w + x] = out[size_t(y)];
    }
    for (int y = 0; y < h; ++y) {
        std::copy_n(dist.begin() + ptrdiff_t(y) * w, w, line.begin());
        envelope(w);
        std::copy_n(out.begin(), w, dist.begin() + ptrdiff_t(y) * w);
    }
    constexpr double kRadius = 150;  // beyond it an event counts as this far
    std::vector<double> d;
    d.reserve(events.size());
    for (const QPoint& e : events) d.push_back(std::min(kRadius, std::sqrt(dist[size_t(e.y()) * w + e.x()])));
    return d;
}

// A toast saying a recording was saved incomplete: on a machine too busy to take every frame, the
// recording drops some and says so.
bool savedIncomplete(const QList<QVariant>& tip) {
    return tip.at(1).value<ZvMessageType>() == ZvMessageType::Error &&
           tip.at(0).toString().contains("is incomplete: data were lost or could not be written.");
}

// A toast saying a recording's files were written (complete, or incomplete as above).
bool recordingSaved(const QList<QVariant>& tip) {
    return tip.at(0).toString() == "Save file success!" || savedIncomplete(tip);
}

// The pair of files a fusion recording leaves in `folder`: a .raw with its header and events, and a
// same-named .mp4 whose frames can be listed. Empty when there is no such pair.
QString completeFusionRecording(const QString& folder) {
    const QStringList raws = QDir(folder).entryList({"*.raw"});
    if (raws.size() != 1) return {};
    const QString raw = QDir(folder).filePath(raws.first());
    std::ifstream in(raw.toStdString(), std::ios::binary);
    zelvan::RawFileHeader header;
    std::string error;
    if (!zelvan::readRawFileHeader(in, header, error) ||
        QFileInfo(raw).size() <= qint64(header.payload_offset))
        return {};
    auto frames = zelvan::ApsFileReader::createFileReader(QString(raw).replace(".raw", ".mp4").toStdString());
    std::vector<uint64_t> times;
    if (!frames || !frames->loadFile() || !frames->getTimeStamps(times) || times.empty()) return {};
    return raw;
}

}  // namespace

class FusionWindowTests : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void initTestCase() {
        AppSettings::instance()->outputRawFilePath = dir_.path();
        AppSettings::instance()->inputRawFilePath = dir_.path();
    }
    void cleanupTestCase() { SimulatedCameras::instance().restoreDefault(); }

    // --- The frame sidebar ---

    void offsetItemsSendThePairAndStayInRange() {
        SidebarApsSettingUI sidebar;
        sidebar.show();
        GuiSpy offsets(&sidebar, &SidebarApsSettingUI::signalManualCaliOffsetXY);
        auto* x = child<QLineEdit>(sidebar.offsetXItem(), "le_value");
        auto* y = child<QLineEdit>(sidebar.offsetYItem(), "le_value");
        typeInto(y, "-3");
        QVERIFY(!offsets.isEmpty());
        QCOMPARE(offsets.last().at(1).toDouble(), -3.0);
        typeInto(x, "12");
        QCOMPARE(offsets.last().at(0).toDouble(), 12.0);
        QCOMPARE(offsets.last().at(1).toDouble(), -3.0);
        // Out of range: the field turns red and nothing is sent.
        typeInto(x, "150");
        QCOMPARE(x->property("state").toString(), QString("invalid"));
        // "1" and "15" on the way were sent; 150 never is.
        QCOMPARE(offsets.last().at(0).toDouble(), 15.0);
        QVERIFY(std::none_of(offsets.begin(), offsets.end(),
                             [](const QList<QVariant>& c) { return c.at(0).toDouble() > 100; }));
        // The plus button stops at 100.
        typeInto(x, "99");
        auto* plus = child<QPushButton>(sidebar.offsetXItem(), "pb_plus");
        QTest::mouseClick(plus, Qt::LeftButton);
        QTest::mouseClick(plus, Qt::LeftButton);
        QCOMPARE(sidebar.offsetXItem()->value(), 100);
        QCOMPARE(offsets.last().at(0).toDouble(), 100.0);
        GuiSpy apply(&sidebar, &SidebarApsSettingUI::signalApplyCaliOffset);
        sidebar.applyButton()->click();
        QCOMPARE(apply.count(), 1);
        QCOMPARE(sidebar.offsetX(), 100.0);  // until the calibration has taken them in
    }

    // Default puts back the shipped values of every tool, the frame sensor's included.
    void theFrameSidebarsDefaultResetsTheCamera() {
        zelvan::DvsCameraManager manager;
        auto camera = openTandra(manager);
        QVERIFY(camera && camera->isConnected());
        auto aps = camera->getTool(zelvan::APS_CTRL);
        auto biases = camera->getTool(zelvan::BIASES);
        QVERIFY(aps && biases);
        int black_level = 0, bias_fo = 0;
        QVERIFY(aps->getParam("black_level", black_level));
        QVERIFY(biases->getParam("bias_fo", bias_fo));
        QVERIFY(aps->setParam("black_level", black_level + 20));
        QVERIFY(biases->setParam("bias_fo", bias_fo + 3));
        SidebarApsSettingUI sidebar;
        sidebar.setFusionCamera(camera, aps);
        QVERIFY(sidebar.loadDefaultConfig());
        int now = -1;
        QVERIFY(aps->getParam("black_level", now));
        QCOMPARE(now, black_level);
        QVERIFY(biases->getParam("bias_fo", now));
        QCOMPARE(now, bias_fo);
    }

    void clearingTheSidebarResetsTheOffsetsWithoutSendingThem() {
        SidebarApsSettingUI sidebar;
        sidebar.show();
        auto* x = child<QLineEdit>(sidebar.offsetXItem(), "le_value");
        auto* y = child<QLineEdit>(sidebar.offsetYItem(), "le_value");
        typeInto(x, "12");
        typeInto(y, "-3");
        GuiSpy offsets(&sidebar, &SidebarApsSettingUI::signalManualCaliOffsetXY);
        sidebar.clear();
        QCOMPARE(offsets.count(), 0);
        QCOMPARE(sidebar.offsetX(), 0.0);
        QCOMPARE(sidebar.offsetY(), 0.0);
        QCOMPARE(sidebar.offsetXItem()->value(), 0);
        QCOMPARE(x->text(), QString("0"));
        QCOMPARE(y->text(), QString("0"));
        // The next edit sends the new pair, not the old X.
        typeInto(y, "5");
        QCOMPARE(offsets.last().at(0).toDouble(), 0.0);
        QCOMPARE(offsets.last().at(1).toDouble(), 5.0);
    }

    void afterApplyTheOffsetsStartFromTheAppliedCalibration() {
        MainWidget window;
        window.show();
        SidebarApsSettingUI* sidebar = window.apsSidebar();
        Calibrator& calibrator = window.fusionProcessor()->calibrator();
        const double c = calibrator.forwardTransform()[2];
        const double f = calibrator.forwardTransform()[5];
        auto* x = child<QLineEdit>(sidebar->offsetXItem(), "le_value");
        auto* y = child<QLineEdit>(sidebar->offsetYItem(), "le_value");
        typeInto(x, "12");
        typeInto(y, "-3");
        QCOMPARE(calibrator.translationX(), 12.0);
        QCOMPARE(calibrator.translationY(), -3.0);
        sidebar->applyButton()->click();
        QCOMPARE(calibrator.forwardTransform()[2], c + 12);
        QCOMPARE(calibrator.translationX(), 0.0);
        QCOMPARE(sidebar->offsetX(), 0.0);
        QCOMPARE(sidebar->offsetY(), 0.0);
        QCOMPARE(x->text(), QString("0"));
        // Editing Y now shifts Y alone: X stays where Apply put it.
        typeInto(y, "4");
        QCOMPARE(calibrator.translationX(), 0.0);
        QCOMPARE(calibrator.translationY(), 4.0);
        QCOMPARE(calibrator.forwardTransform()[5], f - 3);
    }

    void aToolOfSwitchesGivesABoxOfSwitches() {
        SidebarApsSettingUI sidebar;
        auto tool = std::make_shared<SwitchesTool>();
        sidebar.setApsToolUI(tool);
        QVERIFY(sidebar.apsBox());
        QCOMPARE(sidebar.apsBox()->findChildren<SettingBaseWithSwitchButton*>().size(), 2);
        QCOMPARE(sidebar.apsBox()->findChildren<SettingBaseWithLineEdit*>().size(), 0);
        auto* item = qobject_cast<SettingBaseWithSwitchButton*>(sidebar.item("auto_gain"));
        QVERIFY(item);
        item->setChecked(true);
        emit item->signalItemValueChanged("auto_gain", true);
        QVERIFY(tool->values_["auto_gain"]);
        // No tool: no box.
        sidebar.setApsToolUI(nullptr);
        QVERIFY(!sidebar.apsBox());
    }

    // --- The window ---

    void liveViewTypesRecordingAndPlaybackEndToEnd() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        auto tips = spyTips(window);
        const zelvan::CameraDescription tandra = findTandra(window);
        QVERIFY(!tandra.serial.empty());
        window.openCameraByDescription(tandra);
        QCOMPARE(window.viewerMode(), FusionCamera);
        QVERIFY(window.fusionCamera());
        QTRY_VERIFY_WITH_TIMEOUT(window.isFusionLive(), kDeadlineMs);
        QVERIFY(window.form()->pb_play->isChecked());
        QCOMPARE(window.viewerShowType(), zelvan::DVS_AND_APS);
        QCOMPARE(window.firmwareVersion(), QString("Tandra_V1.7.2"));
        QVERIFY(std::none_of(tips->begin(), tips->end(), [](const QList<QVariant>& t) {
            return t.at(0).toString().contains("firmware");
        }));
        // The sidebars show the camera: the event sensor without trigger-in box and config bar, the frame
        // sensor's tool and the calibration box.
        QVERIFY(window.form()->pb_fold_aps_setting->isEnabled());
        QVERIFY(window.apsSidebar()->apsBox());
        QVERIFY(window.apsSidebar()->configBar()->isVisibleTo(window.apsSidebar()));
        QVERIFY(!window.dvsSidebar()->toolBox(SidebarDvsSettingUI::Tool::TriggerIn));
        QVERIFY(window.dvsSidebar()->toolBox(SidebarDvsSettingUI::Tool::Biases));
        QVERIFY(!window.dvsSidebar()->configBar()->isVisibleTo(window.dvsSidebar()));
        // A file loaded from the frame sensor's panel shows in the event sensor's panel too.
        {
            const QString file = dir_.filePath("erc.json");
            std::ofstream(file.toStdString()) << R"({"EventRateControl": {"max_event_rate": 17}})";
            GuiSpy panelTips(window.apsSidebar(), qOverload<QString, ZvMessageType, QString>(
                                                      &SidebarApsSettingUI::signalShowLeftBottomTips));
            QVERIFY(window.apsSidebar()->loadConfigFile(file));
            QCOMPARE(panelTips.last().at(1).value<ZvMessageType>(), ZvMessageType::Success);
            // A file the camera takes only in part says so.
            const QString partly = dir_.filePath("partly.json");
            std::ofstream(partly.toStdString())
                << R"({"Nope": {}, "EventRateControl": {"max_event_rate": 18}})";
            QVERIFY(window.apsSidebar()->loadConfigFile(partly));
            QCOMPARE(panelTips.last().at(0).toString(),
                     QString("Camera parameters loaded; a tool the camera lacks was skipped."));
            QCOMPARE(panelTips.last().at(1).value<ZvMessageType>(), ZvMessageType::Warning);
            QVERIFY(window.apsSidebar()->loadConfigFile(file));
            auto* rate = qobject_cast<SettingBaseWithLineEdit*>(
                window.dvsSidebar()->item(SidebarDvsSettingUI::Tool::EventRateControl, "max_event_rate"));
            QVERIFY(rate);
            QCOMPARE(rate->value(), 17);
        }

        // Each viewer type brings images: overlay (the start), events, frames, overlay again.
        GuiSpy images(window.fusionProcessor(), &ZvFusionCameraDataProcessor::signalFusionImage);
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 2, kDeadlineMs);
        const zelvan::STREAM_TYPE cycle[] = {zelvan::DVS, zelvan::APS, zelvan::DVS_AND_APS};
        for (zelvan::STREAM_TYPE expected : cycle) {
            window.form()->pb_viewer_type->click();
            QCOMPARE(window.viewerShowType(), expected);
            QTRY_COMPARE_WITH_TIMEOUT(window.fusionProcessor()->viewerType(), expected, kDeadlineMs);
            // Images of the type before may still be on their way to the GUI thread: the view shows
            // the new type within the deadline.
            const QColor background = AppSettings::instance()->backgroundColor;
            const auto shows = [&](const QImage& image) {
                if (image.size() != QSize(1280, 720)) return false;
                const bool mostly_background = countColour(image, background) > 1280 * 720 / 2;
                // Events on the background, or the frame.
                return expected == zelvan::DVS ? mostly_background : !mostly_background;
            };
            const qsizetype before = images.count();
            QTRY_VERIFY_WITH_TIMEOUT(images.count() > before && shows(images.last().at(0).value<QImage>()),
                                     kDeadlineMs);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!window.form()->label_time->text().isEmpty(), kDeadlineMs);
        if (const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT_FUSION"); !shot.isEmpty()) {
            // The overlay with the APS Setting sidebar open beside it.
            window.form()->pb_fold_aps_setting->click();
            window.apsSidebar()->apsBox()->setFolded(false);
            const qsizetype before = images.count();
            QTRY_VERIFY_WITH_TIMEOUT(images.count() >= before + 3, kDeadlineMs);
            QTRY_VERIFY_WITH_TIMEOUT(window.statisticsText().contains("MEv/s"), kDeadlineMs);
            QTest::qWait(200);  // the last image painted
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            QVERIFY(window.grab().save(shot));
        }

        // Record 3 s of both streams.
        window.form()->pb_record->click();
        QVERIFY(window.isFusionRecording());
        const qsizetype recorded_from = images.count();
        QTest::qWait(3000);
        // And a few frames, however slowly a busy machine's simulated camera goes.
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= recorded_from + 6, kDeadlineMs);
        window.form()->pb_record->click();
        QVERIFY(!window.isFusionRecording());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isFinishingFusionRecording(), kDeadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(tips->begin(), tips->end(), recordingSaved), kDeadlineMs);
        const QStringList raws = QDir(dir_.path()).entryList({"*.raw"});
        QCOMPARE(raws.size(), 1);
        const QString raw = dir_.filePath(raws.first());
        QVERIFY(QFileInfo(QString(raw).replace(".raw", ".mp4")).size() > 0);

        // Open the recording: fusion file mode, the camera released, playback starts by itself.
        GuiSpy times(window.fusionProcessor(), &ZvFusionCameraDataProcessor::signalTimeStamp);
        window.form()->pb_viewer_type->click();  // events only, then the recording opens as overlay
        QCOMPARE(window.viewerShowType(), zelvan::DVS);
        window.openRecording(raw);
        QCOMPARE(window.viewerMode(), FusionFile);
        window.form()->pb_loop->setChecked(true);  // played in a loop: it never ends while the test looks
        QVERIFY(window.fusionProcessor()->replay());
        QCOMPARE(window.viewerShowType(), zelvan::DVS_AND_APS);
        QTRY_COMPARE_WITH_TIMEOUT(window.fusionProcessor()->viewerType(), zelvan::DVS_AND_APS, kDeadlineMs);
        QVERIFY(!window.fusionCamera());
        QVERIFY(!window.form()->pb_fold_aps_setting->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window.fusionProcessor()->hasFile(), kDeadlineMs);
        QTRY_VERIFY_WITH_TIMEOUT(window.fusionProcessor()->isPlaying(), kDeadlineMs);
        const qsizetype shown = times.count();
        QTRY_VERIFY_WITH_TIMEOUT(times.count() >= shown + 5, kDeadlineMs);
        // Pause and seek through the slider's signal.
        window.form()->pb_play->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window.fusionProcessor()->isPlaying(), kDeadlineMs);
        // Positions within the recording (a busy machine's simulated camera makes less than 3 s of
        // camera time in 3 s).
        const uint64_t start = window.fusionProcessor()->lowerTimestamp();
        const uint64_t span = window.fusionProcessor()->upperTimestamp() - start;
        QVERIFY(span > 100'000);
        const uint64_t dragEnd = start + span / 2;
        const uint64_t target = start + span * 3 / 4;
        // A drag's positions in a row make one seek, to the last of them.
        GuiSpy played(window.fusionProcessor(), &ZvFusionCameraDataProcessor::signalFusionImage);
        for (uint64_t t = start + span / 20; t < dragEnd; t += span / 20)
            emit window.form()->slider->centerValueMove(t);
        emit window.form()->slider->centerValueMove(dragEnd);
        QTRY_COMPARE_WITH_TIMEOUT(window.fusionProcessor()->timeBase(), dragEnd, kDeadlineMs);
        QTRY_COMPARE_WITH_TIMEOUT(played.count(), 1, kDeadlineMs);
        QTest::qWait(100);
        QCOMPARE(played.count(), 1);
        emit window.form()->slider->centerValueTrackClick(target);
        QTRY_COMPARE_WITH_TIMEOUT(window.fusionProcessor()->timeBase(), target, kDeadlineMs);
        {
            // The frame shown is the recording's last frame at or before that moment (however many
            // frames the recording kept on a busy machine).
            zelvan::Mp4FileReader reader(QString(raw).replace(".raw", ".mp4").toStdString());
            QVERIFY(reader.loadFile());
            std::vector<uint64_t> times;
            QVERIFY(reader.getTimeStamps(times));
            const uint64_t offset = start;  // the playback starts at the first frame's time
            const auto after = std::upper_bound(times.begin(), times.end(), target - offset);
            QVERIFY(after != times.begin());
            QCOMPARE(window.fusionProcessor()->currentFrameTime(), *std::prev(after) + offset);
        }
        QTRY_COMPARE_WITH_TIMEOUT(window.form()->slider->centerValue(), target, kDeadlineMs);
        // A step forward.
        emit window.form()->pb_next_frame->pressed();
        QTRY_VERIFY_WITH_TIMEOUT(window.fusionProcessor()->timeBase() > target, kDeadlineMs);
        QVERIFY(std::none_of(tips->begin(), tips->end(), [&](const QList<QVariant>& t) {
            return t.at(1).value<ZvMessageType>() == ZvMessageType::Error && !savedIncomplete(t);
        }));
    }

    // How well the overlay fits: the images the view draws of the simulated camera in the overlay
    // view, with the calibration the camera comes with (the events of the accumulation time up to
    // each frame), against the strong luma steps of the frame beneath.
    void overlaidEventsFallOnTheFramesEdges() {
        zelvan::DvsCameraManager manager;
        auto camera = openTandra(manager);
        QVERIFY(camera && camera->isConnected());
        // The calibration the camera comes with, as the window loads it on opening the camera.
        zelvan::CalibratorParameters params;
        QVERIFY(camera->readCalibrationParam(params));
        ZvFusionCameraDataProcessor processor;
        QVERIFY(processor.loadCalibration(params));
        processor.setThemeColors(QColor("#FF00FF"), QColor("#00FFFF"), QColor("#000000"));
        processor.slotSetViewerType(zelvan::DVS_AND_APS);
        processor.setFusionCamera(camera);
        Calibrator calibrator;  // the same, to resample the frames beneath
        QVERIFY(calibrator.loadCalibrationParam(params));

        // The frames as they lie beneath the events (resampled like the view's), by exposure end;
        // the images drawn, by the time they are sent with.
        std::mutex mutex;
        std::map<uint64_t, zelvan::ApsFrame> beneath;
        std::vector<std::pair<uint64_t, QImage>> drawn;
        QImage last_image;
        constexpr size_t kImages = 8;
        QObject context;
        connect(
            &processor, &ZvFusionCameraDataProcessor::signalFusionImage, &context,
            [&](QImage image) { last_image = image; }, Qt::DirectConnection);
        connect(
            &processor, &ZvFusionCameraDataProcessor::signalTimeStamp, &context,
            [&](uint64_t t) {
                std::lock_guard<std::mutex> lock(mutex);
                if (drawn.size() < kImages) drawn.emplace_back(t, last_image);
            },
            Qt::DirectConnection);
        camera->addApsFrameCallback([&](zelvan::ApsFrame frame) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (drawn.size() < kImages) {
                    zelvan::ApsFrame mapped;
                    calibrator.mapApsToDvs(frame, mapped);
                    beneath[frame.endTimestamp()] = std::move(mapped);
                }
            }
            processor.addApsData(std::move(frame));
        });
        camera->addEventsStreamHandleCallback(
            [&](zelvan::Event2D* a, zelvan::Event2D* b) { processor.addDvsData(a, b); });
        QCOMPARE(camera->start(zelvan::DVS_AND_APS), 0);
        const bool enough = QTest::qWaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return drawn.size() >= kImages;
            },
            kDeadlineMs);
        camera->stop(zelvan::DVS_AND_APS);
        camera->destroy();
        processor.setFusionCamera(nullptr);
        QVERIFY(enough);
        std::vector<double> all;
        for (const auto& [t, image] : drawn) {
            const auto frame = beneath.find(t);
            QVERIFY(frame != beneath.end());
            QCOMPARE(image.size(), QSize(frame->second.width(), frame->second.height()));
            QCOMPARE(image.format(), QImage::Format_BGR888);
            const std::vector<double> d = overlayDistances(image, frame->second);
            all.insert(all.end(), d.begin(), d.end());
        }
        QVERIFY(!all.empty());
        // Frame pixels per pixel of the event grid.
        const Calibrator::Affine t = calibrator.forwardTransform();
        const double scale = std::sqrt(std::abs(t[0] * t[4] - t[1] * t[3]));
        double mean = 0;
        for (double v : all) mean += v;
        mean /= double(all.size());
        std::nth_element(all.begin(), all.begin() + all.size() / 2, all.end());
        const double median = all[all.size() / 2];
        std::printf(
            "overlay distance: %zu event pixels from %zu images (accumulation %llu us): mean %.2f, "
            "median %.2f "
            "frame pixels (%.2f, %.2f event pixels)\n",
            all.size(), kImages, static_cast<unsigned long long>(processor.accumulationTime()), mean * scale,
            median * scale, mean, median);
        // The events of the accumulation time trail each edge by up to the distance it moved in that
        // time (the vertical bar is the faster): half of it, plus 3 pixels, bounds the median of a
        // fitting overlay. A wrong transform (the built-in default here, made for another lens) puts
        // the events tens of frame pixels further off.
        const double travel = double(1280 + zelvan::SyntheticScene::kBarWidth) *
                              double(processor.accumulationTime()) /
                              double(zelvan::SyntheticScene::kSweepPeriodUs);
        QVERIFY2(median < travel / 2 + 3.0, qPrintable(QString("median %1 event pixels").arg(median)));
    }

    // The camera unplugged while it streams: the window notices, says so and stops showing it live; a
    // start once it is back fails (the handle is lost until opened again) and says so too.
    void losingTheCameraDuringLiveViewIsToldAndAStartAfterwardsFailsVisibly() {
        MainWidget window;
        window.show();
        auto tips = spyTips(window);
        const zelvan::CameraDescription tandra = findTandra(window);
        QVERIFY(!tandra.serial.empty());
        window.openCameraByDescription(tandra);
        QTRY_VERIFY_WITH_TIMEOUT(window.isFusionLive(), kDeadlineMs);
        GuiSpy images(window.fusionProcessor(), &ZvFusionCameraDataProcessor::signalFusionImage);
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 1, kDeadlineMs);
        std::shared_ptr<zelvan::sim::SimDevice> device = SimulatedCameras::instance().find(tandra.serial);
        QVERIFY(device);
        device->unplug();
        const auto told = [&tips](const QString& text, ZvMessageType type) {
            return std::any_of(tips->begin(), tips->end(), [&](const QList<QVariant>& t) {
                return t.at(0).toString() == text && t.at(1).value<ZvMessageType>() == type;
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(told("camera disconnected", ZvMessageType::Warning), kDeadlineMs);
        QVERIFY(!window.isFusionLive());
        QVERIFY(!window.form()->pb_play->isChecked());
        // Back once the camera has stopped on its loss: the lost handle needs opening again.
        QVERIFY(window.fusionCamera());
        QTRY_VERIFY_WITH_TIMEOUT(!window.fusionCamera()->isStreaming(), kDeadlineMs);
        device->plug();
        window.form()->pb_play->click();
        QVERIFY(!window.isFusionLive());
        QVERIFY(!window.form()->pb_play->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(
            told("The camera could not be started; check its connection.", ZvMessageType::Error),
            kDeadlineMs);
    }

    // Pausing while a recording runs: its files are completed behind the busy window while the window
    // keeps handling events; the stream stops once they are complete.
    void pausingDuringARecordingKeepsTheWindowResponsive() {
        QTemporaryDir folder;
        AppSettings::instance()->outputRawFilePath = folder.path();
        const auto restore =
            qScopeGuard([this] { AppSettings::instance()->outputRawFilePath = dir_.path(); });
        MainWidget window;
        window.show();
        auto tips = spyTips(window);
        const zelvan::CameraDescription tandra = findTandra(window);
        QVERIFY(!tandra.serial.empty());
        window.openCameraByDescription(tandra);
        QTRY_VERIFY_WITH_TIMEOUT(window.isFusionLive(), kDeadlineMs);
        Gate completion;
        window.setFusionStopHookForTesting([&completion] { completion.waitOpen(); });
        GuiSpy images(window.fusionProcessor(), &ZvFusionCameraDataProcessor::signalFusionImage);
        window.form()->pb_record->click();
        QVERIFY(window.isFusionRecording());
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 3, kDeadlineMs);  // frames were recorded
        auto* busy = window.findChild<WaitingWindow*>();
        QVERIFY(busy);
        bool handled = false;
        bool busy_shown = false;
        QTimer::singleShot(0, &window, [&] {
            handled = true;
            busy_shown = busy->isVisible() && window.isFinishingFusionRecording();
            completion.open();
        });
        window.form()->pb_play->click();  // pause
        QVERIFY(handled);
        QVERIFY(busy_shown);
        QVERIFY(!window.isFusionLive());
        QVERIFY(!window.isFinishingFusionRecording());
        QVERIFY(!busy->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(tips->begin(), tips->end(), recordingSaved), kDeadlineMs);
        completion.open();
    }

    // Closing the window while both streams are recorded ends the recording; the window goes once
    // its files are complete, and they are.
    void closingDuringAFusionRecordingCompletesItsFiles() {
        QTemporaryDir folder;
        AppSettings::instance()->outputRawFilePath = folder.path();
        const auto restore =
            qScopeGuard([this] { AppSettings::instance()->outputRawFilePath = dir_.path(); });
        auto window = std::make_unique<MainWidget>();
        window->show();
        auto tips = spyTips(*window);
        const zelvan::CameraDescription tandra = findTandra(*window);
        QVERIFY(!tandra.serial.empty());
        window->openCameraByDescription(tandra);
        QTRY_VERIFY_WITH_TIMEOUT(window->isFusionLive(), kDeadlineMs);
        GuiSpy images(window->fusionProcessor(), &ZvFusionCameraDataProcessor::signalFusionImage);
        window->form()->pb_record->click();
        QVERIFY(window->isFusionRecording());
        QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 6, kDeadlineMs);  // frames were recorded
        window->close();
        QVERIFY(!window->isFusionRecording());
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), kDeadlineMs);
        QVERIFY(!window->isFinishingFusionRecording());
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(tips->begin(), tips->end(), recordingSaved), kDeadlineMs);
        window.reset();  // the camera is released with the window
        QVERIFY(!completeFusionRecording(folder.path()).isEmpty());
    }

    // Closing the window while a fusion recording plays: the playback ends and the window goes at
    // once.
    void closingDuringFusionPlaybackEndsIt() {
        QTemporaryDir folder;
        AppSettings::instance()->outputRawFilePath = folder.path();
        const auto restore =
            qScopeGuard([this] { AppSettings::instance()->outputRawFilePath = dir_.path(); });
        {
            MainWidget recorder;
            recorder.show();
            const zelvan::CameraDescription tandra = findTandra(recorder);
            QVERIFY(!tandra.serial.empty());
            recorder.openCameraByDescription(tandra);
            QTRY_VERIFY_WITH_TIMEOUT(recorder.isFusionLive(), kDeadlineMs);
            GuiSpy images(recorder.fusionProcessor(), &ZvFusionCameraDataProcessor::signalFusionImage);
            recorder.form()->pb_record->click();
            QVERIFY(recorder.isFusionRecording());
            QTRY_VERIFY_WITH_TIMEOUT(images.count() >= 5, kDeadlineMs);  // a few frames recorded
            recorder.form()->pb_record->click();
            QTRY_VERIFY_WITH_TIMEOUT(!recorder.isFinishingFusionRecording(), kDeadlineMs);
        }
        const QString raw = completeFusionRecording(folder.path());
        QVERIFY(!raw.isEmpty());
        auto window = std::make_unique<MainWidget>();
        window->show();
        window->openRecording(raw);
        QCOMPARE(window->viewerMode(), FusionFile);
        // Played in a loop: a short recording never ends by itself while the test looks.
        window->form()->pb_loop->setChecked(true);
        QVERIFY(window->fusionProcessor()->replay());
        QTRY_VERIFY_WITH_TIMEOUT(window->fusionProcessor()->isPlaying(), kDeadlineMs);
        GuiSpy times(window->fusionProcessor(), &ZvFusionCameraDataProcessor::signalTimeStamp);
        QTRY_VERIFY_WITH_TIMEOUT(times.count() >= 3, kDeadlineMs);
        QVERIFY(window->fusionProcessor()->isPlaying());
        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
        window.reset();  // the playback thread and the frame decoder are joined here
    }

    // Last: it replaces the simulated cameras.
    void anOldFirmwareIsWarnedAboutAndTheCameraStillOpens() {
        auto configs = SimulatedCameras::defaultConfigs();
        for (auto& c : configs)
            if (c.description.product == "Tandra") c.description.firmwareVersion = "Tandra_V1.7.1";
        SimulatedCameras::instance().reset(configs);
        {
            MainWidget window;
            window.show();
            auto tips = spyTips(window);
            const zelvan::CameraDescription tandra = findTandra(window);
            QVERIFY(!tandra.serial.empty());
            window.openCameraByDescription(tandra);
            QVERIFY(window.fusionCamera());
            QCOMPARE(window.firmwareVersion(), QString("Tandra_V1.7.1"));
            QTRY_VERIFY_WITH_TIMEOUT(
                std::any_of(tips->begin(), tips->end(),
                            [](const QList<QVariant>& t) {
                                return t.at(0).toString() ==
                                           "The Tandra camera firmware needs to be upgraded!" &&
                                       t.at(1).value<ZvMessageType>() == ZvMessageType::Warning;
                            }),
                kDeadlineMs);
            QTRY_VERIFY_WITH_TIMEOUT(window.isFusionLive(), kDeadlineMs);
        }
        SimulatedCameras::instance().restoreDefault();
    }
};

ZELVAN_VIEWER_TEST_MAIN(FusionWindowTests)
#include "FusionWindowTests.moc"
