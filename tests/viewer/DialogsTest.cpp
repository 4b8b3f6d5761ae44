// The thumbnail window, go-to-page dialog, favourite organiser, about box and the open
// dialog's preview rules on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QComboBox>
#include <QKeyEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <filesystem>

#include "QtTestApp.h"
#include "pages/ThumbList.h"
#include "pages/ProcessFiles.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/ScopedConfigDir.h"
#include "support/TempDir.h"
#include "support/TestImages.h"
#include "viewer/AboutForm.h"
#include "viewer/GoToPageForm.h"
#include "viewer/Help.h"
#include "viewer/HelpWindow.h"
#include "viewer/InfoWindow.h"
#include "viewer/OpenAllDialog.h"
#include "viewer/OrganiseDirectoriesForm.h"
#include "viewer/ThumbForm.h"

using namespace vellicor;

extern "C" __attribute__((weak, used)) const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace {

void Key(QWidget& w, int key, const QString& text = QString()) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(&w, &e);
}

TEST(ThumbForm, GridFollowsTheScreen) {
    struct Case {
        int sw, sh, tw, th, n, columns, rows, visible;
        bool scroll;
    } cases[] = {
        {1024, 768, 100, 140, 30, 9, 4, 4, false},
        {1024, 768, 156, 240, 3, 3, 1, 1, false},
        {1024, 768, 156, 240, 200, 6, 34, 3, true},
        {100, 100, 156, 240, 5, 1, 5, 0, true},  // a screen smaller than one thumbnail
        // The frame's bevel counts four times across and down: with twice it, 9 columns, 4
        // visible rows and no scroll bar.
        {936, 575, 100, 140, 30, 8, 4, 3, true},
        {946, 586, 100, 140, 30, 9, 4, 4, false},  // just wide and tall enough for one more
    };
    for (const auto& c : cases) {
        TThumbGrid g = ThumbGridFor(c.sw, c.sh, c.tw, c.th, c.n);
        EXPECT_EQ(g.Columns, c.columns) << c.n;
        EXPECT_EQ(g.Rows, c.rows) << c.n;
        EXPECT_EQ(g.VisibleRows, c.visible) << c.n;
        EXPECT_EQ(g.ScrollBarNeeded, c.scroll) << c.n;
        EXPECT_EQ(g.BoxWidth, (c.tw + 1) * c.columns + 5 + (c.scroll ? 16 : 0));
        EXPECT_EQ(g.BoxHeight, (c.th + 1) * std::max(c.visible, 1) + 5);
    }
}

TEST(ThumbForm, ClicksKeysAndPlaceholders) {
    test::App();
    TImageList list(156, 240, 25, 10);
    TBitmap red;
    red.SetSize(156, 240, TPixelFormat::pf24bit);
    red.Fill(RGBColor(255, 0, 0));
    list.Add(red);
    list.Add(red);
    TThumbForm f;
    f.ThumbImages = &list;
    f.Pages = 5;  // three not made yet
    f.ThumbHints.Add("a.jpg");
    f.SelectedThumb = 1;
    f.DisplayThumbs(1024, 768);
    ASSERT_EQ(f.ThumbCount, 5);
    EXPECT_FALSE(f.Thumbs[0]->pixmap().isNull());
    EXPECT_EQ(f.Thumbs[0]->toolTip(), "a.jpg");
    EXPECT_TRUE(f.Thumbs[3]->pixmap().isNull());
    EXPECT_EQ(f.Thumbs[3]->text(), "4");
    EXPECT_EQ(f.Thumbs[4]->geometry(), QRect(157 * 4 + 1, 1, 156, 240));
    EXPECT_EQ(f.Highlighted, 1) << "starts at the current page";
    list.Add(red);
    f.RefreshThumbs();
    EXPECT_FALSE(f.Thumbs[2]->pixmap().isNull());

    QTimer::singleShot(0, [&] { Key(f, Qt::Key_Escape); });
    EXPECT_EQ(f.exec(), QDialog::Rejected);
    EXPECT_EQ(f.SelectedThumb, 1) << "Escape leaves the selection";
    QTimer::singleShot(0, [&] {
        Key(f, Qt::Key_Right);
        Key(f, Qt::Key_Right);
        Key(f, Qt::Key_Return);
    });
    EXPECT_EQ(f.exec(), QDialog::Accepted);
    EXPECT_EQ(f.SelectedThumb, 3);
    QTimer::singleShot(0, [&] {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(f.Thumbs[4], &press);
    });
    EXPECT_EQ(f.exec(), QDialog::Accepted);
    EXPECT_EQ(f.SelectedThumb, 4);
}

TEST(GoToPageForm, TypingAndTheSlider) {
    test::App();
    TGoToPageForm f;
    EXPECT_EQ(f.windowTitle(), "Go To Page:");
    f.Page = 0;
    f.FormActivate(250);
    EXPECT_EQ(f.GoToPageTrackBar->maximum(), 249);
    EXPECT_EQ(f.GoToPageTrackBar->pageStep(), 25);
    struct Step {
        QChar key;
        int position;
        const char* label;
    } steps[] = {
        {'1', 0, "1"}, {'2', 11, "12"}, {'3', 122, "123"}, {'4', 249, "250"},  // 1234 stops at the end
        {'\b', 24, "25"}, {'\b', 1, "2"}, {'\b', 0, ""},                        // the empty label
        {'0', 0, "1"}, {'7', 16, "17"},  // 0 then 7 asks for 17
    };
    for (const auto& s : steps) {
        f.FormKeyPress(s.key);
        EXPECT_EQ(f.GoToPageTrackBar->value(), s.position) << int(s.key.unicode());
        EXPECT_EQ(f.GoToPageLabel->text(), s.label) << int(s.key.unicode());
    }
    f.Page = 3;
    f.FormActivate(15);
    EXPECT_EQ(f.GoToPageTrackBar->pageStep(), 2);
    EXPECT_EQ(f.GoToPageLabel->text(), "4");
    QTimer::singleShot(0, [&] {
        Key(f, Qt::Key_1, "1");
        Key(f, Qt::Key_2, "2");
        f.OKButton->click();
    });
    EXPECT_EQ(f.exec(), QDialog::Accepted);
    EXPECT_EQ(f.Page, 11);
    QTimer::singleShot(0, [&] { f.CancelButton->click(); });
    EXPECT_EQ(f.exec(), QDialog::Rejected);
}

TEST(OrganiseDirectoriesForm, EntriesMovesAndResults) {
    test::App();
    TOrganiseDirectoriesForm f;
    EXPECT_EQ(f.windowTitle(), "Organise Favourite Directories");
    f.SetFavouriteDirs("/a,,/c");
    f.SetRecentDirs("/h1,/h2,/h3");
    EXPECT_EQ(f.DirectoryEdit[2]->text(), "/c");
    EXPECT_TRUE(f.DirectoryEdit[3]->text().isEmpty());
    EXPECT_FALSE(f.BrowseSpeedButton->isEnabled()) << "no current entry";
    f.Current = 0;
    f.DirectoryEditEnter();
    EXPECT_TRUE(!f.UpSpeedButton->isEnabled() && f.DownSpeedButton->isEnabled() && f.ClearSpeedButton->isEnabled());
    f.UpSpeedButtonClick();  // first entry: nothing
    EXPECT_EQ(f.DirectoryEdit[0]->text(), "/a");
    f.DownSpeedButtonClick();
    EXPECT_EQ(f.DirectoryEdit[1]->text() + f.DirectoryEdit[0]->text(), "/a");
    EXPECT_EQ(f.Current, 1);
    f.Current = 11;
    f.DirectoryEdit[11]->setText(" /l ");
    f.DownSpeedButtonClick();  // last entry: nothing
    EXPECT_EQ(f.DirectoryEdit[11]->text(), " /l ");
    std::string started = "unset";
    f.SelectDirectory = [&](const std::string& s) {
        started = s;
        return std::string("/chosen");
    };
    f.BrowseSpeedButtonClick();  // " /l " does not exist
    EXPECT_EQ(started, "");
    EXPECT_EQ(f.DirectoryEdit[11]->text(), "/chosen");
    f.Current = 2;
    f.ClearSpeedButtonClick();
    EXPECT_FALSE(f.ClearSpeedButton->isEnabled());
    f.HistoryEdit[1]->clear();
    f.OkBitBtnClick();
    EXPECT_EQ(f.NewFavouriteDirs, ",/a,,,,,,,,,,/chosen");
    EXPECT_EQ(f.NewRecentDirs, "/h1,/h3");
    f.ClearHistorySpeedButtonClick();
    f.SetFavouriteDirs("/a,,/c");
    f.OkBitBtnClick();
    EXPECT_EQ(f.NewFavouriteDirs, "/a,,/c,,,,,,,,,");
    EXPECT_EQ(f.NewRecentDirs, "");
}

TEST(AboutForm, VersionOnTheFirstLine) {
    test::App();
    TAboutForm with("1.2.3");
    TAboutForm without("");
    const QString first = QString(TAboutForm::kCredits).section('\n', 0, 0);
    EXPECT_EQ(with.Memo->toPlainText().section('\n', 0, 0), first + " - version 1.2.3");
    EXPECT_EQ(without.Memo->toPlainText().section('\n', 0, 0), first);
    EXPECT_EQ(with.windowTitle(), "About Vellicor");
    EXPECT_EQ(with.size(), QSize(673, 428));
    EXPECT_FALSE(ProgramVersion().empty());
}

TEST(OpenAllDialog, PreviewCandidateAndRectangle) {
    test::TempDir dir;
    for (const char* n : {"b.jpg", "a.png", "c.cbz", "notes.nfo", "x.doc"}) dir.Write(n, "x");
    const std::string folder = dir.Path() + "/";
    using Items = std::vector<std::pair<std::string, bool>>;
    struct Case {
        Items items;
        const char* expected;
    } cases[] = {
        {{{"a.png", false}, {"b.jpg", false}, {"c.cbz", false}}, "a.png"},  // none selected: first by name
        {{{"b.jpg", false}, {"a.png", false}}, "a.png"},
        {{{"a.png", false}, {"c.cbz", true}, {"b.jpg", true}}, "c.cbz"},  // the first selected
        {{{"notes.nfo", true}, {"a.png", false}}, ""},                    // a selected info file blocks
        {{{"notes.nfo", true}, {"a.png", true}}, "a.png"},
        {{{"gone.jpg", true}, {"b.jpg", false}}, "b.jpg"},                // a file that disappeared
        {{{"x.doc", false}}, ""},
    };
    for (const auto& c : cases) {
        const std::string got = PreviewCandidate(folder, c.items);
        EXPECT_EQ(got.empty() ? "" : got.substr(folder.size()), c.expected);
    }
    EXPECT_EQ(PreviewRect(100, 200, 141, 153), QRect(0, 0, 141, 282)) << "portrait: full width, cut at the bottom";
    EXPECT_EQ(PreviewRect(400, 100, 141, 153), QRect(0, 0, 612, 153));
    EXPECT_EQ(PreviewRect(0, 100, 141, 153), QRect());
}

namespace {

TOpenAllDialog* g_previewDialog = nullptr;
std::string g_removeWhileDecoding;

// The selection changes while a preview is decoded: its file goes, and the timer fires.
void SelectionChangesMidDecode() {
    if (!g_previewDialog || g_removeWhileDecoding.empty()) return;
    std::filesystem::remove(g_removeWhileDecoding);
    g_removeWhileDecoding.clear();
    g_previewDialog->OnChangeTimer();
}

}  // namespace

TEST(OpenAllDialog, APreviewAskedForWhileOneIsDecodedComesAfterIt) {
    test::App();
    test::ScopedConfigDir configDir;
    TConfigureForm config;
    TProcessFilesForm queue(config);
    test::TempDir dir;
    test::WriteBmp24(dir.File("a.bmp"), 1000, 1000, [](int, int) { return 0xFF0000u; });
    test::WriteBmp24(dir.File("b.bmp"), 20, 30, [](int, int) { return 0x00FF00u; });
    TOpenAllDialog d(&queue);
    d.setDirectory(QString::fromStdString(dir.Path()));
    test::FakeUi ui;
    ui.onProcessMessages = SelectionChangesMidDecode;
    g_previewDialog = &d;
    g_removeWhileDecoding = dir.File("a.bmp");
    d.OnChangeTimer();
    g_previewDialog = nullptr;
    EXPECT_TRUE(g_removeWhileDecoding.empty()) << "messages got through during the decode";
    EXPECT_TRUE(d.ChangeTimer->isActive()) << "the later request waits for the timer";
    d.ChangeTimer->stop();
    d.OnChangeTimer();
    EXPECT_EQ(d.SavedFileName, dir.File("b.bmp"));
    EXPECT_EQ(d.Picture.size(), QSize(20, 30)) << "the picture of the file now selected, not the one gone";
}

TEST(OpenAllDialog, PreviewFollowsTheFolderAndSkipsCorruptFiles) {
    test::App();
    test::ScopedConfigDir configDir;
    TConfigureForm config;
    TProcessFilesForm queue(config);
    test::TempDir dir;
    test::WriteBmp24(dir.File("b.bmp"), 20, 30, [](int, int) { return 0x00FF00u; });
    dir.Write("a.bmp", "BM not really");
    dir.Write("notes.nfo", "x");
    TOpenAllDialog d(&queue);
    EXPECT_EQ(d.nameFilters().size(), 3);
    EXPECT_TRUE(d.nameFilters()[1].startsWith("JPeg PNG GIF Info and Archives ("));
    d.setDirectory(QString::fromStdString(dir.Path()));
    d.OnChangeTimer();  // nothing selected: a.bmp sorts first, and is corrupt
    EXPECT_TRUE(d.Picture.isNull());
    EXPECT_EQ(d.SavedFileName, "");
    std::filesystem::remove(dir.File("a.bmp"));
    d.OnChangeTimer();
    EXPECT_EQ(d.Picture.size(), QSize(20, 30));
    EXPECT_EQ(d.Picture.pixelColor(3, 3), QColor(0, 255, 0));
    EXPECT_EQ(d.SavedFileName, dir.File("b.bmp"));
    std::filesystem::remove(dir.File("b.bmp"));
    d.OnChangeTimer();  // a folder with nothing to preview
    EXPECT_TRUE(d.Picture.isNull() && d.SavedFileName.empty());
    d.CheckFolderForPictures();
    EXPECT_FALSE(d.ChangeTimer->isActive()) << "a hidden dialog previews nothing";
    d.show();
    EXPECT_TRUE(d.ChangeTimer->isActive()) << "showing it looks at the folder";
    d.ChangeTimer->stop();
    d.CheckFolderForPictures();
    EXPECT_TRUE(d.ChangeTimer->isActive());
    EXPECT_EQ(d.ChangeTimer->interval(), 500);
    d.hide();
}

}  // namespace

namespace {

TEST(DialogHelp, F1AndTheHelpButtonOpenTheirTopics) {
    test::App();
    std::vector<int> topics;
    SetHelpContextHandler([&](int c) { topics.push_back(c); });
    TThumbForm thumbs;
    thumbs.Pages = 2;
    thumbs.DisplayThumbs(1024, 768);
    Key(thumbs, Qt::Key_F1);
    EXPECT_TRUE(thumbs.result() != QDialog::Accepted);
    TOpenAllDialog open(nullptr);
    ASSERT_NE(open.HelpButton, nullptr);
    EXPECT_EQ(open.HelpButton->text().remove('&'), "Help");
    open.HelpButton->click();
    auto* name = open.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    Key(*name, Qt::Key_F1);  // F1 wherever the focus is in the dialog
    SetHelpContextHandler(nullptr);
    EXPECT_EQ(topics, (std::vector<int>{12, 5, 5}));
}

}  // namespace

namespace {

// A modal dialog blocks every window but its own: help asked for from one goes with it.
TEST(DialogHelp, HelpAskedForInAModalDialogIsNotBlockedByIt) {
    test::App();
    QWidget main;
    InstallHelpService(&main);
    QDialog modal(&main);
    HelpWindow* during = nullptr;
    QTimer::singleShot(0, [&] {
        ShowHelpContext(TThumbForm::kHelpContext);
        during = modal.findChild<HelpWindow*>();
        modal.reject();
    });
    modal.exec();
    ASSERT_NE(during, nullptr);
    EXPECT_TRUE(during->isWindow());
    ShowHelpContext(kHelpContents);  // from the reader itself: under its window
    HelpWindow* after = main.findChild<HelpWindow*>();
    ASSERT_NE(after, nullptr);
    EXPECT_TRUE(after->isVisible());
    SetHelpContextHandler(nullptr);
}

}  // namespace

namespace {

TEST(InfoWindow, TextEncodingsAndLineEnds) {
    struct Case {
        std::string bytes;
        QString text;
    } cases[] = {
        {"plain\r\nlines\r\n", "plain\nlines\n"},
        {"mac\rlines", "mac\nlines"},
        {"\xEF\xBB\xBF" "caf\xC3\xA9", QString::fromUtf8("caf\xC3\xA9")},  // UTF-8 with its mark
        {"caf\xE9 \x93q\x94", QString::fromUtf8("caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D")},  // Windows-1252
        {std::string("a\0b", 3), "a b"},
    };
    for (const auto& c : cases) EXPECT_EQ(InfoText(c.bytes), c.text) << c.bytes;
}

TEST(InfoWindow, ShowsEachFileAndAKeyGoesOn) {
    test::App();
    test::ScopedConfigDir configDir;
    test::FakeUi ui;
    test::TempDir dir;
    test::WriteBmp24(dir.File("p.bmp"), 8, 8, [](int, int) { return 0u; });
    dir.Write("a.nfo", "first\r\nfile");
    dir.Write("b.txt", "second");
    TConfigureForm config;
    config.DisplayInfoFiles = true;
    config.GenerateThumbsInBackground = false;
    config.SetInfoWidth(300);
    config.SetInfoHeight(200);
    TQtProcessFilesForm queue(config);
    auto drive = [&] {
        for (int i = 0; i < 1000 && queue.Idle(); ++i) {
        }
    };
    TStringList names;
    for (const char* n : {"p.bmp", "a.nfo", "b.txt"}) names.Add(dir.File(n));
    queue.LoadFiles(names, 0);
    drive();
    TInfoWindow* w = queue.Window();
    ASSERT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), "a.nfo");
    EXPECT_EQ(w->InfoBox->toPlainText(), "first\nfile");
    EXPECT_EQ(w->size(), QSize(300, 200));
    EXPECT_EQ(w->toolTip(), "File Info - double click or press a key to dismiss");
    w->resize(320, 200);
    Key(*w->InfoBox, Qt::Key_Space, " ");
    drive();
    ASSERT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), "b.txt");
    EXPECT_EQ(config.InfoWidth, 320) << "the size is kept when the window hides";
    EXPECT_EQ(w->width(), 320);
    Key(*w->InfoBox, Qt::Key_Shift);  // a modifier alone is not a key press
    drive();
    EXPECT_TRUE(w->isVisible());
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(w->InfoBox->viewport(), &dbl);
    drive();
    EXPECT_FALSE(w->isVisible()) << "after the last file the window stays hidden";
    config.SetInfoWidth(1000000);  // a damaged setting
    config.SetInfoHeight(-5);
    queue.LoadFiles(names, 0);
    drive();
    ASSERT_TRUE(w->isVisible());
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    EXPECT_LE(w->width(), screen.width());
    EXPECT_GE(w->height(), 80);
}

}  // namespace

namespace {

TEST(OpenAllDialog, FiltersShowTheirNamesAndThePreviewKeepsToTheFilter) {
    test::App();
    test::ScopedConfigDir configDir;
    test::FakeUi ui;
    TConfigureForm config;
    TProcessFilesForm queue(config);
    test::TempDir dir;
    dir.Write("a.cbz", "not a zip");
    test::WriteBmp24(dir.File("b.bmp"), 10, 10, [](int, int) { return 0xFF0000u; });
    TOpenAllDialog d(&queue);
    auto* combo = d.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(combo, nullptr);
    const char* shown[] = {"JPeg PNG GIF and Info", "JPeg PNG GIF Info and Archives", "JPeg GIF and PNG"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(combo->itemText(i), shown[i]);
        d.selectNameFilter(TOpenAllDialog::kFilters[i]);
        EXPECT_EQ(d.SelectedFilterIndex(), i + 1) << "the index read back after OK";
    }
    d.setDirectory(QString::fromStdString(dir.Path()));
    d.selectNameFilter(TOpenAllDialog::kFilters[0]);  // no archives in the list
    d.OnChangeTimer();
    EXPECT_EQ(d.SavedFileName, dir.File("b.bmp"));
    d.selectNameFilter(TOpenAllDialog::kFilters[1]);
    d.OnChangeTimer();
    EXPECT_EQ(d.SavedFileName, dir.File("a.cbz")) << "the archive sorts first once the list shows it";
    EXPECT_TRUE(d.Picture.isNull());
}

}  // namespace

namespace {

TEST(OrganiseDirectoriesForm, TypingIntoTheCurrentEntrySetsItsButtons) {
    test::App();
    TOrganiseDirectoriesForm f;
    f.SetFavouriteDirs("/a");
    f.Current = 1;
    f.DirectoryEditEnter();
    EXPECT_FALSE(f.ClearSpeedButton->isEnabled());
    EXPECT_TRUE(f.BrowseSpeedButton->isEnabled());
    f.DirectoryEdit[1]->setFocus();
    f.Current = 1;
    Key(*f.DirectoryEdit[1], Qt::Key_X, "x");
    EXPECT_EQ(f.DirectoryEdit[1]->text(), "x");
    EXPECT_TRUE(f.ClearSpeedButton->isEnabled() && f.UpSpeedButton->isEnabled() && f.DownSpeedButton->isEnabled());
    Key(*f.DirectoryEdit[1], Qt::Key_Backspace);
    EXPECT_FALSE(f.ClearSpeedButton->isEnabled() || f.UpSpeedButton->isEnabled());
    f.DirectoryEdit[1]->clearFocus();
    f.SetFavouriteDirs("/a,/b");  // the next showing: no entry is current until one is entered
    EXPECT_EQ(f.Current, -1);
    EXPECT_FALSE(f.BrowseSpeedButton->isEnabled() || f.UpSpeedButton->isEnabled());
}

}  // namespace

namespace {

TEST(OpenAllDialog, EachShowingStartsWithNoFileNameAndSelectsTheFolder) {
    test::App();
    test::TempDir dir;
    test::WriteBmp24(dir.File("a.bmp"), 4, 4, [](int, int) { return 0u; });
    dir.Write("a.nfo", "x");
    dir.Write("b.cbz", "x");
    TOpenAllDialog d(nullptr);
    auto* name = d.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText("typed last time");
    int filter = 2;  // archives listed too
    std::vector<std::string> files;
    QStringList selectedOnShow;
    QTimer::singleShot(0, [&] {
        // The folder is listed in the background: wait for it as the user would.
        for (int i = 0; i < 2000 && d.selectedFiles().size() < 2; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
        selectedOnShow = d.selectedFiles();
        EXPECT_FALSE(name->text().contains("typed last time"));
        d.reject();
    });
    EXPECT_FALSE(d.Execute(dir.Path(), filter, files));
    EXPECT_EQ(filter, 2);
    selectedOnShow.sort();
    EXPECT_EQ(selectedOnShow.join(',').toStdString(), dir.File("a.bmp") + "," + dir.File("a.nfo"))
        << "images and info files, not archives";
}

}  // namespace

namespace {

// The value the open dialog keeps the width of its places in (-1: none stored).
bool StorePlacesWidth(int width) {
    TRegistry reg;
    return width < 0 || (reg.OpenKey(TConfigureForm::kSettingsKey, true) && reg.WriteInteger("OpenDialogPlacesWidth", width));
}

// The open dialog at its first size over a shown reader, with settings of its own (and
// the width of its places from an earlier run, when given).
struct OpenDialogAtFirstSize {
    explicit OpenDialogAtFirstSize(int placesWidth = -1) : placesStored(StorePlacesWidth(placesWidth)) {}
    test::ScopedConfigDir configDir;
    test::FakeUi ui;
    TConfigureForm config;
    TProcessFilesForm queue{config};
    QWidget owner;
    bool placesStored;
    TOpenAllDialog dialog{&queue, ShownOwner(owner)};
    static QWidget* ShownOwner(QWidget& w) {
        w.resize(1024, 768);
        w.show();
        return &w;
    }
};

// At its first size the detail list shows size, type and date whole; the name has the rest.
TEST(OpenAllDialog, AtItsDefaultSizeNoColumnButTheNameIsCut) {
    test::App();
    test::TempDir dir;
    for (const char* name : {"page01.bmp", "page02.bmp", "a long name for a page of a book.bmp"})
        test::WriteBmp24(dir.File(name), 150, 160, [](int x, int y) { return static_cast<uint32_t>(x * 977 + y * 131); });
    OpenDialogAtFirstSize at;
    TOpenAllDialog& d = at.dialog;
    auto* tree = d.findChild<QTreeView*>("treeView");
    ASSERT_NE(tree, nullptr);
    QHeaderView* header = tree->header();
    ASSERT_EQ(header->count(), 4);
    int rows = 0;
    QSize size;
    struct Column {
        int size, contents, right;
    };
    std::vector<Column> columns;
    // As the user meets it: the folder is listed while the dialog is on the screen.
    QTimer::singleShot(0, [&] {
        for (int i = 0; i < 2000 && tree->model()->rowCount(tree->rootIndex()) < 3; ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        // The preview shows after the selection settles.
        for (int i = 0; i < 100; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
        rows = tree->model()->rowCount(tree->rootIndex());
        size = d.size();
        for (int c = 0; c < header->count(); ++c)
            columns.push_back({header->sectionSize(c), static_cast<QAbstractItemView*>(tree)->sizeHintForColumn(c),
                               header->sectionViewportPosition(c) + header->sectionSize(c)});
        d.reject();
    });
    int filter = 1;
    std::vector<std::string> files;
    d.Execute(dir.Path(), filter, files);
    ASSERT_EQ(rows, 3);
    EXPECT_EQ(size, QSize(820, 500));
    ASSERT_EQ(columns.size(), 4u);
    for (int c : {1, 3}) EXPECT_GE(columns[c].size, columns[c].contents) << "column " << c << " cuts its text";
    // The type as wide as it needs, unless that would leave the name less than it.
    EXPECT_GE(columns[2].size, std::min(columns[2].contents, columns[0].size - 1));
    EXPECT_GE(columns[0].size + 1, columns[2].size);
    for (int c = 0; c < 4; ++c) EXPECT_LE(columns[c].right, tree->viewport()->width()) << "column " << c << " runs past the list";
    EXPECT_GT(columns[0].size, 100) << "the name keeps room";
}

}  // namespace

namespace {

// A folder of archives has long type descriptions ("comic book archive (zip container)"):
// at its first size the dialog still shows every type and the places beside the list whole,
// even when Qt brings back a narrower place list from an earlier run, and beside them
// ordinary names, sizes and dates whole too; the dates still sort as dates.
TEST(OpenAllDialog, AtItsDefaultSizeArchiveTypesAndPlacesShowWhole) {
    test::App();
    test::TempDir dir;
    test::WriteBmp24(dir.File("page.bmp"), 40, 40, [](int x, int y) { return static_cast<uint32_t>(x * 7 + y); });
    const std::string bytes = test::ReadFileBytes(dir.File("page.bmp"));
    std::filesystem::remove(dir.File("page.bmp"));
    const std::vector<std::string> names = {"comic-book-03.cbz", "other-book.cbr", "plain.zip", "page01.jpg"};
    const auto now = std::filesystem::file_time_type::clock::now();
    for (size_t i = 0; i < names.size(); ++i) {
        dir.Write(names[i], bytes);
        // Newer as the name comes earlier, over more than a year.
        std::filesystem::last_write_time(dir.File(names[i]), now - std::chrono::hours(24 * 200 * static_cast<int>(i)));
    }
    // The dialog keeps its state from one run to the next: as an earlier run with the place
    // list dragged narrow leaves it.
    OpenDialogAtFirstSize at(40);
    ASSERT_TRUE(at.placesStored);
    TOpenAllDialog& d = at.dialog;
    auto* tree = d.findChild<QTreeView*>("treeView");
    auto* places = d.findChild<QListView*>("sidebar");
    ASSERT_NE(tree, nullptr);
    ASSERT_NE(places, nullptr);
    QHeaderView* header = tree->header();
    ASSERT_EQ(header->count(), 4);
    QSize size;
    std::vector<QString> types;
    std::vector<int> rights, sections;
    std::vector<std::vector<int>> needs(4);  // each item as drawn, by column
    std::vector<std::string> byDate;
    int typeWidth = 0, placesNeed = 0, placesWidth = 0;
    QTimer::singleShot(0, [&] {
        const auto typed = [&] {
            const QModelIndex root = tree->rootIndex();
            int n = 0;
            for (int r = 0; r < tree->model()->rowCount(root); ++r)
                n += tree->model()->index(r, 2, root).data().toString().contains("archive");
            return n;
        };
        // The types come from a background look-up after the names are listed.
        for (int i = 0; i < 2000 && typed() < 3; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
        for (int i = 0; i < 50; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
        size = d.size();
        const QModelIndex root = tree->rootIndex();
        for (int r = 0; r < tree->model()->rowCount(root); ++r) types.push_back(tree->model()->index(r, 2, root).data().toString());
        typeWidth = header->sectionSize(2);
        for (int c = 0; c < header->count(); ++c) {
            rights.push_back(header->sectionViewportPosition(c) + header->sectionSize(c));
            sections.push_back(header->sectionSize(c));
            for (int r = 0; r < tree->model()->rowCount(root); ++r)
                needs[c].push_back(tree->sizeHintForIndex(tree->model()->index(r, c, root)).width());
        }
        placesNeed = places->sizeHintForColumn(0);
        placesWidth = places->viewport()->width();
        header->setSortIndicator(3, Qt::DescendingOrder);  // newest first
        for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
        for (int r = 0; r < tree->model()->rowCount(root); ++r)
            byDate.push_back(tree->model()->index(r, 0, root).data().toString().toStdString());
        d.reject();
    });
    int filter = 2;
    std::vector<std::string> files;
    d.Execute(dir.Path(), filter, files);
    EXPECT_EQ(size, QSize(820, 500));
    ASSERT_EQ(types.size(), 4u);
    // An item's text is drawn inside a margin on each side.
    const int margin = tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1;
    int longest = 0;
    for (const QString& t : types) longest = std::max(longest, tree->fontMetrics().horizontalAdvance(t));
    EXPECT_TRUE(std::any_of(types.begin(), types.end(), [](const QString& t) { return t.contains("comic book"); }));
    EXPECT_GE(typeWidth, longest + 2 * margin) << "the type column cuts its text";
    // The name follows its icon.
    const int icon = tree->iconSize().isValid() ? tree->iconSize().width() : tree->style()->pixelMetric(QStyle::PM_SmallIconSize);
    EXPECT_GE(sections[0], icon + 4 * margin + tree->fontMetrics().horizontalAdvance("comic-book-03.cbz"))
        << "an ordinary name is cut";
    for (int c = 0; c < 4; ++c)
        for (int need : needs[c]) EXPECT_GE(sections[c], need) << "column " << c << " cuts its text";
    EXPECT_EQ(byDate, names);
    for (int c = 0; c < 4; ++c) EXPECT_LE(rights[c], tree->viewport()->width()) << "column " << c << " runs past the list";
    EXPECT_GT(placesNeed, 0);
    EXPECT_GE(placesWidth, placesNeed) << "the places beside the list are cut";
}

}  // namespace

namespace {

// The open dialog keeps what it remembers (the folders visited, the view, the width of the
// places) in the reader's store. Qt's own file of its dialogs' state, outside the reader's
// settings folder and rewritten under a lock at every exit, is neither read nor written.
TEST(OpenAllDialog, ItsStateIsKeptInTheReadersStoreAndQtWritesNoFileOfItsOwn) {
    test::App();
    const std::string qtFile = qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/QtProject.conf";
    std::filesystem::remove(qtFile);
    test::ScopedConfigDir configDir;
    test::TempDir dir;
    const QString folder = QDir(QString::fromStdString(dir.Path())).canonicalPath();
    // Runs the dialog on the folder; shown, it gives its places' width and is closed.
    const auto run = [&](TOpenAllDialog& d, int setWidth) {
        int width = -1;
        QTimer::singleShot(0, [&] {
            auto* splitter = d.findChild<QSplitter*>("splitter");
            // Wider than the places need: the dialog only ever widens them.
            if (setWidth > 0) splitter->setSizes({setWidth, splitter->sizes()[0] + splitter->sizes()[1] - setWidth});
            width = splitter->sizes()[0];
            d.reject();
        });
        int filter = 1;
        std::vector<std::string> files;
        EXPECT_FALSE(d.Execute(dir.Path(), filter, files));
        return width;
    };
    int width = -1;
    {
        TOpenAllDialog d(nullptr);
        d.setViewMode(QFileDialog::List);
        width = run(d, 260);
    }
    EXPECT_FALSE(std::filesystem::exists(qtFile)) << "Qt wrote its own file";
    ASSERT_GT(width, 200);
    {
        TOpenAllDialog again(nullptr);
        EXPECT_EQ(again.viewMode(), QFileDialog::List);
        QStringList visited;
        for (const QString& f : again.history()) visited << QDir(f).canonicalPath();
        EXPECT_TRUE(visited.contains(folder)) << visited.join(',').toStdString();
        EXPECT_EQ(run(again, 0), width) << "the places' width of the earlier run";
    }
}

}  // namespace
