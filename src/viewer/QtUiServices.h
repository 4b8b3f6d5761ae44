#pragma once
// The core's UI services on Qt: message boxes, the wait cursor and letting events through.
#include <chrono>
#include <functional>

#include "platform/UiServices.h"

class QWidget;
class QObject;

namespace vellicor {

class QtUiServices : public IUiServices {
public:
    QtUiServices();
    ~QtUiServices() override;

    int MessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind kind) override;
    int AskPassword(const PasswordRequest& request, std::string& password) override;
    void SetWaitCursor(bool on) override;
    void ProcessMessages() override;

    void SetParentWidget(QWidget* parent) { parent_ = parent; }
    // Tool tips on or off for the whole application (the settings' hint switch).
    void SetShowHints(bool show);
    // The password dialog of the archive side installs itself here.
    std::function<int(const PasswordRequest&, std::string&)> passwordHandler;

private:
    QWidget* parent_ = nullptr;
    bool waitCursor_ = false;
    QObject* hintFilter_ = nullptr;
    std::chrono::steady_clock::time_point lastPass_{};
};

}  // namespace vellicor
