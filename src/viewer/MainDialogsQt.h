#pragma once
// The main window's dialogs on Qt.
#include <QWidget>

#include "viewer/Main.h"

namespace vellicor {

class TThumbForm;
class TGoToPageForm;
class TOpenAllDialog;
class TOrganiseDirectoriesForm;
class TAboutForm;

class TQtMainDialogs : public IMainDialogs {
public:
    TQtMainDialogs(QWidget* Owner, TProcessFilesForm& Queue);
    ~TQtMainDialogs() override;
    bool ShowThumbs(const TImageList* Thumbs, const TStringList& Hints, int Pages, int& Selected) override;
    bool ShowGoToPage(int Pages, int& Page) override;
    bool ShowOpenDialog(const std::string& Directory, int& FilterIndex, TStringList& Files) override;
    bool ShowOrganiser(std::string& FavouriteDirs, std::string& RecentDirs) override;
    void ShowAbout() override;

    TThumbForm* ThumbForm;
    TGoToPageForm* GoToPageForm;
    TOpenAllDialog* OpenAllDialog;
    TOrganiseDirectoriesForm* OrganiseForm;
    TAboutForm* AboutForm;
};

}  // namespace vellicor
