#include "pages/LoadFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "archives/MemberMessages.h"
#include "archives/UnArchive.h"
#include "pages/ArchiveSource.h"
#include "pages/Checksums.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "pages/Utilsunit.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

const char* const kNoImages = "There are no image files to display";

// One message for what an archive's pages met: a single failure in its own words; several
// members named (a few, then a count) before the first one's words.
std::string ReportText(const std::vector<std::string>& Members, const std::vector<HeldMessage>& Messages) {
    constexpr size_t kNamed = 3;
    std::string text;
    if (Members.size() > 1) {
        text = std::to_string(Members.size()) + " members cannot be shown: ";
        for (size_t i = 0; i < Members.size() && i < kNamed; ++i) text += (i ? ", " : "") + ShownName(Members[i]);
        if (Members.size() > kNamed) text += " and " + std::to_string(Members.size() - kNamed) + " more";
        return text + ".\n\n" + Messages.front().text;
    }
    std::vector<std::string> said;
    for (const HeldMessage& m : Messages) {
        if (std::find(said.begin(), said.end(), m.text) != said.end()) continue;
        said.push_back(m.text);
        if (!text.empty()) text += "\n\n";
        text += m.text;
    }
    return text;
}

// What the no-images box says: the files opened, then the names skipped (a few, then a
// count), and how a folder's pages are opened, as a folder named is not.
std::string NothingShownText(const std::string& Opened, const std::vector<std::string>& Skipped) {
    VTRACE("LoadFiles::NothingShownText");
    constexpr size_t kNamed = 5;
    std::string text = Opened;
    if (Skipped.empty()) return text;
    if (!text.empty()) text += "\n\n";
    text += "Skipped: ";
    bool folder = false;
    for (size_t i = 0; i < Skipped.size(); ++i) {
        struct stat st;
        const bool exists = ::stat(Skipped[i].c_str(), &st) == 0, isFolder = exists && S_ISDIR(st.st_mode);
        folder = folder || isFolder;
        if (i >= kNamed) continue;
        text += (i ? ", " : "") + ShortenedName(Skipped[i]) +
                (isFolder ? " (a folder)" : !exists ? " (not found)" : S_ISREG(st.st_mode) ? " (not a page)" : " (not a file)");
    }
    if (Skipped.size() > kNamed) text += " and " + std::to_string(Skipped.size() - kNamed) + " more";
    text += ".";
    if (folder) text += "\nA folder's pages are opened in the open dialog (L): entering the folder selects them.";
    return text;
}

// Archive names by extension (zip, rar, ace, tar and their comic-book forms).
// Busy covers every call into the archive side: those calls may let window messages
// through, and the work queue must not start a job meanwhile.
class BusyScope {
public:
    explicit BusyScope(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
    ~BusyScope() { flag_ = was_; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& flag_;
    bool was_;
};

// A loose file is read in pieces: the window's messages get through between them (the
// caller holds Busy), and the program's end stops the read. The stream grows a piece at a
// time as the data come (nothing is cleared first), so nothing is done for the whole file
// before the first stop check; a file that turns out shorter gives what was read, no more.
// A file larger than budget is not read at all: its size comes back in tooLarge.
bool ReadLooseFile(TMemoryStream& out, const std::string& name, int64_t budget, int64_t& tooLarge) {
    constexpr int64_t kPiece = int64_t(8) << 20;
    tooLarge = -1;
    TFileStream file;
    if (!file.Open(name, FileMode::OpenRead)) return false;
    const int64_t size = file.Size();
    if (size < 0 || !out.SetSize(0)) return false;
    if (size > budget) {
        tooLarge = size;
        return false;
    }
    out.Reserve(size);
    for (int64_t done = 0; done < size;) {
        const int64_t n = std::min(kPiece, size - done);
        if (!out.SetSize(done + n)) return false;
        const int64_t got = file.Read(out.Memory() + done, n);
        if (got != n) {
            out.SetSize(done + std::max<int64_t>(got, 0));
            break;
        }
        done += n;
        if (done < size) {
            ProcessMessages();
            if (StopRequested()) return false;
        }
    }
    out.SetPosition(0);
    return true;
}

// Writes bytes beside the target and renames over it, so that a failed write never leaves
// a half-written file in place of one that was there.
bool SaveStreamAs(TStream& stream, const std::string& target) {
    std::string tmp = target + ".partXXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    // mkstemp makes the file private; a copy gets the permissions of any new file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    TFileStream out;
    bool ok = out.Open(tmp, FileMode::Create);
    if (ok) {
        stream.Seek(0, SeekOrigin::Begin);
        int64_t size = stream.Size();
        ok = out.CopyFrom(stream, 0) == size || size == 0;
        ok = ok && out.Flush();
        out.Close();
    }
    stream.Seek(0, SeekOrigin::Begin);
    if (ok) ok = std::rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) std::remove(tmp.c_str());
    return ok;
}

}  // namespace

TLoadFiles::TLoadFiles(void* Owner)
    : Owner_(Owner), FileNames_(std::make_unique<TPageList>()), Checksums_(std::make_unique<TCheckChecksums>()) {
    VTRACE("TLoadFiles::TLoadFiles");
}

TLoadFiles::~TLoadFiles() {
    VTRACE("TLoadFiles::~TLoadFiles");
    // Failures still held as the program ends are not lost: no window is left to show them.
    for (const FailureReport& r : Reports_)
        std::fprintf(stderr, "%s: %s\n", r.archive.c_str(), ReportText(r.members, r.messages).c_str());
    OnStreamReady = nullptr;
    OnPreviewReady = nullptr;
    if (Archive_) {
        try {
            Archive_->Close();
        } catch (...) {
        }
    }
}

std::string TLoadFiles::TooLargeText(const std::string& Name, int64_t Size, int64_t Budget, bool Member) {
    return ShownName(Name) + " is not shown: it " + (Member ? "unpacks to " : "is ") + std::to_string((Size + (1 << 20) - 1) >> 20) +
           " MB, more than the " + std::to_string(Budget >> 20) + " MB a page may take.";
}

void TLoadFiles::SetArchiveSource(std::unique_ptr<IArchiveSource> Source) {
    VTRACE("TLoadFiles::SetArchiveSource");
    CloseArchive();
    Archive_ = std::move(Source);
}

int TLoadFiles::FileBufferSize() const {
    VTRACE("TLoadFiles::FileBufferSize");
    // A hand-edited size beyond the page count holds nothing more.
    return std::clamp(PageSettings().FileBufferSize, 0, std::max(FileNames_->GetPageCount(), 6));
}

// ---- Loading a list ----

void TLoadFiles::LoadFiles(const TStringList& Names, int Page) {
    VTRACE("TLoadFiles::LoadFiles");
    (void)Page;
    if (Names.Count() == 0) return;
    TidyUp();
    FilesToProcess_.Clear();
    for (const auto& n : Names) FilesToProcess_.Add(ExpandFileName(n));
    ContinueLoadFiles();
}

void TLoadFiles::ContinueLoadFiles() {
    VTRACE("TLoadFiles::ContinueLoadFiles");
    State_ = lsLoadingList;
    bool toldOfSplitPart = false;
    std::vector<std::string> skipped;  // folders, missing names, files of no kind read here
    // One name after another; an archive is listed within the loop, so a long list of
    // archives never nests one call per archive.
    while (FilesToProcess_.Count() > 0) {
        std::string name = FilesToProcess_[0];
        FilesToProcess_.Delete(0);
        VTRACE_STR("TLoadFiles::ContinueLoadFiles name", name);
        if (!FileExists(name)) {  // missing, or a directory
            skipped.push_back(name);
            continue;
        }
        // A "._" file beside a page is the macOS archiver's metadata, even when named alone.
        if (IsMacMetadataFile(name)) {
            skipped.push_back(name);
            continue;
        }
        if (IsImageFile(name) || IsInfoFile(name) || IsChecksumFile(name)) {
            FileNames_->Add(name, "");
            OpenedFiles_.Add(name);
            if (BaseDirectory_.empty()) BaseDirectory_ = ExtractFileDir(name);
            if (IsChecksumFile(name)) {
                // Read from the file line by line, never loaded whole.
                TFileStream list;
                if (list.Open(name, FileMode::OpenRead)) Checksums_->AddChecksumFile(name, list);
            }
        } else if (IsArchiveFile(name)) {
            OpenedFiles_.Add(name);
            State_ = lsListingArchive;
            if (BaseDirectory_.empty()) BaseDirectory_ = ExtractFileDir(name);
            CurrentArchive_ = name;
            // An archive that cannot be read or holds nothing is skipped.
            if (OpenArchive(name, ArchiveMembers_)) InitialArchiveFile();
            ArchiveMembers_.Clear();
            State_ = lsLoadingList;
        } else if (std::string notice = SplitZipPartNotice(name); !notice.empty()) {
            ShowMessageBox(name, notice, mbOK, TMsgKind::Information);
            toldOfSplitPart = true;
        } else {
            skipped.push_back(name);
        }
    }
    if (FileNames_->GetCheckSumCount() > 0 && FileNames_->AllNames().Count() > 0) {
        // Names with their archives: a list only judges the pages beside it.
        std::vector<std::pair<std::string, std::string>> present;
        for (const TPageEntries* l : {&FileNames_->PageList(), &FileNames_->InfoList(), &FileNames_->CheckSumList()})
            for (const auto& e : *l) present.emplace_back(e->Name, e->Archive);
        Checksums_->CheckAllFilesPesent(present);
    }
    State_ = lsIdle;
    if (FileNames_->GetPageCount() == 0) {
        // Parts of a split set alone were told of already.
        if (!toldOfSplitPart || OpenedFiles_.Count() > 0 || !skipped.empty())
            ShowMessageBox(kNoImages, NothingShownText(OpenedFiles_.CommaText(), skipped), mbOK, TMsgKind::Information);
        return;
    }
    FileNames_->Sort();
    if (OnFilesReady) OnFilesReady(Owner_);
}

void TLoadFiles::InitialArchiveFile() {
    VTRACE("TLoadFiles::InitialArchiveFile");
    for (const auto& member : ArchiveMembers_) {
        if (!IsChecksumFile(member) || IsMacMetadataFile(member)) continue;
        // A list too large to be real is refused before it is unpacked.
        if (Archive_ && TCheckChecksums::TooLarge(Archive_->MemberSize(member))) {
            TCheckChecksums::RefuseTooLarge(member);
            continue;
        }
        if (TStream* s = ExtractMember(member)) {
            s->Seek(0, SeekOrigin::Begin);
            Checksums_->AddChecksumFile(member, *s, CurrentArchive_);
        }
    }
    FileNames_->Add(ArchiveMembers_, CurrentArchive_);
}

// ---- The archive side ----

bool TLoadFiles::OpenArchive(const std::string& ArchiveName, TStringList& Members) {
    VTRACE("TLoadFiles::OpenArchive");
    Members.Clear();
    bool ok = false;
    if (Archive_) {
        BusyScope busy(Busy_);
        try {
            ok = Archive_->Open(ArchiveName, Members);
        } catch (const std::exception& e) {
            trace::TraceException(e);
            ok = false;
        } catch (...) {
            ok = false;
        }
    }
    if (!ok || Members.Count() == 0) {
        Members.Clear();
        CloseArchive();
        return false;
    }
    return true;
}

TStream* TLoadFiles::ExtractMember(const std::string& MemberName) {
    VTRACE("TLoadFiles::ExtractMember");
    if (!Archive_) return nullptr;
    BusyScope busy(Busy_);
    try {
        TStream* s = Archive_->Extract(MemberName);
        LostToPassword_ = (!s || s->Size() == 0) && Archive_->FailureMayPass();
        return s;
    } catch (const std::exception& e) {
        trace::TraceException(e);
    } catch (...) {
    }
    return nullptr;
}

TStream* TLoadFiles::ExtractPage(const std::string& ArchiveName, const std::string& MemberName, bool Quiet) {
    VTRACE("TLoadFiles::ExtractPage");
    // A member larger than the read-ahead budget is refused by its stated size before any of
    // it is read: a page that large is no page, and reading it whole would take gigabytes.
    const int64_t size = Archive_ ? Archive_->MemberSize(MemberName) : -1;
    if (size > PreloadBudget) {
        if (Quiet) return nullptr;
        ShowMessageBox(ArchiveName, TooLargeText(MemberName, size, PreloadBudget, true), mbOK, TMsgKind::Warning);
        return nullptr;
    }
    return ExtractMember(MemberName);
}

void TLoadFiles::CloseArchive() {
    VTRACE("TLoadFiles::CloseArchive");
    CurrentArchive_.clear();
    if (!Archive_) return;
    BusyScope busy(Busy_);
    try {
        Archive_->Close();
    } catch (...) {
    }
}

// ---- Streams ----

bool TLoadFiles::GetStream(TLoaderState StateWanted, int PageNumber, const std::string& ArchiveName,
                           const std::string& FileName, TLoaderStreamEvent Callback) {
    VTRACE("TLoadFiles::GetStream");
    State_ = StateWanted;
    bool switched = false;
    bool archiveOpen = true;
    if (!ArchiveName.empty() && ArchiveName != CurrentArchive_) {
        switched = true;
        CurrentArchive_ = ArchiveName;
        archiveOpen = OpenArchive(ArchiveName, ArchiveMembers_);
        ArchiveMembers_.Clear();
    }

    TStream* stream = nullptr;
    bool looseFile = ArchiveName.empty();
    const std::string failedKey = ArchiveName + '\n' + FileName;
    // A member that failed once (its message was shown then) is not read again until the
    // set is opened again, unless it was lost to its password; nor is a loose file refused
    // by its size.
    const bool leftAlone = !looseFile && Background && PasswordFailed_.count(failedKey) > 0;
    const bool failedBefore = PreloadFailed_.count(failedKey) > 0 || leftAlone;
    LostToPassword_ = leftAlone;
    try {
        if (looseFile && !failedBefore) {
            FileStream_.Reuse();
            int64_t tooLarge = -1;
            {
                BusyScope busy(Busy_);
                if (ReadLooseFile(FileStream_, FileName, PreloadBudget, tooLarge)) stream = &FileStream_;
                else FileStream_.Clear();
            }
            // As a member stated larger than the budget: said once by name, then left alone.
            if (tooLarge >= 0) {
                PreloadFailed_.insert(failedKey);
                ShowMessageBox(FileName, TooLargeText(ExtractFileName(FileName), tooLarge, PreloadBudget, false), mbOK,
                               TMsgKind::Warning);
            }
        } else if (!looseFile && archiveOpen && !failedBefore) {
            // What the archive side says about a page is gathered, so that a book whose
            // members fail one after another tells it in one message.
            const bool page = StateWanted == lsPageStream || StateWanted == lsPreloading;
            std::optional<HeldMessages> held;
            if (page && GatherFailures) held.emplace();
            stream = ExtractPage(ArchiveName, FileName);
            // A reader that failed on a member (and said why) hands back an empty stream.
            if (stream && stream->Size() == 0) stream = nullptr;
            if (held) {
                std::vector<HeldMessage> messages = std::move(held->held);
                held.reset();
                const bool visit = StateWanted == lsPageStream && !Background;
                if (visit && LostToPassword_) {
                    // The user has just answered its question: the answer's fate is told at once.
                    for (const HeldMessage& m : messages) ShowMessageBox(m.caption, m.text, mbOK, m.kind);
                } else {
                    Gather(ArchiveName, FileName, !stream && !LostToPassword_, visit, messages);
                }
            }
        }
        if (stream) {
            Checksums_->CheckFileChecksum(FileName, *stream, stream->Size(), nullptr, ArchiveName);
            stream->Seek(0, SeekOrigin::Begin);
        }
    } catch (const std::exception& e) {
        trace::TraceException(e);
        stream = nullptr;
    } catch (...) {
        stream = nullptr;
    }

    if (!looseFile) {
        // A member lost to its password is asked for again when its page is visited again;
        // the read-ahead leaves it alone, so that it does not ask on every page turned.
        const bool mayPass = !stream && LostToPassword_;
        if (!stream && !mayPass) PreloadFailed_.insert(failedKey);
        if (mayPass) PasswordFailed_.insert(failedKey);
        else PasswordFailed_.erase(failedKey);
    }
    switch (StateWanted) {
        case lsPageStream:
        case lsPreloading: {
            // Read-ahead keeps copies only within its memory budget.
            const int64_t size = stream ? stream->Size() : 0;
            const bool overBudget = size > PreloadBudget - PreloadBytes_;
            if (!stream || PageNumber == -1 || FileBufferSize() <= 5 || overBudget) {
                State_ = lsIdle;
                BudgetHit_ = BudgetHit_ || (stream && overBudget);
                // Served without a copy, the window around it is still due.
                if (stream && overBudget && PageNumber != -1 && FileBufferSize() > 5 && StateWanted == lsPageStream)
                    PreloadDue_ = true;
                // A read-ahead has no one waiting for it: it fires nothing, also on failure.
                if (StateWanted == lsPageStream && Callback) Callback(Owner_, stream, FileName);
                break;
            }
            auto copy = std::make_unique<TMemoryStream>();
            if (!copy->LoadFromStream(*stream)) {
                State_ = lsIdle;
                if (StateWanted == lsPageStream && Callback) Callback(Owner_, stream, FileName);
                break;
            }
            if (looseFile) FileStream_.Reuse();
            TStream* kept = copy.get();
            if (TStream* old = FileNames_->GetPageData(PageNumber)) PreloadBytes_ -= old->Size();
            else ++StreamsLoaded_;
            PreloadBytes_ += kept->Size();
            FileNames_->SetPageData(PageNumber, std::move(copy));
            kept->Seek(0, SeekOrigin::Begin);
            State_ = lsIdle;
            if (StateWanted == lsPageStream) {
                PreloadDue_ = true;
                if (Callback) Callback(Owner_, kept, FileName);
            }
            break;
        }
        case lsInfoStream:
            State_ = lsIdle;
            if (Callback) Callback(Owner_, stream, FileName);
            break;
        case lsCopyPage:
            State_ = lsIdle;
            ContinueCopyPage(stream, FileName);
            break;
        default:
            State_ = lsIdle;
            break;
    }
    // The bytes of a loose file are not kept once they have been served.
    if (looseFile) FileStream_.Reuse();
    // The program is ending: the member's bytes (up to a page's budget) go back now, while
    // the shutdown timer runs, not after the window has gone.
    if (StopRequested()) {
        FileStream_.Clear();
        CloseArchive();
    }
    return switched;
}

bool TLoadFiles::LoadPage(int FileNumber) {
    VTRACE("TLoadFiles::LoadPage");
    // The callback belongs to this request: a later request installs its own.
    TLoaderStreamEvent callback = std::exchange(OnStreamReady, nullptr);
    return LoadPageAs(lsPageStream, FileNumber, std::move(callback));
}

bool TLoadFiles::LoadPageAs(TLoaderState StateWanted, int FileNumber, TLoaderStreamEvent Callback) {
    VTRACE("TLoadFiles::LoadPageAs");
    VTRACE_INT("TLoadFiles::LoadPageAs FileNumber", FileNumber);
    if (FileNumber < 0 || FileNumber >= FileNames_->GetPageCount() || (Busy_ && StateWanted != lsPreloading)) {
        // A page request is always answered, if only without a stream (the error page).
        if (StateWanted == lsPageStream && Callback) Callback(Owner_, nullptr, FileNames_->GetPageName(FileNumber));
        return false;
    }
    if (Busy_) return false;
    CurrentFile_ = FileNumber;
    std::string name = FileNames_->GetPageName(FileNumber);
    if (TStream* data = FileNames_->GetPageData(FileNumber)) {
        data->Seek(0, SeekOrigin::Begin);
        PreloadDue_ = false;
        if (StateWanted == lsPageStream && Callback) Callback(Owner_, data, name);
        else if (StateWanted == lsCopyPage) ContinueCopyPage(data, name);
        if (TStream* still = FileNames_->GetPageData(FileNumber)) still->Seek(0, SeekOrigin::Begin);
        return false;
    }
    return GetStream(StateWanted, FileNumber, FileNames_->GetPageArchive(FileNumber), name, std::move(Callback));
}

void TLoadFiles::LoadInfo(int Index) {
    VTRACE("TLoadFiles::LoadInfo");
    if (Index < 0 || Index >= FileNames_->GetInfoCount() || Busy_) return;
    GetStream(lsInfoStream, -1, FileNames_->GetInfoArchive(Index), FileNames_->GetInfoName(Index), OnInfoReady);
}

bool TLoadFiles::CopyPage(int FileNumber, const std::string& Destination) {
    VTRACE("TLoadFiles::CopyPage");
    CopyDestination_ = ExpandFileName(Destination);
    CopyWritten_ = false;
    return LoadPageAs(lsCopyPage, FileNumber, nullptr);
}

std::string TLoadFiles::CopyTarget(const std::string& PageName, const std::string& Destination) {
    const char* ext = IsJpegFile(PageName) ? ".jpg"
                      : IsPngFile(PageName) ? ".png"
                      : IsGifFile(PageName) ? ".gif"
                      : IsBmpFile(PageName) ? ".bmp"
                                            : nullptr;
    if (!ext || Destination.empty()) return "";
    return ChangeFileExt(ExpandFileName(Destination), ext);
}

void TLoadFiles::ContinueCopyPage(TStream* Stream, const std::string& FileName) {
    VTRACE("TLoadFiles::ContinueCopyPage");
    if (!Stream || CopyDestination_.empty()) return;
    std::string target = CopyTarget(FileName, CopyDestination_);
    if (target.empty()) return;
    VTRACE_STR("TLoadFiles::ContinueCopyPage target", target);
    CopyWritten_ = SaveStreamAs(*Stream, target);
    if (!CopyWritten_) trace::TraceStringFmt("TLoadFiles::ContinueCopyPage", "not written: %s", target.c_str());
}

void TLoadFiles::GetPreview(const std::string& ArchiveName) {
    VTRACE("TLoadFiles::GetPreview");
    TLoaderStreamEvent callback = std::exchange(OnPreviewReady, nullptr);
    if (ArchiveName.empty() || !IsArchiveFile(ArchiveName) || Busy_) return;
    std::string archive = ExpandFileName(ArchiveName);
    State_ = lsPreview;
    CurrentArchive_ = archive;
    if (!OpenArchive(archive, ArchiveMembers_)) {
        State_ = lsIdle;
        return;
    }
    TStringList images;
    images.SetSorted(true);
    images.SetDuplicates(TDuplicates::dupIgnore);
    for (const auto& m : ArchiveMembers_)
        if (IsImageFile(m) && !IsMacMetadataFile(m)) images.Add(m);
    ArchiveMembers_.Clear();
    TStream* stream = images.Count() > 0 ? ExtractPage(archive, images[0], true) : nullptr;
    State_ = lsIdle;
    if (stream) {
        stream->Seek(0, SeekOrigin::Begin);
        if (callback) callback(Owner_, stream, images[0]);
    }
    // The previewed archive is not the loaded set's: the next page request opens its own
    // archive again instead of reading members of this one.
    CloseArchive();
}

// ---- Read-ahead ----

void TLoadFiles::PreloadWindow(int& Start, int& End) const {
    VTRACE("TLoadFiles::PreloadWindow");
    int count = FileNames_->GetPageCount();
    int size = FileBufferSize();  // at most the page count (or 6): no sum below overflows
    Start = CurrentFile_ - 2;
    if (count <= size + Start) Start = count - size;
    if (Start < 0) Start = 0;
    End = std::min(Start + std::max(size, 0), count);
}

bool TLoadFiles::Idle() {
    VTRACE("TLoadFiles::Idle");
    if (Busy_ || FileBufferSize() <= 5 || !PreloadDue_) return false;
    PreloadDue_ = false;
    bool unloaded = UnloadOldStreams();
    bool loaded = PreloadNextStreams();
    return unloaded || loaded;
}

bool TLoadFiles::PreloadNextStreams() {
    VTRACE("TLoadFiles::PreloadNextStreams");
    int start = 0, end = 0;
    PreloadWindow(start, end);
    bool did = false;
    BudgetHit_ = false;
    for (int i = start; i < end && !BudgetHit_; ++i) {
        if (FileNames_->GetPageData(i)) continue;
        if (!PreloadFailed_.empty() || !PasswordFailed_.empty()) {
            const std::string key = FileNames_->GetPageArchive(i) + '\n' + FileNames_->GetPageName(i);
            if (PreloadFailed_.count(key) || PasswordFailed_.count(key)) continue;
        }
        LoadPageAs(lsPreloading, i, nullptr);
        did = true;
    }
    State_ = lsIdle;
    return did;
}

bool TLoadFiles::UnloadOldStreams() {
    VTRACE("TLoadFiles::UnloadOldStreams");
    int count = FileNames_->GetPageCount();
    // Also when the memory budget is spent, so that the window around the reader can fill.
    if (!(FileBufferSize() < StreamsLoaded_ && StreamsLoaded_ < count) && PreloadBytes_ < PreloadBudget) return false;
    int start = 0, end = 0;
    PreloadWindow(start, end);
    bool did = false;
    for (int i = 0; i < count; ++i) {
        if (i >= start && i < end) continue;
        TStream* data = FileNames_->GetPageData(i);
        if (!data) continue;
        PreloadBytes_ -= data->Size();
        FileNames_->SetPageData(i, nullptr);
        --StreamsLoaded_;
        did = true;
    }
    return did;
}

// ---- Failures told per archive ----

void TLoadFiles::Gather(const std::string& ArchiveName, const std::string& FileName, bool Failed, bool Visit,
                        std::vector<HeldMessage>& Messages) {
    VTRACE("TLoadFiles::Gather");
    if (Messages.empty()) return;
    auto it = std::find_if(Reports_.begin(), Reports_.end(), [&](const FailureReport& r) { return r.archive == ArchiveName; });
    if (it == Reports_.end()) it = Reports_.insert(Reports_.end(), FailureReport{ArchiveName, {}, {}, false, {}});
    if (Failed) it->members.push_back(FileName);
    for (HeldMessage& m : Messages) it->messages.push_back(std::move(m));
    if (Visit && !it->visit) {
        it->visit = true;
        it->since = Now();
    }
}

int TLoadFiles::FailureDueInMs() const {
    VTRACE("TLoadFiles::FailureDueInMs");
    // While a box shows, the call that shows it tells what falls due once it is closed: a
    // timer for it would only find ReportFailures refusing, again and again.
    if (Reporting_) return -1;
    int due = -1;
    const auto now = Now();
    for (const FailureReport& r : Reports_) {
        if (!r.visit) continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(r.since + std::chrono::milliseconds(GatherWindowMs) - now);
        const int ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, GatherWindowMs));
        if (due < 0 || ms < due) due = ms;
    }
    return due;
}

bool TLoadFiles::ReportFailures(bool All) {
    VTRACE("TLoadFiles::ReportFailures");
    // Reached again while a box shows (its loop lets timers and steps through): the boxes
    // come one at a time, and the outer call goes on with whatever falls due meanwhile.
    if (Reporting_) return false;
    BusyScope reporting(Reporting_);
    bool shown = false;
    for (;;) {
        const auto now = Now();
        auto due = std::find_if(Reports_.begin(), Reports_.end(), [&](const FailureReport& r) {
            return All || (r.visit && now - r.since >= std::chrono::milliseconds(GatherWindowMs));
        });
        if (due == Reports_.end()) return shown;
        // Taken out before the box: messages let through while it shows may gather more.
        FailureReport report = std::move(*due);
        Reports_.erase(due);
        TMsgKind kind = report.messages.front().kind;
        for (const HeldMessage& m : report.messages)
            if (m.kind == TMsgKind::Error) kind = TMsgKind::Error;
        {
            // Told from within a step (a timer) the box must not join that step's held messages.
            UnheldMessages unheld;
            ShowMessageBox(report.archive, ReportText(report.members, report.messages), mbOK, kind);
        }
        shown = true;
    }
}

void TLoadFiles::TidyUp() {
    VTRACE("TLoadFiles::TidyUp");
    // What the set's pages met is still told before the set goes.
    ReportFailures(true);
    State_ = lsIdle;
    BaseDirectory_.clear();
    CurrentArchive_.clear();  // a set of loose files that follows an archive has none
    CurrentFile_ = 0;
    PreloadDue_ = false;
    FileNames_->Clear();
    OpenedFiles_.Clear();
    FilesToProcess_.Clear();
    ArchiveMembers_.Clear();
    FileStream_.Clear();
    StreamsLoaded_ = 0;
    PreloadBytes_ = 0;
    PreloadFailed_.clear();
    PasswordFailed_.clear();
    OnStreamReady = nullptr;
    CloseArchive();
    Checksums_->Clear();
}

}  // namespace vellicor
