#pragma once
// How the core reaches the user: message boxes, password prompts, the wait cursor and
// letting pending window messages through. The GUI installs its Qt implementation; the
// default is headless (messages go to stderr, questions get their default answer).
#include <string>
#include <vector>

namespace vellicor {

// Buttons and results with the platform's usual values.
enum TMsgButtons : int { mbOK = 1, mbOKCancel = 2, mbYesNo = 4, mbYesNoCancel = 8, mbAbortRetryIgnore = 16,
                         mbRetryCancel = 32 };
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4, mrIgnore = 5, mrYes = 6, mrNo = 7, mrAll = 9 };
enum class TMsgKind { Information, Warning, Error, Question };

struct PasswordRequest {
    std::string caption;
    std::string prompt;
    int buttons = 0;  // bit set of the password dialog's buttons, as the archive side defines them
};

class IUiServices {
public:
    virtual ~IUiServices() = default;
    // Shows a modal message box; returns the modal result of the button pressed.
    virtual int MessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind kind) = 0;
    // Asks for a password: returns the modal result and fills password (at most 80 characters).
    virtual int AskPassword(const PasswordRequest& request, std::string& password) = 0;
    virtual void SetWaitCursor(bool on) = 0;
    // Lets pending window messages through (may re-enter the caller's owner).
    virtual void ProcessMessages() = 0;
};

// The services in use. Once the program is ending (StopRequested) message boxes and password
// questions show nothing and answer Cancel, No or Abort where the box offers one, else OK.
IUiServices& Ui();
// Installs the services (nullptr restores the headless default). The caller keeps ownership.
void SetUiServices(IUiServices* services);

// Convenience wrappers.
int ShowMessageBox(const std::string& caption, const std::string& text, int buttons = mbOK,
                   TMsgKind kind = TMsgKind::Information);
void ProcessMessages();
// Set once the program is ending: long page work that lets messages through stops at its
// next pass (its page becomes the error page) instead of finishing a page nobody will see.
void RequestStop(bool on = true);
bool StopRequested();

// The text of a password question about one member: the lead ("Enter Password"), then the
// member and the archive (by its file name) on lines of their own, so that a question met
// while pages are read in the background says which page it is for. No member: the archive.
std::string PasswordPrompt(const std::string& Lead, const std::string& Member, const std::string& Archive);

// A message box that only informs (OK alone) raised while a HeldMessages is alive is kept in
// the innermost one instead of being shown; questions are still asked. Lets the page engine
// gather the failures of pages read in the background into one message.
struct HeldMessage {
    std::string caption;
    std::string text;
    TMsgKind kind = TMsgKind::Information;
};
class HeldMessages {
public:
    HeldMessages();
    ~HeldMessages();
    HeldMessages(const HeldMessages&) = delete;
    HeldMessages& operator=(const HeldMessages&) = delete;
    std::vector<HeldMessage> held;

private:
    HeldMessages* outer_;
};
// Within its scope informing boxes show again, also inside a HeldMessages: the gathered
// failures are told from within a step whose own messages are being held.
class UnheldMessages {
public:
    UnheldMessages();
    ~UnheldMessages();
    UnheldMessages(const UnheldMessages&) = delete;
    UnheldMessages& operator=(const UnheldMessages&) = delete;

private:
    HeldMessages* held_;
};

// Nested wait cursor: the first scope switches it on, the last one off.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace vellicor
