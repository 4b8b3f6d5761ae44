#include "viewer/HelpWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QUrl>
#include <QVBoxLayout>
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
    resize(640, 560);
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
        show();
        return false;
    }
    browser_->setSource(QUrl::fromLocalFile(path));
    show();
    raise();
    activateWindow();
    return true;
}

void InstallHelpService(QWidget* parent) {
    auto owner = QPointer<QWidget>(parent);
    auto window = std::make_shared<QPointer<HelpWindow>>(new HelpWindow(parent));
    SetHelpContextHandler([owner, window](int Context) {
        // Asked for from a modal dialog, the window goes with that dialog: otherwise the
        // dialog would block it and its links and scroll bar would not answer.
        QWidget* host = QApplication::activeModalWidget();
        if (!host) host = owner;
        if (!*window) *window = new HelpWindow(host);
        if ((*window)->parentWidget() != host) (*window)->setParent(host, Qt::Window);
        (*window)->ShowTopic(Context);
    });
}

}  // namespace vellicor
