// Runs viewer tests in a private home folder, so that settings and recordings never touch the
// user's own, with the application set up as the program sets it up (resources, font, style sheet).
#pragma once

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

#include "main/ViewerResources.h"
#include "settings/AppSettings.h"

#define ZELVAN_VIEWER_TEST_MAIN(TestClass)                                                           \
    int main(int argc, char** argv) {                                                                \
        QTemporaryDir home;                                                                          \
        qputenv("HOME", home.path().toUtf8());                                                       \
        qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());                          \
        qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());                             \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
        AppSettings::setDocumentsLocationForTesting(home.path() + "/Documents");                     \
        QApplication app(argc, argv);                                                                \
        setUpViewerApplication(app);                                                                 \
        TestClass test;                                                                              \
        return QTest::qExec(&test, argc, argv);                                                      \
    }
