// The component's password questions, asked through the password dialog of the UI.
#include <string>

#include "archives/zip/ZipComponent.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

TPasswordButton TZipComponent::GetPassword(const std::string& title, const std::string& prompt,
                                           TPasswordButtons buttons, std::string& answer) {
    VTRACE("TZipComponent::GetPassword");
    PasswordRequest request;
    request.caption = title;
    request.prompt = prompt;
    request.buttons = static_cast<int>(buttons.Bits());
    answer.clear();
    int result = Ui().AskPassword(request, answer);
    passwordModalResult_ = result;
    if (result != mrOk) answer.clear();
    if (answer.size() > 80) answer.resize(80);
    switch (result) {
        case mrOk: return pwbOk;
        case mrCancel: return pwbCancel;
        case mrAll: return pwbCancelAll;
        default: return pwbAbort;
    }
}

// While the library asks, the dialog also offers to stop asking or to stop altogether.
static TPasswordButtons PromptButtons(bool libraryRequest) {
    return libraryRequest ? TPasswordButtons{pwbCancel, pwbCancelAll, pwbAbort} : TPasswordButtons{pwbCancel};
}

std::string TZipComponent::GetExtrPassword() {
    VTRACE("TZipComponent::GetExtrPassword");
    if (Unattended) {
        ShowZipMessage(PW_UnatExtPWMiss);
        return {};
    }
    std::string pw;
    // The question names its member and archive: it may come while another page is shown.
    std::string prompt = LoadZipStr(PW_MessageEnter, "Enter Password ");
    if (inLibraryPasswordRequest_ && !passwordMember_.empty()) prompt = PasswordPrompt(prompt, passwordMember_, zipFileName_);
    if (GetPassword(LoadZipStr(PW_Caption, "Password"), prompt, PromptButtons(inLibraryPasswordRequest_), pw) != pwbOk ||
        pw.empty())
        return {};
    if (!inLibraryPasswordRequest_) Password = pw;
    return pw;
}

std::string TZipComponent::GetAddPassword() {
    VTRACE("TZipComponent::GetAddPassword");
    if (Unattended) {
        ShowZipMessage(PW_UnatAddPWMiss);
        return {};
    }
    std::string first, second;
    TPasswordButtons buttons = PromptButtons(inLibraryPasswordRequest_);
    if (GetPassword(LoadZipStr(PW_Caption, "Password"), LoadZipStr(PW_MessageEnter, "Enter Password "), buttons,
                    first) != pwbOk ||
        first.empty())
        return {};
    if (GetPassword(LoadZipStr(PW_Caption, "Password"), LoadZipStr(PW_MessageConfirm, "Confirm Password "), buttons,
                    second) != pwbOk ||
        second.empty())
        return {};
    if (first != second) {
        ShowZipMessage(GE_WrongPassword);
        return {};
    }
    if (!inLibraryPasswordRequest_) Password = first;
    return first;
}

}  // namespace vellicor
