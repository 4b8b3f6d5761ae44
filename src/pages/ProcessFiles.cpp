#include "pages/ProcessFiles.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "archives/UnArchive.h"
#include "archives/UnArchiveSource.h"
#include "pages/NextFiles.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {

// Holds a flag set for the duration of a scope, also when the scope is left by an exception.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

}  // namespace

TProcessFilesForm::TProcessFilesForm(TConfigureForm& Config)
    : Config_(Config), LoadFile_(std::make_unique<TLoadFiles>(this)) {
    VTRACE("TProcessFilesForm::TProcessFilesForm");
    SetPageSettings(&Config_);
    LoadFile_->OnFilesReady = [this](void*) { FilesReady(); };
    LoadFile_->SetArchiveSource(std::make_unique<TUnArchiveSource>(this));
    LoadFile_->GatherFailures = true;
    ThumbList = std::make_unique<TImageList>(kThumbWidth, kThumbHeight, 25, 10);
}

TProcessFilesForm::~TProcessFilesForm() {
    VTRACE("TProcessFilesForm::~TProcessFilesForm");
    LoadingPage_.reset();
    ThumbPage_.reset();
    PreviewPage_.reset();
    Retired_.clear();
    // The cached pages were made for this queue's list (and call back into it).
    TBufferedPage::ClearList();
    LoadFile_.reset();
    SetPageSettings(nullptr);
}

// ---- The queue ----

void TProcessFilesForm::EnQ(int FileNumber, int Gen, int Priority, TRequestType Type) {
    VTRACE("TProcessFilesForm::EnQ");
    QueueEntry entry{FileNumber, Gen, Priority, Type};
    auto same = std::find_if(Queue_.begin(), Queue_.end(), [&](const QueueEntry& e) {
        return e.FileNumber == FileNumber && e.Gen == Gen && e.Type == Type;
    });
    if (same != Queue_.end()) {
        if (Priority >= same->Priority) return;  // already queued at the same or a better priority
        Queue_.erase(same);
    }
    // Behind every entry of the same or a smaller priority: first in, first out among equals.
    auto pos = std::find_if(Queue_.begin(), Queue_.end(), [&](const QueueEntry& e) { return e.Priority > Priority; });
    Queue_.insert(pos, entry);
}

bool TProcessFilesForm::DeQ(int& FileNumber, int& Gen, TRequestType& Type, int& Priority) {
    VTRACE("TProcessFilesForm::DeQ");
    if (Queue_.empty()) return false;
    const QueueEntry e = Queue_.front();
    Queue_.erase(Queue_.begin());
    FileNumber = e.FileNumber;
    Gen = e.Gen;
    Type = e.Type;
    Priority = e.Priority;
    return true;
}

void TProcessFilesForm::ClearQ() {
    VTRACE("TProcessFilesForm::ClearQ");
    std::erase_if(Queue_, [](const QueueEntry& e) { return e.Type != rtHalt; });
}

void TProcessFilesForm::RemoveQ(TRequestType Type) {
    VTRACE("TProcessFilesForm::RemoveQ");
    std::erase_if(Queue_, [Type](const QueueEntry& e) { return e.Type == Type; });
}

// ---- The dispatcher ----

bool TProcessFilesForm::Idle() {
    VTRACE("TProcessFilesForm::Idle");
    // Reached again through messages let through inside a job: start nothing.
    if (InIdle_) return false;
    if (StopRequested()) return false;  // the program is ending
    if (LoadFile_->Busy()) return false;
    if (PreviewPending_) {
        StartPreview();
        return true;
    }
    if (Running_) return false;
    FlagScope inIdle(InIdle_);
    // A visited page's failure is told once it has waited for those the background meets.
    if (LoadFile_->ReportFailures(false)) return true;
    QueueEntry e;
    int type = 0;
    TRequestType t = rtLoadPage;
    if (DeQ(e.FileNumber, e.Gen, t, e.Priority)) {
        e.Type = t;
        type = t;
        Running_ = true;
        try {
            Dispatch(e);
        } catch (const std::exception& ex) {
            trace::TraceException(ex);
            AbandonJob();
            ShowMessageBox(ex.what(), "TProcessFilesForm::Idle job " + IntToStr(type), mbOK, TMsgKind::Error);
        } catch (...) {
            AbandonJob();
            ShowMessageBox("Unknown error", "TProcessFilesForm::Idle job " + IntToStr(type), mbOK, TMsgKind::Error);
        }
        return true;
    }
    if (LoadFile_->Idle()) return true;
    // Nothing more to do: what the pages met is told, one message per archive.
    return LoadFile_->ReportFailures(true);
}

// A job that failed must not hold the queue, and its half-made page must not answer later
// requests from the cache (its own job would never deliver it).
void TProcessFilesForm::AbandonJob() {
    VTRACE("TProcessFilesForm::AbandonJob");
    if (LoadingPage_) {
        TBufferedPage::UnLink(LoadingPage_.get());
        LoadingPage_.reset();
    }
    Halted_ = false;
    Running_ = false;
}

void TProcessFilesForm::Dispatch(const QueueEntry& Entry) {
    VTRACE("TProcessFilesForm::Dispatch");
    VTRACE_INT("TProcessFilesForm::Dispatch Type", Entry.Type);
    switch (Entry.Type) {
        case rtLoadPage:
        case rtZoomDouble:
        case rtZoomWhole: {
            if (Entry.FileNumber < 0 || Entry.FileNumber >= GetFiles()) {
                Running_ = false;
                return;
            }
            TPageCacheType ct = Entry.Type == rtLoadPage ? ctDisplay : Entry.Type == rtZoomDouble ? ctZoomDouble : ctZoomWhole;
            // A page the cache reads ahead is no visit: it leaves a page lost to its password
            // alone, as the thumbnails do.
            const bool wanted = Entry.FileNumber == WantedFiles_[0] || Entry.FileNumber == WantedFiles_[1];
            const bool visit = Entry.Type != rtLoadPage || (Entry.Gen == WantedGen_ && wanted);
            std::optional<FlagScope> background;
            if (!visit) background.emplace(LoadFile_->Background);
            LoadBMP(Entry.FileNumber, Entry.Gen, GetRotation(Entry.FileNumber), ct);
            // The loader answers every request within the call; a page that has not been
            // delivered by now never will be.
            if (LoadingPage_) AbandonJob();
            return;
        }
        case rtThumb:
            Running_ = false;
            GetThumb(Entry.FileNumber);
            return;
        case rtStartThumbs:
            Running_ = false;
            GetThumbs();
            return;
        case rtInfoFile:
            Running_ = false;
            DisplayInfoFile();
            return;
        case rtLoadFiles:
            CompleteLoadFiles();
            Running_ = false;
            return;
        case rtHalt:
            if (OnWorkHalted) {
                Halted_ = true;
                OnWorkHalted(*this);
            } else {
                Running_ = false;
            }
            return;
        case rtCopyPage: {
            auto it = CopyDestinations_.find(Entry.Gen);
            if (it == CopyDestinations_.end()) {
                Running_ = false;
                return;
            }
            const std::string destination = it->second;
            CopyDestinations_.erase(it);
            LoadFile_->CopyPage(Entry.FileNumber, destination);
            Running_ = false;
            if (!LoadFile_->CopyWritten()) ShowMessageBox("The page could not be copied", destination, mbOK, TMsgKind::Error);
            return;
        }
    }
    Running_ = false;  // no other code is ever queued
}

void TProcessFilesForm::HaltWork() {
    VTRACE("TProcessFilesForm::HaltWork");
    RemoveQ(rtHalt);
    EnQ(0, 0, 0, rtHalt);
}

void TProcessFilesForm::RestartWork() {
    VTRACE("TProcessFilesForm::RestartWork");
    if (!Halted_) return;
    Halted_ = false;
    Running_ = false;
}

// ---- Loading a list ----

void TProcessFilesForm::LoadFiles(const TStringList& Files, int Page) {
    VTRACE("TProcessFilesForm::LoadFiles");
    if (Files.Count() == 0) return;
    PendingFiles_.Clear();
    for (const auto& f : Files) PendingFiles_.Add(f);
    Config_.SetLastPage(Page);
    EnQ(0, 0, 0, rtLoadFiles);
}

void TProcessFilesForm::ReloadLastFiles() {
    VTRACE("TProcessFilesForm::ReloadLastFiles");
    if (Config_.LastFiles.Count() < 1) return;
    TStringList files;
    for (const auto& f : Config_.LastFiles) files.Add(f);
    LoadFiles(files, Config_.LastPage);
}

bool TProcessFilesForm::GetNextFiles() {
    VTRACE("TProcessFilesForm::GetNextFiles");
    if (LoadFile_->BaseDirectory().empty()) return false;
    TNextFiles next;
    if (!next.GetNextFiles(LoadFile_->BaseDirectory(), LoadFile_->CurrentArchive())) return false;
    LoadFiles(next.Result(), 0);
    return true;
}

bool TProcessFilesForm::GetPreviousFiles() {
    VTRACE("TProcessFilesForm::GetPreviousFiles");
    if (LoadFile_->BaseDirectory().empty()) return false;
    TNextFiles previous;
    if (!previous.GetPreviousFiles(LoadFile_->BaseDirectory(), LoadFile_->CurrentArchive())) return false;
    LoadFiles(previous.Result(), 0);
    return true;
}

int TProcessFilesForm::GetFiles() const {
    VTRACE("TProcessFilesForm::GetFiles");
    if (!LoadFile_ || !LoadFile_->FileNames()) return 0;
    return LoadFile_->FileNames()->GetPageCount();
}

void TProcessFilesForm::TidyUp() {
    VTRACE("TProcessFilesForm::TidyUp");
    TBufferedPage::ClearList();
    ThumbsComplete = false;
    ClearQ();
    CopyDestinations_.clear();
    ThumbNames.Clear();
    if (ThumbList) ThumbList->Clear();
    Rotations_.reset();
    ThumbsStarted = false;
    LoadFile_->TidyUp();
    HideInfo();
    if (OnFilesCleared) OnFilesCleared(*this);
}

void TProcessFilesForm::CompleteLoadFiles() {
    VTRACE("TProcessFilesForm::CompleteLoadFiles");
    TidyUp();
    TStringList files;
    for (const auto& f : PendingFiles_) files.Add(f);
    LoadFile_->LoadFiles(files, Config_.LastPage);
}

void TProcessFilesForm::FilesReady() {
    VTRACE("TProcessFilesForm::FilesReady");
    ThumbNames.Clear();
    const std::string base = LoadFile_->BaseDirectory();
    Config_.SetLastDir(base);
    Config_.SetLastPages(LoadFile_->OpenedFiles());
    NewRecentDirectory(base);
    FilesLoaded = true;
    FilesReadyForDisplay();
}

void TProcessFilesForm::FilesReadyForDisplay() {
    VTRACE("TProcessFilesForm::FilesReadyForDisplay");
    const int count = GetFiles();
    if (count <= Config_.LastPage) Config_.SetLastPage(count - 1);
    if (Config_.LastPage < 0) Config_.SetLastPage(0);
    Rotations_.emplace(static_cast<size_t>(count), rtNone);
    if (count > 0) {
        DisplayInfoFiles();
        if (OnFilesReady) OnFilesReady(*this);
    }
    if (Config_.GenerateThumbsInBackground && count > 0) {
        EnQ(0, 0, 0, rtStartThumbs);
        ThumbsStarted = true;
    }
}

// ---- Page requests ----

int TProcessFilesForm::Clamp(int FileNumber) const {
    VTRACE("TProcessFilesForm::Clamp");
    const int count = GetFiles();
    if (FileNumber < -1) FileNumber = -1;
    if (FileNumber >= count) FileNumber = count - 1;
    return FileNumber;
}

void TProcessFilesForm::Get(int File1, int File2, int Gen) {
    VTRACE("TProcessFilesForm::Get");
    File1 = Clamp(File1);
    File2 = Clamp(File2);
    WantedFiles_[0] = File1;
    WantedFiles_[1] = File2;
    WantedGen_ = Gen;
    TBufferedPage::UnlockBitmaps(ctDisplay);
    SearchAndDoQ(File1, ctDisplay, Gen, true, 2, rtLoadPage);
    SearchAndDoQ(File2, ctDisplay, Gen, true, 2, rtLoadPage);
    PreLoad(File1, File2, Gen);
}

void TProcessFilesForm::GetZooms(bool DoubleSize, int File1, int File2, int Gen) {
    VTRACE("TProcessFilesForm::GetZooms");
    RemoveQ(rtZoomDouble);
    RemoveQ(rtZoomWhole);
    File1 = Clamp(File1);
    File2 = Clamp(File2);
    TBufferedPage::UnlockBitmaps(ctZoomDouble | ctZoomWhole);
    if (DoubleSize) {
        SearchAndDoQ(File1, ctZoomDouble, Gen, true, 2, rtZoomDouble);
        SearchAndDoQ(File2, ctZoomDouble, Gen, true, 2, rtZoomDouble);
    } else {
        SearchAndDoQ(File1, ctZoomWhole, Gen, true, 2, rtZoomWhole);
        SearchAndDoQ(File2, ctZoomWhole, Gen, true, 2, rtZoomWhole);
    }
}

void TProcessFilesForm::SearchAndDoQ(int FileNumber, TPageCacheType CacheType, int Gen, bool ShowIfReady,
                                     int Priority, TRequestType QueueType) {
    VTRACE("TProcessFilesForm::SearchAndDoQ");
    if (FileNumber < 0 || FileNumber >= GetFiles()) return;
    if (TBufferedPagePtr page = TBufferedPage::Available(FileNumber, CacheType, Gen)) {
        // A page not yet processed is delivered by its own job.
        if (page->Processed && ShowIfReady) PageReady(page);
        return;
    }
    EnQ(FileNumber, Gen, Priority, QueueType);
}

void TProcessFilesForm::PreLoad(int File1, int File2, int Gen) {
    VTRACE("TProcessFilesForm::PreLoad");
    const int first = File1;
    const int last = File2 > 0 ? File2 : File1;
    const int size = Config_.PageBufferSize;
    const bool two = Config_.TwoPages;
    if (size > 0) SearchAndDoQ(last + 1, ctDisplay, Gen, false, 2, rtLoadPage);
    if ((two && size > 1) || (!two && size > 2)) SearchAndDoQ(last + 2, ctDisplay, Gen, false, 2, rtLoadPage);
    if (size > 3) SearchAndDoQ(first - 1, ctDisplay, Gen, false, 2, rtLoadPage);
    if (size > 4) SearchAndDoQ(last + 3, ctDisplay, Gen, false, 2, rtLoadPage);
}

void TProcessFilesForm::LoadBMP(int FileNumber, int Gen, TRotation Rotation, TPageCacheType CacheType) {
    VTRACE("TProcessFilesForm::LoadBMP");
    const std::string name = LoadFile_->FileNames()->GetPageName(FileNumber);
    TBufferedPagePtr page = TBufferedPage::Create(FileNumber, Rotation, Gen, CacheType, name);
    page->OnProcessed = [this](TProcessBMP* Sender) { ContinueLoadBMP(Sender); };
    LoadingPage_ = page;
    page->LoadFromList(*LoadFile_, FileNumber);
}

void TProcessFilesForm::ContinueLoadBMP(TProcessBMP* Page) {
    VTRACE("TProcessFilesForm::ContinueLoadBMP");
    // Only the page whose job holds the queue may let it go on.
    if (!LoadingPage_ || LoadingPage_.get() != Page) return;
    TBufferedPagePtr page = std::move(LoadingPage_);
    LoadingPage_.reset();
    PageReady(page);
    Running_ = false;
}

void TProcessFilesForm::PageReady(const TBufferedPagePtr& Page) {
    VTRACE("TProcessFilesForm::PageReady");
    // The program is ending: a page dropped on the way has no pixels and is shown nowhere.
    if (!OnPageReady || StopRequested()) return;
    bool lock = false;
    OnPageReady(*this, Page, lock);
    if (lock) TBufferedPage::LockBitmap(*Page);
}

bool TProcessFilesForm::SetRotation(TRotation Rotation, int FileNumber) {
    VTRACE("TProcessFilesForm::SetRotation");
    if (!Rotations_) return false;
    auto& r = *Rotations_;
    if (FileNumber == -1) {
        bool changed = false;
        for (auto& v : r) {
            if (v != Rotation) changed = true;
            v = Rotation;
        }
        return changed;
    }
    if (FileNumber >= 0 && FileNumber < static_cast<int>(r.size())) {
        bool changed = r[static_cast<size_t>(FileNumber)] != Rotation;
        r[static_cast<size_t>(FileNumber)] = Rotation;
        return changed;
    }
    return false;
}

TRotation TProcessFilesForm::GetRotation(int FileNumber) const {
    VTRACE("TProcessFilesForm::GetRotation");
    if (!Rotations_ || FileNumber < 0 || FileNumber >= static_cast<int>(Rotations_->size())) return rtNone;
    return (*Rotations_)[static_cast<size_t>(FileNumber)];
}

// ---- Small jobs ----

void TProcessFilesForm::GenerateThumbs() {
    VTRACE("TProcessFilesForm::GenerateThumbs");
    if (ThumbsStarted || GetFiles() == 0) return;
    EnQ(0, 0, 0, rtStartThumbs);
    ThumbsStarted = true;
}

void TProcessFilesForm::CopyPageToFile(int FileNumber, const std::string& FileName) {
    VTRACE("TProcessFilesForm::CopyPageToFile");
    // The serial travels as the entry's generation, so copies of one page to two files are
    // two requests and each finds its own destination.
    const int serial = ++CopySerial_;
    CopyDestinations_[serial] = FileName;
    EnQ(FileNumber, serial, 0, rtCopyPage);
}

void TProcessFilesForm::NewRecentDirectory(const std::string& Directory) {
    VTRACE("TProcessFilesForm::NewRecentDirectory");
    TStringList favourites;
    favourites.SetCommaText(Config_.FavouriteDirectories);
    // Favourites come from the directory dialog without the trailing separator the loader's
    // directory has: both are compared without it.
    for (const auto& f : favourites)
        if (!f.empty() && AnsiCompareText(ExcludeTrailingPathDelimiter(f), ExcludeTrailingPathDelimiter(Directory)) == 0)
            return;

    auto normalise = [this](std::string d) {
        if (Config_.StripLastDirInHistoryList) {
            d = ExcludeTrailingPathDelimiter(d);
            d = ExtractFilePath(d);
        }
        return ExcludeTrailingPathDelimiter(d);
    };
    const std::string key = normalise(Directory);
    TStringList recent;
    recent.SetCommaText(Config_.RecentDirectories);
    for (int i = 0; i < recent.Count(); ++i) {
        if (AnsiCompareText(normalise(recent[i]), key) == 0) {
            recent.Delete(i);
            break;
        }
    }
    recent.Add(Directory);
    if (recent.Count() > 12) recent.Delete(0);
    Config_.SetRecentDirs(recent.CommaText());
}

// ---- Thumbnails ----

void TProcessFilesForm::GetThumbs() {
    VTRACE("TProcessFilesForm::GetThumbs");
    ThumbNames.Clear();
    if (!ThumbList) {
        EndThumbs();  // nothing can be made; whoever waits is told at once
        return;
    }
    ThumbList->Clear();
    EnQ(0, 0, 3, rtThumb);
}

void TProcessFilesForm::GetThumb(int FileNumber) {
    VTRACE("TProcessFilesForm::GetThumb");
    const int count = GetFiles();
    if (count == 0 || !ThumbList) return;
    FileNumber = std::clamp(FileNumber, 0, count - 1);
    RetirePage(ThumbPage_);
    ThumbPage_ = std::make_unique<TPageBMP>(ExtractFileName(LoadFile_->FileNames()->GetPageName(FileNumber)));
    // Decoded no larger than needed: JPEG pages come at a reduced scale.
    ThumbPage_->JpegScaleLimit = 2 * std::max(ThumbList->Width(), ThumbList->Height());
    ThumbFileNumber_ = FileNumber;
    ThumbPage_->OnThumbDone = [this](TPageBMP* Sender) { ContinueGetThumb(Sender); };
    ++LoadDepth_;
    {
        FlagScope background(LoadFile_->Background);
        ThumbPage_->LoadThumb(*LoadFile_, FileNumber);
    }
    if (--LoadDepth_ == 0) Retired_.clear();
}

void TProcessFilesForm::ContinueGetThumb(TPageBMP* Page) {
    VTRACE("TProcessFilesForm::ContinueGetThumb");
    if (!ThumbPage_ || ThumbPage_.get() != Page || !ThumbList) return;
    const int n = ThumbFileNumber_;
    // Thumbnail N is page N: a request that is not for the next place is stale.
    if (n != ThumbList->Count()) {
        RetirePage(ThumbPage_);
        return;
    }
    // A page that decoded to nothing keeps its place with a blank thumbnail.
    TBitmap thumb = DrawThumb(*Page, ThumbList->Width(), ThumbList->Height());
    const std::string name = Page->FileName;
    RetirePage(ThumbPage_);
    const bool added = !thumb.Empty() && ThumbList->Add(std::move(thumb)) >= 0;
    if (added) ThumbNames.Add(name);
    if (added && ThumbList->Count() < GetFiles()) EnQ(n + 1, 0, 3, rtThumb);
    else EndThumbs();
}

void TProcessFilesForm::EndThumbs() {
    VTRACE("TProcessFilesForm::EndThumbs");
    ThumbsComplete = true;
    if (OnThumbsReady) OnThumbsReady(*this);
}

void TProcessFilesForm::RetirePage(std::unique_ptr<TPageBMP>& Page) {
    if (Page) Retired_.push_back(std::move(Page));
    if (LoadDepth_ == 0) Retired_.clear();
}

// ---- Info files ----

void TProcessFilesForm::DisplayInfoFiles() {
    VTRACE("TProcessFilesForm::DisplayInfoFiles");
    if (!Config_.DisplayInfoFiles) return;
    CurrentInfoFile = 0;
    if (LoadFile_->FileNames() && LoadFile_->FileNames()->GetInfoCount() > 0) InitiateDisplayInfoFile();
}

void TProcessFilesForm::InitiateDisplayInfoFile() {
    VTRACE("TProcessFilesForm::InitiateDisplayInfoFile");
    EnQ(CurrentInfoFile, 0, 0, rtInfoFile);
}

void TProcessFilesForm::DisplayInfoFile() {
    VTRACE("TProcessFilesForm::DisplayInfoFile");
    HideInfo();
    if (!LoadFile_->FileNames() || CurrentInfoFile >= LoadFile_->FileNames()->GetInfoCount()) return;
    LoadFile_->OnInfoReady = [this](void*, TStream* Stream, const std::string& Name) { ContinueInfoDisplay(Stream, Name); };
    LoadFile_->LoadInfo(CurrentInfoFile);
}

void TProcessFilesForm::ContinueInfoDisplay(TStream* Stream, const std::string& FileName) {
    VTRACE("TProcessFilesForm::ContinueInfoDisplay");
    VTRACE_STR("TProcessFilesForm::ContinueInfoDisplay FileName", FileName);
    const int count = LoadFile_->FileNames() ? LoadFile_->FileNames()->GetInfoCount() : 0;
    if (CurrentInfoFile >= count) return;
    if (!Stream) {
        // Unreadable: go on with the next one rather than leave the rest unshown.
        ++CurrentInfoFile;
        if (CurrentInfoFile < count) InitiateDisplayInfoFile();
        return;
    }
    constexpr int64_t kMaxInfoText = 4 << 20;  // far above any real info file
    std::string text;
    Stream->Seek(0, SeekOrigin::Begin);
    text.resize(static_cast<size_t>(std::clamp<int64_t>(Stream->Size(), 0, kMaxInfoText)));
    text.resize(static_cast<size_t>(std::max<int64_t>(0, Stream->Read(text.data(), static_cast<int64_t>(text.size())))));
    Stream->Seek(0, SeekOrigin::Begin);
    const std::string caption = ExtractFileName(LoadFile_->FileNames()->GetInfoName(CurrentInfoFile));
    ++CurrentInfoFile;
    ShowInfo(caption, text);
}

void TProcessFilesForm::HideInfo() { VTRACE("TProcessFilesForm::HideInfo"); }
void TProcessFilesForm::ShowInfo(const std::string& Caption, const std::string& Text) {
    VTRACE("TProcessFilesForm::ShowInfo");
    (void)Caption;
    (void)Text;
}

// ---- Archive preview ----

void TProcessFilesForm::GetPreviewFromArchive(const std::string& ArchiveName, int Width, int Height) {
    VTRACE("TProcessFilesForm::GetPreviewFromArchive");
    if (ArchiveName.empty() || !IsArchiveFile(ArchiveName)) return;
    PreviewWidth_ = Width;
    PreviewHeight_ = Height;
    PreviewArchive_ = ArchiveName;
    ++PreviewSerial_;  // an older preview still on its way is dropped when it arrives
    if (LoadFile_->Busy()) {
        PreviewPending_ = true;  // started by the next idle step
        return;
    }
    StartPreview();
}

void TProcessFilesForm::StartPreview() {
    VTRACE("TProcessFilesForm::StartPreview");
    PreviewPending_ = false;
    RetirePage(PreviewPage_);
    PreviewPage_ = std::make_unique<TPageBMP>(PreviewArchive_);
    PreviewPage_->JpegScaleLimit = 2 * std::max({PreviewWidth_, PreviewHeight_, 1});
    const int serial = PreviewSerial_;
    PreviewPage_->OnPreviewDone = [this, serial](TPageBMP* Sender) {
        if (serial == PreviewSerial_ && PreviewPage_.get() == Sender) PreviewGetFileFromArchive(Sender);
    };
    ++LoadDepth_;
    PreviewPage_->LoadPreview(*LoadFile_, PreviewArchive_);
    if (--LoadDepth_ == 0) Retired_.clear();
}

void TProcessFilesForm::PreviewGetFileFromArchive(TPageBMP* Page) {
    VTRACE("TProcessFilesForm::PreviewGetFileFromArchive");
    if (Page->Empty() || PreviewWidth_ <= 0 || PreviewHeight_ <= 0) {
        RetirePage(PreviewPage_);
        return;
    }
    auto bitmap = std::make_unique<TBitmap>(DrawThumb(*Page, PreviewWidth_, PreviewHeight_));
    RetirePage(PreviewPage_);
    if (bitmap->Empty()) return;
    if (OnPreviewReady) OnPreviewReady(*this, std::move(bitmap));
}

}  // namespace vellicor
