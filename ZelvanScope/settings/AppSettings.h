// The viewer's process-wide settings, kept in "config.ini" in the writable application-data folder.
//
// Threads: the object belongs to the GUI thread; only the GUI thread reads or writes its fields.
// Other threads get what they need as copies: the render thread's colours arrive through
// colorThemeChanged().
#pragma once

#include <QColor>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <memory>

class AppSettings : public QObject {
    Q_OBJECT
public:
    // The stored trigger edges and colour themes. The settings file and the fields hold these
    // English keys whatever the language; dialogs show them translated.
    static constexpr const char* kRisingEdge = "Rising Edge";
    static constexpr const char* kFallingEdge = "Falling Edge";
    static constexpr const char* kDefaultColorType = "Gray";
    // The known edge keys, rising first.
    static const QStringList& triggerEdgeTypes();
    // The known theme keys, in the order the settings dialog offers them.
    static const QStringList& colorThemes();

    // The one settings object, created (and loaded) on first use.
    static AppSettings* instance();

    // Loads the settings from the INI file at `ini_path`. Chinese texts of the choices (as earlier
    // versions stored them) read as their keys. Unknown edge or theme keys in the file
    // are replaced by the defaults, with a warning.
    explicit AppSettings(const QString& ini_path);
    ~AppSettings() override;
    AppSettings(const AppSettings&) = delete;
    AppSettings& operator=(const AppSettings&) = delete;

    // Writes the settings to the INI file. An unknown edge or theme in memory is written as the
    // default (with a warning), so the file only ever holds known keys. False (with a warning) when
    // the file cannot be written.
    [[nodiscard]] bool save();
    // The INI file's path.
    QString fileName() const;
    // Puts `path` first in recentRecordings (once), keeping the newest kMaxRecentRecordings.
    void addRecentRecording(const QString& path);
    // Sets the three event colours from colorType and announces them with colorThemeChanged();
    // unknown theme names change nothing.
    void applyColorTheme();

    QString appDataPath;
    QString outputRawFilePath;
    QString inputRawFilePath;
    QString videoSavePath;
    QString language = "en";
    bool triggerInRecEnable = false;
    QString triggerInEdgeType = kRisingEdge;
    uint32_t beforeTriggerInSaveTime = 0;
    uint32_t afterTriggerInSaveTime = 0;
    QString colorType = kDefaultColorType;
    QColor onColor;
    QColor offColor;
    QColor backgroundColor;
    QString defaultDvsConfigPath;
    QString defaultFusionConfigPath;
    QString dvsCurrentConfigPath;
    QString fusionCurrentConfigPath;
    // The recordings opened last, newest first (File > Open Recent).
    static constexpr int kMaxRecentRecordings = 5;
    QStringList recentRecordings;

    // Documents location used for the default folders; tests point it elsewhere.
    static void setDocumentsLocationForTesting(const QString& path);

signals:
    // The three colours of the theme just applied, by value: receivers on other threads keep
    // their own copy and never read the fields above.
    void colorThemeChanged(QColor on, QColor off, QColor background);

private:
    void load();
    std::unique_ptr<QSettings> settings_;
};

// Creates `path` (and its parents) when missing; true when it exists afterwards.
bool ensureDirectory(const QString& path);
