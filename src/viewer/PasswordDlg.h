#pragma once
// The modal password dialog of the archive side: a message, a masked edit and one to
// four buttons. Built in code, laid out in fixed pixels.
#include <QDialog>
#include <string>

#include "archives/zip/ZipComponent.h"
#include "platform/UiServices.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace vellicor {

class TPasswordDlg : public QDialog {
    Q_OBJECT
public:
    TPasswordDlg(QWidget* owner, TPasswordButtons buttons);
    ~TPasswordDlg() override;

    // Shows the dialog modally; the edit text when closed with OK, else "". The modal
    // result (result()) tells OK 1, Cancel 2, Cancel all 9 and Abort 3 apart.
    virtual std::string ShowModalPwdDlg(const std::string& title, const std::string& message);

    QPushButton* Buttons[4] = {nullptr, nullptr, nullptr, nullptr};  // in the order shown
    QLineEdit* PasswordEdit = nullptr;
    QLabel* MessageLabel = nullptr;

protected:
    // Escape and the window's close box give Cancel.
    void reject() override;
};

// The password question of the UI services, answered with the dialog.
int AskPasswordWithDialog(QWidget* owner, const PasswordRequest& request, std::string& password);

}  // namespace vellicor
