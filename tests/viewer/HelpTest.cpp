// The help pages against the key map and the mouse actions, and where the help window
// shows: above the window that asked, wholly on the screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QScreen>
#include <QTextBrowser>
#include <QTextDocument>
#include <memory>
#include <set>

#include "QtTestApp.h"
#include "settings/Configuration.h"
#include "viewer/Help.h"
#include "viewer/HelpWindow.h"
#include "viewer/Main.h"

using namespace vellicor;

namespace {

QString HelpPage(const char* name) {
    QFile f(QString(VELLICOR_SOURCE_DIR "/src/viewer/help/") + name);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
    return QString::fromUtf8(f.readAll());
}

// The key names of the first column of every table row, split at "/", "," , " or " and "..".
std::set<QString> KeyCells(const QString& html) {
    std::set<QString> keys;
    QRegularExpression row("<tr><td>(.*?)</td>");
    for (auto it = row.globalMatch(html); it.hasNext();) {
        QTextDocument doc;
        doc.setHtml(it.next().captured(1));
        for (const QString& part : doc.toPlainText().split(QRegularExpression("\\s*(/|,|\\bor\\b|\\.\\.)\\s*")))
            if (!part.trimmed().isEmpty()) keys.insert(part.trimmed());
    }
    return keys;
}

QString KeyName(int key) {
    switch (key) {
        case vkEscape: return "Esc";
        case vkSpace: return "Space";
        case vkPrior: return "Page Up";
        case vkNext: return "Page Down";
        case vkEnd: return "End";
        case vkHome: return "Home";
        case vkLeft: return "Left";
        case vkUp: return "Up";
        case vkRight: return "Right";
        case vkDown: return "Down";
        case vkApps: return "the menu key";
        case vkAdd: return "keypad +";
        case vkSubtract: return "keypad -";
        default: break;
    }
    if (key >= vkF1 && key <= vkF12) return "F" + QString::number(key - vkF1 + 1);
    return QString(QChar(key));
}

}  // namespace

// Every combination the key map acts on is in the reading page's tables, written as
// Ctrl+Shift+Alt+key; a modifier the command does not depend on is left out.
TEST(HelpPages, EveryKeyOfTheKeyMapIsInTheHelp) {
    const std::set<QString> cells = KeyCells(HelpPage("reading.html"));
    int checked = 0;
    for (int key = vkEscape; key <= vkF12; ++key) {
        for (int mods = 0; mods < 8; ++mods) {
            const bool shift = mods & 1, ctrl = mods & 2, alt = mods & 4;
            const TKeyCommand cmd = KeyCommand(key, shift, alt, ctrl, false);
            if (cmd == TKeyCommand::None) continue;
            bool implied = false;  // the same command with one modifier fewer
            for (int drop : {1, 2, 4})
                if ((mods & drop) && KeyCommand(key, (mods & ~drop) & 1, (mods & ~drop) & 4, (mods & ~drop) & 2,
                                                false) == cmd)
                    implied = true;
            if (implied) continue;
            QString name = (ctrl ? "Ctrl+" : "") + QString(shift ? "Shift+" : "") + (alt ? "Alt+" : "") + KeyName(key);
            // The twelve favourites are one row, "Shift+F1 .. Shift+F12".
            if (cmd == TKeyCommand::Favourite) name = key == vkF12 ? "Shift+F12" : "Shift+F1";
            EXPECT_TRUE(cells.count(name)) << name.toStdString() << " is not in the help's key tables";
            ++checked;
        }
    }
    EXPECT_GT(checked, 60);  // the map was walked, not skipped
    for (const char* mouse : {"right click", "wheel", "left double click", "left button held and moved"})
        EXPECT_TRUE(cells.count(mouse)) << mouse;
}

TEST(HelpPages, EveryMouseActionAndEveryConfigurationTabIsExplained) {
    const QString reading = HelpPage("reading.html");
    for (int code = 0; code < kMouseActionCount; ++code) {
        const QString name = QString::fromUtf8(MouseActionText(code));
        if (!name.isEmpty()) {
            EXPECT_TRUE(reading.contains(name.toHtmlEscaped())) << name.toStdString();
        }
    }
    const QString configure = HelpPage("configure.html");
    for (const char* tab : {"Image Sizing Options", "Colour Balance", "Yellow Reduction", "Program Settings",
                            "Edge Yellow Reduction", "Mouse Control"})
        EXPECT_TRUE(configure.contains(QString("<h2>") + tab + "</h2>")) << tab;
    const QString start = HelpPage("start.html");
    for (const char* format : {"zip/cbz", "rar/cbr", "ace/cba", "tar/cbt"})
        EXPECT_TRUE(start.contains(format)) << format;
}

namespace {

class HelpPlacement : public ::testing::Test {
protected:
    void SetUp() override {
        test::App();
        setenv("VELLICOR_HELP_DIR", VELLICOR_SOURCE_DIR "/src/viewer/help", 1);
        owner = std::make_unique<QWidget>();
        InstallHelpService(owner.get());
        owner->setGeometry(area());
        owner->show();
    }
    void TearDown() override {
        SetHelpContextHandler(nullptr);
        owner.reset();
        unsetenv("VELLICOR_HELP_DIR");
    }
    static QRect area() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    HelpWindow* Help() const {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* h = qobject_cast<HelpWindow*>(w); h && h->isVisible()) return h;
        return nullptr;
    }
    std::unique_ptr<QWidget> owner;  // the reader's window
};

}  // namespace

// The settings dialog stays on top and is not modal: help from it goes with it, on top too.
TEST_F(HelpPlacement, HelpFromAStayOnTopDialogShowsAboveItAndOnScreen) {
    QDialog dlg(owner.get(), Qt::Dialog | Qt::WindowStaysOnTopHint);
    dlg.resize(688, 400);
    // Near the bottom right: help centred on it would run off the screen.
    dlg.move(area().right() - 300, area().bottom() - 200);
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    ASSERT_EQ(HelpHost(owner.get()), &dlg);
    ShowHelpContext(14);
    HelpWindow* help = Help();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->parentWidget(), &dlg);
    EXPECT_TRUE(help->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(area().contains(help->frameGeometry())) << "help at " << help->frameGeometry().x() << ","
                                                        << help->frameGeometry().y();
    EXPECT_NE(help->Browser()->toPlainText().indexOf("Mouse Control"), -1);

    // Esc, wherever the focus is in it, closes it.
    help->Browser()->setFocus();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(help->Browser(), &esc);
    EXPECT_FALSE(help->isVisible());

    // Asked for from the reader, it goes back over the reader, and not on top of everything.
    dlg.hide();
    QApplication::setActiveWindow(owner.get());
    ShowHelpContext(kHelpContents);
    help = Help();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->parentWidget(), owner.get());
    EXPECT_FALSE(help->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(area().contains(help->frameGeometry()));
    help->close();
}

TEST(HelpWindowFit, AFrameIsMovedTheLeastIntoTheArea) {
    const QRect area(0, 0, 1000, 700);
    EXPECT_EQ(HelpWindow::FitInto(QRect(100, 100, 200, 200), area), QRect(100, 100, 200, 200));
    EXPECT_EQ(HelpWindow::FitInto(QRect(900, 650, 200, 200), area), QRect(800, 500, 200, 200));
    EXPECT_EQ(HelpWindow::FitInto(QRect(-20, -5, 200, 200), area), QRect(0, 0, 200, 200));
    // Too tall: the top (the title bar) stays on the screen.
    EXPECT_EQ(HelpWindow::FitInto(QRect(50, 100, 200, 900), area), QRect(50, 0, 200, 900));
}
