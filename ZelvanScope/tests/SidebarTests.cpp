// The settings sidebars: the DVS Setting panel built from camera tools (its boxes, the change
// handlers, the parameter file, the region of interest from a rectangle, the config bar) and the
// Camera Setting panel, alone and in the main window against the simulated EVK4.
#include <sys/stat.h>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "GuiSpy.h"
#include "TestSetup.h"
#include "ViewerTestHelpers.h"
#include "main/MainWidget.h"
#include "processing/ZvEventProcessor.h"
#include "settings/AppSettings.h"
#include "settings/CameraParamFile.h"
#include "settings/SidebarCameraSettingUI.h"
#include "settings/SidebarDvsSettingUI.h"
#include "settings/items/SettingBaseWithComboBox.h"
#include "settings/items/SettingBaseWithLineEdit.h"
#include "settings/items/SettingBaseWithSwitchButton.h"
#include "settings/items/SettingDisplayItem.h"
#include "settings/items/SettingItemBox.h"
#include "ui_MainWidget.h"
#include "view/ShowImageForm.h"
#include "view/ZvGraphicsView.h"
#include "zelvan/DvsCameraManager.h"
#include "zelvan/sim/SimDevice.h"

using Tool = SidebarDvsSettingUI::Tool;
using zelvan::FullParamteterInfo;
using zelvan::ParameterValue;

namespace {

// A tool whose parameters keep their values in memory; it records every write that reaches it (after
// the base class checked kind and range) and refuses the writes of the names in `refused`.
class FakeTool : public zelvan::CameraTool {
public:
    void addInt(const std::string& name, int min, int max, int value) {
        add(FullParamteterInfo::makeInt(name, "The " + name, min, max, value, "px"), value);
    }
    void addBool(const std::string& name, bool value) {
        add(FullParamteterInfo::makeBool(name, "The " + name, value), value);
    }
    zelvan::ToolInfo getToolInfo() const override {
        return {zelvan::ROI, "ROI", registeredParameterNames(), ""};
    }

    std::vector<std::pair<std::string, ParameterValue>> writes;
    std::map<std::string, ParameterValue> values;
    std::set<std::string> refused;
    // Integers the tool takes to the nearest multiple of this, as hardware steps do.
    int step = 1;

private:
    void add(FullParamteterInfo info, ParameterValue value) {
        const std::string name = info.name;
        values[name] = value;
        addParameter(
            std::move(info),
            [this, name](ParameterValue& v) {
                v = values[name];
                return true;
            },
            [this, name](const ParameterValue& v) {
                writes.emplace_back(name, v);
                if (refused.count(name)) return false;
                values[name] = v;
                if (const int* i = std::get_if<int>(&v); i && step > 1)
                    values[name] = (*i + step / 2) / step * step;
                return true;
            });
    }
};

template <typename T>
T* child(const QWidget* parent, const char* name) {
    T* widget = parent->findChild<T*>(name);
    if (!widget) qFatal("no child %s", name);
    return widget;
}

void typeInto(QLineEdit* edit, const QString& text) {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
}

QString textOf(const QList<QVariant>& tip) { return tip.at(0).toString(); }
ZvMessageType typeOf(const QList<QVariant>& tip) { return tip.at(1).value<ZvMessageType>(); }

std::unique_ptr<GuiSpy> spyTips(SidebarDvsSettingUI& panel) {
    return std::make_unique<GuiSpy>(
        &panel, qOverload<QString, ZvMessageType, QString>(&SidebarDvsSettingUI::signalShowLeftBottomTips));
}

nlohmann::json readJson(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return nullptr;
    return nlohmann::json::parse(file.readAll().toStdString(), nullptr, false);
}

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), text.size());
}

// What a file is: its bytes, its inode and its modification time (a write would change one of them).
struct FileState {
    QByteArray bytes;
    ino_t inode = 0;
    long long mtimeNs = 0;
    bool operator==(const FileState&) const = default;
};
FileState stateOf(const QString& path) {
    FileState s;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) s.bytes = file.readAll();
    struct stat st {};
    if (::stat(path.toLocal8Bit().constData(), &st) == 0) {
        s.inode = st.st_ino;
        s.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec;
    }
    return s;
}

zelvan::sim::SimDeviceConfig settled(zelvan::sim::SimDeviceConfig c) {
    c.settle_scale = 0;
    return c;
}

std::vector<zelvan::sim::SimDeviceConfig> simConfigs() {
    std::vector<zelvan::sim::SimDeviceConfig> configs;
    for (const auto& c : zelvan::sim::SimulatedCameras::defaultConfigs()) configs.push_back(settled(c));
    return configs;
}

std::string serialOf(zelvan::DvsCameraManager& manager, const std::string& product) {
    for (const auto& d : manager.getCameraDescs()) {
        if (d.product == product) return d.serial;
    }
    return {};
}

// Runs `trigger`; the file dialog it opens is given `path` and accepted. The dialog lists its folder
// on a thread of its own and may not take the name at once, so the name is given again on every
// look until the dialog has gone; after 10 s it is rejected instead. False when no dialog opened or
// it had to be rejected.
bool withFileDialog(const std::function<void()>& trigger, const QString& path) {
    bool opened = false;
    bool rejected = false;
    QElapsedTimer clock;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        if (!opened) clock.start();
        opened = true;
        if (clock.elapsed() > 10000) {
            rejected = true;
            dialog->reject();
            return;
        }
        // The name field keeps what it shows while it has the focus: the name is typed into it.
        dialog->selectFile(path);
        if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit")) name->setText(path);
        static_cast<QDialog*>(dialog)->accept();
    });
    poll.start();
    trigger();
    return opened && !rejected;
}

// The events a camera delivers from a chosen device time on, counted on the camera's thread.
class StreamWatch {
public:
    struct Counts {
        uint64_t on = 0, off = 0, inside = 0, outside = 0;
        uint64_t total() const { return on + off; }
        double onShare() const { return total() ? double(on) / double(total()) : 0.0; }
    };

    explicit StreamWatch(std::shared_ptr<zelvan::DvsCamera> camera) : camera_(std::move(camera)) {
        id_ = camera_->addEventsStreamHandleCallback([this](zelvan::Event2D* first, zelvan::Event2D* last) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const zelvan::Event2D* e = first; e != last; ++e) {
                if (e->timestamp < from_) continue;
                (e->polarity ? counts_.on : counts_.off)++;
                if (window_.isValid()) (window_.contains(e->x, e->y) ? counts_.inside : counts_.outside)++;
            }
        });
    }
    ~StreamWatch() { camera_->removeEventsStreamHandleCallback(id_); }

    // Counts again from zero, only events of device time `from` or later, checked against `window`
    // when it is valid.
    void restart(uint64_t from, QRect window = QRect()) {
        std::lock_guard<std::mutex> lock(mutex_);
        counts_ = Counts{};
        from_ = from;
        window_ = window;
    }
    Counts counts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return counts_;
    }
    // Waits (at most 30 s) until at least `n` events were counted.
    bool waitFor(uint64_t n) const {
        return QTest::qWaitFor([&] { return counts().total() >= n; }, 30000);
    }

private:
    std::shared_ptr<zelvan::DvsCamera> camera_;
    uint32_t id_ = 0;
    mutable std::mutex mutex_;
    Counts counts_;
    uint64_t from_ = UINT64_MAX;
    QRect window_;
};

// A device time from which on every slice the device emits was produced after this call: the
// device reads its registers at the start of each slice, so the slice after the one under way
// (which may have read them before) begins there. 0 when the device's clock does not move.
uint64_t deviceTimeFromNowOn(const zelvan::sim::SimDevice& device) {
    const uint64_t now = device.clock();
    if (!QTest::qWaitFor([&] { return device.clock() != now; }, 10000)) return 0;
    return device.clock();
}

}  // namespace

class SidebarTests : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString recordFile_;  // the current parameter file of the tests

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        zelvan::sim::SimulatedCameras::instance().reset(simConfigs());
    }

    void init() {
        // Fresh devices (their clocks at 0) and a parameter file of this test's own.
        zelvan::sim::SimulatedCameras::instance().reset(simConfigs());
        recordFile_ = dir_.filePath(QString("record_%1.json").arg(QTest::currentTestFunction()));
        QFile::remove(recordFile_);
        AppSettings::instance()->dvsCurrentConfigPath = recordFile_;
    }

    // The label of "bias_diff_on" in a box built from the EVK4's biases reads Bias Diff On, and a
    // change reaches the tool and the parameter file under "bias_diff_on".
    void aBiasRoundTripsThroughItsLabel() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        SidebarDvsSettingUI panel;
        panel.setBiasesToolUI(camera->getTool(zelvan::BIASES));
        SettingItemBox* box = panel.toolBox(Tool::Biases);
        QVERIFY(box);
        QCOMPARE(box->title(), QString("Biases"));
        QVERIFY(box->isFolded());
        auto* item = qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_diff_on"));
        QVERIFY(item);
        QVERIFY(box->items().contains(item));
        QCOMPARE(child<QLabel>(item, "lb_name")->text(), QString("Bias Diff On"));
        // Only the integer biases, in name order.
        QStringList names;
        for (QWidget* w : box->items()) names << qobject_cast<SettingItem*>(w)->displayName();
        QCOMPARE(names, QStringList({"Bias Diff", "Bias Diff Off", "Bias Diff On", "Bias Fo", "Bias Hpf",
                                     "Bias Refr"}));
        QVERIFY(!item->toolTip().isEmpty());  // the parameter's description

        const int value = item->value() == 42 ? 43 : 42;
        typeInto(child<QLineEdit>(item, "le_value"), QString::number(value));
        int read = -1;
        QVERIFY(camera->getTool(zelvan::BIASES)->getParam("bias_diff_on", read));
        QCOMPARE(read, value);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        const nlohmann::json recorded = readJson(recordFile_);
        QCOMPARE(recorded["Biases"]["bias_diff_on"].get<int>(), value);
    }

    // Boxes stand in the order their setters ran; anti-flicker's switch and mode head its box; each
    // box shows its tool's kinds only.
    void boxesAreBuiltFromTheToolsParameters() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        SidebarDvsSettingUI panel;
        QVERIFY(child<QLabel>(&panel, "lb_sidebar_hint")->isVisibleTo(&panel));
        panel.showEventCamera(camera);
        QVERIFY(!child<QLabel>(&panel, "lb_sidebar_hint")->isVisibleTo(&panel));
        QVERIFY(panel.configBar()->isVisibleTo(&panel));
        QStringList titles;
        for (SettingItemBox* box : panel.findChildren<SettingItemBox*>()) titles << box->title();
        QCOMPARE(titles, QStringList({"Biases", "Trigger In", "Anti Flicker", "Event Rate Control",
                                      "Event Trail Filter", "ROI"}));
        const auto namesIn = [&](Tool tool) {
            QStringList names;
            for (QWidget* w : panel.toolBox(tool)->items())
                names << qobject_cast<SettingItem*>(w)->displayName();
            return names;
        };
        QCOMPARE(namesIn(Tool::AntiFlicker),
                 QStringList({"Enable", "Filtering Mode", "Band High Freq", "Band Low Freq", "Duty Cycle",
                              "Start Threshold", "Stop Threshold"}));
        QCOMPARE(namesIn(Tool::TriggerIn), QStringList({"Enable"}));
        QCOMPARE(namesIn(Tool::EventTrailFilter), QStringList({"Enable", "Threshold", "Type"}));
        // ROI: its switch and the four coordinates (its mode is no integer or switch).
        QCOMPARE(namesIn(Tool::Roi), QStringList({"Enable", "X", "X Width", "Y", "Y Height"}));
        QCOMPARE(panel.roiItems().size(), size_t(4));

        // Calling every setter with no tool empties the panel.
        panel.clear();
        QVERIFY(panel.findChildren<SettingItemBox*>().isEmpty());
        QVERIFY(!panel.configBar()->isVisibleTo(&panel));
        QVERIFY(child<QLabel>(&panel, "lb_sidebar_hint")->isVisibleTo(&panel));
    }

    // The event sensor of a fusion camera: no trigger-in box and no config bar.
    void aFusionCameraHasNoTriggerInBoxAndNoConfigBar() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        SidebarDvsSettingUI panel;
        panel.showEventCamera(camera);
        QVERIFY(panel.toolBox(Tool::TriggerIn));
        panel.setSource(SidebarDvsSettingUI::Source::FusionCamera);
        QVERIFY(!panel.toolBox(Tool::TriggerIn));
        QVERIFY(!panel.configBar()->isVisibleTo(&panel));
        panel.setTriggerInToolUI(camera->getTool(zelvan::TRIGGER_IN));
        QVERIFY(!panel.toolBox(Tool::TriggerIn));
        panel.setCamera(camera);
        QVERIFY(!panel.configBar()->isVisibleTo(&panel));
        QVERIFY(panel.toolBox(Tool::Biases));
        QVERIFY(panel.toolBox(Tool::Roi));
        panel.setSource(SidebarDvsSettingUI::Source::EventCamera);
        QVERIFY(panel.configBar()->isVisibleTo(&panel));
    }

    // A rectangle (10, 20, 300, 200) sets width, height, x and y, in that order.
    void aRectangleSetsWidthHeightXAndYInThatOrder() {
        auto tool = std::make_shared<FakeTool>();
        tool->addBool("enable", true);
        tool->addInt("x", 0, 1279, 0);
        tool->addInt("y", 0, 719, 0);
        tool->addInt("width", 1, 1280, 1280);
        tool->addInt("height", 1, 720, 720);
        SidebarDvsSettingUI panel;
        auto tips = spyTips(panel);
        panel.setROIToolUI(tool, {});
        panel.slotApplyRoiFromImage(QRect(10, 20, 300, 200));
        const std::vector<std::pair<std::string, ParameterValue>> expected = {
            {"width", 300}, {"height", 200}, {"x", 10}, {"y", 20}};
        QCOMPARE(tool->writes, expected);
        QCOMPARE(tips->count(), 1);
        QCOMPARE(textOf(tips->first()), QString("ROI selected successfully."));
        QCOMPARE(typeOf(tips->first()), ZvMessageType::Success);
        // The items show the window, with grey (accepted) borders; the file records it under "ROI".
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "width"))->value(), 300);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "y"))->value(), 20);
        for (SettingBaseWithLineEdit* item : panel.roiItems())
            QCOMPARE(child<QLineEdit>(item, "le_value")->property("state").toString(), QString("accepted"));
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        const nlohmann::json recorded = readJson(recordFile_);
        QVERIFY2(recorded["ROI"] == nlohmann::json({{"height", 200}, {"width", 300}, {"x", 10}, {"y", 20}}),
                 recorded.dump().c_str());

        // One refused coordinate fails the whole selection and turns the fields red.
        tool->refused = {"y"};
        tool->writes.clear();
        panel.slotApplyRoiFromImage(QRect(5, 6, 7, 8));
        QCOMPARE(tool->writes.size(), size_t(4));
        QCOMPARE(textOf(tips->last()), QString("Failed to apply ROI selection."));
        QCOMPARE(typeOf(tips->last()), ZvMessageType::Error);
        for (SettingBaseWithLineEdit* item : panel.roiItems())
            QCOMPARE(child<QLineEdit>(item, "le_value")->property("state").toString(), QString("invalid"));
        // The refusal is told, and the field shows what the tool has; the file keeps y = 20.
        QVERIFY(std::any_of(tips->begin(), tips->end(), [](const QList<QVariant>& tip) {
            return textOf(tip) == "ROI: the camera refused y = 6." && typeOf(tip) == ZvMessageType::Error;
        }));
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "y"))->value(), 20);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(readJson(recordFile_)["ROI"]["y"].get<int>(), 20);
    }

    // A coordinate parameter whose name holds "roix" (roi_x_start) is chosen for x through that alias;
    // the EVK4's own ROI maps x, y, x_width and y_height.
    void theAliasRoixChoosesX() {
        auto tool = std::make_shared<FakeTool>();
        tool->addInt("roi_height", 1, 720, 720);
        tool->addInt("roi_width", 1, 1280, 1280);
        tool->addInt("roi_x_start", 0, 1279, 0);
        tool->addInt("roi_y_start", 0, 719, 0);
        SidebarDvsSettingUI panel;
        panel.setROIToolUI(tool, {});
        panel.slotApplyRoiFromImage(QRect(10, 20, 300, 200));
        const std::vector<std::pair<std::string, ParameterValue>> expected = {
            {"roi_width", 300}, {"roi_height", 200}, {"roi_x_start", 10}, {"roi_y_start", 20}};
        QCOMPARE(tool->writes, expected);

        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        panel.setROIToolUI(camera->getTool(zelvan::ROI), "ROI");
        panel.slotApplyRoiFromImage(QRect(10, 20, 300, 200));
        const auto roi = camera->getTool(zelvan::ROI);
        int x = 0, y = 0, w = 0, h = 0;
        QVERIFY(roi->getParam("x", x) && roi->getParam("y", y) && roi->getParam("x_width", w) &&
                roi->getParam("y_height", h));
        QCOMPARE(QRect(x, y, w, h), QRect(10, 20, 300, 200));

        // A tool without coordinates applies nothing, which is no success.
        auto none = std::make_shared<FakeTool>();
        none->addBool("enable", false);
        panel.setROIToolUI(none, {});
        auto tips = spyTips(panel);
        panel.slotApplyRoiFromImage(QRect(10, 20, 300, 200));
        QCOMPARE(tips->count(), 1);
        QCOMPARE(typeOf(tips->first()), ZvMessageType::Error);
    }

    // A trigger-in switch records its value under the key existing parameter files use, "TirggerIn".
    void aTriggerInChangeIsRecordedUnderTirggerIn() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        writeFile(recordFile_, R"({"TriggerIn": {"enable": false}})");
        SidebarDvsSettingUI panel;
        panel.setTriggerInToolUI(camera->getTool(zelvan::TRIGGER_IN));
        auto* item = qobject_cast<SettingBaseWithSwitchButton*>(panel.item(Tool::TriggerIn, "enable"));
        QVERIFY(item);
        const bool was = item->isChecked();
        child<QPushButton>(item, "pb_switch")->click();
        bool enabled = was;
        QVERIFY(camera->getTool(zelvan::TRIGGER_IN)->getParam("enable", enabled));
        QCOMPARE(enabled, !was);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        const nlohmann::json recorded = readJson(recordFile_);
        QCOMPARE(recorded["TirggerIn"]["enable"].get<bool>(), !was);
        QVERIFY2(recorded["TriggerIn"] == nlohmann::json({{"enable", false}}),
                 recorded.dump().c_str());  // left as it was
    }

    // A parameter file that cannot be parsed, whose root is no object or whose tool member is no
    // object is never written; a missing one is created.
    void aFileThatCannotTakeTheValueIsLeftAlone() {
        const QString path = dir_.filePath("broken.json");
        const QByteArray cases[] = {
            R"({"Biases": 5, "ROI": {"x": 1}})",  // the tool's member is a number
            R"({"Biases": {"bias_fo": 1},)",      // not JSON
            R"([{"Biases": {}}])",                // the root is no object
            "",                                   // empty
        };
        for (const QByteArray& text : cases) {
            writeFile(path, text);
            const FileState before = stateOf(path);
            QTest::qWait(20);  // a write now would change the modification time
            QVERIFY(updateCameraParamFile(path, "Biases", "bias_fo", 3) != ParamFileError::None);
            QVERIFY2(stateOf(path) == before, text.constData());
        }
        writeFile(path, R"({"Biases": 5})");
        QCOMPARE(updateCameraParamFile(path, "Biases", "bias_fo", 3), ParamFileError::MemberNotObject);
        writeFile(path, "{");
        QCOMPARE(updateCameraParamFile(path, "Biases", "bias_fo", 3), ParamFileError::NotJson);

        // Every kind of value, with floats kept floats, so that the camera loads them as it should.
        const QString fresh = dir_.filePath("fresh.json");
        QFile::remove(fresh);
        QCOMPARE(updateCameraParamFile(fresh, "AntiFlicker", "duty_cycle", 50.0f), ParamFileError::None);
        QCOMPARE(updateCameraParamFile(fresh, "AntiFlicker", "enable", true), ParamFileError::None);
        QCOMPARE(updateCameraParamFile(fresh, "EventTrailFilter", "type", std::string("TRAIL")),
                 ParamFileError::None);
        QCOMPARE(updateCameraParamFile(fresh, "Biases", "bias_fo", -3), ParamFileError::None);
        const nlohmann::json recorded = readJson(fresh);
        QVERIFY(recorded["AntiFlicker"]["duty_cycle"].is_number_float());
        QVERIFY2(recorded == nlohmann::json::parse(R"({"AntiFlicker": {"duty_cycle": 50.0, "enable": true},
            "Biases": {"bias_fo": -3}, "EventTrailFilter": {"type": "TRAIL"}})"),
                 recorded.dump().c_str());
        QVERIFY(QFile(fresh).open(QIODevice::ReadOnly));
        QFile text(fresh);
        QVERIFY(text.open(QIODevice::ReadOnly));
        QVERIFY(text.readAll().contains("\n    \"AntiFlicker\": {\n        \"duty_cycle\": 50.0,"));

        // In the panel the camera takes the value and the user is told, once, that it is not recorded.
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        writeFile(recordFile_, R"({"Biases": 5})");
        const FileState before = stateOf(recordFile_);
        SidebarDvsSettingUI panel;
        auto tips = spyTips(panel);
        panel.setBiasesToolUI(camera->getTool(zelvan::BIASES));
        auto* item = qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_fo"));
        QLineEdit* edit = child<QLineEdit>(item, "le_value");
        typeInto(edit, "12");
        typeInto(edit, "13");
        int read = 0;
        QVERIFY(camera->getTool(zelvan::BIASES)->getParam("bias_fo", read));
        QCOMPARE(read, 13);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(stateOf(recordFile_), before);
        QCOMPARE(tips->count(), 1);
        QCOMPARE(typeOf(tips->first()), ZvMessageType::Warning);
        QVERIFY2(textOf(tips->first()).contains(QDir::toNativeSeparators(recordFile_)),
                 qPrintable(textOf(tips->first())));
        // Once the file takes values again, a later failure is told again.
        QFile::remove(recordFile_);
        typeInto(edit, "14");
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(readJson(recordFile_)["Biases"]["bias_fo"].get<int>(), 14);
        writeFile(recordFile_, "not json");
        typeInto(edit, "15");
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(tips->count(), 2);
    }

    // A tool that rounds what it is given: once the change has settled the item shows, and the file
    // records, what the tool has; a field being typed into keeps its text until the focus leaves.
    void anAcceptedChangeShowsAndRecordsWhatTheToolTook() {
        auto tool = std::make_shared<FakeTool>();
        tool->addInt("bias_fo", 0, 1000, 10);
        tool->step = 8;
        SidebarDvsSettingUI panel;
        panel.setBiasesToolUI(tool);
        panel.show();
        auto* item = qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_fo"));
        QSlider* slider = child<QSlider>(item, "slider_value");
        slider->setValue(101);
        QCOMPARE(std::get<int>(tool->values["bias_fo"]), 104);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(item->value(), 104);
        QCOMPARE(readJson(recordFile_)["Biases"]["bias_fo"].get<int>(), 104);

        QLineEdit* edit = child<QLineEdit>(item, "le_value");
        panel.activateWindow();
        edit->setFocus();
        typeInto(edit, "203");
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(readJson(recordFile_)["Biases"]["bias_fo"].get<int>(), 200);
        if (edit->hasFocus()) QCOMPARE(edit->text(), QString("203"));  // still being typed
        edit->clearFocus();
        QTRY_COMPARE_WITH_TIMEOUT(item->value(), 200, 5000);
    }

    // A value the tool refuses is told (once until it is accepted again), the item shows what the
    // tool has, and nothing is recorded.
    void aRefusedChangeIsToldAndUndone() {
        auto tool = std::make_shared<FakeTool>();
        tool->addInt("bias_fo", 0, 100, 10);
        tool->refused = {"bias_fo"};
        SidebarDvsSettingUI panel;
        auto tips = spyTips(panel);
        panel.setBiasesToolUI(tool);
        auto* item = qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_fo"));
        QSlider* slider = child<QSlider>(item, "slider_value");
        slider->setValue(50);
        QCOMPARE(item->value(), 10);
        slider->setValue(60);
        QCOMPARE(item->value(), 10);
        QCOMPARE(tool->writes.size(), size_t(2));
        QCOMPARE(tips->count(), 1);
        QCOMPARE(textOf(tips->first()), QString("Biases: the camera refused bias_fo = 50."));
        QCOMPARE(typeOf(tips->first()), ZvMessageType::Error);
        QVERIFY(!QFile::exists(recordFile_));
        tool->refused.clear();
        slider->setValue(70);
        QCOMPARE(std::get<int>(tool->values["bias_fo"]), 70);
        tool->refused = {"bias_fo"};
        slider->setValue(80);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(tips->count(), 2);
    }

    // Load: a file with a refused value is an Error, what it could set is set, and every item shows
    // the camera's value: each switch its own tool's "enable", the refused maximum the camera's.
    // Values shown in this way are not sent back one by one; what the camera has after the load is
    // recorded, so that it starts with it next time.
    void aLoadShowsWhatTheCameraHas() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        SidebarDvsSettingUI panel;
        auto tips = spyTips(panel);
        GuiSpy selection(&panel, &SidebarDvsSettingUI::signalRoiSelectionEnabled);
        panel.showEventCamera(camera);
        QVERIFY(!QFile::exists(recordFile_));

        const QString file = dir_.filePath("refused.json");
        writeFile(file, R"({"EventRateControl": {"enable": true, "max_event_rate": 400},
                            "ROI": {"enable": true, "x": 100, "x_width": 200},
                            "TriggerIn": {"enable": false},
                            "AntiFlicker": {"enable": false, "filtering_mode": "BAND_PASS"},
                            "Biases": {"bias_fo": 5}})");
        QVERIFY(!panel.loadConfigFile(file));
        QCOMPARE(tips->count(), 1);
        QCOMPARE(typeOf(tips->first()), ZvMessageType::Error);
        QCOMPARE(textOf(tips->first()),
                 QString("Failed to load camera parameters: the camera refused a value."));

        const auto sw = [&](Tool tool) {
            return qobject_cast<SettingBaseWithSwitchButton*>(panel.item(tool, "enable"))->isChecked();
        };
        QVERIFY(sw(Tool::EventRateControl));
        QVERIFY(sw(Tool::Roi));
        QVERIFY(!sw(Tool::TriggerIn));
        QVERIFY(!sw(Tool::AntiFlicker));
        int rate = 0;
        QVERIFY(camera->getTool(zelvan::EVENT_RATE_CONTROL)->getParam("max_event_rate", rate));
        QCOMPARE(rate, 320);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::EventRateControl, "max_event_rate"))
                     ->value(),
                 320);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "x"))->value(), 100);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "x_width"))->value(), 200);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_fo"))->value(), 5);
        QCOMPARE(qobject_cast<SettingBaseWithComboBox*>(panel.item(Tool::AntiFlicker, "filtering_mode"))
                     ->currentText(),
                 QString("BAND_PASS"));
        // The ROI is enabled now: rectangle selection follows.
        QVERIFY(!selection.isEmpty());
        QCOMPARE(selection.last().at(0).toBool(), true);
        // The file holds what the camera has, the values it refused excepted, and the camera opened
        // again starts with it.
        const nlohmann::json recorded = readJson(recordFile_);
        QCOMPARE(recorded["Biases"]["bias_fo"].get<int>(), 5);
        QCOMPARE(recorded["ROI"]["x"].get<int>(), 100);
        QCOMPARE(recorded["EventRateControl"]["max_event_rate"].get<int>(), 320);
        {
            zelvan::DvsCameraManager other_manager;
            auto again = other_manager.openCamera(serialOf(other_manager, "EVK4"));
            QVERIFY(again);
            QVERIFY(again->getTool(zelvan::BIASES)->setParam("bias_fo", 0));
            SidebarDvsSettingUI other;
            other.showEventCamera(again);
            int bias_fo = -1;
            QVERIFY(again->getTool(zelvan::BIASES)->getParam("bias_fo", bias_fo));
            QCOMPARE(bias_fo, 5);
        }

        // A file that is not JSON changes nothing and says why.
        writeFile(file, "{ nope");
        QVERIFY(!panel.loadConfigFile(file));
        QCOMPARE(textOf(tips->last()), QString("Failed to load camera parameters: the file is not JSON."));
        // Without a camera nothing can be loaded or exported.
        panel.clear();
        QVERIFY(!panel.loadConfigFile(file));
        QVERIFY(!panel.exportConfigFile(dir_.filePath("none.json")));
        QVERIFY(!panel.loadDefaultConfig());
        QCOMPARE(typeOf(tips->last()), ZvMessageType::Error);
        QVERIFY(!QFile::exists(dir_.filePath("none.json")));
    }

    // An export named without suffix is written with ".json": an existing file of that name is
    // replaced only when the user agrees.
    void anExportAsksBeforeReplacingTheFileWithTheSuffix() {
        const QString typed = dir_.filePath("settings");
        writeFile(typed + ".json", "{}");
        for (const auto answer : {QMessageBox::No, QMessageBox::Yes}) {
            QString asked;
            QTimer poll;
            poll.setInterval(20);
            QObject::connect(&poll, &QTimer::timeout, [&] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    asked = box->text();
                    box->button(answer)->click();
                }
            });
            poll.start();
            QString path;
            QVERIFY(withFileDialog([&] { path = SidebarDvsSettingUI::askExportPath(nullptr, dir_.path()); },
                                   typed));
            QCOMPARE(asked, QDir::toNativeSeparators(typed + ".json") + " already exists. Replace it?");
            QCOMPARE(path, answer == QMessageBox::Yes ? typed + ".json" : QString());
        }
    }

    // Default loads the shipped defaults; a missing default file is an Error.
    void defaultLoadsTheDefaultFile() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        SidebarDvsSettingUI panel;
        auto tips = spyTips(panel);
        panel.showEventCamera(camera);
        AppSettings* settings = AppSettings::instance();
        const QString saved = settings->defaultDvsConfigPath;
        auto restore = qScopeGuard([&] { settings->defaultDvsConfigPath = saved; });
        settings->defaultDvsConfigPath = dir_.filePath("default.json");
        writeFile(settings->defaultDvsConfigPath, R"({"Biases": {"bias_refr": 33}, "ROI": {"y": 7}})");
        child<QPushButton>(&panel, "default_button")->click();
        QCOMPARE(textOf(tips->last()), QString("Camera parameters loaded successfully."));
        QCOMPARE(typeOf(tips->last()), ZvMessageType::Success);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_refr"))->value(), 33);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "y"))->value(), 7);
        QFile::remove(settings->defaultDvsConfigPath);
        child<QPushButton>(&panel, "default_button")->click();
        QVERIFY2(textOf(tips->last()).startsWith("Camera parameters loaded failed"),
                 qPrintable(textOf(tips->last())));
        QCOMPARE(typeOf(tips->last()), ZvMessageType::Error);

        // The GenX320 camera, which the default file does not describe, goes back to its parameters' own
        // defaults, whatever the file holds.
        QFile::remove(settings->defaultDvsConfigPath);
        auto genx = manager.openCamera(serialOf(manager, "Zelvan.320camera"));
        QVERIFY(genx);
        panel.showEventCamera(genx);
        const auto roi = genx->getTool(zelvan::ROI);
        zelvan::IntParameterInfo x_info;
        QVERIFY(roi->getParamInfo("x", x_info));
        QVERIFY(roi->setParam("x", x_info.default_value + 5));
        const auto erc = genx->getTool(zelvan::EVENT_RATE_CONTROL);
        zelvan::BoolParameterInfo enable_info;
        QVERIFY(erc->getParamInfo("enable", enable_info));
        QVERIFY(erc->setParam("enable", !enable_info.default_value));
        // What an earlier load skipped is not told again by Default.
        const QString misspelt = dir_.filePath("misspelt320.json");
        writeFile(misspelt, R"({"EventRateContrl": {"enable": true}})");
        QVERIFY(panel.loadConfigFile(misspelt));
        QCOMPARE(typeOf(tips->last()), ZvMessageType::Warning);
        child<QPushButton>(&panel, "default_button")->click();
        QCOMPARE(textOf(tips->last()), QString("Camera parameters loaded successfully."));
        int x = -1;
        QVERIFY(roi->getParam("x", x));
        QCOMPARE(x, x_info.default_value);
        bool enabled = !enable_info.default_value;
        QVERIFY(erc->getParam("enable", enabled));
        QCOMPARE(enabled, enable_info.default_value);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "x"))->value(),
                 x_info.default_value);
    }

    // The saved parameters are applied when a camera is kept, except on Ethernet and on the GenX320
    // camera; a file the camera refuses in part is a Warning.
    void theSavedParametersApplyWhenTheCameraIsKept() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        writeFile(recordFile_, R"({"Biases": {"bias_hpf": 21}, "TirggerIn": {"enable": true}})");
        SidebarDvsSettingUI panel;
        auto tips = spyTips(panel);
        panel.showEventCamera(camera);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_hpf"))->value(), 21);
        QVERIFY(tips->isEmpty());
        writeFile(recordFile_, R"({"Biases": {"bias_hpf": 99999}})");
        panel.showEventCamera(camera);
        QCOMPARE(tips->count(), 1);
        QCOMPARE(typeOf(tips->first()), ZvMessageType::Warning);

        auto genx = manager.openCamera(serialOf(manager, "Zelvan.320camera"));
        QVERIFY(genx);
        writeFile(recordFile_, R"({"ROI": {"x": 17}})");
        panel.showEventCamera(genx);
        int x = -1;
        QVERIFY(genx->getTool(zelvan::ROI)->getParam("x", x));
        QCOMPARE(x, 0);
        // Its changes are not recorded either: the file is for the cameras it is applied to.
        const FileState before = stateOf(recordFile_);
        auto* roiX = qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "x"));
        QVERIFY(roiX);
        typeInto(child<QLineEdit>(roiX, "le_value"), "5");
        QVERIFY(genx->getTool(zelvan::ROI)->getParam("x", x));
        QCOMPARE(x, 5);
        QTRY_VERIFY_WITH_TIMEOUT(!panel.settling(), 5000);
        QCOMPARE(stateOf(recordFile_), before);
    }

    // A change that fails because the camera has gone is a loss, not a refusal.
    void aChangeOnALostCameraTellsTheLoss() {
        zelvan::DvsCameraManager manager;
        auto camera = manager.openCamera(serialOf(manager, "EVK4"));
        QVERIFY(camera);
        SidebarDvsSettingUI panel;
        auto tips = spyTips(panel);
        GuiSpy gone(&panel, &SidebarDvsSettingUI::signalCameraGone);
        panel.showEventCamera(camera);
        zelvan::sim::SimulatedCameras::instance().find(camera->getDescription().serial)->unplug();
        auto* item = qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Biases, "bias_fo"));
        typeInto(child<QLineEdit>(item, "le_value"), "7");
        QCOMPARE(gone.count(), 1);
        QVERIFY(tips->isEmpty());
        // A region drawn on the image, and a region field typed into, alike.
        panel.slotApplyRoiFromImage(QRect(10, 20, 100, 50));
        QCOMPARE(gone.count(), 2);
        auto* roi_x = qobject_cast<SettingBaseWithLineEdit*>(panel.item(Tool::Roi, "x"));
        typeInto(child<QLineEdit>(roi_x, "le_value"), "3");
        QCOMPARE(gone.count(), 3);
        QVERIFY2(tips->isEmpty(), qPrintable(tips->isEmpty() ? QString() : textOf(tips->first())));
        zelvan::sim::SimulatedCameras::instance().find(camera->getDescription().serial)->plug();
    }

    // The Camera Setting panel sends its display settings; in camera mode it offers no slow rate.
    void theCameraPanelSendsTheDisplaySettings() {
        SidebarCameraSettingUI panel;
        QCOMPARE(panel.displayBox()->title(), QString("Display"));
        QVERIFY(panel.displayBox()->isFolded());
        GuiSpy time(&panel, &SidebarCameraSettingUI::signalCumulativeTimeChanged);
        GuiSpy fps(&panel, &SidebarCameraSettingUI::signalFpsChanged);
        QComboBox* acc = panel.displayItem()->accumulationTimeBox();
        typeInto(acc->lineEdit(), "10ms");
        QTest::keyClick(acc->lineEdit(), Qt::Key_Return);
        QCOMPARE(time.count(), 1);
        QCOMPARE(time.last().at(0).value<uint64_t>(), uint64_t(10000));
        QComboBox* rate = panel.displayItem()->slowRateBox();
        typeInto(rate->lineEdit(), "2");
        QTest::keyClick(rate->lineEdit(), Qt::Key_Return);
        QCOMPARE(fps.count(), 1);
        QCOMPARE(fps.last().at(0).value<uint32_t>(), 60u);
        panel.setCameraMode(true);
        QVERIFY(!rate->isEnabled());
        QVERIFY(acc->isEnabled());
        panel.setCameraMode(false);
        QVERIFY(rate->isEnabled());
    }

    // The window: one fold button shows its sidebar and unchecks the others; unchecked, the area goes.
    void theFoldButtonsShowOneSidebarAtATime() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        Ui::MainWidget* ui = window.form();
        QVERIFY(!ui->widget_sidebar_area->isVisible());
        QVERIFY(ui->pb_fold_dvs_setting->isVisible());
        QVERIFY(!ui->pb_fold_aps_setting->isEnabled());  // no frame sidebar without a fusion camera
        const int fullImage = ui->imageForm->width();

        ui->pb_fold_dvs_setting->click();
        QVERIFY(ui->widget_sidebar_area->isVisible());
        QCOMPARE(ui->sw_sidebars->currentWidget(), static_cast<QWidget*>(window.dvsSidebar()));
        QVERIFY(ui->widget_sidebar_area->width() <= 500);
        QVERIFY(ui->widget_sidebar_area->width() >= 340);
        QVERIFY(ui->imageForm->width() < fullImage);
        // Without a camera the panel says how to fill it.
        QVERIFY(child<QLabel>(window.dvsSidebar(), "lb_sidebar_hint")->isVisible());

        ui->pb_fold_general_setting->click();
        QVERIFY(ui->pb_fold_general_setting->isChecked());
        QVERIFY(!ui->pb_fold_dvs_setting->isChecked());
        QCOMPARE(ui->sw_sidebars->currentWidget(), static_cast<QWidget*>(window.cameraSidebar()));
        QVERIFY(ui->widget_sidebar_area->isVisible());

        ui->pb_fold_general_setting->click();
        QVERIFY(!ui->pb_fold_general_setting->isChecked());
        QVERIFY(!ui->widget_sidebar_area->isVisible());
        QVERIFY(ui->imageForm->width() >= fullImage - 2);
    }

    // The display settings reach the live camera's batches and the playback.
    void theDisplaySettingsReachLiveViewAndPlayback() {
        MainWidget window;
        window.show();
        QComboBox* rate = window.cameraSidebar()->displayItem()->slowRateBox();
        typeInto(rate->lineEdit(), "5");
        QTest::keyClick(rate->lineEdit(), Qt::Key_Return);
        QCOMPARE(window.eventProcessor()->fps(), uint64_t(150));

        QVERIFY(openLive(window));
        QVERIFY(!rate->isEnabled());  // live: no slow rate
        QComboBox* acc = window.cameraSidebar()->displayItem()->accumulationTimeBox();
        typeInto(acc->lineEdit(), "10ms");
        QTest::keyClick(acc->lineEdit(), Qt::Key_Return);
        QCOMPARE(window.accumulationTime(), uint64_t(10000));
        QCOMPARE(window.liveBatchTime(), uint64_t(10000));
        QCOMPARE(window.eventProcessor()->accTime(), uint64_t(10000));
        // A restart keeps it.
        window.form()->pb_play->click();
        QVERIFY(!window.isLiveRunning());
        window.form()->pb_play->click();
        QVERIFY(window.isLiveRunning());
        QCOMPARE(window.liveBatchTime(), uint64_t(10000));
    }

    // The DVS panel follows the open camera and empties when it is lost.
    void thePanelsFollowTheCamera() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        SidebarDvsSettingUI* panel = window.dvsSidebar();
        QVERIFY(panel->findChildren<SettingItemBox*>().isEmpty());
        QVERIFY(openLive(window));
        QCOMPARE(panel->findChildren<SettingItemBox*>().size(), 6);
        QVERIFY(panel->configBar()->isVisibleTo(panel));
        QCOMPARE(panel->camera(), window.eventCamera());

        // scripts/screenshot.sh asks for a picture of the panel beside the live image.
        if (const QString shot = qEnvironmentVariable("ZELVAN_SCREENSHOT_SIDEBAR"); !shot.isEmpty()) {
            window.form()->pb_fold_dvs_setting->click();
            // Two short boxes open, so that every box's title shows.
            panel->toolBox(Tool::TriggerIn)->setFolded(false);
            panel->toolBox(Tool::EventRateControl)->setFolded(false);
            GuiSpy frames(window.eventProcessor(), &ZvEventProcessor::signalEventImage);
            QVERIFY(QTest::qWaitFor([&] { return frames.count() >= 5; }, 20000));
            QVERIFY(QTest::qWaitFor([&] { return window.statisticsText().contains("MEv/s"); }, 15000));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);  // the new texts laid out
            QVERIFY(window.grab().save(shot));
        }

        // Rectangle selection was switched on with the ROI; a loss switches it off with the panel.
        panel->toolBox(Tool::Roi)->setFolded(false);
        child<QPushButton>(panel->item(Tool::Roi, "enable"), "pb_switch")->click();
        QVERIFY(window.imageForm()->view()->roiSelectionEnabled());
        const std::string serial = window.eventCamera()->getDescription().serial;
        zelvan::sim::SimulatedCameras::instance().find(serial)->unplug();
        QVERIFY(QTest::qWaitFor([&] { return panel->findChildren<SettingItemBox*>().isEmpty(); }, 15000));
        QVERIFY(!panel->configBar()->isVisibleTo(panel));
        QVERIFY(!window.imageForm()->view()->roiSelectionEnabled());
        zelvan::sim::SimulatedCameras::instance().find(serial)->plug();

        // Opening a recording leaves no camera to show either.
        QVERIFY(openLive(window));
        QCOMPARE(panel->findChildren<SettingItemBox*>().size(), 6);
        window.openRecording(dir_.filePath("missing.raw"));  // refused: the camera stays
        QCOMPARE(panel->findChildren<SettingItemBox*>().size(), 6);
    }

    // A rectangle drawn on the live image becomes the camera's region of interest: every event the
    // camera delivers afterwards lies inside it.
    void aRectangleDrawnOnTheImageCropsTheStream() {
        MainWidget window;
        window.resize(1280, 800);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(openLive(window));
        const auto camera = window.eventCamera();
        auto device = zelvan::sim::SimulatedCameras::instance().find(camera->getDescription().serial);
        QVERIFY(device);
        SidebarDvsSettingUI* panel = window.dvsSidebar();
        window.form()->pb_fold_dvs_setting->click();
        panel->toolBox(Tool::Roi)->setFolded(false);
        auto* enable = panel->item(Tool::Roi, "enable");
        QVERIFY(enable);
        child<QPushButton>(enable, "pb_switch")->click();
        ZvGraphicsView* view = window.imageForm()->view();
        QVERIFY(view->roiSelectionEnabled());
        StreamWatch watch(camera);

        GuiSpy drawn(window.imageForm(), &ShowImageForm::signalRoiSelected);
        const QPoint from = view->mapFromScene(QPointF(100.5, 100.5));
        const QPoint to = view->mapFromScene(QPointF(400.5, 300.5));
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
        QTest::mouseMove(view->viewport(), (from + to) / 2);
        QTest::mouseMove(view->viewport(), to);
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, to);
        QCOMPARE(drawn.count(), 1);
        const QRect roi = drawn.first().at(0).toRect();
        QVERIFY2(std::abs(roi.x() - 100) <= 2 && std::abs(roi.width() - 300) <= 4,
                 qPrintable(QString("%1 %2").arg(roi.x()).arg(roi.width())));
        const auto tool = camera->getTool(zelvan::ROI);
        int x = 0, y = 0, w = 0, h = 0;
        QVERIFY(tool->getParam("x", x) && tool->getParam("y", y) && tool->getParam("x_width", w) &&
                tool->getParam("y_height", h));
        QCOMPARE(QRect(x, y, w, h), roi);
        QCOMPARE(qobject_cast<SettingBaseWithLineEdit*>(panel->item(Tool::Roi, "x_width"))->value(),
                 roi.width());
        QTRY_VERIFY_WITH_TIMEOUT(!panel->settling(), 5000);
        QCOMPARE(readJson(recordFile_)["ROI"]["x"].get<int>(), roi.x());

        const uint64_t after = deviceTimeFromNowOn(*device);
        QVERIFY(after > 0);
        watch.restart(after, roi);
        QVERIFY(watch.waitFor(20000));
        const StreamWatch::Counts counts = watch.counts();
        QCOMPARE(counts.outside, uint64_t(0));
        QVERIFY(counts.inside >= 20000);
    }

    // Raising the ON contrast threshold in the panel lowers the share of ON events; lowering it
    // again raises it.
    void theOnContrastBiasMovesTheShareOfOnEvents() {
        MainWidget window;
        window.show();
        QVERIFY(openLive(window));
        const auto camera = window.eventCamera();
        auto device = zelvan::sim::SimulatedCameras::instance().find(camera->getDescription().serial);
        QVERIFY(device);
        SidebarDvsSettingUI* panel = window.dvsSidebar();
        auto* item = qobject_cast<SettingBaseWithLineEdit*>(panel->item(Tool::Biases, "bias_diff_on"));
        QVERIFY(item);
        QLineEdit* edit = child<QLineEdit>(item, "le_value");
        StreamWatch watch(camera);
        const auto shareFromNowOn = [&]() -> double {
            const uint64_t after = deviceTimeFromNowOn(*device);
            if (after == 0) return -1;
            watch.restart(after);
            if (!watch.waitFor(300000)) return -1;
            return watch.counts().onShare();
        };
        typeInto(edit, QString::number(item->minimum()));
        const double low = shareFromNowOn();
        typeInto(edit, QString::number(item->minimum() + (item->maximum() - item->minimum()) * 3 / 4));
        const double high = shareFromNowOn();
        typeInto(edit, QString::number(item->minimum()));
        const double lowAgain = shareFromNowOn();
        qInfo() << "ON shares:" << low << high << lowAgain;
        QVERIFY(low > 0 && high >= 0 && lowAgain > 0);
        QVERIFY2(high < low - 0.15, qPrintable(QString("%1 -> %2").arg(low).arg(high)));
        QVERIFY2(lowAgain > high + 0.15, qPrintable(QString("%1 -> %2").arg(high).arg(lowAgain)));
    }

    // Export through its button, change values in the panel, Load through its button: every value
    // of every tool is back, in the camera and in the items.
    void exportThenLoadRestoresEveryValue() {
        MainWidget window;
        window.show();
        QVERIFY(openLive(window));
        const auto camera = window.eventCamera();
        SidebarDvsSettingUI* panel = window.dvsSidebar();
        auto tips = spyTips(*panel);
        const QString saved = dir_.filePath("exported.json");
        QFile::remove(saved);
        QVERIFY(withFileDialog([&] { child<QPushButton>(panel, "export_button")->click(); }, saved));
        QCOMPARE(textOf(tips->last()), QString("Camera parameters exported successfully."));
        QCOMPARE(tips->last().at(2).toString(), saved);
        const nlohmann::json before = readJson(saved);
        QVERIFY(before.is_object() && before.contains("Biases") && before.contains("ROI"));

        // Change values of every kind in every box, as typed and clicked.
        const auto retype = [&](Tool tool, const char* name) {
            auto* item = qobject_cast<SettingBaseWithLineEdit*>(panel->item(tool, name));
            QVERIFY2(item, name);
            const int other = item->value() == item->maximum() ? item->minimum() : item->maximum();
            typeInto(child<QLineEdit>(item, "le_value"), QString::number(other));
            QCOMPARE(item->value(), other);
        };
        const auto flip = [&](Tool tool) {
            child<QPushButton>(panel->item(tool, "enable"), "pb_switch")->click();
        };
        retype(Tool::Biases, "bias_fo");
        retype(Tool::Biases, "bias_refr");
        flip(Tool::TriggerIn);
        flip(Tool::AntiFlicker);
        retype(Tool::AntiFlicker, "duty_cycle");
        panel->item(Tool::AntiFlicker, "filtering_mode")
            ->findChild<QComboBox*>()
            ->setCurrentText("BAND_PASS");
        flip(Tool::EventRateControl);
        retype(Tool::EventRateControl, "max_event_rate");
        flip(Tool::EventTrailFilter);
        retype(Tool::EventTrailFilter, "threshold");
        retype(Tool::Roi, "x");
        retype(Tool::Roi, "y_height");
        const QString changed = dir_.filePath("changed.json");
        QVERIFY(camera->exportCameraConfigParams(changed.toStdString()));
        const nlohmann::json middle = readJson(changed);
        for (const char* tool :
             {"Biases", "TriggerIn", "AntiFlicker", "EventRateControl", "EventTrailFilter", "ROI"})
            QVERIFY2(middle[tool] != before[tool], tool);

        QVERIFY(withFileDialog([&] { child<QPushButton>(panel, "import_button")->click(); }, saved));
        QCOMPARE(textOf(tips->last()), QString("Camera parameters loaded successfully."));
        const QString after = dir_.filePath("after.json");
        QVERIFY(camera->exportCameraConfigParams(after.toStdString()));
        const nlohmann::json restored = readJson(after);
        QVERIFY2(restored == before, (restored.dump() + "\n" + before.dump()).c_str());
        // The items show the restored values.
        for (const auto& [key, tool] :
             std::vector<std::pair<const char*, Tool>>{{"Biases", Tool::Biases},
                                                       {"EventRateControl", Tool::EventRateControl},
                                                       {"ROI", Tool::Roi}}) {
            for (const auto& [name, value] : before[key].items()) {
                SettingItem* shown = panel->item(tool, name);
                if (auto* line = qobject_cast<SettingBaseWithLineEdit*>(shown))
                    QCOMPARE(line->value(), value.get<int>());
                if (auto* sw = qobject_cast<SettingBaseWithSwitchButton*>(shown))
                    QCOMPARE(sw->isChecked(), value.get<bool>());
            }
        }
        QCOMPARE(qobject_cast<SettingBaseWithComboBox*>(panel->item(Tool::AntiFlicker, "filtering_mode"))
                     ->currentText(),
                 QString::fromStdString(before["AntiFlicker"]["filtering_mode"].get<std::string>()));

        // A file the camera takes only in part says so: a misspelt tool is skipped, not applied.
        const QString misspelt = dir_.filePath("misspelt.json");
        {
            std::ofstream out(misspelt.toStdString());
            out << R"({"EventRateContrl": {"enable": true, "max_event_rate": 1}, "AntiFlicker": {"duty_cycle": 50}})";
        }
        QVERIFY(withFileDialog([&] { child<QPushButton>(panel, "import_button")->click(); }, misspelt));
        QCOMPARE(textOf(tips->last()),
                 QString("Camera parameters loaded; a tool the camera lacks was skipped."));
        QCOMPARE(typeOf(tips->last()), ZvMessageType::Warning);
    }

private:
    // Opens the simulated EVK4 as the menu does and waits until it streams.
    static bool openLive(MainWidget& window) {
        for (const auto& d : window.searchCameras()) {
            if (d.product != "EVK4") continue;
            window.openCameraByDescription(d);
            return QTest::qWaitFor([&] { return window.isLiveRunning() && !window.isCameraBusy(); }, 15000);
        }
        return false;
    }
};

ZELVAN_VIEWER_TEST_MAIN(SidebarTests)
#include "SidebarTests.moc"
