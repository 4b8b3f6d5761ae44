#pragma once
// The work queue with its info window: the info files of a set are shown one after another
// in a text box that a double click or any key dismisses.
#include <QDialog>
#include <QPlainTextEdit>

#include "pages/ProcessFiles.h"

namespace vellicor {

class TInfoWindow;

class TQtProcessFilesForm : public TProcessFilesForm {
public:
    explicit TQtProcessFilesForm(TConfigureForm& Config);
    ~TQtProcessFilesForm() override;
    TInfoWindow* Window() const { return Window_; }

protected:
    void ShowInfo(const std::string& Caption, const std::string& Text) override;
    void HideInfo() override;

private:
    TInfoWindow* Window_;
};

class TInfoWindow : public QDialog {
    Q_OBJECT
public:
    explicit TInfoWindow(TQtProcessFilesForm& Queue);
    QPlainTextEdit* InfoBox = nullptr;
    void FormHide();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void hideEvent(QHideEvent* Event) override;

private:
    TQtProcessFilesForm& Queue_;
};

}  // namespace vellicor
