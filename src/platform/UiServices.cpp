#include "platform/UiServices.h"

#include <atomic>
#include <cstdio>

#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

class HeadlessUi : public IUiServices {
public:
    int MessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        if (buttons & mbYesNo || buttons & mbYesNoCancel) return mrYes;
        return mrOk;
    }
    int AskPassword(const PasswordRequest&, std::string& password) override {
        password.clear();
        return mrCancel;
    }
    void SetWaitCursor(bool) override {}
    void ProcessMessages() override {}
};

HeadlessUi g_headless;
IUiServices* g_ui = &g_headless;
int g_waitDepth = 0;
HeldMessages* g_held = nullptr;
// Read by worker threads while the GUI thread sets it.
std::atomic<bool> g_stop{false};

// What every caller reaches: once the program is ending no box or question is shown
// (its window is gone, and a modal box would hold the exit), and each gets the answer that
// gives up; the installed services do the rest.
class StopGuard : public IUiServices {
public:
    int MessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind kind) override {
        if (StopRequested()) {
            // Not lost: a settings file that could not be written at exit is still worth a line.
            std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
            return GiveUp(buttons);
        }
        if (g_held && (buttons == mbOK || buttons == 0)) {
            g_held->held.push_back({caption, text, kind});
            return mrOk;
        }
        return g_ui->MessageBox(caption, text, buttons, kind);
    }
    int AskPassword(const PasswordRequest& request, std::string& password) override {
        if (StopRequested()) {
            password.clear();
            return mrCancel;
        }
        return g_ui->AskPassword(request, password);
    }
    void SetWaitCursor(bool on) override { g_ui->SetWaitCursor(on); }
    void ProcessMessages() override { g_ui->ProcessMessages(); }

private:
    static int GiveUp(int buttons) {
        if (buttons & mbYesNoCancel) return mrCancel;
        if (buttons & mbYesNo) return mrNo;
        if (buttons & (mbOKCancel | mbRetryCancel)) return mrCancel;
        if (buttons & mbAbortRetryIgnore) return mrAbort;
        return mrOk;
    }
};

StopGuard g_guard;

}  // namespace

IUiServices& Ui() { return g_guard; }
void SetUiServices(IUiServices* services) { g_ui = services ? services : &g_headless; }

int ShowMessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind kind) {
    return Ui().MessageBox(caption, text, buttons, kind);
}

void ProcessMessages() { Ui().ProcessMessages(); }
void RequestStop(bool on) { g_stop.store(on, std::memory_order_relaxed); }
bool StopRequested() { return g_stop.load(std::memory_order_relaxed); }

std::string PasswordPrompt(const std::string& Lead, const std::string& Member, const std::string& Archive) {
    const std::string archive = ExtractFileName(Archive);
    if (Member.empty()) return Trim(Lead) + "\n" + archive;
    return Trim(Lead) + "\n" + Member + "\nin " + archive;
}

HeldMessages::HeldMessages() : outer_(g_held) { g_held = this; }
HeldMessages::~HeldMessages() { g_held = outer_; }
UnheldMessages::UnheldMessages() : held_(g_held) {
    VTRACE("UnheldMessages::UnheldMessages");
    g_held = nullptr;
}
UnheldMessages::~UnheldMessages() {
    VTRACE("UnheldMessages::~UnheldMessages");
    g_held = held_;
}

WaitCursor::WaitCursor() {
    if (g_waitDepth++ == 0) Ui().SetWaitCursor(true);
}
WaitCursor::~WaitCursor() {
    if (--g_waitDepth == 0) Ui().SetWaitCursor(false);
}

}  // namespace vellicor
