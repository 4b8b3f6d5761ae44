// Formatting a disk for a spanned set on a thread of its own.
#include "archives/zip/ZipFormatThread.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
// The component whose format runs; null when none does.
std::atomic<TZipComponent*> g_formatting{nullptr};
}  // namespace

TSHFormatThread::TSHFormatThread(TZipComponent* owner, bool createSuspended) : owner_(owner) {
    VTRACE("TSHFormatThread::TSHFormatThread");
    TZipComponent* none = nullptr;
    if (g_formatting.compare_exchange_strong(none, owner)) {
        owner_->formatAutoStart_ = true;
    } else {
        terminated_ = true;
    }
    if (!createSuspended) Resume();
}

TSHFormatThread::~TSHFormatThread() {
    VTRACE("TSHFormatThread::~TSHFormatThread");
    WaitFor();
    if (!terminated_) {
        TZipComponent* self = owner_;
        g_formatting.compare_exchange_strong(self, nullptr);
    }
}

void TSHFormatThread::Resume() {
    VTRACE("TSHFormatThread::Resume");
    if (running_) return;
    running_ = true;
    thread_ = std::thread([this] { Execute(); });
}

void TSHFormatThread::WaitFor() {
    VTRACE("TSHFormatThread::WaitFor");
    if (thread_.joinable()) thread_.join();
}

void TSHFormatThread::Execute() {
    VTRACE("TSHFormatThread::Execute");
    if (terminated_) {
        owner_->formatResult_ = -1;
        error_ = "Another disk is being formatted";
    } else {
        // Unattended start and close: the service formats without asking; the user was
        // asked before the thread started when ConfirmErase is on.
        owner_->formatAutoStart_ = false;
        owner_->formatResult_ = owner_->Volumes().Format(owner_->drive_, owner_->formatLabel_, error_);
    }
    owner_->formatState_ = 2;
}

int TZipComponent::ZipFormat() {
    VTRACE("TZipComponent::ZipFormat");
    formatState_ = 0;
    formatResult_ = -3;
    if (ConfirmErase) {
        if (Unattended) return -2;
        std::string text = "Erase every file on " + drive_ + " and format it as \"" + formatLabel_ + "\"?";
        if (ShowMessageBox(kZipMessageCaption, text, mbOKCancel, TMsgKind::Warning) != mrOk) return -2;
    }
    TSHFormatThread thread(this, false);
    while (formatState_ != 2) {
        if (formatState_ == 0) formatState_ = 1;
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    thread.WaitFor();
    formatError_ = thread.Error();
    return formatResult_;
}

}  // namespace vellicor
