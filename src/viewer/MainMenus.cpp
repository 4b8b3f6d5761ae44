// The main window's menus: the pop-up menu and the main menu of windowed mode, their
// enabling, the favourites, recent-directory and bookmark submenus, page export and the
// open dialogs.
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCursor>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QMenuBar>

#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/Help.h"
#include "viewer/HelpWindow.h"
#include "viewer/MainWindow.h"

namespace vellicor {

namespace {

const char* kHistory = "Favourites, Bookmarks and History";
// Always enabled: the readout refuses by itself while a page is being prepared.
const char* kColourTest = "Colour Test (Ctrl-Shift-C)";

}  // namespace

QAction* MainWindow::MenuAction(const QString& Caption) const {
    auto it = actions_.find(Caption);
    return it == actions_.end() || it->second.empty() ? nullptr : it->second.front();
}

void MainWindow::BuildMenus() {
    VTRACE("MainWindow::BuildMenus");
    TMainDisplayForm& f = *form_;
    // Items of the same caption in both menus share their handler.
    auto add = [this](QMenu* menu, const QString& caption, std::function<void()> handler) {
        QAction* a = menu->addAction(caption);
        connect(a, &QAction::triggered, this, [handler] { handler(); });
        actions_[caption].push_back(a);
        return a;
    };
    auto rotate = [&](QMenu* menu, bool all) {
        QMenu* r = menu->addMenu(all ? "Rotate All Pages" : "Rotate This Page");
        const std::pair<const char*, TRotation> items[] = {
            {"Normal", rtNone}, {"Left", rtLeft}, {"Right", rtRight}, {"Upside Down", rtUpsideDown}};
        for (const auto& [caption, rotation] : items) {
            TRotation rot = rotation;
            QAction* a = r->addAction(caption);
            if (all) connect(a, &QAction::triggered, this, [this, rot] { form_->DoRotateWholeSet(rot); });
            else connect(a, &QAction::triggered, this, [this, rot] { form_->DoRotateThisPage(rot); });
        }
    };

    // The pop-up menu.
    popupMenu_ = new QMenu(this);
    QMenu* p = popupMenu_;
    add(p, "Open Files (L)", [&f] { f.GetFiles(""); });
    add(p, "Load Next Files (Shift-L)", [&f] { f.GetNextFiles(); });
    add(p, "Load Previous Files (Shift-K)", [&f] { f.GetPreviousFiles(); });
    add(p, "Resume Reading (R)", [&f] { f.ResumeReading(); });
    historyMenu_ = p->addMenu(kHistory);
    add(historyMenu_, "Manage Favourite Directories", [&f] { f.ManageFavouritesMenuItemClick(); });
    p->addSeparator();
    add(p, "Next Page (Page Down)", [&f] { f.DisplayNextPage(false); });
    add(p, "Previous Page (Page Up)", [&f] { f.DisplayPreviousPage(false); });
    add(p, "First Page (Home)", [&f] { f.DisplayPage(0, false); });
    add(p, "Last Page (End)", [&f] { f.DisplayPage(f.PageCount() - 1, false); });
    add(p, "Go To Page with Thumbnails (P)", [&f] { f.DoThumbs(); });
    add(p, "Go To Page (Shift-P)", [&f] { f.DoGoToPage(); });
    p->addSeparator();
    QMenu* rot = p->addMenu("Rotate");
    actions_["Rotate"].push_back(rot->menuAction());
    rotate(rot, false);
    rotate(rot, true);
    QMenu* save = p->addMenu("Save Page");
    actions_["Save Page"].push_back(save->menuAction());
    add(save, "Save To Clipboard", [&f] { f.DoSaveToClipboard(); });
    add(save, "Save To File", [&f] { f.DoSaveToFile(); });
    add(p, "Automatic Slideshow (A)", [&f] { f.DoSlideShow(); })->setCheckable(true);
    add(p, "Windowed Mode (W)", [&f] { f.DoWindowMode(); })->setCheckable(true);
    add(p, "Configure (C)", [&f] { f.DoConfigure(); });
    add(p, kColourTest, [&f] { f.DoColourDebugOn(); });
    p->addSeparator();
    add(p, "Help (F1)", [] { ShowHelpContext(kHelpContents); });
    add(p, "About", [&f] { f.AboutMenuItemClick(); });
    add(p, "Minimize (M)", [this] { Minimise(); });
    add(p, "Exit (Esc)", [&f] { f.DoTerminate(); });

    // The main menu (windowed mode).
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu("&File");
    add(file, "&Open Files (L)", [&f] { f.GetFiles(""); });
    add(file, "Load &Next Files (Shift+L)", [&f] { f.GetNextFiles(); });
    add(file, "Load Previous Files", [&f] { f.GetPreviousFiles(); });
    add(file, "&Resume Reading (R)", [&f] { f.ResumeReading(); });
    file->addSeparator();
    add(file, "Save To Clipboard", [&f] { f.DoSaveToClipboard(); });
    add(file, "Save To File", [&f] { f.DoSaveToFile(); });
    file->addSeparator();
    add(file, "Automatic Slideshow (A)", [&f] { f.DoSlideShow(); })->setCheckable(true);
    add(file, "&Windowed Mode (W)", [&f] { f.DoWindowMode(); })->setCheckable(true);
    add(file, "&Minimize (M)", [this] { Minimise(); });
    add(file, "E&xit (Esc)", [&f] { f.DoTerminate(); });
    QMenu* read = bar->addMenu("&Read");
    add(read, "Next Page (Page Down)", [&f] { f.DisplayNextPage(false); });
    add(read, "Previous Page (Page Up)", [&f] { f.DisplayPreviousPage(false); });
    add(read, "First Page (Home)", [&f] { f.DisplayPage(0, false); });
    add(read, "Last Page (End)", [&f] { f.DisplayPage(f.PageCount() - 1, false); });
    add(read, "Go To Page with Thumbnails (P)", [&f] { f.DoThumbs(); });
    add(read, "Go To Page (Shift-P)", [&f] { f.DoGoToPage(); });
    QMenu* options = bar->addMenu("&Options");
    add(options, "Configure (C)", [&f] { f.DoConfigure(); });
    add(options, "Manage Favourite Directories", [&f] { f.ManageFavouritesMenuItemClick(); });
    add(options, kColourTest, [&f] { f.DoColourDebugOn(); });
    QMenu* rot2 = options->addMenu("Rotate");
    actions_["Rotate"].push_back(rot2->menuAction());
    rotate(rot2, false);
    rotate(rot2, true);
    QMenu* help = bar->addMenu("&Help");
    add(help, "Help (F1)", [] { ShowHelpContext(kHelpContents); });
    add(help, "About", [&f] { f.AboutMenuItemClick(); });
    // The top items rebuild their enabling when opened.
    for (QMenu* m : {file, read, options})
        connect(m, &QMenu::aboutToShow, this, [this] { ApplyMenuState(false); });
    connect(popupMenu_, &QMenu::aboutToShow, this, [this] { PreparePopupMenu(); });
}

void MainWindow::ApplyMenuState(bool Popup) {
    (void)Popup;
    const TMenuState m = form_->ClickPopupMenuPopup();
    auto enable = [this](const QString& caption, bool on) {
        for (QAction* a : actions_[caption]) a->setEnabled(on);
    };
    auto check = [this](const QString& caption, bool on) {
        for (QAction* a : actions_[caption]) a->setChecked(on);
    };
    enable("Resume Reading (R)", m.Resume);
    enable("&Resume Reading (R)", m.Resume);
    for (const char* c : {"Load Next Files (Shift-L)", "Load Previous Files (Shift-K)", "Load &Next Files (Shift+L)",
                          "Load Previous Files"})
        enable(c, m.NextFiles);
    check("Windowed Mode (W)", m.WindowedChecked);
    check("&Windowed Mode (W)", m.WindowedChecked);
    enable("Next Page (Page Down)", m.NextPage);
    enable("Previous Page (Page Up)", m.PreviousPage);
    for (const char* c : {"First Page (Home)", "Last Page (End)", "Go To Page with Thumbnails (P)",
                          "Go To Page (Shift-P)", "Rotate", "Save Page", "Save To Clipboard", "Save To File",
                          "Automatic Slideshow (A)"})
        enable(c, m.HavePages);
    check("Automatic Slideshow (A)", m.SlideshowChecked);
}

void MainWindow::RemovePathMenuPopup() {
    for (QMenu* m : pathMenus_) {
        historyMenu_->removeAction(m->menuAction());
        m->deleteLater();
    }
    pathMenus_.clear();
}

void MainWindow::PreparePopupMenu() {
    VTRACE("MainWindow::PreparePopupMenu");
    ApplyMenuState(true);
    RemovePathMenuPopup();
    const TPathMenus menus = form_->SetUpPathMenuPopup();
    const bool loaded = form_->ClickPopupMenuPopup().SetBookmark;
    auto submenu = [this](const char* caption, const char* objectName, const std::vector<TPathMenuItem>& items,
                          std::function<void(const TPathMenuItem&)> click) {
        if (items.empty()) return static_cast<QMenu*>(nullptr);
        QMenu* m = new QMenu(caption, historyMenu_);
        m->setObjectName(objectName);
        for (const auto& item : items) {
            QAction* a = m->addAction(QString::fromStdString(item.Caption));
            a->setData(item.Tag);
            connect(a, &QAction::triggered, this, [item, click] { click(item); });
        }
        historyMenu_->addMenu(m);
        pathMenus_.push_back(m);
        return m;
    };
    TMainDisplayForm& f = *form_;
    submenu("Favourite directories", "FavouriteDirectoriesMenuItem", menus.Favourites,
            [&f](const TPathMenuItem& i) { f.PathMenuItemClick(i); });
    submenu("Recent directories", "RecentDirectoriesMenuItem", menus.Recent,
            [&f](const TPathMenuItem& i) { f.PathMenuItemClick(i); });
    submenu("Bookmarks", "BookmarksMenuItem", menus.Bookmarks,
            [&f](const TPathMenuItem& i) { f.BookmarkMenuItemClick(i.Tag); });
    if (QMenu* set = submenu("Set Bookmark (Shift-B)", "SetBookmarkMenuItem", menus.SetBookmark,
                             [&f](const TPathMenuItem& i) { f.SetBookmarkMenuItemClick(i.Tag); }))
        set->setEnabled(loaded);
}

void MainWindow::PopupMenuAtCursor() {
    VTRACE("MainWindow::PopupMenuAtCursor");
    popupMenu_->popup(QCursor::pos());
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    // With a page on screen the pop-up comes from the keys and clicks instead.
    if (!DisplayVisible()) PopupMenuAtCursor();
    event->accept();
}

void MainWindow::CopyToClipboard(const TBitmap& Bitmap) {
    VTRACE("MainWindow::CopyToClipboard");
    if (Bitmap.Empty() || Bitmap.PixelFormat() != TPixelFormat::pf24bit) return;
    QImage img(Bitmap.Bits(), Bitmap.Width(), Bitmap.Height(), static_cast<qsizetype>(Bitmap.Stride()),
               QImage::Format_BGR888);
    QGuiApplication::clipboard()->setImage(img.copy());
}

bool MainWindow::AskSaveFileName(std::string& Name) {
    VTRACE("MainWindow::AskSaveFileName");
    QString dir = QString::fromStdString(config_->LastDir);
    QString start = dir.isEmpty() ? QString::fromStdString(Name) : dir + "/" + QString::fromStdString(Name);
    QString chosen = QFileDialog::getSaveFileName(this, "Save Page", start);
    if (chosen.isEmpty()) return false;
    Name = chosen.toStdString();
    return true;
}

}  // namespace vellicor
