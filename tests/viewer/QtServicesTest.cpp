// The toolkit's text renderer and UI services on the offscreen platform.
#include <gtest/gtest.h>

#include <chrono>

#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QTimer>
#include <QHelpEvent>
#include <QWidget>

#include "pages/PageBMP.h"
#include "QtTestApp.h"
#include "viewer/QtTextRenderer.h"
#include "viewer/QtUiServices.h"

using namespace vellicor;

namespace {
using test::App;
}  // namespace

TEST(QtTextRenderer, ErrorPageTextIsRedOnGreyAndShrinksWhenLong) {
    App();
    QtTextRenderer renderer;
    TPageBMP page("missing.jpg");
    page.MakeErrorBMP("Error Loading : short.jpg");
    ASSERT_EQ(page.Width(), 400);
    ASSERT_EQ(page.Height(), 600);
    int red = 0;
    for (int y = 10; y < 40; ++y)
        for (int x = 10; x < 300; ++x)
            if (page.Pixel(x, y) == RGBColor(255, 0, 0)) ++red;
    EXPECT_GT(red, 20);
    EXPECT_EQ(page.Pixel(200, 300), RGBColor(0x80, 0x80, 0x80));
    std::string longText(200, 'W');
    EXPECT_GT(renderer.TextWidth(longText, 20), renderer.TextWidth(longText, 10));
    page.MakeErrorBMP(longText);  // draws within the bitmap whatever the width
    EXPECT_EQ(page.Width(), 400);
}

TEST(QtUiServices, MessageBoxAnswersWithTheButtonPressed) {
    App();
    QtUiServices ui;
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->inherits("QMessageBox")) QMetaObject::invokeMethod(w, "reject");
    });
    int r = ShowMessageBox("Caption", "Text", mbYesNo);
    EXPECT_TRUE(r == mrNo || r == mrCancel);
    ui.SetWaitCursor(true);
    EXPECT_NE(QApplication::overrideCursor(), nullptr);
    ui.SetWaitCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// A window manager shows the caption in the title bar, usually bold, beside the frame's
// buttons: the box must leave it that room even when its text is short or empty.
TEST(QtUiServices, AMessageBoxIsWideEnoughForItsCaption) {
    App();
    QtUiServices ui;
    for (const std::string text : {"", "x"}) {
        int width = 0, needed = 0;
        QTimer::singleShot(0, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && w->inherits("QMessageBox")) {
                    QFont bold = w->font();
                    bold.setBold(true);
                    const QFontMetrics fm(bold);
                    needed = fm.horizontalAdvance(w->windowTitle()) + 3 * fm.height();
                    width = w->width();
                    QMetaObject::invokeMethod(w, "reject");
                }
        });
        ShowMessageBox("There are no image files to display", text, mbOK);
        EXPECT_GT(needed, 0);
        EXPECT_GE(width, needed) << '"' << text << '"';
    }
}

namespace {
struct TipCounter : QWidget {
    int tips = 0;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::ToolTip) ++tips;
        return QWidget::event(e);
    }
};
}  // namespace

TEST(QtUiServices, HintsOffSwallowToolTips) {
    App();
    QtUiServices ui;
    TipCounter w;
    QHelpEvent tip(QEvent::ToolTip, QPoint(1, 1), QPoint(1, 1));
    ui.SetShowHints(false);
    QCoreApplication::sendEvent(&w, &tip);
    EXPECT_EQ(w.tips, 0);
    ui.SetShowHints(true);
    QCoreApplication::sendEvent(&w, &tip);
    EXPECT_EQ(w.tips, 1);
}

TEST(QtUiServices, EventsGetThroughOnAClockNotAtEveryCall) {
    App();
    QtUiServices ui;
    int delivered = 0, calls = 0, passes = 0;
    QObject receiver;
    auto post = [&] { QMetaObject::invokeMethod(&receiver, [&] { ++delivered; }, Qt::QueuedConnection); };
    post();
    ui.ProcessMessages();
    EXPECT_EQ(delivered, 1) << "the first call lets events through";
    // A row loop calling in quick succession for 40 ms: an event posted before each call
    // gets through about every 8 ms, not at every call.
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(40)) {
        post();
        const int before = delivered;
        ui.ProcessMessages();
        passes += delivered > before;
        ++calls;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(calls, 100);
    EXPECT_GE(passes, 1);
    EXPECT_LE(passes, 1 + int(elapsed / std::chrono::milliseconds(8)));
}
