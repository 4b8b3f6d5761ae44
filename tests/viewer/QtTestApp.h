#pragma once
// One application object for the GUI tests of a program, on the offscreen platform unless
// another is asked for.
#include <QApplication>

namespace vellicor::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv);
    }
    return *qobject_cast<QApplication*>(QApplication::instance());
}

}  // namespace vellicor::test
