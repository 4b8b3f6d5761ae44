// The Qt window's translation of keys, wheel and mouse into the window logic, on the
// offscreen platform.
#include <gtest/gtest.h>

#include <QLabel>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QWheelEvent>
#include <cstdlib>

#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/TempDir.h"
#include "support/TestImages.h"
#include "MainWindowFixture.h"
#include "QtTestApp.h"
#include "viewer/ColourDataForm.h"
#include "viewer/MainWindow.h"

using namespace vellicor;

namespace {

using test::App;

class MainWindowTest : public test::MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        config->SetFitWidthIfOversize(false);
        std::string page = pages.File("tall.bmp");
        test::WriteBmp24(page, 200, 3000, [](int, int) { return 0x808080u; });
        Open({page}, true);
    }

    void Key(int qtKey, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QKeyEvent e(QEvent::KeyPress, qtKey, m);
        QCoreApplication::sendEvent(window.get(), &e);
    }
    void Wheel(int delta, Qt::MouseButtons held = Qt::NoButton) {
        QPointF at(10, 10);
        QWheelEvent e(at, at, QPoint(), QPoint(0, delta), held, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(window.get(), &e);
    }

    // A key as the platform hands it out: to the open menu, else to the focus widget, else
    // to the window; the shortcut override comes first.
    void Type(int qtKey, Qt::KeyboardModifiers m = Qt::NoModifier, const QString& text = QString()) {
        auto to = [this]() -> QWidget* {
            if (QWidget* popup = QApplication::activePopupWidget()) return popup;
            if (QWidget* focus = QApplication::focusWidget()) return focus;
            return window.get();
        };
        QKeyEvent over(QEvent::ShortcutOverride, qtKey, m, text);
        QCoreApplication::sendEvent(to(), &over);
        QKeyEvent press(QEvent::KeyPress, qtKey, m, text);
        QCoreApplication::sendEvent(to(), &press);
        // Alt alone is released without the modifier.
        QKeyEvent release(QEvent::KeyRelease, qtKey, qtKey == Qt::Key_Alt ? Qt::NoModifier : m, text);
        QCoreApplication::sendEvent(to(), &release);
        QCoreApplication::processEvents();
    }
    // Windowed with W, the window active.
    void Windowed() {
        window->activateWindow();
        QCoreApplication::processEvents();
        Type(Qt::Key_W, Qt::NoModifier, "w");
        ASSERT_TRUE(window->IsWindowed());
        ASSERT_TRUE(window->menuBar()->isVisible());
        window->activateWindow();
        QCoreApplication::processEvents();
    }
    // Clicks File on the menu bar, then closes its menu with Esc.
    void FileThenEscape() {
        QMenuBar* bar = window->menuBar();
        const QPointF at = bar->actionGeometry(bar->actions().front()).center();
        QMouseEvent press(QEvent::MouseButtonPress, at, bar->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(bar, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, bar->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(bar, &release);
        QCoreApplication::processEvents();
        ASSERT_NE(qobject_cast<QMenu*>(QApplication::activePopupWidget()), nullptr) << "File opened no menu";
        Type(Qt::Key_Escape, Qt::NoModifier, "\x1b");
        ASSERT_EQ(QApplication::activePopupWidget(), nullptr) << "Esc did not close the menu";
    }
    bool Quitting() const { return window->TimerEnabled(TMainTimer::Shutdown); }
};

}  // namespace

TEST(MainWindowKeys, QtKeysBecomeKeyCodes) {
    EXPECT_EQ(VirtualKeyOf(Qt::Key_A, false), 'A');
    EXPECT_EQ(VirtualKeyOf(Qt::Key_Z, false), 'Z');
    EXPECT_EQ(VirtualKeyOf(Qt::Key_F5, false), vkF5);
    EXPECT_EQ(VirtualKeyOf(Qt::Key_F12, false), vkF12);
    EXPECT_EQ(VirtualKeyOf(Qt::Key_PageDown, false), vkNext);
    EXPECT_EQ(VirtualKeyOf(Qt::Key_Escape, false), vkEscape);
    EXPECT_EQ(VirtualKeyOf(Qt::Key_Plus, true), vkAdd);
    EXPECT_EQ(VirtualKeyOf(Qt::Key_Plus, false), 0);  // only the number pad's
    EXPECT_EQ(VirtualKeyOf(Qt::Key_Backspace, false), 0);
}

TEST_F(MainWindowTest, WheelNotchesAndKeysScrollATallPage) {
    TMainDisplayForm& f = window->Form();
    ASSERT_TRUE(f.Image(0).Displayed);
    ASSERT_TRUE(f.CanScrollV);
    Wheel(-60);  // half a notch: nothing yet
    EXPECT_EQ(f.VScrollPos, 0);
    Wheel(-60);
    EXPECT_EQ(f.VScrollPos, 120);
    Wheel(-360);  // three notches at once
    EXPECT_EQ(f.VScrollPos, 480);
    Key(Qt::Key_Up);
    EXPECT_EQ(f.VScrollPos, 430);
    Key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(f.VScrollPos, f.Image(0).Bitmap->Height() - f.Image(0).ViewHeight);
    Key(Qt::Key_Home, Qt::ShiftModifier);  // already on the first page
    Key(Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(f.VScrollPos, 0);
}

TEST_F(MainWindowTest, LeftButtonDragsThePage) {
    TMainDisplayForm& f = window->Form();
    ASSERT_TRUE(f.CanScrollV);
    QWidget* display = window->centralWidget();
    QPointF from(50, 200), to(50, 100);
    QMouseEvent press(QEvent::MouseButtonPress, from, display->mapToGlobal(from), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(display, &press);
    QMouseEvent move(QEvent::MouseMove, to, display->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(display, &move);
    EXPECT_EQ(f.VScrollPos, 100);
    QMouseEvent release(QEvent::MouseButtonRelease, to, display->mapToGlobal(to), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(display, &release);
    EXPECT_EQ(f.DragStartY, -1);
}

TEST_F(MainWindowTest, InformationAndLabelStayReadableOnTheBlackWindow) {
    Key(Qt::Key_I, Qt::ControlModifier);
    QLabel* info = window->Information();
    ASSERT_TRUE(info->isVisible());
    EXPECT_NE(info->text().indexOf("tall.bmp (1 / 1)"), -1);
    EXPECT_NE(info->palette().color(QPalette::Window), info->palette().color(QPalette::WindowText));
    EXPECT_TRUE(window->PageLabel()->isVisible());
    EXPECT_EQ(window->PageLabel()->text(), "1/1");
}

TEST_F(MainWindowTest, AnOpenDialogKeepsKeysAndWheelFromTheReader) {
    TMainDisplayForm& f = window->Form();
    ASSERT_TRUE(f.CanScrollV);
    QDialog dialog(window.get());
    dialog.setModal(true);
    dialog.show();
    QCoreApplication::processEvents();
    Key(Qt::Key_Space);
    Wheel(-120);
    EXPECT_EQ(f.VScrollPos, 0);
    dialog.hide();
    Key(Qt::Key_Space);
    EXPECT_GT(f.VScrollPos, 0);
}

TEST_F(MainWindowTest, ColourReadoutShowsThePixelUnderTheCursor) {
    ColourDataForm* form = window->ColourData();
    EXPECT_FALSE(form->isVisible());
    Key(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), "Colour Data");
    QWidget* display = window->centralWidget();
    const int x = window->Form().Image(0).DestX + 5;
    QPointF at(x, 1);
    QMouseEvent move(QEvent::MouseMove, at, display->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(display, &move);
    EXPECT_EQ(form->Text("RedVal"), "128");
    EXPECT_EQ(form->Text("XVal"), QString::number(x));
    EXPECT_EQ(form->Text("YVal"), "1");
    EXPECT_EQ(form->SwatchColour(1, 1), QColor(128, 128, 128));
    EXPECT_EQ(form->SwatchColour(0, 1), QColor(128, 128, 128));
    form->close();  // its own close box: the next switch shows it again
    Key(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(form->isVisible());
    Key(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(form->isVisible());
}

// The menu bar keeps the keyboard after a menu closed with Esc or after Alt alone; the keys
// of the key map still belong to the reader, in windowed mode and back in full screen.
TEST_F(MainWindowTest, KeysReachTheReaderAfterTheMenuBarWasUsed) {
    Windowed();
    FileThenEscape();
    // Open menus keep their own keys: Right goes on to the next menu.
    FileThenEscape();
    QMenuBar* bar = window->menuBar();
    const QPointF at = bar->actionGeometry(bar->actions().front()).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, bar->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(bar, &press);
    QCoreApplication::processEvents();
    Type(Qt::Key_Right);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), "&Read");
    Type(Qt::Key_Escape, Qt::NoModifier, "\x1b");
    ASSERT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_FALSE(Quitting());
    Type(Qt::Key_Escape, Qt::NoModifier, "\x1b");
    EXPECT_TRUE(Quitting()) << "Esc after closing a menu";
}

TEST_F(MainWindowTest, KeysReachTheReaderAfterAltAlone) {
    TMainDisplayForm& f = window->Form();
    Windowed();
    ASSERT_TRUE(f.CanScrollV);
    Type(Qt::Key_Alt, Qt::AltModifier);
    // Down would open the highlighted menu; the reader scrolls instead.
    Type(Qt::Key_Down);
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(f.VScrollPos, 50);
    Type(Qt::Key_Alt, Qt::AltModifier);
    Type(Qt::Key_Escape, Qt::NoModifier, "\x1b");
    EXPECT_TRUE(Quitting()) << "Esc after Alt";
}

TEST_F(MainWindowTest, KeysReachTheReaderInFullScreenAfterTheMenuBarWasUsed) {
    Windowed();
    FileThenEscape();
    Type(Qt::Key_W, Qt::NoModifier, "w");
    ASSERT_FALSE(window->IsWindowed());
    Type(Qt::Key_Escape, Qt::NoModifier, "\x1b");
    EXPECT_TRUE(Quitting()) << "Esc in full screen after closing File";
}

namespace {

// Forward reading through a set of small pages: what a turn to a page read ahead leaves for
// the event loop's next idle step.
class MainWindowReadingTest : public test::MainWindowFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        std::vector<std::string> names;
        for (int i = 0; i < 6; ++i) {
            names.push_back(pages.File("p" + std::to_string(i) + ".bmp"));
            const uint32_t grey = 0x202020u * uint32_t(i + 1);
            test::WriteBmp24(names.back(), 300, 400, [grey](int, int) { return grey; });
        }
        Open(names, true);
        Settle();
        ASSERT_EQ(window->Form().Image(0).Page, 0);
        ASSERT_TRUE(window->Form().Image(0).Displayed);
        ASSERT_EQ(config->PageBufferSize, 3);  // read ahead: the two pages after the one shown
    }
    // Events and idle steps, as the reader's loop runs them, until no work is left.
    void Settle() {
        for (int i = 0, quiet = 0; i < 4000 && quiet < 3; ++i) {
            QCoreApplication::processEvents();
            quiet = window->Form().IdleHandler() ? 0 : quiet + 1;
        }
    }
    void PageDown() {
        QKeyEvent e(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &e);
    }
    static bool Cached(int page) {
        for (const TBufferedPagePtr& p : TBufferedPage::Pages())
            if (p->PageNo == page && p->ImageType == ctDisplay && p->Processed) return true;
        return false;
    }
    bool Queued(int page) const {
        for (const QueueEntry& e : queue->Queue())
            if (e.Type == rtLoadPage && e.FileNumber == page) return true;
        return false;
    }
};

}  // namespace

// The page turned to was read ahead: it is up at once, and the read-ahead it starts waits
// until the page is painted (a job lets a paint through only at its first pass, up to 8 ms
// on, which doubled the time from key to screen).
TEST_F(MainWindowReadingTest, ATurnToAPageReadAheadIsPaintedBeforeTheNextReadAhead) {
    for (int page = 1; page <= 3; ++page) {
        SCOPED_TRACE("turn to page " + std::to_string(page));
        ASSERT_TRUE(Cached(page));
        PageDown();
        const TPageSlot& shown = window->Form().Image(0);
        ASSERT_EQ(shown.Page, page);
        ASSERT_TRUE(shown.Displayed);
        ASSERT_FALSE(window->Form().Busy);
        ASSERT_TRUE(window->PaintPending());
        ASSERT_TRUE(Queued(page + 2)) << "the turn starts no read-ahead";
        EXPECT_TRUE(window->Form().IdleHandler()) << "the loop must come back for the read-ahead";
        EXPECT_TRUE(Queued(page + 2)) << "the read-ahead ran before the page was painted";
        EXPECT_FALSE(Cached(page + 2));
        QCoreApplication::processEvents();
        EXPECT_FALSE(window->PaintPending());
        EXPECT_TRUE(window->Form().IdleHandler());
        EXPECT_FALSE(Queued(page + 2));
        EXPECT_TRUE(Cached(page + 2));
        Settle();
    }
}

// A display that does not paint (a hidden window) holds the read-ahead back one step only.
TEST_F(MainWindowReadingTest, AWindowThatDoesNotPaintDoesNotHoldTheReadAhead) {
    window->hide();
    QCoreApplication::processEvents();
    PageDown();
    ASSERT_EQ(window->Form().Image(0).Page, 1);
    ASSERT_TRUE(Queued(3));
    window->Form().IdleHandler();
    window->Form().IdleHandler();
    EXPECT_TRUE(Cached(3));
    // Nor does it while the paint stays owed: the next turn's read-ahead goes on at once.
    PageDown();
    ASSERT_EQ(window->Form().Image(0).Page, 2);
    ASSERT_TRUE(Queued(4));
    window->Form().IdleHandler();
    EXPECT_TRUE(Cached(4));
}
