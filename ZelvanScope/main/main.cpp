// ZelvanScope: program entry.
#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QIcon>
#include <QTranslator>

#include "Utility/ViewerUtils.h"
#include "main/MainWidget.h"
#include "main/ViewerResources.h"
#include "settings/AppSettings.h"
#include "widgets/InitDialog.h"

namespace {

// The application font: the bundled face if present, else the system's Noto Sans CJK collection
// from Debian's fonts-noto-cjk (the medium weight where fonts-noto-cjk-extra installs it).
const QStringList kFontFiles = {":/font/NotoSansSC-Medium.ttf",
                                "/usr/share/fonts/opentype/noto/NotoSansCJK-Medium.ttc",
                                "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"};

}  // namespace

int main(int argc, char** argv) {
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    QApplication app(argc, argv);
    initViewerResources();
    if (const std::optional<QFont> font = loadApplicationFont(kFontFiles)) QApplication::setFont(*font);
    QApplication::setApplicationName("ZelvanScope");
    QApplication::setOrganizationName("Zelvan");
    AppSettings* settings = AppSettings::instance();

    QTranslator translator;
    const QString qm = settings->language == "zh" ? ":/app_zh.qm" : ":/app_en.qm";
    if (!translator.load(qm)) {
        qWarning() << "Load language failed.";
    } else if (!QApplication::installTranslator(&translator)) {
        qWarning() << "install translator failed.";
    }
    QFile style(":/style.qss");
    if (style.open(QIODevice::ReadOnly)) app.setStyleSheet(QString::fromUtf8(style.readAll()));
    QApplication::setWindowIcon(QIcon(":/img/assets/Zelvan logo_navigate.png"));

    {
        InitDialog splash;
        splash.exec();
    }
    auto* window = new MainWidget();
    window->show();
    const int result = app.exec();
    delete window;
    return result;
}
