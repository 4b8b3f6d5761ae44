#pragma once
// One application object for the GUI tests of a program, on the offscreen platform unless
// another is asked for.
#include <QApplication>
#include <QTemporaryDir>

namespace vellicor::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        // Qt keeps the file dialog's state (column widths, history) in the user's settings:
        // the tests start from Qt's defaults and leave the home folder alone.
        static QTemporaryDir qtSettings;
        qputenv("XDG_CONFIG_HOME", qtSettings.path().toLocal8Bit());
        new QApplication(argc, argv);
    }
    return *qobject_cast<QApplication*>(QApplication::instance());
}

}  // namespace vellicor::test
