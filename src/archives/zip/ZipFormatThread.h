#pragma once
// The disk format thread: formats one removable disk through the volume service while the
// component's thread waits and keeps the user interface alive. One format at a time.
#include <string>
#include <thread>

namespace vellicor {

class TZipComponent;

class TSHFormatThread {
public:
    // Starts at once unless createSuspended; ends at once (result -1) when another format runs.
    TSHFormatThread(TZipComponent* owner, bool createSuspended);
    ~TSHFormatThread();
    TSHFormatThread(const TSHFormatThread&) = delete;
    TSHFormatThread& operator=(const TSHFormatThread&) = delete;
    void Resume();
    void WaitFor();
    bool Terminated() const { return terminated_; }
    // Why the last format of this thread failed; empty when it did not.
    const std::string& Error() const { return error_; }

private:
    void Execute();
    TZipComponent* owner_;
    bool terminated_ = false;
    bool running_ = false;
    std::string error_;
    std::thread thread_;
};

}  // namespace vellicor
