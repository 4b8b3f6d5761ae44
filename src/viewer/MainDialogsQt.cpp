#include "viewer/MainDialogsQt.h"

#include "pages/ProcessFiles.h"
#include "viewer/AboutForm.h"
#include "viewer/GoToPageForm.h"
#include "viewer/OpenAllDialog.h"
#include "viewer/OrganiseDirectoriesForm.h"
#include "viewer/ThumbForm.h"

namespace vellicor {

TQtMainDialogs::TQtMainDialogs(QWidget* Owner, TProcessFilesForm& Queue)
    : ThumbForm(new TThumbForm(Owner)),
      GoToPageForm(new TGoToPageForm(Owner)),
      OpenAllDialog(new TOpenAllDialog(&Queue, Owner)),
      OrganiseForm(new TOrganiseDirectoriesForm(Owner)),
      AboutForm(new TAboutForm(ProgramVersion(), Owner)) {}

// The forms are children of the owner window and go with it.
TQtMainDialogs::~TQtMainDialogs() = default;

bool TQtMainDialogs::ShowThumbs(const TImageList* Thumbs, const TStringList& Hints, int Pages, int& Selected) {
    ThumbForm->ThumbImages = Thumbs;
    ThumbForm->ThumbHints = Hints;
    ThumbForm->Pages = Pages;
    ThumbForm->SelectedThumb = Selected;
    if (ThumbForm->exec() != QDialog::Accepted) return false;
    Selected = ThumbForm->SelectedThumb;
    return true;
}

bool TQtMainDialogs::ShowGoToPage(int Pages, int& Page) {
    GoToPageForm->Page = Page;
    GoToPageForm->FormActivate(Pages);
    if (GoToPageForm->exec() != QDialog::Accepted) return false;
    Page = GoToPageForm->Page;
    return true;
}

bool TQtMainDialogs::ShowOpenDialog(const std::string& Directory, int& FilterIndex, TStringList& Files) {
    std::vector<std::string> names;
    if (!OpenAllDialog->Execute(Directory, FilterIndex, names)) return false;
    Files.Clear();
    for (const auto& n : names) Files.Add(n);
    return true;
}

bool TQtMainDialogs::ShowOrganiser(std::string& FavouriteDirs, std::string& RecentDirs) {
    OrganiseForm->SetFavouriteDirs(FavouriteDirs);
    OrganiseForm->SetRecentDirs(RecentDirs);
    if (OrganiseForm->exec() != QDialog::Accepted) return false;
    FavouriteDirs = OrganiseForm->NewFavouriteDirs;
    RecentDirs = OrganiseForm->NewRecentDirs;
    return true;
}

void TQtMainDialogs::ShowAbout() {
    if (!AboutForm->isVisible()) AboutForm->exec();
}

}  // namespace vellicor
