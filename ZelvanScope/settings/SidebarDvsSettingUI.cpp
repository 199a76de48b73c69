#include "settings/SidebarDvsSettingUI.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QVBoxLayout>
#include <algorithm>
#include <initializer_list>
#include <variant>

#include "settings/AppSettings.h"
#include "settings/CameraParamFile.h"
#include "settings/SidebarFrame.h"
#include "settings/items/SettingBaseWithComboBox.h"
#include "settings/items/SettingBaseWithLineEdit.h"
#include "settings/items/SettingBaseWithSwitchButton.h"
#include "settings/items/SettingItemBox.h"

namespace {

using Tool = SidebarDvsSettingUI::Tool;
using S = SidebarDvsSettingUI;

// How each tool's box looks and what it records.
struct ToolLook {
    const char* title;     // translated in the context of SidebarDvsSettingUI
    const char* fileKey;   // member of the parameter file
    const char* nullLog;   // logged when the window passes no tool
    const char* emptyLog;  // logged when the tool has no parameters
    bool ints, floats, bools, enums;
};

const ToolLook kLooks[S::kToolCount] = {
    {QT_TRANSLATE_NOOP("SidebarDvsSettingUI", "Biases"), "Biases", "Camera tool is null .",
     "camera biases is null .", true, false, false, false},
    {QT_TRANSLATE_NOOP("SidebarDvsSettingUI", "Trigger In"), "TirggerIn", "camera device is null .",
     "camera trigger is null .", false, false, true, false},
    {QT_TRANSLATE_NOOP("SidebarDvsSettingUI", "Anti Flicker"), "AntiFlicker", "camera device is null .",
     "camera trigger is null .", true, true, true, true},
    {QT_TRANSLATE_NOOP("SidebarDvsSettingUI", "Event Rate Control"), "EventRateControl",
     "camera device is null .", "camera trigger is null .", true, false, true, false},
    {QT_TRANSLATE_NOOP("SidebarDvsSettingUI", "Event Trail Filter"), "EventTrailFilter",
     "camera device is null .", "camera trigger is null .", true, false, true, true},
    {QT_TRANSLATE_NOOP("SidebarDvsSettingUI", "ROI"), "ROI", "camera device is null .",
     "camera roi is null .", true, false, true, false},
};

constexpr size_t index(Tool tool) { return static_cast<size_t>(tool); }

// How long after the last accepted change its value is read back and recorded.
constexpr int kSettleMs = 300;

// The change handler of each tool for each kind of item (null where the box shows no such items;
// the ROI's integer items go through their change callback instead).
template <typename V>
using Handler = void (S::*)(std::string, V);

Handler<int> intHandler(Tool tool) {
    switch (tool) {
        case Tool::Biases:
            return &S::onBiasSliderValueChanged;
        case Tool::AntiFlicker:
            return qOverload<std::string, int>(&S::onAntiFlickerSliderValueChanged);
        case Tool::EventRateControl:
            return qOverload<std::string, int>(&S::onEventRateControlSliderValueChanged);
        case Tool::EventTrailFilter:
            return qOverload<std::string, int>(&S::onEventTrailFilterSliderValueChanged);
        case Tool::TriggerIn:
        case Tool::Roi:
            break;
    }
    return nullptr;
}

Handler<bool> boolHandler(Tool tool) {
    switch (tool) {
        case Tool::TriggerIn:
            return &S::onTriggerInSliderValueChanged;
        case Tool::AntiFlicker:
            return qOverload<std::string, bool>(&S::onAntiFlickerSliderValueChanged);
        case Tool::EventRateControl:
            return qOverload<std::string, bool>(&S::onEventRateControlSliderValueChanged);
        case Tool::EventTrailFilter:
            return qOverload<std::string, bool>(&S::onEventTrailFilterSliderValueChanged);
        case Tool::Roi:
            return qOverload<std::string, bool>(&S::onROISliderValueChanged);
        case Tool::Biases:
            break;
    }
    return nullptr;
}

Handler<std::string> enumHandler(Tool tool) {
    switch (tool) {
        case Tool::AntiFlicker:
            return &S::onAntiFlickerSliderEnumValueChanged;
        case Tool::EventTrailFilter:
            return qOverload<std::string, std::string>(&S::onEventTrailFilterSliderValueChanged);
        case Tool::Roi:
            return qOverload<std::string, std::string>(&S::onROISliderValueChanged);
        case Tool::Biases:
        case Tool::TriggerIn:
        case Tool::EventRateControl:
            break;
    }
    return nullptr;
}

QString valueText(const zelvan::ParameterValue& value) {
    return std::visit(
        [](const auto& v) -> QString {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>)
                return QString::fromStdString(v);
            else if constexpr (std::is_same_v<V, bool>)
                return v ? QStringLiteral("true") : QStringLiteral("false");
            else
                return QString::number(v);
        },
        value);
}

// Parameter names and aliases compare in lower case without blanks, "_" and "-".
std::string normalised(const std::string& name) {
    std::string out;
    for (const char c : name) {
        if (c == ' ' || c == '_' || c == '-') continue;
        out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return out;
}

// The first of `names` (in their order) that one of `aliases` selects: equal to the normalised
// name, or longer than one character and contained in it. Empty when none does.
std::string matchAlias(const std::vector<std::string>& names, std::initializer_list<const char*> aliases) {
    for (const std::string& name : names) {
        const std::string n = normalised(name);
        for (const char* alias : aliases) {
            const std::string a(alias);
            if (n == a || (a.size() > 1 && n.find(a) != std::string::npos)) return name;
        }
    }
    return {};
}

}  // namespace

SidebarDvsSettingUI::SidebarDvsSettingUI(QWidget* parent)
    : QWidget(parent), settings_(AppSettings::instance()) {
    setObjectName("sidebar_dvs_setting");
    boxes_ = buildSidebarFrame(this, tr("DVS Setting"));

    configBar_ = new QWidget;
    configBar_->setObjectName("widget_config_bar");
    auto* bar = new QHBoxLayout(configBar_);
    bar->setContentsMargins(8, 6, 8, 6);
    bar->setSpacing(6);
    const auto button = [this, bar](const char* objectName, const QString& text, const QString& tip,
                                    void (S::*slot)()) {
        auto* b = new QPushButton(text, configBar_);
        b->setObjectName(objectName);
        b->setToolTip(tip);
        b->setFocusPolicy(Qt::NoFocus);
        bar->addWidget(b, 1);
        connect(b, &QPushButton::clicked, this, slot);
    };
    button("default_button", tr("Default"), tr("Load the default camera parameters"), &S::slotDefaultConfig);
    button("refresh_button", tr("Refresh"), tr("Read the parameters back from the camera"),
           &S::slotRefreshConfig);
    button("import_button", tr("Load"), tr("Load camera parameters from a file"), &S::slotLoadConfig);
    button("export_button", tr("Export"), tr("Export the camera parameters to a file"), &S::slotExportConfig);
    configBar_->hide();
    boxes_->insertWidget(0, configBar_);
    emptyHint_ = new QLabel(tr("Open a camera to adjust its settings here."));
    emptyHint_->setObjectName("lb_sidebar_hint");
    emptyHint_->setWordWrap(true);
    boxes_->insertWidget(1, emptyHint_);
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleMs);
    connect(&settleTimer_, &QTimer::timeout, this, &S::settle);
    connect(qApp, &QApplication::focusChanged, this, [this] {
        if (!undisplayed_.empty()) showUndisplayed();
    });
}

SidebarDvsSettingUI::~SidebarDvsSettingUI() = default;

void SidebarDvsSettingUI::setSource(Source source) {
    source_ = source;
    configBar_->setVisible(camera_ && source_ == Source::EventCamera);
    if (source_ == Source::FusionCamera && panels_[index(Tool::TriggerIn)].box) setTriggerInToolUI(nullptr);
}

void SidebarDvsSettingUI::setBiasesToolUI(std::shared_ptr<zelvan::CameraTool> tool) {
    setToolBox(Tool::Biases, std::move(tool));
}
void SidebarDvsSettingUI::setTriggerInToolUI(std::shared_ptr<zelvan::CameraTool> tool) {
    // A fusion camera's event sensor has no trigger input of its own.
    if (source_ == Source::FusionCamera) tool.reset();
    setToolBox(Tool::TriggerIn, std::move(tool));
}
void SidebarDvsSettingUI::setAntiFlickerToolUI(std::shared_ptr<zelvan::CameraTool> tool) {
    setToolBox(Tool::AntiFlicker, std::move(tool));
}
void SidebarDvsSettingUI::setEventRateControlToolUI(std::shared_ptr<zelvan::CameraTool> tool) {
    setToolBox(Tool::EventRateControl, std::move(tool));
}
void SidebarDvsSettingUI::setEventTrailFilterToolUI(std::shared_ptr<zelvan::CameraTool> tool) {
    setToolBox(Tool::EventTrailFilter, std::move(tool));
}
void SidebarDvsSettingUI::setROIToolUI(std::shared_ptr<zelvan::CameraTool> tool, std::string fileKey) {
    setToolBox(Tool::Roi, std::move(tool), std::move(fileKey));
}

void SidebarDvsSettingUI::setToolBox(Tool which, std::shared_ptr<zelvan::CameraTool> tool,
                                     std::string fileKey) {
    const ToolLook& look = kLooks[index(which)];
    Panel& panel = panels_[index(which)];
    if (panel.box) {
        boxes_->removeWidget(panel.box);
        delete panel.box;
        boxes_->update();
    }
    panel = Panel{};
    if (which == Tool::Roi) roiItems_.clear();
    updateEmptyHint();
    if (!tool) {
        qInfo().noquote() << look.nullLog;
        return;
    }
    const std::map<std::string, zelvan::BasicParameterInfo> infos = tool->getAllParamInfo();
    if (infos.empty()) {
        qInfo().noquote() << look.emptyLog;
        return;
    }
    panel.tool = std::move(tool);
    panel.fileKey = fileKey.empty() ? look.fileKey : std::move(fileKey);
    panel.box = new SettingItemBox;
    panel.box->setObjectName(QStringLiteral("box_") + QString::fromLatin1(look.fileKey).toLower());
    panel.box->setTitle(tr(look.title));
    for (const auto& [name, info] : infos) addEntry(which, panel, name, info.type);
    panel.box->setFolded(true);
    boxes_->insertWidget(boxes_->count() - 1, panel.box);
    updateEmptyHint();
    update();
}

void SidebarDvsSettingUI::updateEmptyHint() {
    emptyHint_->setVisible(
        std::none_of(panels_.begin(), panels_.end(), [](const Panel& p) { return p.box; }));
}

void SidebarDvsSettingUI::addEntry(Tool which, Panel& panel, const std::string& name,
                                   zelvan::ParameterType type) {
    const ToolLook& look = kLooks[index(which)];
    const QString label = QString::fromStdString(name);
    const bool antiFlicker = which == Tool::AntiFlicker;
    SettingItem* added = nullptr;
    // Items report under the tool's own parameter name, whatever their label makes of it.
    switch (type) {
        case zelvan::PARAM_INT: {
            zelvan::IntParameterInfo info;
            if (!look.ints || !panel.tool->getParamInfo(name, info)) return;
            auto* item = new SettingBaseWithLineEdit(label);
            item->setParameterInfo(info);
            if (which == Tool::Roi) {
                item->setChangeCallback([this, name](const std::string&, int value) {
                    if (!showingCameraValues_) setRoiParam(name, value);
                });
                roiItems_.push_back(item);
            } else {
                connect(item, &SettingBaseWithLineEdit::signalItemValueChanged, this,
                        [this, name, handler = intHandler(which)](std::string, int value) {
                            (this->*handler)(name, value);
                        });
            }
            connect(this, qOverload<std::string, int>(&S::signalSetValue), item,
                    qOverload<std::string, int>(&SettingBaseWithLineEdit::slotItemValueChanged));
            panel.box->addItem(item);
            added = item;
            break;
        }
        case zelvan::PARAM_FLOAT: {
            zelvan::FloatParameterInfo info;
            if (!look.floats || !panel.tool->getParamInfo(name, info)) return;
            auto* item = new SettingBaseWithLineEdit(label);
            item->setParameterInfo(info);
            connect(
                item, &SettingBaseWithLineEdit::signalItemValueChanged, this,
                [this, name](std::string, int value) { onAntiFlickerSliderFloatValueChanged(name, value); });
            connect(this, qOverload<std::string, float>(&S::signalSetValue), item,
                    qOverload<std::string, float>(&SettingBaseWithLineEdit::slotItemValueChanged));
            panel.box->addItem(item);
            added = item;
            break;
        }
        case zelvan::PARAM_BOOL: {
            zelvan::BoolParameterInfo info;
            if (!look.bools || !panel.tool->getParamInfo(name, info)) return;
            auto* item = new SettingBaseWithSwitchButton(label);
            item->setParameterInfo(info);
            connect(item, &SettingBaseWithSwitchButton::signalItemValueChanged, this,
                    [this, name, handler = boolHandler(which)](std::string, bool value) {
                        (this->*handler)(name, value);
                    });
            connect(this, qOverload<std::string, bool>(&S::signalSetValue), item,
                    &SettingBaseWithSwitchButton::slotItemValueChanged);
            // Anti-flicker's switch heads its box.
            if (antiFlicker)
                panel.box->insertItem(item, 0);
            else
                panel.box->addItem(item);
            added = item;
            break;
        }
        case zelvan::PARAM_ENUM: {
            zelvan::EnumParameterInfo info;
            if (!look.enums || !panel.tool->getParamInfo(name, info)) return;
            auto* item = new SettingBaseWithComboBox(label);
            item->setParameterInfo(info);
            connect(item, &SettingBaseWithComboBox::signalItemValueChanged, this,
                    [this, name, handler = enumHandler(which)](std::string, std::string value) {
                        (this->*handler)(name, std::move(value));
                    });
            connect(this, qOverload<std::string, std::string>(&S::signalSetValue), item,
                    &SettingBaseWithComboBox::slotItemValueChanged);
            // Anti-flicker's mode follows its switch.
            if (antiFlicker)
                panel.box->insertItem(item, 1);
            else
                panel.box->addItem(item);
            added = item;
            break;
        }
        case zelvan::PARAM_STRING:
            return;
    }
    if (added) panel.entries.push_back(Entry{name, type, added});
}

void SidebarDvsSettingUI::setCamera(std::shared_ptr<zelvan::DvsCamera> camera) {
    camera_ = std::move(camera);
    configBar_->setVisible(camera_ && source_ == Source::EventCamera);
    recordsToFile_ = false;
    if (!camera_) return;
    // Ethernet cameras and the GenX320 camera keep what they have; their changes are not recorded
    // either, so that the file only holds what the cameras it is applied to take.
    const zelvan::CameraDescription description = camera_->getDescription();
    if (description.interfaceType == zelvan::ETH || description.product == "Zelvan.320camera") return;
    recordsToFile_ = true;
    const QString path = settings_->dvsCurrentConfigPath;
    if (path.isEmpty() || !QFileInfo(path).isFile()) return;
    if (!camera_->loadCameraConfigParams(toFileSystemPath(path))) {
        tip(tr("The saved camera parameters in %1 were not all applied: %2.")
                .arg(QDir::toNativeSeparators(path), configErrorMessage(camera_->lastConfigError())),
            ZvMessageType::Warning, path);
    }
}

void SidebarDvsSettingUI::showEventCamera(std::shared_ptr<zelvan::DvsCamera> camera) {
    if (!camera) {
        clear();
        return;
    }
    fusionCamera_.reset();
    setSource(Source::EventCamera);
    setCamera(camera);
    setBiasesToolUI(camera->getTool(zelvan::BIASES));
    setTriggerInToolUI(camera->getTool(zelvan::TRIGGER_IN));
    setAntiFlickerToolUI(camera->getTool(zelvan::ANTI_FLICKER));
    setEventRateControlToolUI(camera->getTool(zelvan::EVENT_RATE_CONTROL));
    setEventTrailFilterToolUI(camera->getTool(zelvan::EVENT_TRAIL_FILTER));
    setROIToolUI(camera->getTool(zelvan::ROI), "ROI");
    // The boxes were built with the parameters' defaults; they show what the camera has.
    refreshFromCamera();
}

void SidebarDvsSettingUI::showFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera) {
    if (!camera) {
        clear();
        return;
    }
    setCamera(nullptr);
    fusionCamera_ = camera;
    setSource(Source::FusionCamera);
    setBiasesToolUI(camera->getTool(zelvan::BIASES));
    setTriggerInToolUI(nullptr);
    setAntiFlickerToolUI(camera->getTool(zelvan::ANTI_FLICKER));
    setEventRateControlToolUI(camera->getTool(zelvan::EVENT_RATE_CONTROL));
    setEventTrailFilterToolUI(camera->getTool(zelvan::EVENT_TRAIL_FILTER));
    setROIToolUI(camera->getTool(zelvan::ROI), "ROI");
    refreshFromCamera();
}

void SidebarDvsSettingUI::clear() {
    settle();  // while the tools are still there
    undisplayed_.clear();
    setCamera(nullptr);
    fusionCamera_.reset();
    setBiasesToolUI(nullptr);
    setTriggerInToolUI(nullptr);
    setAntiFlickerToolUI(nullptr);
    setEventRateControlToolUI(nullptr);
    setEventTrailFilterToolUI(nullptr);
    setROIToolUI(nullptr, {});
    refusalsTold_.clear();
    recordFailureTold_ = false;
    emit signalRoiSelectionEnabled(false);
}

SettingItemBox* SidebarDvsSettingUI::toolBox(Tool tool) const { return panels_[index(tool)].box; }

std::shared_ptr<zelvan::CameraTool> SidebarDvsSettingUI::tool(Tool tool) const {
    return panels_[index(tool)].tool;
}

SettingItem* SidebarDvsSettingUI::item(Tool tool, const std::string& name) const {
    for (const Entry& entry : panels_[index(tool)].entries) {
        if (entry.name == name) return entry.item;
    }
    return nullptr;
}

// Change handlers.

void SidebarDvsSettingUI::onBiasSliderValueChanged(std::string name, int value) {
    applyChange(Tool::Biases, name, value);
}
void SidebarDvsSettingUI::onTriggerInSliderValueChanged(std::string name, bool value) {
    applyChange(Tool::TriggerIn, name, value);
}
void SidebarDvsSettingUI::onAntiFlickerSliderValueChanged(std::string name, int value) {
    applyChange(Tool::AntiFlicker, name, value);
}
void SidebarDvsSettingUI::onAntiFlickerSliderValueChanged(std::string name, bool value) {
    applyChange(Tool::AntiFlicker, name, value);
}
void SidebarDvsSettingUI::onAntiFlickerSliderFloatValueChanged(std::string name, int value) {
    applyChange(Tool::AntiFlicker, name, static_cast<float>(value));
}
void SidebarDvsSettingUI::onAntiFlickerSliderEnumValueChanged(std::string name, std::string value) {
    applyChange(Tool::AntiFlicker, name, std::move(value));
}
void SidebarDvsSettingUI::onEventRateControlSliderValueChanged(std::string name, int value) {
    applyChange(Tool::EventRateControl, name, value);
}
void SidebarDvsSettingUI::onEventRateControlSliderValueChanged(std::string name, bool value) {
    applyChange(Tool::EventRateControl, name, value);
}
void SidebarDvsSettingUI::onEventTrailFilterSliderValueChanged(std::string name, int value) {
    applyChange(Tool::EventTrailFilter, name, value);
}
void SidebarDvsSettingUI::onEventTrailFilterSliderValueChanged(std::string name, bool en) {
    applyChange(Tool::EventTrailFilter, name, en);
}
void SidebarDvsSettingUI::onEventTrailFilterSliderValueChanged(std::string name, std::string value) {
    applyChange(Tool::EventTrailFilter, name, std::move(value));
}
void SidebarDvsSettingUI::onROISliderValueChanged(std::string name, bool value) {
    if (showingCameraValues_) return;
    applyChange(Tool::Roi, name, value);
    followRoiEnable();
}
void SidebarDvsSettingUI::onROISliderValueChanged(std::string name, std::string value) {
    applyChange(Tool::Roi, name, std::move(value));
}

bool SidebarDvsSettingUI::applyChange(Tool which, const std::string& name,
                                      const zelvan::ParameterValue& value) {
    if (showingCameraValues_) return false;  // a value read from the camera is not sent back
    const std::shared_ptr<zelvan::CameraTool> tool = panels_[index(which)].tool;
    if (!tool) return false;
    const bool accepted = std::visit([&](const auto& v) { return tool->setParam(name, v); }, value);
    if (!accepted && cameraGone()) return false;
    noteOutcome(which, name, value, accepted);
    if (!accepted) {
        // The item goes back to what the camera has, and the file keeps what it recorded.
        showCameraValue(which, name);
        return false;
    }
    queueSettle(which, name);
    return true;
}

bool SidebarDvsSettingUI::cameraGone() {
    if (!lost()) return false;
    // Not a refusal: the camera has gone, and the window tells that (and clears this panel).
    emit signalCameraGone();
    return true;
}

bool SidebarDvsSettingUI::lost() const {
    return (camera_ && !camera_->isConnected()) || (fusionCamera_ && !fusionCamera_->isConnected());
}

bool SidebarDvsSettingUI::setRoiParam(const std::string& name, int value) {
    const std::shared_ptr<zelvan::CameraTool> tool = panels_[index(Tool::Roi)].tool;
    if (!tool) return false;
    const bool accepted = tool->setParam(name, value);
    if (!accepted && cameraGone()) return false;
    noteOutcome(Tool::Roi, name, value, accepted);
    // The field shows the camera's value first (which restyles it), then the outcome.
    showCameraValue(Tool::Roi, name);
    for (SettingBaseWithLineEdit* item : roiItems_) item->setValueAccepted(accepted);
    if (accepted) queueSettle(Tool::Roi, name);
    return accepted;
}

void SidebarDvsSettingUI::noteOutcome(Tool which, const std::string& name,
                                      const zelvan::ParameterValue& value, bool accepted) {
    const std::string key = panels_[index(which)].fileKey + "." + name;
    if (accepted) {
        refusalsTold_.erase(key);
        return;
    }
    qWarning().noquote() << QString::fromStdString("The camera refused " + key + " =") << valueText(value);
    if (!refusalsTold_.insert(key).second) return;
    tip(tr("%1: the camera refused %2 = %3.")
            .arg(tr(kLooks[index(which)].title), QString::fromStdString(name), valueText(value)),
        ZvMessageType::Error);
}

void SidebarDvsSettingUI::record(Tool which, const std::string& name, const zelvan::ParameterValue& value) {
    if (camera_ && !recordsToFile_) return;
    // A fusion camera's event sensor has a parameter file of its own.
    const QString path = fusionCamera_ ? settings_->fusionCurrentConfigPath : settings_->dvsCurrentConfigPath;
    const ParamFileError error = updateCameraParamFile(path, panels_[index(which)].fileKey, name, value);
    if (error == ParamFileError::None) {
        recordFailureTold_ = false;
        return;
    }
    if (recordFailureTold_) return;
    recordFailureTold_ = true;
    QString why;
    switch (error) {
        case ParamFileError::CannotRead:
            why = tr("the file cannot be read");
            break;
        case ParamFileError::NotJson:
            why = tr("the file is not JSON");
            break;
        case ParamFileError::RootNotObject:
        case ParamFileError::MemberNotObject:
            why = tr("the file is not an object of tools and their parameters");
            break;
        case ParamFileError::CannotWrite:
        case ParamFileError::None:
            why = tr("the file cannot be written");
            break;
    }
    tip(tr("The camera took the new value, but it cannot be recorded in %1: %2.")
            .arg(QDir::toNativeSeparators(path), why),
        ZvMessageType::Warning, path);
}

void SidebarDvsSettingUI::recordCameraState() {
    if (!camera_ || !recordsToFile_) return;
    const QString path = settings_->dvsCurrentConfigPath;
    if (path.isEmpty() || camera_->exportCameraConfigParams(toFileSystemPath(path))) return;
    tip(tr("The camera took the new value, but it cannot be recorded in %1: %2.")
            .arg(QDir::toNativeSeparators(path), configErrorMessage(camera_->lastConfigError())),
        ZvMessageType::Warning, path);
}

bool SidebarDvsSettingUI::showCameraValue(Tool which, const std::string& name) {
    for (const Entry& entry : panels_[index(which)].entries) {
        if (entry.name == name) return showCameraValue(which, entry);
    }
    return true;  // not shown
}

bool SidebarDvsSettingUI::readCameraValue(Tool which, const Entry& entry,
                                          zelvan::ParameterValue& value) const {
    const std::shared_ptr<zelvan::CameraTool> tool = panels_[index(which)].tool;
    if (!tool) return false;
    const auto read = [&](auto v) {
        if (!tool->getParam(entry.name, v)) return false;
        value = v;
        return true;
    };
    switch (entry.type) {
        case zelvan::PARAM_INT:
            return read(0);
        case zelvan::PARAM_FLOAT:
            return read(0.0f);
        case zelvan::PARAM_BOOL:
            return read(false);
        case zelvan::PARAM_ENUM:
            return read(std::string());
        case zelvan::PARAM_STRING:
            break;
    }
    return false;
}

bool SidebarDvsSettingUI::showCameraValue(Tool which, const Entry& entry) {
    if (entry.type == zelvan::PARAM_STRING) return true;  // not shown
    zelvan::ParameterValue value;
    if (!readCameraValue(which, entry, value)) return false;
    const QScopedValueRollback<bool> quiet(showingCameraValues_, true);
    const std::string& shown = entry.item->paramName();
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, int> || std::is_same_v<V, float>)
                static_cast<SettingBaseWithLineEdit*>(entry.item)->slotItemValueChanged(shown, v);
            else if constexpr (std::is_same_v<V, bool>)
                static_cast<SettingBaseWithSwitchButton*>(entry.item)->slotItemValueChanged(shown, v);
            else if constexpr (std::is_same_v<V, std::string>)
                static_cast<SettingBaseWithComboBox*>(entry.item)->slotItemValueChanged(shown, v);
        },
        value);
    return true;
}

bool SidebarDvsSettingUI::isBeingTyped(const Entry& entry) {
    QWidget* focus = QApplication::focusWidget();
    return qobject_cast<QLineEdit*>(focus) && entry.item->isAncestorOf(focus);
}

void SidebarDvsSettingUI::queueSettle(Tool which, const std::string& name) {
    const std::pair<Tool, std::string> change(which, name);
    if (std::find(unsettled_.begin(), unsettled_.end(), change) == unsettled_.end())
        unsettled_.push_back(change);
    settleTimer_.start();  // a moment after the last change
}

void SidebarDvsSettingUI::settle() {
    settleTimer_.stop();
    const auto changes = std::move(unsettled_);
    unsettled_.clear();
    for (const auto& [which, name] : changes) {
        for (const Entry& entry : panels_[index(which)].entries) {
            if (entry.name != name) continue;
            zelvan::ParameterValue value;
            if (!readCameraValue(which, entry, value)) break;
            // A field being edited keeps its text until the focus leaves it.
            if (isBeingTyped(entry))
                undisplayed_.emplace_back(which, name);
            else
                showCameraValue(which, entry);
            record(which, name, value);
            break;
        }
    }
}

void SidebarDvsSettingUI::showUndisplayed() {
    const auto changes = std::move(undisplayed_);
    undisplayed_.clear();
    for (const auto& [which, name] : changes) {
        for (const Entry& entry : panels_[index(which)].entries) {
            if (entry.name != name) continue;
            if (isBeingTyped(entry))
                undisplayed_.emplace_back(which, name);
            else
                showCameraValue(which, entry);
            break;
        }
    }
}

bool SidebarDvsSettingUI::refreshFromCamera() {
    QStringList unread;
    for (size_t t = 0; t < panels_.size(); ++t) {
        for (const Entry& entry : panels_[t].entries) {
            if (!showCameraValue(static_cast<Tool>(t), entry))
                unread << QString::fromStdString(panels_[t].fileKey + "." + entry.name);
        }
    }
    followRoiEnable();
    if (unread.isEmpty()) return true;
    tip(tr("Cannot read %1 from the camera.").arg(unread.join(", ")), ZvMessageType::Error);
    return false;
}

void SidebarDvsSettingUI::followRoiEnable() {
    const Panel& roi = panels_[index(Tool::Roi)];
    bool enabled = false;
    const bool hasEnable = std::any_of(roi.entries.begin(), roi.entries.end(), [](const Entry& e) {
        return e.name == "enable" && e.type == zelvan::PARAM_BOOL;
    });
    if (roi.tool && hasEnable && !roi.tool->getParam("enable", enabled)) enabled = false;
    emit signalRoiSelectionEnabled(enabled);
}

// Display settings and values delivered by name.

void SidebarDvsSettingUI::slotCumulativeTimeChanged(uint64_t time_us) {
    emit signalCumulativeTimeChanged(time_us);
}
void SidebarDvsSettingUI::slotFpsChanged(uint32_t fps) { emit signalFpsChanged(fps); }
void SidebarDvsSettingUI::slotParamChangedDelivery(std::string name, int value) {
    emit signalSetValue(name, value);
}
void SidebarDvsSettingUI::slotParamChangedDelivery(std::string name, bool value) {
    emit signalSetValue(name, value);
}
void SidebarDvsSettingUI::slotParamChangedDelivery(std::string name, float value) {
    emit signalSetValue(name, value);
}
void SidebarDvsSettingUI::slotParamChangedDelivery(std::string name, std::string value) {
    emit signalSetValue(name, value);
}

// The region of interest from a rectangle drawn on the image.

void SidebarDvsSettingUI::slotApplyRoiFromImage(QRect roi) {
    const std::shared_ptr<zelvan::CameraTool> tool = panels_[index(Tool::Roi)].tool;
    if (!tool || roi.isEmpty()) return;
    std::vector<std::string> ints;  // in name order
    for (const auto& [name, info] : tool->getAllParamInfo()) {
        if (info.type == zelvan::PARAM_INT) ints.push_back(name);
    }
    const std::string x =
        matchAlias(ints, {"x", "left", "startx", "beginx", "offsetx", "originx", "windowx", "roix"});
    const std::string y =
        matchAlias(ints, {"y", "top", "starty", "beginy", "offsety", "originy", "windowy", "roiy"});
    const std::string width = matchAlias(ints, {"w", "width", "windowwidth", "roiwidth"});
    const std::string height = matchAlias(ints, {"h", "height", "windowheight", "roiheight"});
    const std::pair<const std::string&, int> steps[] = {
        {width, roi.width()}, {height, roi.height()}, {x, roi.x()}, {y, roi.y()}};
    bool any = false;
    bool all = true;
    for (const auto& [name, value] : steps) {
        if (name.empty()) continue;
        any = true;
        const bool set = setRoiParam(name, value);
        // A camera that has gone was told as such (the window clears this panel): nothing more here.
        if (!set && lost()) return;
        all = set && all;
    }
    // A tool without any coordinate parameter applied nothing: that is no success either.
    if (any && all)
        tip(tr("ROI selected successfully."), ZvMessageType::Success);
    else
        tip(tr("Failed to apply ROI selection."), ZvMessageType::Error);
}

// The config bar.

bool SidebarDvsSettingUI::loadDefaultConfig() {
    const QString path = settings_->defaultDvsConfigPath;
    QString why;
    bool ok = false;
    // What a load that succeeded skipped (read before the camera's state is recorded, which is an export).
    zelvan::ConfigError skipped = zelvan::ConfigError::None;
    if (!camera_) {
        why = tr("no camera is open");
    } else if (camera_->getDescription().product == "Zelvan.320camera") {
        // The default file holds the values of the other sensor, which this one lacks: its tools' own
        // defaults are the defaults here.
        ok = applyToolDefaults(why);
        refreshFromCamera();
        recordCameraState();
    } else if (path.isEmpty() || !QFileInfo(path).isFile()) {
        why = tr("%1 does not exist").arg(QDir::toNativeSeparators(path));
    } else {
        ok = camera_->loadCameraConfigParams(toFileSystemPath(path));
        if (!ok)
            why = configErrorMessage(camera_->lastConfigError());
        else
            skipped = camera_->lastConfigError();
        // Also after a partial load: the items show what the camera has now, and it starts with it
        // next time.
        refreshFromCamera();
        recordCameraState();
    }
    if (ok && skipped != zelvan::ConfigError::None)
        tip(tr("Camera parameters loaded; %1.").arg(configErrorMessage(skipped)), ZvMessageType::Warning);
    else if (ok)
        tip(tr("Camera parameters loaded successfully."), ZvMessageType::Success);
    else
        tip(tr("Camera parameters loaded failed: %1.").arg(why), ZvMessageType::Error);
    return ok;
}

bool SidebarDvsSettingUI::applyToolDefaults(QString& why) {
    bool all = true;
    for (const zelvan::ToolInfo& info : camera_->getAllToolsInfo()) {
        const std::shared_ptr<zelvan::CameraTool> tool = camera_->getTool(info.type);
        if (!tool) continue;
        for (const auto& [name, basic] : tool->getAllParamInfo()) {
            // The description of the parameter's kind gives its default.
            const auto setDefault = [&, &name = name](auto described) {
                return tool->getParamInfo(name, described) && tool->setParam(name, described.default_value);
            };
            bool ok = true;
            switch (basic.type) {
                case zelvan::PARAM_INT:
                    ok = setDefault(zelvan::IntParameterInfo{});
                    break;
                case zelvan::PARAM_FLOAT:
                    ok = setDefault(zelvan::FloatParameterInfo{});
                    break;
                case zelvan::PARAM_BOOL:
                    ok = setDefault(zelvan::BoolParameterInfo{});
                    break;
                case zelvan::PARAM_ENUM:
                    ok = setDefault(zelvan::EnumParameterInfo{});
                    break;
                case zelvan::PARAM_STRING:
                    break;
            }
            if (!ok && all) {
                all = false;
                why = tr("the camera refused the default of %1.%2")
                          .arg(QString::fromStdString(info.name), QString::fromStdString(name));
            }
        }
    }
    return all;
}

bool SidebarDvsSettingUI::loadConfigFile(const QString& path) {
    if (!camera_) {
        tip(tr("Failed to load camera parameters: %1.").arg(tr("no camera is open")), ZvMessageType::Error);
        return false;
    }
    const bool ok = camera_->loadCameraConfigParams(toFileSystemPath(path));
    const zelvan::ConfigError reason = camera_->lastConfigError();
    // Also after a partial load: the items show what the camera has now, and it starts with it next
    // time.
    refreshFromCamera();
    recordCameraState();
    if (ok && reason != zelvan::ConfigError::None)
        tip(tr("Camera parameters loaded; %1.").arg(configErrorMessage(reason)), ZvMessageType::Warning,
            path);
    else if (ok)
        tip(tr("Camera parameters loaded successfully."), ZvMessageType::Success, path);
    else
        tip(tr("Failed to load camera parameters: %1.").arg(configErrorMessage(reason)), ZvMessageType::Error,
            path);
    return ok;
}

bool SidebarDvsSettingUI::exportConfigFile(const QString& path) {
    if (!camera_) {
        tip(tr("Failed to export camera parameters: %1.").arg(tr("no camera is open")), ZvMessageType::Error);
        return false;
    }
    const bool ok = camera_->exportCameraConfigParams(toFileSystemPath(path));
    if (ok)
        tip(tr("Camera parameters exported successfully."), ZvMessageType::Success, path);
    else
        tip(tr("Failed to export camera parameters: %1.").arg(configErrorMessage(camera_->lastConfigError())),
            ZvMessageType::Error, path);
    return ok;
}

void SidebarDvsSettingUI::slotDefaultConfig() { loadDefaultConfig(); }

void SidebarDvsSettingUI::slotRefreshConfig() { refreshFromCamera(); }

// The dialogs start in the folder of the current parameter file.
void SidebarDvsSettingUI::slotLoadConfig() {
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Select a JSON file"), QFileInfo(settings_->dvsCurrentConfigPath).absolutePath(),
        tr("Json file (*.json)"));
    if (path.isEmpty()) return;
    loadConfigFile(path);
}

QString SidebarDvsSettingUI::askExportPath(QWidget* parent, const QString& folder) {
    QString path =
        QFileDialog::getSaveFileName(parent, tr("Select a JSON file"), folder, tr("Json file (*.json)"));
    if (path.isEmpty()) return {};
    if (QFileInfo(path).suffix().isEmpty()) {
        // The dialog asked about the name as typed; the file written is the one with the suffix.
        path += QStringLiteral(".json");
        if (QFileInfo::exists(path) &&
            QMessageBox::question(parent, tr("Export"),
                                  tr("%1 already exists. Replace it?").arg(QDir::toNativeSeparators(path))) !=
                QMessageBox::Yes)
            return {};
    }
    return path;
}

void SidebarDvsSettingUI::slotExportConfig() {
    const QString path = askExportPath(this, QFileInfo(settings_->dvsCurrentConfigPath).absolutePath());
    if (!path.isEmpty()) exportConfigFile(path);
}

QString SidebarDvsSettingUI::configErrorMessage(zelvan::ConfigError error) {
    switch (error) {
        case zelvan::ConfigError::None:
            return tr("no error");
        case zelvan::ConfigError::CannotOpen:
            return tr("the file cannot be opened");
        case zelvan::ConfigError::NotJson:
            return tr("the file is not JSON");
        case zelvan::ConfigError::NotConfiguration:
            return tr("the file is not an object of tools and their parameters");
        case zelvan::ConfigError::UnknownTool:
            return tr("a tool the camera lacks was skipped");
        case zelvan::ConfigError::UnsupportedValue:
            return tr("a value of an unsupported type was skipped");
        case zelvan::ConfigError::UnknownParameter:
            return tr("the file names a parameter the camera lacks");
        case zelvan::ConfigError::WrongType:
            return tr("a value is of the wrong type");
        case zelvan::ConfigError::ValueRefused:
            return tr("the camera refused a value");
        case zelvan::ConfigError::ToolFailed:
            return tr("setting a parameter failed");
        case zelvan::ConfigError::CannotWrite:
            return tr("the file cannot be written");
        case zelvan::ConfigError::CannotRead:
            return tr("a value cannot be read from the camera");
    }
    return tr("unknown error");
}

void SidebarDvsSettingUI::tip(const QString& text, ZvMessageType type, const QString& path) {
    emit signalShowLeftBottomTips(text, type, path);
}
