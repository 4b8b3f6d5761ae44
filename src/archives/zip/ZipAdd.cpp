// Adding files or a buffer to an archive and deleting entries, through the zip library.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipInternal.h"
#include "archives/zip/ZipSpan.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
const char* const kSuffixes[] = {"gif", "png", "z",   "zip", "zoo", "arc", "lzh", "arj",  "taz",
                                 "tgz", "lha", "rar", "ace", "cab", "gz",  "gzip", "jar", "exe"};

uint32_t NowAsDos() {
    uint16_t date = 0, time = 0;
    zip::UnixToDosDateTime(::time(nullptr), date, time);
    return (uint32_t(date) << 16) | time;
}
}  // namespace

const char* TZipComponent::KeepZipText(const std::string& s) {
    std::unique_ptr<char[]> copy(new char[s.size() + 1]);
    std::memcpy(copy.get(), s.data(), s.size());
    copy[s.size()] = '\0';
    zipTexts_.push_back(std::move(copy));
    return zipTexts_.back().get();
}

// What one run of the zip library leaves behind, dropped whatever its outcome.
void TZipComponent::EndZipRun(bool unloadLibrary) {
    fSpecArgs_.Clear();
    fSpecArgsExcl_.Clear();
    delete zipParams_;
    delete zipParamsOld_;
    zipParams_ = nullptr;
    zipParamsOld_ = nullptr;
    zipSpecs_.clear();
    zipExcl_.clear();
    zipTexts_.clear();
    if (unloadLibrary) Unload_Zip_Dll();
    cancel_ = false;
    zipBusy_ = false;
}

// The library's record in the layout its version reads, with the switches set; false (and
// the user told) when the specifications do not fit the old layout.
bool TZipComponent::NewZipParams(int version, bool& newLayout, const std::string& zipName) {
    newLayout = version >= ZIP_NEW_LAYOUT_VERSION;
    if (!newLayout && fSpecArgs_.Count() > ZIPDLL_OLD_MAX_SPECS) {
        ShowZipMessage(GE_FatalZip, "\ntoo many file specifications for this library");
        return false;
    }
    if (newLayout) zipParams_ = new ZipParams{};
    else zipParamsOld_ = new ZipParamsOld{};
    SetZipSwitches(zipName, version);
    return true;
}

void TZipComponent::AddSuffix(AddStoreSuffix value, std::string& list, int index) const {
    VTRACE("TZipComponent::AddSuffix");
    if (AddStoreSuffixes.Contains(value) && index >= 0 && index <= assEXE) list += std::string(".") + kSuffixes[index] + ":";
}

std::string TZipComponent::StoreSuffixList() const {
    VTRACE("TZipComponent::StoreSuffixList");
    std::string list;
    for (int i = assGIF; i <= assEXE; ++i) AddSuffix(static_cast<AddStoreSuffix>(i), list, i);
    if (!list.empty()) list.pop_back();
    return list;
}

void TZipComponent::SetZipSwitches(const std::string& zipName, int dllVersion) {
    VTRACE("TZipComponent::SetZipSwitches");
    // Both layouts share their head; the old record is filled through the same fields.
    ZipParams* p = zipParams_ ? zipParams_ : reinterpret_cast<ZipParams*>(zipParamsOld_);
    p->fHandle = handle_;
    p->fCaller = this;
    p->fVersion = ZIPDLL_VERSION;
    p->fZCallback = &TZipComponent::ZCallback;
    p->fTraceEnabled = Trace ? 1 : 0;
    if (!Password.empty()) p->fPassword = KeepZipText(Password.substr(0, ZCB_PASSWORD_MAX));
    std::string suffixes = StoreSuffixList();
    if (!suffixes.empty()) p->fSuffix = KeepZipText(suffixes);
    p->fEncrypt = AddOptions.Contains(AddEncrypt) ? 1 : 0;
    p->fSystem = AddOptions.Contains(AddHiddenFiles) ? 1 : 0;
    p->fVolume = AddOptions.Contains(AddVolume) ? 1 : 0;
    p->fExtra = 0;
    p->fNoDirEntries = AddOptions.Contains(AddSeparateDirs) ? 0 : 1;
    p->fDate = 0;
    p->fVerboseEnabled = (Verbose || Trace) ? 1 : 0;
    p->fQuiet = 1;
    p->fLevel = AddCompLevel;
    p->fComprSpecial = 0;
    p->fJunkDir = AddOptions.Contains(AddDirNames) ? 0 : 1;
    p->fRecurse = AddOptions.Contains(AddRecurseDirs) ? 1 : 0;
    p->fGrow = 1;
    p->fForce = AddOptions.Contains(AddZipTime) ? 1 : 0;
    p->fMove = AddOptions.Contains(AddMove) ? 1 : 0;
    p->fDeleteEntries = 0;
    p->fUpdate = AddOptions.Contains(AddUpdate) ? 1 : 0;
    p->fFreshen = AddOptions.Contains(AddFreshen) && !AddOptions.Contains(AddUpdate) ? 1 : 0;
    p->fJunkSFX = 0;
    p->fForceDOS = AddOptions.Contains(AddForceDOS) ? 1 : 0;
    p->fArgc = fSpecArgs_.Count();
    p->fZipFN = KeepZipText(zipName);
    if (zipParams_) {
        ZipParams* n = zipParams_;
        if ((dllVersion == ZIP_NEW_LAYOUT_VERSION || dllVersion == ZIPDLL_VERSION) && !TempDir.empty())
            n->fTempPath = KeepZipText(TempDir);
        if (dllVersion == ZIPDLL_VERSION) {
            if (!zipComment_.empty()) n->fArchComment = KeepZipText(zipComment_);
            n->fArchiveFilesOnly = AddOptions.Contains(AddArchiveOnly) ? 1 : 0;
            n->fResetArchiveBit = AddOptions.Contains(AddResetArchive) ? 1 : 0;
            if (fSpecArgsExcl_.Count() > 0) {
                zipExcl_.clear();
                for (int i = 0; i < fSpecArgsExcl_.Count(); ++i) zipExcl_.push_back(KeepZipText(fSpecArgsExcl_[i]));
                n->fTotExFileSpecs = fSpecArgsExcl_.Count();
                n->fExFiles = zipExcl_.data();
            }
            n->fHowToMove = HowToDelete == htdAllowUndo ? 1 : 0;
            n->fWantedCodePage = CodePage == cpOEM ? 2 : 0;
        }
        n->fSeven = ZIPDLL_CHECK_WORD;
    } else {
        zipParamsOld_->fSeven = ZIPDLL_CHECK_WORD;
    }
}

void TZipComponent::ExtAdd(int UseStream, uint32_t StrFileDate, uint32_t StrFileAttr, TMemoryStream* MemStream) {
    VTRACE("TZipComponent::ExtAdd");
    errCode_ = 0;
    successCnt_ = 0;
    message_.clear();
    if (UseStream == 0 && fSpecArgs_.Count() == 0) {
        ShowZipMessage(AD_NothingToZip);
        return;
    }
    if (UseStream <= 1 && zipFileName_.empty()) {
        ShowZipMessage(GE_NoZipSpecified);
        return;
    }
    if (Unattended && AddOptions.Contains(AddEncrypt) && Password.empty()) {
        ShowZipMessage(AD_UnattPassword);
        return;
    }
    if (zipBusy_) return;
    // The library would add to the last part alone and refuse it in the words of Rename.
    if (UseStream <= 1 && spanned_ && FileExists(zipFileName_)) {
        ShowZipMessage(AD_SpannedSet);
        return;
    }
    cancel_ = false;
    bool isExe = UpperCase(ExtractFileExt(zipFileName_)) == ".EXE";
    if (UseStream <= 1 && isExe && !FileExists(zipFileName_)) {
        try {
            int r = ConvertSFX(true);
            if (r != 0) throw EZipComponent(AD_AutoSFXWrong, r);
        } catch (const EZipComponent& e) {
            ShowExceptionError(e);
            return;
        }
    }
    bool loadedHere = false;
    if (!ZipDllLoaded()) {
        Load_Zip_Dll();
        loadedHere = true;
    }
    auto cleanup = [&] { EndZipRun(loadedHere); };
    if (!ZipDllLoaded()) {
        cleanup();
        return;
    }
    // A spanned set is written whole into a temporary archive first, then copied out as volumes.
    bool spanning = UseStream <= 1 && (AddOptions.Contains(AddDiskSpan) || AddOptions.Contains(AddDiskSpanErase));
    std::string spanTemp;
    if (spanning) {
        if (AddOptions.Contains(AddFreshen) || AddOptions.Contains(AddUpdate)) ShowZipMessage(AD_NoFreshenUpdate);
        else if (isExe) ShowZipMessage(DS_NoDiskSpan);
        else if ((spanTemp = MakeTempFileName("zip", ".tmp")).empty()) ShowZipMessage(DS_NoTempFile);
        // The set holds what the archive already had: the library adds to a copy of it, or
        // the volumes would replace the archive with only the new files.
        if (!spanTemp.empty() && FileExists(zipFileName_) && CopyFile(zipFileName_, spanTemp) != 0) {
            ::unlink(spanTemp.c_str());
            spanTemp.clear();
            ShowZipMessage(DS_NoTempFile);
        }
        if (spanTemp.empty()) {
            cleanup();
            return;
        }
        if (Verbose && OnMessage) OnMessage(this, 0, "Temporary zipfile: " + spanTemp);
    }
    zipBusy_ = true;
    int version = static_cast<int>(zipLib_.version());
    if (UseStream != 0 && version < ZIPDLL_STREAM_VERSION) {
        cleanup();
        ShowZipMessage(AD_NoStreamDLL);
        return;
    }
    bool newLayout = false;
    try {
        if (!NewZipParams(version, newLayout, spanning ? spanTemp : zipFileName_)) {
            cleanup();
            return;
        }
        // Files moved into a set leave only once the whole set is written.
        bool moveAfterSpan = spanning && AddOptions.Contains(AddMove) && UseStream == 0;
        if (moveAfterSpan) (newLayout ? zipParams_ : reinterpret_cast<ZipParams*>(zipParamsOld_))->fMove = 0;
        spanItems_.clear();
        collectSpanItems_ = moveAfterSpan;
        if (newLayout) {
            zipSpecs_.assign(static_cast<size_t>(fSpecArgs_.Count()), ZipFileData{});
            for (int i = 0; i < fSpecArgs_.Count(); ++i) {
                std::string line = fSpecArgs_[i];
                ZipFileData& d = zipSpecs_[static_cast<size_t>(i)];
                bool recurse = AddOptions.Contains(AddRecurseDirs);
                if (!line.empty() && (line[0] == '>' || line[0] == '|')) {
                    recurse = line[0] == '>';
                    line.erase(0, 1);
                }
                size_t lt = line.find('<');
                if (lt != std::string::npos && lt + 1 < line.size()) {
                    d.fEncrypt = 1;
                    d.fFilePassword = KeepZipText(line.substr(lt + 1, ZCB_PASSWORD_MAX));
                    line.erase(lt);
                } else if (lt != std::string::npos) {
                    d.fEncrypt = 0;
                    d.fFilePassword = zipParams_->fPassword;
                } else {
                    d.fEncrypt = AddOptions.Contains(AddEncrypt) ? 1 : 0;
                    d.fFilePassword = zipParams_->fPassword;
                }
                d.fFileSpec = KeepZipText(line);
                d.fRecurse = recurse ? 1 : 0;
                if (!rootDir_.empty()) d.fRootDir = KeepZipText(rootDir_);
            }
            zipParams_->fFDS = zipSpecs_.empty() ? nullptr : zipSpecs_.data();
            if (UseStream == 1) {
                zipParams_->fUseInStream = 1;
                zipParams_->fInStream = zipStream_->Memory();
                zipParams_->fInStreamSize = static_cast<uint32_t>(zipStream_->Size());
                zipParams_->fStrFileAttr = StrFileAttr;
                zipParams_->fStrFileDate = StrFileDate;
            } else if (UseStream == 2 && MemStream) {
                zipParams_->fUseOutStream = 1;
                zipParams_->fOutStream = zipStream_->Memory();
                zipParams_->fOutStreamSize = static_cast<uint32_t>(zipStream_->Size());
                zipParams_->fUseInStream = 1;
                zipParams_->fInStream = MemStream->Memory();
                zipParams_->fInStreamSize = static_cast<uint32_t>(MemStream->Size());
            }
        } else {
            for (int i = 0; i < fSpecArgs_.Count(); ++i) zipParamsOld_->fFileSpecs[i] = KeepZipText(fSpecArgs_[i]);
        }
        auto exec = reinterpret_cast<ZipDllExecFuncT>(zipLib_.exec);
        successCnt_ = static_cast<int>(exec(newLayout ? zipParams_ : reinterpret_cast<ZipParams*>(zipParamsOld_)));
        collectSpanItems_ = false;
        if (spanning && successCnt_ > 0) {
            zipBusy_ = false;  // the set writer takes the flag itself
            if (WriteSpan(spanTemp, zipFileName_) != 0) {
                successCnt_ = 0;
            } else {
                // On part files the set is known by its last part.
                if (PartFileDrive(lastDriveType_)) {
                    std::string ext = ExtractFileExt(zipFileName_);
                    std::string stem = zipFileName_.substr(0, zipFileName_.size() - ext.size());
                    zipFileName_ = stem + DiskSpan::VolumeDigits(currentDisk_) + ext;
                }
                if (moveAfterSpan) RemoveSpanItems();
            }
            zipBusy_ = true;
        }
        if (UseStream == 2) {
            // The library tells how much of the buffer it used.
            uint32_t used = zipParams_->fOutStreamSize;
            if (successCnt_ == 1 && used >= ZIPDLL_STREAM_HEADER && used <= zipStream_->Size()) {
                zipStream_->SetSize(used);
                zipStream_->SetPosition(ZIPDLL_STREAM_HEADER);
            } else {
                successCnt_ = 0;
            }
        }
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        successCnt_ = 0;
    } catch (...) {
        ShowZipMessage(GE_FatalZip);
        successCnt_ = 0;
    }
    collectSpanItems_ = false;
    spanItems_.clear();
    if (spanning) ::unlink(spanTemp.c_str());
    cleanup();
    if (successCnt_ > 0 && UseStream <= 1) List();
}

// The files and folders the library took into a spanned set, removed as a move asks.
void TZipComponent::RemoveSpanItems() {
    std::vector<std::string> dirs;
    for (const auto& path : spanItems_) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) dirs.push_back(path);
        else if (S_ISREG(st.st_mode) && EraseFile(path, HowToDelete) != 0 && OnMessage)
            OnMessage(this, 0, "File could not be removed: " + path);
    }
    // Folders once they are empty, the deepest first.
    std::sort(dirs.rbegin(), dirs.rend());
    for (const auto& d : dirs) ::rmdir(d.c_str());
    spanItems_.clear();
}

void TZipComponent::Add() {
    VTRACE("TZipComponent::Add");
    ExtAdd(0, 0, 0, nullptr);
}

void TZipComponent::AddStreamToFile(const std::string& FileName, uint32_t FileDate, uint32_t FileAttr) {
    VTRACE("TZipComponent::AddStreamToFile");
    if (!FileName.empty()) {
        fSpecArgs_.Clear();
        fSpecArgs_.Add(FileName);
    }
    if (FileDate == 0) FileDate = NowAsDos();
    if (fSpecArgs_.Count() == 0) {
        ShowZipMessage(AD_NothingToZip);
        return;
    }
    if (fSpecArgs_[0].find_first_of("*?") != std::string::npos) {
        ShowZipMessage(AD_InvalidName);
        return;
    }
    ExtAdd(1, FileDate, FileAttr, nullptr);
}

TZipStream* TZipComponent::AddStreamToStream(TMemoryStream* InStream) {
    VTRACE("TZipComponent::AddStreamToStream");
    if (InStream == zipStream_.get()) {
        ShowZipMessage(AD_InIsOutStream);
        return nullptr;
    }
    if (!InStream || InStream->Size() == 0) {
        ShowZipMessage(AD_NothingToZip);
        return zipStream_.get();
    }
    if (InStream->Size() > kMaxStreamMember || !zipStream_->SetSize(InStream->Size() + ZIPDLL_STREAM_HEADER)) {
        ShowZipMessage(GE_NoMem);
        return nullptr;
    }
    ExtAdd(2, 0, 0, InStream);
    if (successCnt_ != 1) zipStream_->Clear();
    return zipStream_.get();
}

void TZipComponent::Delete() {
    VTRACE("TZipComponent::Delete");
    errCode_ = 0;
    successCnt_ = 0;
    message_.clear();
    if (fSpecArgs_.Count() == 0) {
        ShowZipMessage(DL_NothingToDel);
        return;
    }
    if (!FileExists(zipFileName_)) {
        ShowZipMessage(GE_NoZipSpecified);
        return;
    }
    if (zipBusy_) return;
    cancel_ = false;
    bool loadedHere = false;
    if (!ZipDllLoaded()) {
        Load_Zip_Dll();
        loadedHere = true;
    }
    auto cleanup = [&] { EndZipRun(loadedHere); };
    if (!ZipDllLoaded()) {
        cleanup();
        return;
    }
    zipBusy_ = true;
    int version = static_cast<int>(zipLib_.version());
    bool newLayout = false;
    try {
        if (!NewZipParams(version, newLayout, zipFileName_)) {
            cleanup();
            return;
        }
        ZipParams* p = newLayout ? zipParams_ : reinterpret_cast<ZipParams*>(zipParamsOld_);
        p->fDeleteEntries = 1;
        p->fGrow = 0;
        p->fJunkDir = 0;
        p->fMove = 0;
        p->fFreshen = 0;
        p->fUpdate = 0;
        p->fRecurse = 0;
        p->fEncrypt = 0;
        if (newLayout) {
            zipSpecs_.assign(static_cast<size_t>(fSpecArgs_.Count()), ZipFileData{});
            for (int i = 0; i < fSpecArgs_.Count(); ++i) zipSpecs_[static_cast<size_t>(i)].fFileSpec = KeepZipText(fSpecArgs_[i]);
            zipParams_->fFDS = zipSpecs_.empty() ? nullptr : zipSpecs_.data();
        } else {
            for (int i = 0; i < fSpecArgs_.Count(); ++i) zipParamsOld_->fFileSpecs[i] = KeepZipText(fSpecArgs_[i]);
        }
        auto exec = reinterpret_cast<ZipDllExecFuncT>(zipLib_.exec);
        writtenDirectory_.clear();
        keepWritten_ = true;
        successCnt_ = static_cast<int>(exec(p));
    } catch (const std::bad_alloc&) {
        ShowZipMessage(GE_NoMem);
        successCnt_ = 0;
    } catch (...) {
        ShowZipMessage(GE_FatalZip);
        successCnt_ = 0;
    }
    keepWritten_ = false;
    cleanup();
    // The listing is made from what the library wrote; a library that does not hand it
    // back leaves it to a read of the new file.
    if (successCnt_ > 0 && !ListWritten()) List();
    std::vector<uint8_t>().swap(writtenDirectory_);
}

}  // namespace vellicor
