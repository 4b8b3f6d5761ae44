#pragma once
// Scripted UI services for tests: records every message box and answers as told.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/UiServices.h"

namespace vellicor::test {

struct ShownMessage {
    std::string caption;
    std::string text;
    int buttons = 0;
};

class FakeUi : public IUiServices {
public:
    FakeUi() { SetUiServices(this); }
    ~FakeUi() override { SetUiServices(nullptr); }

    int MessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind) override {
        shown.push_back({caption, text, buttons});
        // The box is up: what the event loop would run meanwhile.
        if (whileBoxShows) whileBoxShows();
        if (!answers.empty()) {
            int a = answers.front();
            answers.pop_front();
            return a;
        }
        return (buttons & (mbYesNo | mbYesNoCancel)) ? mrYes : mrOk;
    }
    int AskPassword(const PasswordRequest& request, std::string& password) override {
        passwordRequests.push_back(request);
        if (passwords.empty()) {
            password.clear();
            return passwordRefusal;
        }
        password = passwords.front();
        passwords.pop_front();
        return mrOk;
    }
    void SetWaitCursor(bool on) override {
        waitCursor = on;
        ++waitCursorChanges;
    }
    void ProcessMessages() override {
        ++processMessagesCalls;
        if (onProcessMessages) onProcessMessages();
    }

    std::vector<ShownMessage> shown;
    std::deque<int> answers;          // modal results for the next message boxes
    std::deque<std::string> passwords;  // answers for password prompts (empty: passwordRefusal)
    int passwordRefusal = mrCancel;
    std::vector<PasswordRequest> passwordRequests;
    bool waitCursor = false;
    int waitCursorChanges = 0;
    int processMessagesCalls = 0;
    void (*onProcessMessages)() = nullptr;
    std::function<void()> whileBoxShows;
};

}  // namespace vellicor::test
