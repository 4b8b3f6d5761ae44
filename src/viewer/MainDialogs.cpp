// The window's commands that run a dialog: thumbnails, go to page, open files, favourite
// directories and the about box.
#include "pages/ProcessFiles.h"
#include "platform/StringList.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/Main.h"

namespace vellicor {

void TMainDisplayForm::DoThumbs() {
    VTRACE("TMainDisplayForm::DoThumbs");
    if (Busy || PageCount() < 1) return;
    if (!Queue_.ThumbsComplete) {
        // Wait for the strip: the ready event comes back here.
        if (!ThumbsShowing) Ui().SetWaitCursor(true);
        ThumbsShowing = true;
        ProcessMessages();
        if (!Queue_.ThumbsComplete) {
            Queue_.GenerateThumbs();
            return;
        }
    }
    if (ThumbsShowing) Ui().SetWaitCursor(false);
    ThumbsShowing = false;
    int selected = Config_.LastPage;
    if (Dialogs && Dialogs->ShowThumbs(Queue_.ThumbList.get(), Queue_.ThumbNames, PageCount(), selected))
        DisplayPage(selected, false);
}

void TMainDisplayForm::ThumbsReady() {
    VTRACE("TMainDisplayForm::ThumbsReady");
    if (ThumbsShowing) TMainDisplayForm::DoThumbs();  // the same command, finished
}

void TMainDisplayForm::DoGoToPage() {
    VTRACE("TMainDisplayForm::DoGoToPage");
    if (Guarded() || PageCount() < 2) return;
    int page = Config_.LastPage;
    if (Dialogs && Dialogs->ShowGoToPage(PageCount(), page)) DisplayPage(page, false);
}

void TMainDisplayForm::GetFiles(const std::string& Path) {
    VTRACE("TMainDisplayForm::GetFiles");
    if (Guarded()) return;
    StopSlideshow();
    LastPath = Path.empty() ? Config_.LastDir : Path;
    if (Config_.StdFileOpenDlg) {
        GetAllFiles();
        return;
    }
    // The dialog runs between two jobs, once the queue has halted.
    Queue_.HaltWork();
}

void TMainDisplayForm::GetAllFiles() {
    VTRACE("TMainDisplayForm::GetAllFiles");
    int filter = Config_.LastFilterIndex;
    TStringList files;
    if (Dialogs && Dialogs->ShowOpenDialog(LastPath, filter, files)) {
        Config_.SetLastIndex(filter);
        if (files.Count() > 0) {
            View_.SetDisplayVisible(false);
            Queue_.LoadFiles(files, 0);
        }
    }
    Queue_.RestartWork();
}

void TMainDisplayForm::DoLoadWithFavourite(int Index) {
    VTRACE("TMainDisplayForm::DoLoadWithFavourite");
    TStringList favourites;
    favourites.SetCommaText(Config_.FavouriteDirectories);
    if (Index < 0 || Index >= favourites.Count() || favourites[Index].empty()) return;
    TMainDisplayForm::GetFiles(favourites[Index]);
}

void TMainDisplayForm::ManageFavouritesMenuItemClick() {
    VTRACE("TMainDisplayForm::ManageFavouritesMenuItemClick");
    std::string favourites = Config_.FavouriteDirectories, recent = Config_.RecentDirectories;
    if (Dialogs && Dialogs->ShowOrganiser(favourites, recent)) {
        Config_.SetFavouriteDirs(favourites);
        Config_.SetRecentDirs(recent);
    }
}

void TMainDisplayForm::AboutMenuItemClick() {
    VTRACE("TMainDisplayForm::AboutMenuItemClick");
    if (Dialogs) Dialogs->ShowAbout();
}

}  // namespace vellicor
