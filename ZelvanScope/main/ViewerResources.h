// The viewer's embedded resources (icons, style sheet) live in a static library: this registers them,
// and sets up the application the way every start of the viewer does.
#pragma once

#include <QString>
#include <QStringList>

class QApplication;

void initViewerResources();

// The viewer's style sheet (empty, with a warning, when it cannot be read).
QString viewerStyleSheet();

// What the program and its tests apply to the application before the first window: the embedded
// resources, the application font, the style sheet and the window icon. Screenshots taken by the tests
// therefore show the program as a user sees it.
void setUpViewerApplication(QApplication& app);

// The recording named on the command line (`ZelvanScope [FILE.raw]`), made absolute against the
// working directory; empty when none is named. --help and --version print and exit as usual; a second
// file or an unknown option prints the usage and exits with status 1.
QString recordingFromArguments(const QStringList& arguments);
