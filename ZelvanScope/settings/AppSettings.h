// The viewer's process-wide settings, kept in "config.ini" in the writable application-data folder.
#pragma once

#include <QColor>
#include <QSettings>
#include <QString>
#include <memory>

class AppSettings {
public:
    // The one settings object, created (and loaded) on first use.
    static AppSettings* instance();

    // Loads the settings from the INI file at `ini_path`.
    explicit AppSettings(const QString& ini_path);
    ~AppSettings();
    AppSettings(const AppSettings&) = delete;
    AppSettings& operator=(const AppSettings&) = delete;

    // Writes the settings to the INI file.
    void save();
    // Sets the three event colours from colorType; unknown theme names change nothing.
    void applyColorTheme();

    QString appDataPath;
    QString outputRawFilePath;
    QString inputRawFilePath;
    QString videoSavePath;
    QString language = "en";
    bool triggerInRecEnable = false;
    QString triggerInEdgeType = "Rising Edge";
    uint32_t beforeTriggerInSaveTime = 0;
    uint32_t afterTriggerInSaveTime = 0;
    QString colorType = "Gray";
    QColor onColor;
    QColor offColor;
    QColor backgroundColor;
    QString defaultDvsConfigPath;
    QString defaultFusionConfigPath;
    QString dvsCurrentConfigPath;
    QString fusionCurrentConfigPath;

    // Documents location used for the default folders; tests point it elsewhere.
    static void setDocumentsLocationForTesting(const QString& path);

private:
    void load();
    std::unique_ptr<QSettings> settings_;
};

// Creates `path` (and its parents) when missing; true when it exists afterwards.
bool ensureDirectory(const QString& path);
