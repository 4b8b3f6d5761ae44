// The reader's entry: the settings first, then the work queue and the main window.
#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "pages/ProcessFiles.h"
#include "platform/Display.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/IdlePump.h"
#include "viewer/InfoWindow.h"
#include "viewer/MainWindow.h"
#include "viewer/OpenAllDialog.h"
#include "viewer/QtTextRenderer.h"
#include "viewer/QtUiServices.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // No display name: Qt would add it to every caption, and the caption is the page's name.
    QApplication::setApplicationName("vellicor");
    // The reader's state goes to its own settings, none to Qt's file of its own.
    vellicor::KeepQtSettingsAway();
    VTRACE("WinMain");
    // Decoders that draw for palette screens ask for the depth.
    if (QScreen* screen = QGuiApplication::primaryScreen()) vellicor::SetScreenColorDepth(screen->depth());

    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) names.emplace_back(argv[i]);

    try {
        vellicor::QtUiServices ui;
        vellicor::QtTextRenderer text;
        vellicor::SetShowHintHook([&ui](bool show) { ui.SetShowHints(show); });
        vellicor::TConfigureForm config;  // reads every setting before any window exists
        vellicor::TQtProcessFilesForm queue(config);  // with its info window
        vellicor::MainWindow window(config, queue, names);
        ui.SetParentWidget(&window);
        vellicor::TIdlePump pump([&window] { return window.Form().IdleHandler(); });
        pump.Start();
        if (!config.WindowMode) window.SetFullScreen();
        int rc = app.exec();
        vellicor::SetShowHintHook(nullptr);
        return rc;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vellicor: %s\n", e.what());
        return vellicor::trace::FailedExit(e);
    }
}
