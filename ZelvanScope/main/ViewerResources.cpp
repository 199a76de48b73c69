#include "main/ViewerResources.h"

#include <QtCore/qglobal.h>
#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QIcon>

#include "Utility/ViewerUtils.h"

namespace {

// The application font: the bundled face if present, else the system's Noto Sans CJK collection
// from Debian's fonts-noto-cjk (the medium weight where fonts-noto-cjk-extra installs it).
const QStringList kFontFiles = {":/font/NotoSansSC-Medium.ttf",
                                "/usr/share/fonts/opentype/noto/NotoSansCJK-Medium.ttc",
                                "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"};

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
    if (const std::optional<QFont> font = loadApplicationFont(kFontFiles)) app.setFont(*font);
    app.setStyleSheet(viewerStyleSheet());
    QApplication::setWindowIcon(QIcon(":/img/assets/Zelvan logo_navigate.png"));
}

QString recordingFromArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QApplication::translate(
        "main", "Event camera viewer: live view, recording, playback of raw recordings."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(
        "recording", QApplication::translate("main", "A raw recording to open and play."), "[FILE.raw]");
    parser.process(arguments);
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        qCritical().noquote() << "Only one recording can be opened.";
        parser.showHelp(1);
    }
    return files.isEmpty() ? QString() : QFileInfo(files.first()).absoluteFilePath();
}
