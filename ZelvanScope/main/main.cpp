// ZelvanScope: program entry.
#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QFontDatabase>
#include <QIcon>
#include <QTranslator>

#include "main/MainWidget.h"
#include "main/ViewerResources.h"
#include "settings/AppSettings.h"
#include "widgets/InitDialog.h"

namespace {

// The application font: the bundled face if present, else the system's Noto Sans CJK (Simplified
// Chinese, medium weight) from Debian's fonts-noto-cjk.
void loadFont(QApplication& app) {
    const QStringList candidates = {":/font/NotoSansSC-Medium.ttf",
                                    "/usr/share/fonts/opentype/noto/NotoSansCJK-Medium.ttc",
                                    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"};
    for (const QString& path : candidates) {
        if (!QFile::exists(path)) continue;
        const int id = QFontDatabase::addApplicationFont(path);
        if (id < 0) continue;
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (families.isEmpty()) continue;
        QString family = families.first();
        for (const QString& f : families) {
            if (f.contains(" SC")) family = f;
        }
        QFont font(family);
        font.setHintingPreference(QFont::PreferNoHinting);
        app.setFont(font);
        return;
    }
    qWarning() << "Failed to load font!";
}

}  // namespace

int main(int argc, char** argv) {
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    QApplication app(argc, argv);
    initViewerResources();
    loadFont(app);
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
