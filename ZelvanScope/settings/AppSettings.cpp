#include "settings/AppSettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTranslator>
#include <mutex>

namespace {

QString& documentsOverride() {
    static QString path;
    return path;
}

QString documentsLocation() {
    if (!documentsOverride().isEmpty()) return documentsOverride();
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

struct Theme {
    const char* name;
    QColor on, off, background;
};

// In the order the settings dialog offers them. The names are the stored keys; the dialog shows
// them translated in its own context.
const Theme kThemes[] = {
    {QT_TRANSLATE_NOOP("ZvGeneralSetting", "Gray"), QColor(255, 255, 255), QColor(0, 0, 0),
     QColor(112, 112, 112)},
    {QT_TRANSLATE_NOOP("ZvGeneralSetting", "Dark"), QColor(255, 255, 255), QColor(64, 126, 200),
     QColor(30, 37, 52)},
    {QT_TRANSLATE_NOOP("ZvGeneralSetting", "RedBlue"), QColor(255, 0, 0), QColor(0, 0, 255),
     QColor(112, 112, 112)},
    {QT_TRANSLATE_NOOP("ZvGeneralSetting", "RedGreen"), QColor(255, 0, 0), QColor(0, 255, 0),
     QColor(112, 112, 112)},
    {QT_TRANSLATE_NOOP("ZvGeneralSetting", "Light"), QColor(0, 0, 0), QColor(64, 126, 201),
     QColor(255, 255, 255)},
};

const Theme* findTheme(const QString& name) {
    for (const Theme& theme : kThemes) {
        if (name == theme.name) return &theme;
    }
    return nullptr;
}

// `value` when it is one of `known`, else `fallback`, with a warning naming the setting.
QString knownOr(const QString& value, const QStringList& known, const char* fallback, const char* what) {
    if (known.contains(value)) return value;
    // Earlier versions stored the Chinese texts of the choices: they still mean their keys.
    static const QTranslator* chinese = [] {
        auto* translator = new QTranslator;
        if (!translator->load(":/app_zh.qm")) qWarning() << "Cannot read the Chinese texts of the settings.";
        return translator;
    }();
    for (const QString& key : known) {
        if (!value.isEmpty() && chinese->translate("ZvGeneralSetting", key.toUtf8().constData()) == value)
            return key;
    }
    qWarning().noquote() << "Unknown" << what << QString("\"%1\"").arg(value) << "in the settings; using"
                         << QString("\"%1\"").arg(fallback) << "instead.";
    return fallback;
}

// The stored folder when it exists, else Documents + "/ZelvanData" (created when missing).
// Returns false when there is no Documents location.
bool loadFolder(QSettings& s, const char* key, QString& out, bool warn) {
    const QString stored = s.value(key).toString();
    if (!stored.isEmpty() && QDir(stored).exists()) {
        out = stored;
        return true;
    }
    const QString docs = documentsLocation();
    if (docs.isEmpty()) {
        if (warn) qWarning() << "Unable to get documents location.";
        return false;
    }
    out = docs + "/ZelvanData";
    if (!ensureDirectory(out) && warn) qWarning() << "Create raw file path failed.";
    return true;
}

// The current camera configuration: stored path, or a copy of the shipped default in
// Documents + "/ZelvanConfig". Returns false when there is no Documents location.
bool loadConfigPath(QSettings& s, const char* key, const QString& default_config, const QString& file_name,
                    QString& out) {
    const QString stored = s.value(key).toString();
    if (!stored.isEmpty()) {
        out = stored;
        return true;
    }
    const QString docs = documentsLocation();
    if (docs.isEmpty()) return false;
    const QString dir = docs + "/ZelvanConfig";
    ensureDirectory(dir);
    if (QFile::copy(default_config, dir + file_name)) qInfo() << "File copied successfully to:" << dir;
    out = dir + file_name;
    return true;
}

}  // namespace

bool ensureDirectory(const QString& path) { return QDir().mkpath(path); }

void AppSettings::setDocumentsLocationForTesting(const QString& path) { documentsOverride() = path; }

const QStringList& AppSettings::triggerEdgeTypes() {
    static const QStringList edges = {QT_TRANSLATE_NOOP("ZvGeneralSetting", "Rising Edge"),
                                      QT_TRANSLATE_NOOP("ZvGeneralSetting", "Falling Edge")};
    return edges;
}

const QStringList& AppSettings::colorThemes() {
    static const QStringList names = [] {
        QStringList list;
        for (const Theme& theme : kThemes) list << theme.name;
        return list;
    }();
    return names;
}

AppSettings* AppSettings::instance() {
    static std::once_flag once;
    static AppSettings* settings = nullptr;
    QCoreApplication::setApplicationName("ZelvanScope");
    QCoreApplication::setOrganizationName("Zelvan");
    const QString app_data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    std::call_once(once, [&] {
        qInfo() << "app config path:" << app_data;
        ensureDirectory(app_data);
        settings = new AppSettings(app_data + "/config.ini");
        settings->appDataPath = app_data;
        // Saved at exit; the object lives as long as the program.
        qAddPostRoutine([] {
            if (settings && !settings->save()) qWarning() << "The settings were not saved at exit.";
        });
    });
    return settings;
}

AppSettings::AppSettings(const QString& ini_path)
    : settings_(std::make_unique<QSettings>(ini_path, QSettings::IniFormat)) {
    appDataPath = QFileInfo(ini_path).absolutePath();
    // The default theme's colours, also when loading stops early: never an all-black picture.
    applyColorTheme();
    load();
}

AppSettings::~AppSettings() = default;

void AppSettings::load() {
    QSettings& s = *settings_;
    if (!loadFolder(s, "Setting/output_raw_file_path", outputRawFilePath, false)) return;
    if (!loadFolder(s, "Setting/input_raw_file_path", inputRawFilePath, true)) return;
    language = s.value("Setting/language", "en").toString();
    if (language != "en" && language != "zh") language = "en";
    if (!loadFolder(s, "Setting/video_save_path", videoSavePath, true)) return;
    // The shipped defaults: share/zelvan/config beside bin/, installed or in the build tree.
    const QString config_dir =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + "/" + ZELVAN_SCOPE_DATA_DIR + "/config");
    defaultDvsConfigPath = config_dir + "/dvs_default_config.json";
    defaultFusionConfigPath = config_dir + "/fusion_cmaera_default_config.json";
    if (!loadConfigPath(s, "Setting/dvs_camera_current_config_path", defaultDvsConfigPath,
                        "/dvs_default_config.json", dvsCurrentConfigPath))
        return;
    if (!loadConfigPath(s, "Setting/fusion_camera_current_config_path", defaultFusionConfigPath,
                        "/fusion_camera_default_config.json", fusionCurrentConfigPath))
        return;
    if (s.contains("Setting/dvs_trigger_in_rec_enable")) {
        triggerInRecEnable = s.value("Setting/dvs_trigger_in_rec_enable").toBool();
        triggerInEdgeType = knownOr(s.value("Setting/dvs_trigger_in_rec_edge_type", kRisingEdge).toString(),
                                    triggerEdgeTypes(), kRisingEdge, "trigger edge");
        beforeTriggerInSaveTime = s.value("Setting/dvs_before_tirgger_in_save_time").toUInt();
        afterTriggerInSaveTime = s.value("Setting/dvs_after_tirgger_in_save_time").toUInt();
    } else {
        triggerInRecEnable = false;
        triggerInEdgeType = kRisingEdge;
        beforeTriggerInSaveTime = 0;
        afterTriggerInSaveTime = 0;
    }
    colorType = knownOr(s.value("Setting/dvs_color_type", kDefaultColorType).toString(), colorThemes(),
                        kDefaultColorType, "colour theme");
    applyColorTheme();
    recentRecordings.clear();
    for (const QString& path : s.value("Setting/recent_raw_files").toStringList())
        if (!path.isEmpty() && !recentRecordings.contains(path) &&
            recentRecordings.size() < kMaxRecentRecordings)
            recentRecordings.append(path);
}

void AppSettings::addRecentRecording(const QString& path) {
    recentRecordings.removeAll(path);
    recentRecordings.prepend(path);
    while (recentRecordings.size() > kMaxRecentRecordings) recentRecordings.removeLast();
}

void AppSettings::applyColorTheme() {
    const Theme* theme = findTheme(colorType);
    if (!theme) return;
    onColor = theme->on;
    offColor = theme->off;
    backgroundColor = theme->background;
    emit colorThemeChanged(onColor, offColor, backgroundColor);
}

bool AppSettings::save() {
    triggerInEdgeType = knownOr(triggerInEdgeType, triggerEdgeTypes(), kRisingEdge, "trigger edge");
    colorType = knownOr(colorType, colorThemes(), kDefaultColorType, "colour theme");
    applyColorTheme();
    QSettings& s = *settings_;
    s.setValue("Setting/output_raw_file_path", outputRawFilePath);
    s.setValue("Setting/input_raw_file_path", inputRawFilePath);
    s.setValue("Setting/language", language);
    s.setValue("Setting/video_save_path", videoSavePath);
    s.setValue("Setting/dvs_trigger_in_rec_enable", triggerInRecEnable);
    s.setValue("Setting/dvs_trigger_in_rec_edge_type", triggerInEdgeType);
    s.setValue("Setting/dvs_before_tirgger_in_save_time", beforeTriggerInSaveTime);
    s.setValue("Setting/dvs_after_tirgger_in_save_time", afterTriggerInSaveTime);
    s.setValue("Setting/dvs_color_type", colorType);
    s.setValue("Setting/dvs_camera_current_config_path", dvsCurrentConfigPath);
    s.setValue("Setting/recent_raw_files", recentRecordings);
    s.sync();
    if (s.status() != QSettings::NoError || !s.isWritable()) {
        qWarning() << "Cannot write the settings to" << s.fileName();
        return false;
    }
    qInfo() << "Write to config file.";
    return true;
}

QString AppSettings::fileName() const { return settings_->fileName(); }
