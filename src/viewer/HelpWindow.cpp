#include "viewer/HelpWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <memory>

#include "trace/Trace.h"
#include "viewer/Help.h"

namespace vellicor {

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle("Vellicor Help");
    browser_ = new QTextBrowser(this);
    browser_->setOpenLinks(true);
    browser_->setSearchPaths({QString::fromStdString(HelpFolder())});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);
    resize(kWidth, kHeight);
}

// The browser leaves Esc to its window.
void HelpWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void HelpWindow::ShowOver(QWidget* Host) {
    VTRACE("HelpWindow::ShowOver");
    // Above a stay-on-top window only if it stays on top itself.
    Qt::WindowFlags flags = Qt::Window;
    if (Host && (Host->windowFlags() & Qt::WindowStaysOnTopHint)) flags |= Qt::WindowStaysOnTopHint;
    if (parentWidget() != Host || (windowFlags() & Qt::WindowStaysOnTopHint) != (flags & Qt::WindowStaysOnTopHint))
        setParent(Host, flags);
    QScreen* screen = Host && Host->screen() ? Host->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    // The frame's size is known only once the window manager has framed the window: until
    // then, take the asking window's.
    QMargins m = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const bool guessed = m.isNull();
    if (guessed && Host) {
        const QRect f = Host->frameGeometry(), g = Host->geometry();
        m = QMargins(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(), f.bottom() - g.bottom());
    }
    const QSize client(std::min(kWidth, area.width() - m.left() - m.right()),
                       std::min(kHeight, area.height() - m.top() - m.bottom()));
    const QSize frame = client.grownBy(m);
    QPoint at = Host ? Host->frameGeometry().center() - QPoint(frame.width() / 2, frame.height() / 2) : area.topLeft();
    const QPoint place = FitInto(QRect(at, frame), area).topLeft();
    resize(client);
    move(place);
    refit_ = guessed;
    show();
    raise();
    activateWindow();
}

QRect HelpWindow::FitInto(QRect Frame, const QRect& Area) {
    if (Frame.right() > Area.right()) Frame.moveRight(Area.right());
    if (Frame.bottom() > Area.bottom()) Frame.moveBottom(Area.bottom());
    if (Frame.left() < Area.left()) Frame.moveLeft(Area.left());
    if (Frame.top() < Area.top()) Frame.moveTop(Area.top());
    return Frame;
}

// Once the frame is known, pull the window wholly onto the screen if the guess was short.
void HelpWindow::Refit() {
    if (!refit_ || !windowHandle() || windowHandle()->frameMargins().isNull() || !screen()) return;
    refit_ = false;
    const QRect area = screen()->availableGeometry();
    const QMargins m = windowHandle()->frameMargins();
    QRect frame = frameGeometry();
    if (frame.height() > area.height() || frame.width() > area.width()) {
        resize(std::min(width(), area.width() - m.left() - m.right()),
               std::min(height(), area.height() - m.top() - m.bottom()));
        frame = frameGeometry();
    }
    const QRect fitted = FitInto(frame, area);
    if (fitted != frame) move(fitted.topLeft());
}

void HelpWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    Refit();
}

void HelpWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Refit();
}

std::string HelpWindow::HelpFolder() {
    QByteArray env = qgetenv("VELLICOR_HELP_DIR");
    if (!env.isEmpty()) return env.toStdString();
    return (QCoreApplication::applicationDirPath() + "/help").toStdString();
}

std::string HelpWindow::TopicPage(int Context) {
    switch (Context) {
        case 4: return "start.html";
        case 5: return "open.html";
        case 8: return "reading.html";
        case 12: return "thumbnails.html";
        case 14: return "configure.html";
        default: return "index.html";
    }
}

bool HelpWindow::ShowTopic(int Context) {
    VTRACE("HelpWindow::ShowTopic");
    QString path = QString::fromStdString(HelpFolder() + "/" + TopicPage(Context));
    if (!QFileInfo::exists(path)) {
        browser_->setHtml("<h1>Help</h1><p>The help pages were not found in " +
                          QString::fromStdString(HelpFolder()).toHtmlEscaped() + ".</p>");
        return false;
    }
    browser_->setSource(QUrl::fromLocalFile(path));
    return true;
}

QWidget* HelpHost(QWidget* Owner) {
    // A modal dialog blocks every other window, so help goes with it; otherwise with the
    // window the user is in (the settings dialog, say), else the reader's.
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    QWidget* active = QApplication::activeWindow();
    if (active && !qobject_cast<HelpWindow*>(active)) return active;
    return Owner;
}

void InstallHelpService(QWidget* parent) {
    auto owner = QPointer<QWidget>(parent);
    auto window = std::make_shared<QPointer<HelpWindow>>();
    SetHelpContextHandler([owner, window](int Context) {
        QWidget* host = HelpHost(owner);
        // A window shown again, or under another window, is put where the window manager
        // likes: a new one is placed where it belongs.
        if (*window && (!(*window)->isVisible() || (*window)->parentWidget() != host)) delete window->data();
        if (!*window) *window = new HelpWindow(host);
        (*window)->ShowTopic(Context);
        (*window)->ShowOver(host);
    });
}

}  // namespace vellicor
