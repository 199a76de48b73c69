#include "main/ViewerResources.h"

#include <QtCore/qglobal.h>
#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>

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

void initViewerResources() { Q_INIT_RESOURCE(resources); }

QString viewerStyleSheet() {
    QFile style(":/style.qss");
    if (!style.open(QIODevice::ReadOnly)) {
        qWarning() << "Cannot read the style sheet" << style.fileName();
        return QString();
    }
    return QString::fromUtf8(style.readAll());
}

void setUpViewerApplication(QApplication& app) {
    initViewerResources();
    loadFont(app);
    app.setStyleSheet(viewerStyleSheet());
    QApplication::setWindowIcon(QIcon(":/img/assets/Zelvan logo_navigate.png"));
}
