#pragma once
// Shared driver of the checksum-list fuzz targets: reads the input as a list of one kind,
// then checks pages against whatever it found and asks for the missing ones.
#include <cstddef>
#include <cstdint>
#include <string>

#include "pages/Checksums.h"
#include "platform/Streams.h"
#include "platform/StringList.h"
#include "platform/UiServices.h"

namespace fuzzing {

// Answers every box without showing it; the answer alternates so that both OK and
// Cancel paths of the format-error question are taken.
class SilentUi : public vellicor::IUiServices {
public:
    explicit SilentUi(bool cancel) : cancel_(cancel) { vellicor::SetUiServices(this); }
    ~SilentUi() override { vellicor::SetUiServices(nullptr); }
    int MessageBox(const std::string&, const std::string&, int buttons, vellicor::TMsgKind) override {
        return (buttons == vellicor::mbOKCancel && cancel_) ? vellicor::mrCancel : vellicor::mrOk;
    }
    int AskPassword(const vellicor::PasswordRequest&, std::string&) override { return vellicor::mrCancel; }
    void SetWaitCursor(bool) override {}
    void ProcessMessages() override {}

private:
    bool cancel_;
};

inline int RunChecksumList(const char* listName, const uint8_t* data, size_t size) {
    SilentUi ui(size > 0 && (data[size - 1] & 1));
    vellicor::TCheckChecksums checker;
    vellicor::TMemoryStream list;
    list.Write(data, static_cast<int64_t>(size));
    checker.AddChecksumFile(listName, list);

    vellicor::TByteViewStream page(data, static_cast<int64_t>(size));
    vellicor::TStringList present, reported;
    int i = 0;
    for (const auto& entry : checker.Entries()) {
        if (++i % 2) present.Add("/set/" + entry.Name);
        checker.CheckFileChecksum("/set/" + entry.Name, page, page.Size(), (i % 3) ? nullptr : &reported);
        if (i > 64) break;
    }
    checker.CheckAllFilesPesent(present, (size & 1) ? &reported : nullptr);
    checker.CheckAllFilesPesent(present);
    checker.Clear();
    return 0;
}

}  // namespace fuzzing
