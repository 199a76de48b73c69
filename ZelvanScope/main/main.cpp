// ZelvanScope: program entry.
#include <QApplication>
#include <QDebug>
#include <QProcess>
#include <QTimer>
#include <QTranslator>
#include <memory>

#include "main/MainWidget.h"
#include "main/ViewerResources.h"
#include "settings/AppSettings.h"
#include "widgets/InitDialog.h"

int main(int argc, char** argv) {
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    QApplication app(argc, argv);
    // Resources, font, style sheet and window icon, as the tests set them up too.
    setUpViewerApplication(app);
    QApplication::setApplicationName("ZelvanScope");
    QApplication::setOrganizationName("Zelvan");
    QApplication::setApplicationVersion(InitDialog::kVersion);
    const QString recording = recordingFromArguments(QApplication::arguments());
    AppSettings* settings = AppSettings::instance();

    QTranslator translator;
    const QString qm = settings->language == "zh" ? ":/app_zh.qm" : ":/app_en.qm";
    if (!translator.load(qm)) {
        qWarning() << "Load language failed.";
    } else if (!QApplication::installTranslator(&translator)) {
        qWarning() << "install translator failed.";
    }

    {
        InitDialog splash;
        splash.exec();
    }
    auto window = std::make_unique<MainWidget>();
    window->show();
    // A recording named on the command line opens and plays once the window is up, as a media
    // player would; one that cannot be opened is reported in the window.
    if (!recording.isEmpty())
        QTimer::singleShot(0, window.get(), [&window, recording] { window->openRecording(recording); });
    const int result = app.exec();
    window.reset();  // the camera and the recordings' files are released here
    if (app.property(MainWidget::kRestartProperty).toBool()) {
        QProcess::startDetached(QApplication::applicationFilePath(), {});
    }
    return result;
}
