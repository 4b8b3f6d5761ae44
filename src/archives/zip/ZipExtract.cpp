// Extraction through the unzip library: to disk, one member into the component's
// stream, or a compressed buffer into the stream.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

const char* TZipComponent::KeepText(const std::string& s, size_t maxLength) {
    VTRACE("TZipComponent::KeepText");
    size_t n = std::min(s.size(), maxLength);
    std::unique_ptr<char[]> copy(new char[n + 1]);
    std::memcpy(copy.get(), s.data(), n);
    copy[n] = '\0';
    unzTexts_.push_back(std::move(copy));
    return unzTexts_.back().get();
}

// The most a member can unpack to, judged by the bytes it can really occupy in an archive
// of archiveSize bytes: a hostile directory must not make us allocate by the size it
// announces.
static int64_t MaxStreamSizeFor(const ZipDirEntry& e, int64_t archiveSize) {
    VTRACE("MaxStreamSizeFor");
    constexpr int64_t kDeflateRatio = 1032;  // deflate's largest expansion
    int64_t compressed = std::min<int64_t>(e.ComprSize, archiveSize);
    int64_t bound = e.ComprMethod == 0 ? compressed
                    : e.ComprMethod == 12 ? TZipComponent::kMaxStreamMember  // bzip2 has no useful ratio
                                          : compressed * kDeflateRatio + 64;
    return std::min(bound, TZipComponent::kMaxStreamMember);
}

// The stream's first size: the whole member when it is stored, else a start that the
// library grows as data arrive, so memory follows the data and not the claimed size.
static int64_t FirstStreamSizeFor(const ZipDirEntry& e, int64_t archiveSize) {
    int64_t compressed = std::min<int64_t>(e.ComprSize, archiveSize);
    int64_t size = static_cast<int64_t>(e.UncomprSize);
    return e.ComprMethod == 0 ? std::min(size, compressed) : std::min(size, compressed + (int64_t(1) << 20));
}

void TZipComponent::SetUnZipSwitches(const std::string& zipName, int dllVersion) {
    VTRACE("TZipComponent::SetUnZipSwitches");
    // Both layouts share their head; the old record is filled through the same fields.
    UnZipParams* p = unzParams_ ? unzParams_ : reinterpret_cast<UnZipParams*>(unzParamsOld_);
    p->fHandle = handle_;
    p->fCaller = this;
    p->fVersion = ZIPDLL_VERSION;
    p->fZCallback = &TZipComponent::ZCallback;
    p->fTraceEnabled = Trace ? 1 : 0;
    p->fWantedCodePage = static_cast<uint16_t>(CodePage);
    if (dllVersion < ZIPDLL_STREAM_VERSION && Unattended && AddOptions.Contains(AddEncrypt) && Password.empty())
        p->fPassword = KeepText(std::string(80, 'x'));  // a password nobody types
    else
        p->fPassword = KeepText(Password.empty() ? archivePassword_ : Password, ZCB_PASSWORD_MAX);
    p->fTest = ExtrOptions.Contains(ExtrTest) ? 1 : 0;
    p->fComments = 0;
    p->fConvert = 0;
    p->fQuiet = 1;
    p->fVerboseEnabled = (Verbose || Trace) ? 1 : 0;
    p->fUpdate = ExtrOptions.Contains(ExtrUpdate) ? 1 : 0;
    p->fFreshen = ExtrOptions.Contains(ExtrFreshen) && !ExtrOptions.Contains(ExtrUpdate) ? 1 : 0;
    p->fDirectories = ExtrOptions.Contains(ExtrDirNames) ? 1 : 0;
    p->fOverwrite = ExtrOptions.Contains(ExtrOverWrite) ? 1 : 0;
    p->fArgc = fSpecArgs_.Count();
    p->fZipFN = KeepText(zipName);
    if (unzParams_) {
        if (dllVersion >= ZIPDLL_STREAM_VERSION) unzParams_->fPwdReqCount = stopPasswordQuestions_ ? 0 : passwordReqCount_;
        unzParams_->fSeven = ZIPDLL_CHECK_WORD;
    } else {
        unzParamsOld_->fSeven = ZIPDLL_CHECK_WORD;
    }
}

void TZipComponent::ExtExtract(int UseStream, TMemoryStream* MemStream) {
    VTRACE("TZipComponent::ExtExtract");
    errCode_ = 0;
    successCnt_ = 0;
    message_.clear();
    unsigned savedReqCount = passwordReqCount_;
    if (UseStream <= 1 && !FileExists(zipFileName_)) {
        ShowZipMessage(GE_NoZipSpecified);
        return;
    }
    cancel_ = false;
    if (unzBusy_) return;
    bool unattendedNoPassword = Unattended && Password.empty() && !OnPasswordError;
    if (unattendedNoPassword) {
        passwordReqCount_ = 0;
        ShowZipMessage(EX_UnAttPassword);
    }
    bool loadedHere = false;
    if (!UnzDllLoaded()) {
        Load_Unz_Dll();
        loadedHere = true;
    }
    std::string tempSpan;
    // Everything set up below is undone here, on every way out.
    auto cleanup = [&] {
        if (!tempSpan.empty()) ::unlink(tempSpan.c_str());
        fSpecArgs_.Clear();
        delete unzParams_;
        delete unzParamsOld_;
        unzParams_ = nullptr;
        unzParamsOld_ = nullptr;
        unzSpecs_.clear();
        unzTexts_.clear();
        if (unattendedNoPassword) SetPasswordReqCount(savedReqCount);
        if (loadedHere) Unload_Unz_Dll();
        cancel_ = false;
        unzBusy_ = false;
    };
    if (!UnzDllLoaded()) {
        cleanup();
        return;
    }
    std::string name = zipFileName_;
    if (spanned_ && UseStream == 1) {
        // Pages are taken one by one: the set is joined once and kept until the next
        // listing, and a set that failed to join is not tried (nor reported) again.
        if (joinFailedFor_ == zipFileName_) {
            cleanup();
            return;
        }
        if (joinedSpanFor_ != zipFileName_) {
            DropJoinedSpan();
            std::string joined;
            if (ReadSpan(zipFileName_, joined) != 0) {
                joinFailedFor_ = zipFileName_;
                cleanup();
                return;
            }
            // The file is read through its open handle, so even a crash leaves nothing behind.
            joinedSpanFd_ = ::open(joined.c_str(), O_RDONLY | O_CLOEXEC);
            ::unlink(joined.c_str());
            if (joinedSpanFd_ < 0) {
                joinFailedFor_ = zipFileName_;
                ShowZipMessage(DS_FileOpen);
                cleanup();
                return;
            }
            joinedSpan_ = "/proc/self/fd/" + std::to_string(joinedSpanFd_);
            joinedSpanFor_ = zipFileName_;
        }
        name = joinedSpan_;
    } else if (spanned_ && UseStream == 0) {
        std::string joined;
        if (ReadSpan(zipFileName_, joined) != 0) {
            cleanup();
            return;
        }
        tempSpan = joined;
        name = joined;
    }
    int version = static_cast<int>(unzLib_.version());
    if (UseStream != 0 && version < ZIPDLL_STREAM_VERSION) {
        cleanup();
        ShowZipMessage(EX_NoStreamDLL);
        return;
    }
    bool newLayout = version >= UNZ_NEW_LAYOUT_VERSION;
    if (!newLayout && fSpecArgs_.Count() > ZIPDLL_OLD_MAX_SPECS) {
        cleanup();
        ShowZipMessage(EX_FatalUnZip, "\ntoo many file specifications for this library");
        return;
    }
    unzBusy_ = true;
    try {
        if (newLayout) unzParams_ = new UnZipParams{};
        else unzParamsOld_ = new UnZipParamsOld{};
        SetUnZipSwitches(name, version);
        bool outToBuffer = false;
        if (newLayout) {
            unzSpecs_.assign(static_cast<size_t>(fSpecArgs_.Count()), UnzFileData{});
            for (int i = 0; i < fSpecArgs_.Count(); ++i) unzSpecs_[static_cast<size_t>(i)].fFileSpec = KeepText(fSpecArgs_[i]);
            unzParams_->fUFDS = unzSpecs_.empty() ? nullptr : unzSpecs_.data();
            // The base directory is handed over whole.
            std::string base;
            if (UseStream == 0 && DirExists(ExtrBaseDir)) {
                base = ExtrBaseDir;
            } else {
                char cwd[PATH_MAX];
                base = ::getcwd(cwd, sizeof cwd) ? cwd : ".";
            }
            unzParams_->fExtractDir = KeepText(base);
            if (UseStream == 1 && fSpecArgs_.Count() > 0) {
                int idx = FindEntry(fSpecArgs_[0]);
                if (idx >= 0) {
                    const ZipDirEntry& e = *zipContents_[static_cast<size_t>(idx)];
                    int64_t archiveSize = FileSize(name);
                    const bool fits = static_cast<int64_t>(e.UncomprSize) <= MaxStreamSizeFor(e, archiveSize);
                    // Room for the whole member up to the page budget, reserved untouched, so
                    // that the library's growing copies nothing; the stream itself is only
                    // as large as the data that can be there, and is not cleared.
                    if (fits) zipStream_->Reserve(static_cast<int64_t>(e.UncomprSize));
                    if (fits && zipStream_->SetSize(FirstStreamSizeFor(e, archiveSize))) {
                        zipStream_->SetPosition(0);
                        unzParams_->fUseOutStream = 1;
                        unzParams_->fOutStream = zipStream_->Memory();
                        unzParams_->fOutStreamSize = static_cast<uint32_t>(zipStream_->Size());
                        unzParams_->fArgc = 1;
                        UnzFileData& d = unzSpecs_[0];
                        d.fFileSpec = KeepText(e.FileName);
                        // The library goes straight to the member; a joined set is read anew.
                        if (!spanned_) {
                            d.fHasPosition = 1;
                            d.fLocalHeaderPos = static_cast<int64_t>(e.RelOffLocalHdr) + archiveShift_;
                            d.fCRC32 = e.CRC32;
                            d.fCompressedSize = e.ComprSize;
                            d.fUncompressedSize = e.UncomprSize;
                            d.fMethod = e.ComprMethod;
                            d.fFlags = e.Flag;
                            d.fModTime = e.ModifTime;
                            d.fModDate = e.ModifDate;
                            d.fVersionMadeBy = e.MadeByVersion;
                        }
                        outToBuffer = true;
                    }
                }
            } else if (UseStream == 2 && MemStream) {
                unzParams_->fUseInStream = 1;
                unzParams_->fInStream = MemStream->Memory();
                unzParams_->fInStreamSize = static_cast<uint32_t>(MemStream->Size());
                unzParams_->fUseOutStream = 1;
                unzParams_->fOutStream = zipStream_->Memory();
                unzParams_->fOutStreamSize = static_cast<uint32_t>(zipStream_->Size());
                outToBuffer = true;
            }
        } else {
            for (int i = 0; i < fSpecArgs_.Count(); ++i) unzParamsOld_->fFileSpecs[i] = KeepText(fSpecArgs_[i]);
        }
        if (UseStream == 0 || outToBuffer) {
            auto exec = reinterpret_cast<UnzDllExecFunc>(unzLib_.exec);
            typedPassword_.clear();
            successCnt_ = static_cast<int>(exec(newLayout ? unzParams_ : reinterpret_cast<UnZipParams*>(unzParamsOld_)));
            // The answer that served a member serves the archive's next members unasked.
            if (successCnt_ > 0 && !typedPassword_.empty()) archivePassword_ = typedPassword_;
            typedPassword_.clear();
        }
        if (UseStream != 0) {
            // The library must have produced exactly the bytes the stream holds.
            bool whole = unzParams_ && unzParams_->fOutStreamSize == static_cast<uint32_t>(zipStream_->Size());
            if (successCnt_ != 1 || !whole) {
                if (successCnt_ == 1) successCnt_ = 0;
                zipStream_->Clear();
            } else {
                zipStream_->SetPosition(0);
            }
        }
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        successCnt_ = 0;
        if (UseStream != 0) zipStream_->Clear();
    } catch (...) {
        ShowZipMessage(EX_FatalUnZip);
        successCnt_ = 0;
        if (UseStream != 0) zipStream_->Clear();
    }
    cleanup();
}

void TZipComponent::Extract() {
    VTRACE("TZipComponent::Extract");
    ExtExtract(0, nullptr);
}

TZipStream* TZipComponent::ExtractFileToStream(const std::string& FileName) {
    VTRACE("TZipComponent::ExtractFileToStream");
    if (!FileName.empty()) {
        fSpecArgs_.Clear();
        fSpecArgs_.Add(FileName);
    }
    zipStream_->Reuse();
    ExtExtract(1, nullptr);
    return successCnt_ == 1 ? zipStream_.get() : nullptr;
}

TZipStream* TZipComponent::ExtractStreamToStream(TMemoryStream* InStream, uint32_t OutSize) {
    VTRACE("TZipComponent::ExtractStreamToStream");
    if (InStream == zipStream_.get()) {
        ShowZipMessage(AD_InIsOutStream);
        return nullptr;
    }
    zipStream_->Clear();
    if (!InStream || static_cast<int64_t>(OutSize) > kMaxStreamMember || !zipStream_->SetSize(OutSize)) return nullptr;
    ExtExtract(2, InStream);
    return successCnt_ == 1 ? zipStream_.get() : nullptr;
}

}  // namespace vellicor
