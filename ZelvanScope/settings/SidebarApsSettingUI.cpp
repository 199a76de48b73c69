#include "settings/SidebarApsSettingUI.h"

#include "settings/SidebarDvsSettingUI.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QVBoxLayout>
#include <variant>

#include "settings/AppSettings.h"
#include "settings/SidebarDvsSettingUI.h"
#include "settings/SidebarFrame.h"
#include "settings/items/SettingBaseWithLineEdit.h"
#include "settings/items/SettingBaseWithSwitchButton.h"
#include "settings/items/SettingItemBox.h"

SidebarApsSettingUI::SidebarApsSettingUI(QWidget* parent)
    : QWidget(parent), settings_(AppSettings::instance()) {
    setObjectName("sidebar_aps_setting");
    boxes_ = buildSidebarFrame(this, tr("APS Setting"));

    configBar_ = new QWidget;
    configBar_->setObjectName("widget_config_bar");
    auto* bar = new QHBoxLayout(configBar_);
    bar->setContentsMargins(8, 6, 8, 6);
    bar->setSpacing(6);
    const auto button = [this, bar](const char* objectName, const QString& text, const QString& tip,
                                    void (SidebarApsSettingUI::*slot)()) {
        auto* b = new QPushButton(text, configBar_);
        b->setObjectName(objectName);
        b->setToolTip(tip);
        b->setFocusPolicy(Qt::NoFocus);
        connect(b, &QPushButton::clicked, this, slot);
        bar->addWidget(b);
    };
    button("default_button", tr("Default"), tr("Load the default camera parameters"),
           &SidebarApsSettingUI::slotDefaultConfig);
    button("refresh_button", tr("Refresh"), tr("Read the parameters back from the camera"),
           &SidebarApsSettingUI::slotRefreshConfig);
    button("import_button", tr("Load"), tr("Load camera parameters from a file"),
           &SidebarApsSettingUI::slotLoadConfig);
    button("export_button", tr("Export"), tr("Export the camera parameters to a file"),
           &SidebarApsSettingUI::slotExportConfig);
    configBar_->hide();
    boxes_->insertWidget(0, configBar_);

    // The manual calibration: the offsets go out as a pair whenever either changes.
    calibrationBox_ = new SettingItemBox;
    calibrationBox_->setObjectName("box_aps_manual_calibration");
    calibrationBox_->setTitle(tr("APS Manual Calibration"));
    const auto offsetItem = [this](const QString& name, const QString& tip) {
        auto* item = new SettingBaseWithLineEdit(name);
        item->setToolTipText(tip);
        item->setRange(-kOffsetLimit, kOffsetLimit);
        item->setValue(0);
        item->setUnit(QString());
        calibrationBox_->addItem(item);
        return item;
    };
    offsetX_ = offsetItem(tr("Offset X"), tr("Set aps offset x."));
    offsetY_ = offsetItem(tr("Offset Y"), tr("Set aps offset y."));
    connect(offsetX_, &SettingBaseWithLineEdit::signalItemValueChanged, this, [this](std::string, int value) {
        if (resettingOffsets_) return;
        offsetXValue_ = value;
        emit signalManualCaliOffsetXY(offsetXValue_, offsetYValue_);
    });
    connect(offsetY_, &SettingBaseWithLineEdit::signalItemValueChanged, this, [this](std::string, int value) {
        if (resettingOffsets_) return;
        offsetYValue_ = value;
        emit signalManualCaliOffsetXY(offsetXValue_, offsetYValue_);
    });
    apply_ = new QPushButton(tr("Apply"));
    apply_->setObjectName("pb_apply_calibration");
    apply_->setFocusPolicy(Qt::NoFocus);
    apply_->setToolTip(tr("Store the corrected calibration in the camera"));
    connect(apply_, &QPushButton::clicked, this, &SidebarApsSettingUI::signalApplyCaliOffset);
    calibrationBox_->addItem(apply_);
    calibrationBox_->setFolded(false);
    boxes_->insertWidget(boxes_->count() - 1, calibrationBox_);
}

SidebarApsSettingUI::~SidebarApsSettingUI() = default;

void SidebarApsSettingUI::setFusionCamera(std::shared_ptr<zelvan::FusionCamera> camera,
                                          std::shared_ptr<zelvan::CameraTool> tool) {
    camera_ = std::move(camera);
    // A camera's calibration is loaded without any manual translation.
    resetOffsets();
    configBar_->setVisible(camera_ != nullptr);
    setApsToolUI(camera_ ? std::move(tool) : nullptr);
    if (camera_) refreshFromCamera();
}

void SidebarApsSettingUI::clear() { setFusionCamera(nullptr, nullptr); }

void SidebarApsSettingUI::resetOffsets() {
    const QScopedValueRollback<bool> guard(resettingOffsets_, true);
    offsetXValue_ = 0.0;
    offsetYValue_ = 0.0;
    offsetX_->setValue(0);
    offsetY_->setValue(0);
}

void SidebarApsSettingUI::setApsToolUI(std::shared_ptr<zelvan::CameraTool> tool) {
    if (apsBox_) {
        boxes_->removeWidget(apsBox_);
        delete apsBox_;
        apsBox_ = nullptr;
        boxes_->update();
    }
    entries_.clear();
    tool_.reset();
    if (!tool) {
        qInfo().noquote() << "camera device is null .";
        return;
    }
    const std::map<std::string, zelvan::BasicParameterInfo> infos = tool->getAllParamInfo();
    if (infos.empty()) {
        qInfo().noquote() << "camera aps infos is null .";
        return;
    }
    tool_ = std::move(tool);
    apsBox_ = new SettingItemBox;
    apsBox_->setObjectName("box_aps");
    apsBox_->setTitle(tr("APS"));
    for (const auto& [name, info] : infos) {
        const QString label = QString::fromStdString(name);
        SettingItem* added = nullptr;
        switch (info.type) {
            case zelvan::PARAM_BOOL: {
                zelvan::BoolParameterInfo typed;
                if (!tool_->getParamInfo(name, typed)) break;
                auto* item = new SettingBaseWithSwitchButton(label);
                item->setParameterInfo(typed);
                connect(item, &SettingBaseWithSwitchButton::signalItemValueChanged, this,
                        [this, name](std::string, bool value) { onApsBoolValueChanged(name, value); });
                connect(this, qOverload<std::string, bool>(&SidebarApsSettingUI::signalSetValue), item,
                        &SettingBaseWithSwitchButton::slotItemValueChanged);
                added = item;
                break;
            }
            case zelvan::PARAM_INT: {
                zelvan::IntParameterInfo typed;
                if (!tool_->getParamInfo(name, typed)) break;
                auto* item = new SettingBaseWithLineEdit(label);
                item->setParameterInfo(typed);
                connect(item, &SettingBaseWithLineEdit::signalItemValueChanged, this,
                        [this, name](std::string, int value) { onApsSliderValueChanged(name, value); });
                connect(this, qOverload<std::string, int>(&SidebarApsSettingUI::signalSetValue), item,
                        qOverload<std::string, int>(&SettingBaseWithLineEdit::slotItemValueChanged));
                added = item;
                break;
            }
            case zelvan::PARAM_FLOAT: {
                zelvan::FloatParameterInfo typed;
                if (!tool_->getParamInfo(name, typed)) break;
                auto* item = new SettingBaseWithLineEdit(label);
                item->setParameterInfo(typed);
                connect(item, &SettingBaseWithLineEdit::signalItemValueChanged, this,
                        [this, name](std::string, int value) { onApsSliderFloatValueChanged(name, value); });
                connect(this, qOverload<std::string, float>(&SidebarApsSettingUI::signalSetValue), item,
                        qOverload<std::string, float>(&SettingBaseWithLineEdit::slotItemValueChanged));
                added = item;
                break;
            }
            case zelvan::PARAM_ENUM:
            case zelvan::PARAM_STRING:
                break;
        }
        if (!added) continue;
        apsBox_->addItem(added);
        entries_.push_back(Entry{name, info.type, added});
    }
    apsBox_->setFolded(true);
    // Above the calibration box.
    boxes_->insertWidget(boxes_->indexOf(calibrationBox_), apsBox_);
    update();
}

SettingItem* SidebarApsSettingUI::item(const std::string& name) const {
    for (const Entry& entry : entries_)
        if (entry.name == name) return entry.item;
    return nullptr;
}

void SidebarApsSettingUI::onApsBoolValueChanged(std::string name, bool value) { applyChange(name, value); }
void SidebarApsSettingUI::onApsSliderValueChanged(std::string name, int value) { applyChange(name, value); }
void SidebarApsSettingUI::onApsSliderFloatValueChanged(std::string name, int value) {
    applyChange(name, static_cast<float>(value));
}

bool SidebarApsSettingUI::applyChange(const std::string& name, const zelvan::ParameterValue& value) {
    if (showingToolValues_ || !tool_) return false;
    const bool accepted = std::visit([&](const auto& v) { return tool_->setParam(name, v); }, value);
    if (accepted) return true;
    const QString text = std::visit(
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
    qWarning().noquote() << "The camera refused APS." + QString::fromStdString(name) + " = " + text;
    if (camera_ && !camera_->isConnected())
        tip(tr("The camera is no longer connected."), ZvMessageType::Error);
    else
        tip(tr("%1: the camera refused %2 = %3.").arg(tr("APS"), QString::fromStdString(name), text),
            ZvMessageType::Error);
    for (const Entry& entry : entries_)
        if (entry.name == name) showToolValue(entry);
    return false;
}

bool SidebarApsSettingUI::showToolValue(const Entry& entry) {
    QScopedValueRollback<bool> guard(showingToolValues_, true);
    switch (entry.type) {
        case zelvan::PARAM_BOOL: {
            bool v = false;
            if (!tool_->getParam(entry.name, v)) return false;
            static_cast<SettingBaseWithSwitchButton*>(entry.item)->setChecked(v);
            return true;
        }
        case zelvan::PARAM_INT: {
            int v = 0;
            if (!tool_->getParam(entry.name, v)) return false;
            static_cast<SettingBaseWithLineEdit*>(entry.item)->setValue(v);
            return true;
        }
        case zelvan::PARAM_FLOAT: {
            float v = 0;
            if (!tool_->getParam(entry.name, v)) return false;
            static_cast<SettingBaseWithLineEdit*>(entry.item)->slotItemValueChanged(entry.name, v);
            return true;
        }
        default:
            return false;
    }
}

bool SidebarApsSettingUI::refreshFromCamera() {
    if (!camera_) return false;
    QScopedValueRollback<bool> guard(showingToolValues_, true);
    QStringList unread;
    for (const zelvan::ToolInfo& info : camera_->getAllToolsInfo()) {
        const std::shared_ptr<zelvan::CameraTool> tool = camera_->getTool(info.type);
        if (!tool) continue;
        // Only the frame sensor's values have items here.
        if (tool != tool_) continue;
        for (const auto& [name, param] : tool->getAllParamInfo()) {
            bool ok = true;
            switch (param.type) {
                case zelvan::PARAM_BOOL: {
                    bool v = false;
                    ok = tool->getParam(name, v);
                    if (ok) emit signalSetValue(name, v);
                    break;
                }
                case zelvan::PARAM_INT: {
                    int v = 0;
                    ok = tool->getParam(name, v);
                    if (ok) emit signalSetValue(name, v);
                    break;
                }
                case zelvan::PARAM_FLOAT: {
                    float v = 0;
                    ok = tool->getParam(name, v);
                    if (ok) emit signalSetValue(name, v);
                    break;
                }
                case zelvan::PARAM_ENUM:
                case zelvan::PARAM_STRING: {
                    std::string v;
                    ok = tool->getParam(name, v);
                    if (ok) emit signalSetValue(name, v);
                    break;
                }
            }
            if (!ok) unread << QString::fromStdString(name);
        }
    }
    if (unread.isEmpty()) return true;
    tip(tr("Cannot read %1 from the camera.").arg(unread.join(", ")), ZvMessageType::Error);
    return false;
}

bool SidebarApsSettingUI::loadDefaultConfig() {
    const QString path = settings_->defaultFusionConfigPath;
    if (camera_ && !path.isEmpty() && QFileInfo(path).isFile())
        return applyFile(path, tr("Camera parameters loaded failed."), QString());
    tip(tr("Camera parameters loaded failed."), ZvMessageType::Error);
    return false;
}

bool SidebarApsSettingUI::loadConfigFile(const QString& path) {
    return applyFile(path, tr("Failed to load camera parameters."), path);
}

bool SidebarApsSettingUI::applyFile(const QString& path, const QString& failure, const QString& shown) {
    const bool ok = camera_ && camera_->loadCameraConfigParams(toFileSystemPath(path));
    if (camera_) {
        refreshFromCamera();
        emit signalCameraToolsLoaded();
    }
    if (ok && camera_->lastConfigError() != zelvan::ConfigError::None)
        tip(tr("Camera parameters loaded; %1.")
                .arg(SidebarDvsSettingUI::configErrorMessage(camera_->lastConfigError())),
            ZvMessageType::Warning, shown);
    else if (ok)
        tip(tr("Camera parameters loaded successfully."), ZvMessageType::Success, shown);
    else
        tip(failure, ZvMessageType::Error, shown);
    return ok;
}

bool SidebarApsSettingUI::exportConfigFile(const QString& path) {
    const bool ok = camera_ && camera_->exportCameraConfigParams(toFileSystemPath(path));
    if (ok)
        tip(tr("Camera parameters exported successfully."), ZvMessageType::Success, path);
    else
        tip(tr("Failed to export camera parameters."), ZvMessageType::Error, path);
    return ok;
}

void SidebarApsSettingUI::slotDefaultConfig() { loadDefaultConfig(); }
void SidebarApsSettingUI::slotRefreshConfig() { refreshFromCamera(); }

void SidebarApsSettingUI::slotLoadConfig() {
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Select a JSON file"), QFileInfo(settings_->fusionCurrentConfigPath).absolutePath(),
        tr("Json file (*.json)"));
    if (path.isEmpty()) return;
    loadConfigFile(path);
}

void SidebarApsSettingUI::slotExportConfig() {
    const QString path = SidebarDvsSettingUI::askExportPath(
        this, QFileInfo(settings_->fusionCurrentConfigPath).absolutePath());
    if (!path.isEmpty()) exportConfigFile(path);
}

void SidebarApsSettingUI::tip(const QString& text, ZvMessageType type, const QString& path) {
    emit signalShowLeftBottomTips(text, type, path);
}
