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
    // Loads the topic of a help number (0: contents); false when its page is missing (the
    // window then says so).
    bool ShowTopic(int Context);
    // Shows the window over Host (above it, and above a stay-on-top host), wholly on the
    // screen. Esc closes it.
    void ShowOver(QWidget* Host);
    // Frame moved the least so that it lies in Area (its top-left first when too big).
    static QRect FitInto(QRect Frame, const QRect& Area);
    static constexpr int kWidth = 640, kHeight = 560;
    QTextBrowser* Browser() const { return browser_; }

    // The page of a topic number, and the folder the pages are read from.
    static std::string TopicPage(int Context);
    static std::string HelpFolder();

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QTextBrowser* browser_ = nullptr;
    bool refit_ = false;  // placed on a guessed frame size; checked once it is known
    void Refit();
};

// The window help asked for now goes with (see InstallHelpService).
QWidget* HelpHost(QWidget* Owner);

// Makes ShowHelpContext open the help window (a child of parent).
void InstallHelpService(QWidget* parent);

}  // namespace vellicor
