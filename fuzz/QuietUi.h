#pragma once
// The user of a fuzz run: every box gets one fixed answer and every password question is
// cancelled, so nothing waits for a volume or a password that is not there.
#include <string>

#include "platform/UiServices.h"

namespace fuzz {

class QuietUi : public vellicor::IUiServices {
public:
    explicit QuietUi(int answer = vellicor::mrCancel) : answer_(answer) {}
    int MessageBox(const std::string&, const std::string&, int, vellicor::TMsgKind) override { return answer_; }
    int AskPassword(const vellicor::PasswordRequest&, std::string& password) override {
        password.clear();
        return vellicor::mrCancel;
    }
    void SetWaitCursor(bool) override {}
    void ProcessMessages() override {}

private:
    int answer_;
};

}  // namespace fuzz
