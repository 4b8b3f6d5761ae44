// The main window's file-set commands (open, drop, favourites, next and previous set,
// resume, bookmarks), the menus' enabling and submenus, the slideshow and page export.
#include <algorithm>

#include "pages/ProcessFiles.h"
#include "platform/Text.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/Help.h"
#include "viewer/Main.h"

namespace vellicor {

std::string SafeSaveName(const std::string& PageName) {
    // Archive members may carry folders, or be named ".." by a hostile archive: only a plain
    // name is offered, and never outside the folder the dialog shows.
    std::string name = ExtractFileName(PageName);
    if (name.empty() || name == "." || name == "..") return "page";
    return name;
}

bool TMainDisplayForm::FilesLoaded() const { return Queue_.FilesLoaded; }

// ---- Opening files ----

void TMainDisplayForm::PathMenuItemClick(const TPathMenuItem& Item) {
    VTRACE("TMainDisplayForm::PathMenuItemClick");
    GetFiles(Item.Directory);
}

void TMainDisplayForm::GetNextFiles() {
    VTRACE("TMainDisplayForm::GetNextFiles");
    if (Guarded()) return;
    StopSlideshow();
    View_.SetDisplayVisible(false);
    // Nothing found: the page that was shown stays.
    if (!Queue_.GetNextFiles()) View_.SetDisplayVisible(true);
}

void TMainDisplayForm::GetPreviousFiles() {
    VTRACE("TMainDisplayForm::GetPreviousFiles");
    if (Guarded()) return;
    StopSlideshow();
    View_.SetDisplayVisible(false);
    if (!Queue_.GetPreviousFiles()) View_.SetDisplayVisible(true);
}

void TMainDisplayForm::ResumeReading() {
    VTRACE("TMainDisplayForm::ResumeReading");
    if (Guarded()) return;
    Queue_.ReloadLastFiles();
}

// ---- Bookmarks ----

void TMainDisplayForm::StoreBookmark() {
    VTRACE("TMainDisplayForm::StoreBookmark");
    if (Queue_.FilesLoaded) Config_.SetBookmark(-1);
}

void TMainDisplayForm::BookmarkMenuItemClick(int Tag) {
    VTRACE("TMainDisplayForm::BookmarkMenuItemClick");
    // Retrieving makes the bookmark the current set: only when it is opened at once, or
    // the pages read next would be recorded against the wrong set.
    if (Guarded()) return;
    Config_.RetrieveBookmark(Tag);
    ResumeReading();
}

void TMainDisplayForm::SetBookmarkMenuItemClick(int Tag) {
    VTRACE("TMainDisplayForm::SetBookmarkMenuItemClick");
    if (Queue_.FilesLoaded) Config_.SetBookmark(Tag);
}

// ---- Menus ----

TMenuState TMainDisplayForm::ClickPopupMenuPopup() const {
    VTRACE("TMainDisplayForm::ClickPopupMenuPopup");
    TMenuState m;
    const int count = PageCount();
    const bool loaded = Queue_.FilesLoaded;
    m.Resume = !loaded;
    m.NextFiles = loaded;
    m.WindowedChecked = View_.IsWindowed() && !View_.IsMaximised();
    m.NextPage = count > 0 && Config_.LastPage < count - 1;
    m.PreviousPage = count > 0 && Config_.LastPage > 0;
    m.HavePages = count > 0;
    m.SlideshowChecked = SlideshowRunning();
    m.SetBookmark = loaded;
    return m;
}

TPathMenus TMainDisplayForm::SetUpPathMenuPopup() const {
    VTRACE("TMainDisplayForm::SetUpPathMenuPopup");
    TPathMenus menus;
    TStringList favourites, recent, bookmarks;
    favourites.SetCommaText(Config_.FavouriteDirectories);
    recent.SetCommaText(Config_.RecentDirectories);
    Config_.ListBookmarks(bookmarks);
    int tag = 0;
    for (const auto& f : favourites)
        if (!f.empty()) menus.Favourites.push_back({f, tag++, f});
    for (int i = 0; i < recent.Count(); ++i) menus.Recent.push_back({recent[i], i, recent[i]});
    for (int i = 0; i < bookmarks.Count(); ++i) {
        if (!bookmarks[i].empty()) menus.Bookmarks.push_back({bookmarks[i], i, ""});
        menus.SetBookmark.push_back({bookmarks[i].empty() ? "<--->" : bookmarks[i], i, ""});
    }
    return menus;
}

// ---- Keys ----

void TMainDisplayForm::ShowHelp() {
    VTRACE("TMainDisplayForm::ShowHelp");
    ShowHelp(View_.DisplayVisible() ? kHelpReading : kHelpNoPage);
}

void TMainDisplayForm::ShowHelp(int Context) { ShowHelpContext(Context); }

void TMainDisplayForm::PopUpClickMenu() {
    VTRACE("TMainDisplayForm::PopUpClickMenu");
    View_.PopupMenuAtCursor();
}

// ---- Slideshow ----

void TMainDisplayForm::DoSlideShow() {
    VTRACE("TMainDisplayForm::DoSlideShow");
    if (Guarded() || PageCount() < 1) return;
    if (SlideshowRunning()) View_.StopTimer(TMainTimer::Slideshow);
    else View_.StartTimer(TMainTimer::Slideshow, SlideshowInterval_);
}

void TMainDisplayForm::DoSlideShowSpeed(bool Faster) {
    VTRACE("TMainDisplayForm::DoSlideShowSpeed");
    if (!SlideshowRunning()) return;
    if (Faster && SlideshowInterval_ > 100) SlideshowInterval_ -= 100;
    else if (!Faster && SlideshowInterval_ < 10000) SlideshowInterval_ += 100;
    else return;
    View_.StartTimer(TMainTimer::Slideshow, SlideshowInterval_);
}

// ---- Page export ----

void TMainDisplayForm::DoSaveToClipboard() {
    VTRACE("TMainDisplayForm::DoSaveToClipboard");
    if (Guarded()) return;
    const TPageSlot& s = Image_[0];
    if (s.Displayed && s.Bitmap) View_.CopyToClipboard(*s.Bitmap);
}

void TMainDisplayForm::DoSaveToFile() {
    VTRACE("TMainDisplayForm::DoSaveToFile");
    if (Guarded()) return;
    const TPageSlot& s = Image_[0];
    if (!(s.Displayed && s.Bitmap)) return;
    const int page = s.Page;
    std::string name = SafeSaveName(s.Bitmap->FileName);
    if (!View_.AskSaveFileName(name) || name.empty()) return;
    // The page's type decides the extension: a file of that other name was not the one the
    // dialog asked about.
    const std::string target = TLoadFiles::CopyTarget(s.Bitmap->FileName, name);
    if (target != ExpandFileName(name) && FileExists(target) &&
        ShowMessageBox("Replace the existing file?", target, mbYesNo, TMsgKind::Warning) != mrYes)
        return;
    Queue_.CopyPageToFile(page, name);
}

}  // namespace vellicor
