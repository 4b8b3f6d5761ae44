#pragma once
// The about box: the program's credits with its version on the first line.
#include <QDialog>
#include <QPlainTextEdit>
#include <string>

namespace vellicor {

class TAboutForm : public QDialog {
    Q_OBJECT
public:
    // Version: the program's file version; empty leaves the first line as it is.
    explicit TAboutForm(const std::string& Version, QWidget* Parent = nullptr);
    static const char* const kCredits;
    QPlainTextEdit* Memo = nullptr;

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
};

// The version the build gave the program.
std::string ProgramVersion();

}  // namespace vellicor
