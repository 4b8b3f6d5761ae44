// The zip component's core: properties, messages, the wait cursor, name conversion and
// the callback through which both libraries report.
#include "archives/zip/ZipComponent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipRecords.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
// One wait-cursor scope per component while its nesting count is above zero.
struct WaitScopes {
    static std::unordered_map<const TZipComponent*, std::unique_ptr<WaitCursor>>& Map() {
        static std::unordered_map<const TZipComponent*, std::unique_ptr<WaitCursor>> map;
        return map;
    }
};
}  // namespace

void TZipStream::SetPointer(const void* ptr, int64_t size) {
    VTRACE("TZipStream::SetPointer");
    Clear();
    if (size > 0 && ptr && SetSize(size)) std::memcpy(Memory(), ptr, static_cast<size_t>(size));
    SetPosition(0);
}

TZipComponent::TZipComponent(void* owner) : owner_(owner), zipStream_(std::make_unique<TZipStream>()) {
    VTRACE("TZipComponent::TZipComponent");
    for (int s = assGIF; s < assEXE; ++s) AddStoreSuffixes.Include(static_cast<AddStoreSuffix>(s));
}

TZipComponent::~TZipComponent() {
    VTRACE("TZipComponent::~TZipComponent");
    CloseInput();
    DropJoinedSpan();
    FreeZipDirEntryRecords();
    if (unzLib_.handle) FreeLibrary(unzLib_.handle);
    if (zipLib_.handle) FreeLibrary(zipLib_.handle);
    WaitScopes::Map().erase(this);
}

void TZipComponent::CloseInput() {
    VTRACE("TZipComponent::CloseInput");
    if (inFile_ >= 0) ::close(inFile_);
    inFile_ = -1;
}

std::string TZipComponent::VersionInfo() const { return "1.60 "; }

void TZipComponent::SetDLLDirectory(const std::string& dir) {
    VTRACE("TZipComponent::SetDLLDirectory");
    if (dir == dllDirectory_) return;
    std::string d = dir;
    if (!d.empty() && (d.back() == '\\' || d.back() == '/')) d.pop_back();
    dllDirectory_ = d;
}

void TZipComponent::SetKeepFreeOnDisk1(int32_t v) {
    VTRACE("TZipComponent::SetKeepFreeOnDisk1");
    if (v >= 0) keepFreeOnDisk1_ = v;
}

void TZipComponent::SetMaxVolumeSize(int32_t v) {
    VTRACE("TZipComponent::SetMaxVolumeSize");
    if (v >= 0) maxVolumeSize_ = v;
}

void TZipComponent::SetMinFreeVolumeSize(int32_t v) {
    VTRACE("TZipComponent::SetMinFreeVolumeSize");
    if (v > 0) minFreeVolumeSize_ = v;
}

void TZipComponent::SetPasswordReqCount(unsigned v) {
    VTRACE("TZipComponent::SetPasswordReqCount");
    passwordReqCount_ = std::min(v, 15u);
}

void TZipComponent::SetRootDir(const std::string& dir) {
    VTRACE("TZipComponent::SetRootDir");
    if (dir == rootDir_) return;
    rootDir_ = AppendSlash(dir);
}

int TZipComponent::GetCount() const {
    VTRACE("TZipComponent::GetCount");
    return zipFileName_.empty() ? 0 : static_cast<int>(zipContents_.size());
}

void TZipComponent::FreeZipDirEntryRecords() {
    VTRACE("TZipComponent::FreeZipDirEntryRecords");
    zipContents_.clear();
    index_.clear();
    exactIndex_.clear();
}

bool TZipComponent::FileExists(const std::string& name) {
    VTRACE("TZipComponent::FileExists");
    return vellicor::FileExists(name);
}

bool TZipComponent::DirExists(const std::string& name) {
    VTRACE("TZipComponent::DirExists");
    return vellicor::DirectoryExists(name);
}

void TZipComponent::ConvertOem2Iso(std::string& text, bool toOem) const {
    VTRACE("TZipComponent::ConvertOem2Iso");
    if (text.empty()) return;
    if (toOem) {
        int host = currentMadeBy_ >> 8;
        bool dosHost = (host == 0 || host == 6 || host == 11) && (currentMadeBy_ & 0xFF) == 50;
        if (CodePage == cpOEM || (CodePage == cpAUTO && dosHost)) text = zip::Utf8ToCp437(text);
        return;
    }
    if (zip::TakesOemNames(CodePage, currentMadeBy_, currentFlags_, text)) text = zip::Cp437ToUtf8(text);
}

void TZipComponent::StartWaitCursor() {
    VTRACE("TZipComponent::StartWaitCursor");
    if (waitCursorCount_++ == 0) WaitScopes::Map()[this] = std::make_unique<WaitCursor>();
}

void TZipComponent::StopWaitCursor() {
    VTRACE("TZipComponent::StopWaitCursor");
    if (waitCursorCount_ <= 0) return;
    if (--waitCursorCount_ == 0) WaitScopes::Map().erase(this);
}

void TZipComponent::ShowZipMessage(int id, const std::string& extra) {
    VTRACE("TZipComponent::ShowZipMessage");
    std::string text = LoadZipStr(id, kMissingMessagePrefix + std::to_string(id)) + extra;
    errCode_ = id;
    message_ = text;
    if (!Unattended) ShowMessageBox(kZipMessageCaption, text, mbOK, TMsgKind::Information);
    if (OnMessage) OnMessage(this, 0, text);
}

void TZipComponent::ShowExceptionError(const EZipComponent& e) {
    VTRACE("TZipComponent::ShowExceptionError");
    if (e.DisplayMsg && !Unattended) ShowMessageBox(kZipMessageCaption, e.what(), mbOK, TMsgKind::Error);
    errCode_ = e.ResId;
    message_ = e.what();
    if (OnMessage) OnMessage(this, 0, message_);
}

std::string TZipComponent::GetZipComment() const {
    VTRACE("TZipComponent::GetZipComment");
    std::string c = zipComment_;
    ConvertOem2Iso(c, false);
    return c;
}

static void CopyText(char* dst, size_t room, const std::string& s) {
    size_t n = std::min(s.size(), room - 1);
    std::memcpy(dst, s.data(), n);
    dst[n] = '\0';
}

int32_t TZipComponent::ZCallback(ZCallBackStruct* record) {
    VTRACE("TZipComponent::ZCallback");
    if (!record || !record->Caller) return 0;
    return static_cast<TZipComponent*>(record->Caller)->HandleCallback(*record);
}

int32_t TZipComponent::HandleCallback(ZCallBackStruct& rec) {
    VTRACE("TZipComponent::HandleCallback");
    try {
        rec.FileNameOrMsg[sizeof rec.FileNameOrMsg - 1] = '\0';
        rec.FileComment[sizeof rec.FileComment - 1] = '\0';
        std::string text = ReplaceForwardSlash(rec.FileNameOrMsg);
        // A path the record had to cut names some other file: it is never removed.
        if (collectSpanItems_ && rec.ActionCode == zacItem && std::strlen(rec.FileNameOrMsg) < ZCB_TEXT_MAX)
            spanItems_.push_back(rec.FileNameOrMsg);
        if (OnProgress) {
            switch (rec.ActionCode) {
                case zacItem: OnProgress(this, NewFile, text, rec.FileSize); break;
                case zacProgress: OnProgress(this, ProgressUpdate, "", rec.FileSize); break;
                case zacEndOfBatch: OnProgress(this, EndOfBatch, "", 0); break;
                case zacCount: OnProgress(this, TotalFiles2Process, "", rec.FileSize); break;
                case zacSize: OnProgress(this, TotalSize2Process, "", rec.FileSize); break;
                default: break;
            }
        }
        switch (rec.ActionCode) {
            case zacMessage:
                if (rec.ErrorCode != 0) {
                    errCode_ = static_cast<int8_t>(rec.ErrorCode & 0xFF);
                    fullErrCode_ = rec.ErrorCode;
                }
                message_ = text;
                if (OnMessage) OnMessage(this, rec.ErrorCode, text);
                break;
            case zacSize:
                totalSize_ = rec.FileSize;
                break;
            case zacNewName:
                if (OnSetNewName) {
                    std::string name = text;
                    bool changed = false;
                    OnSetNewName(this, name, changed);
                    if (changed) CopyText(rec.FileNameOrMsg, ZCB_TEXT_MAX + 1, name);
                    rec.ErrorCode = changed ? 1 : 0;
                }
                break;
            case zacPassword:
                CallbackPassword(rec, text);
                break;
            case zacCRCError: {
                bool doExtract = true;
                if (OnCRC32Error) {
                    OnCRC32Error(this, text, static_cast<unsigned>(rec.ErrorCode), rec.FileSize, doExtract);
                    rec.ErrorCode = doExtract ? 1 : 0;
                } else {
                    rec.ErrorCode = 2;
                }
                break;
            }
            case zacOverwrite:
                if (OnExtractOverwrite) {
                    bool doOverwrite = rec.FileSize != 0;
                    OnExtractOverwrite(this, text, ZCB_IS_OLDER(rec.ErrorCode), doOverwrite, ZCB_DIR_INDEX(rec.ErrorCode));
                    rec.FileSize = doOverwrite ? 1 : 0;
                }
                break;
            case zacSkipped:
                if (rec.ErrorCode != 0) {
                    errCode_ = static_cast<int8_t>(rec.ErrorCode & 0xFF);
                    fullErrCode_ = rec.ErrorCode;
                }
                if (OnExtractSkipped) {
                    int type = static_cast<int>(rec.FileSize & 0xFF) - 1;
                    if (type < stOnFreshen || type > stGeneralExtractError) type = stGeneralExtractError;
                    OnExtractSkipped(this, text, static_cast<UnZipSkipTypes>(type), rec.ErrorCode);
                }
                break;
            case zacComment:
                if (OnFileComment) {
                    std::string comment = rec.FileComment;
                    bool changed = false;
                    OnFileComment(this, text, comment, changed);
                    if (changed && !comment.empty()) CopyText(rec.FileComment, ZCB_COMMENT_MAX + 1, comment);
                    else rec.FileComment[0] = '\0';
                    rec.ErrorCode = changed ? 1 : 0;
                    rec.FileSize = static_cast<uint32_t>(std::min<size_t>(std::strlen(rec.FileComment), ZCB_COMMENT_MAX));
                }
                break;
            case zacWritten:
                if (keepWritten_ && rec.Buffer) {
                    const auto* bytes = static_cast<const uint8_t*>(rec.Buffer);
                    writtenDirectory_.assign(bytes, bytes + rec.FileSize);
                }
                break;
            case zacStream: {
                // The library writes the member straight into the component's stream.
                bool ok = rec.FileSize <= kMaxStreamMember && zipStream_->SetSize(rec.FileSize);
                zipStream_->SetPosition(0);
                rec.Buffer = ok ? zipStream_->Memory() : nullptr;
                if (!ok) rec.FileSize = 0;
                break;
            }
            default:
                break;
        }
    } catch (...) {  // an exception in a handler must not unwind through the library
        rec.ErrorCode = 1;
        rec.FileSize = 0;
    }
    ProcessMessages();
    // The program is ending: the library stops rather than unpack a member nobody will see.
    return cancel_ || StopRequested() ? 1 : 0;
}

void TZipComponent::CallbackPassword(ZCallBackStruct& rec, const std::string& text) {
    VTRACE("TZipComponent::CallbackPassword");
    std::string password;
    unsigned repeat = rec.FileSize;
    if (OnPasswordError) {
        TPasswordButton action = pwbOk;
        OnPasswordError(this, rec.IsOperationZip != 0, password, text, repeat, action);
        if (action != pwbOk) password.clear();
        if (action == pwbCancelAll) rec.ActionCode = 0;
        if (action == pwbAbort) cancel_ = true;
        if (action == pwbCancelAll || action == pwbAbort) stopPasswordQuestions_ = true;
    } else {
        bool adding = ZCB_FLAG_ADDING(rec.ErrorCode);
        inLibraryPasswordRequest_ = true;
        passwordMember_ = text;
        passwordModalResult_ = 0;
        try {
            password = adding ? GetAddPassword() : GetExtrPassword();
        } catch (...) {
            inLibraryPasswordRequest_ = false;
            passwordMember_.clear();
            throw;
        }
        inLibraryPasswordRequest_ = false;
        passwordMember_.clear();
        if (passwordModalResult_ == mrAll) rec.ActionCode = 0;
        else if (passwordModalResult_ == mrAbort) cancel_ = true;
        if (passwordModalResult_ == mrAll || passwordModalResult_ == mrAbort) stopPasswordQuestions_ = true;
    }
    if (!password.empty()) {
        CopyText(rec.FileNameOrMsg, ZCB_PASSWORD_MAX + 1, password);
        rec.ErrorCode = 1;
        typedPassword_ = password.substr(0, ZCB_PASSWORD_MAX);
    } else {
        rec.ErrorCode = 0;
        repeat = 0;
    }
    rec.FileSize = repeat;
}

}  // namespace vellicor
