#pragma once
// The help: HTML pages in the help folder next to the executable, shown in one window.
#include <QTextBrowser>
#include <QWidget>
#include <string>

namespace vellicor {

class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);
    // Shows the topic of a help number (0: contents); false when its page is missing.
    bool ShowTopic(int Context);
    QTextBrowser* Browser() const { return browser_; }

    // The page of a topic number, and the folder the pages are read from.
    static std::string TopicPage(int Context);
    static std::string HelpFolder();

private:
    QTextBrowser* browser_ = nullptr;
};

// Makes ShowHelpContext open the help window (a child of parent).
void InstallHelpService(QWidget* parent);

}  // namespace vellicor
