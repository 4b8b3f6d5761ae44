#pragma once
// The work queue with its info window: the info files of a set are shown one after another
// in a text box that a double click or any key dismisses.
#include <QDialog>
#include <QPlainTextEdit>

#include "pages/ProcessFiles.h"

namespace vellicor {

class TInfoWindow;

// An info file's bytes as text: UTF-8 when valid, else Windows-1252; any line ending.
QString InfoText(const std::string& Bytes);

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
