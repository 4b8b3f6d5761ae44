// The Qt window's menus and the help window, on the offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTextBrowser>
#include <cstdlib>

#include "MainWindowFixture.h"
#include "QtTestApp.h"
#include "pages/ProcessFiles.h"
#include "platform/DynLib.h"
#include "platform/Registry.h"
#include "settings/Configuration.h"
#include "support/TempDir.h"
#include "support/TestImages.h"
#include "viewer/Help.h"
#include "viewer/ColourDataForm.h"
#include "viewer/HelpWindow.h"
#include "viewer/MainWindow.h"

using namespace vellicor;

namespace {

class MainMenusTest : public test::MainWindowFixture {
protected:
    QMenu* History() const {
        for (QAction* a : window->PopupMenu()->actions())
            if (a->text() == "Favourites, Bookmarks and History") return a->menu();
        return nullptr;
    }
    std::vector<std::string> Submenus() const {
        std::vector<std::string> r;
        for (QAction* a : History()->actions())
            if (a->menu()) r.push_back(a->menu()->objectName().toStdString() + (a->isEnabled() ? "" : "(off)"));
        return r;
    }
};

}  // namespace

TEST_F(MainMenusTest, PopupEnablingAndSubmenusAreRebuiltEachTime) {
    config->SetFavouriteDirs(",/fav,");
    Open({});
    window->PreparePopupMenu();
    struct Row {
        const char* caption;
        bool enabled;
    };
    const Row empty[] = {{"Resume Reading (R)", true}, {"Load Next Files (Shift-L)", false},
                         {"Next Page (Page Down)", false}, {"Save Page", false}, {"Rotate", false},
                         {"Automatic Slideshow (A)", false}, {"Open Files (L)", true}};
    for (const auto& r : empty) {
        ASSERT_NE(window->MenuAction(r.caption), nullptr) << r.caption;
        EXPECT_EQ(window->MenuAction(r.caption)->isEnabled(), r.enabled) << r.caption;
    }
    // Twelve free slots to store into, greyed while nothing is loaded; no bookmark list.
    EXPECT_EQ(Submenus(), (std::vector<std::string>{"FavouriteDirectoriesMenuItem", "SetBookmarkMenuItem(off)"}));

    std::string page = pages.File("p.bmp");
    test::WriteBmp24(page, 50, 80, [](int, int) { return 0x404040u; });
    window.reset();
    Open({page, page});
    window->Form().StoreBookmark();
    window->PreparePopupMenu();
    window->PreparePopupMenu();  // rebuilt, not added again
    EXPECT_EQ(Submenus(), (std::vector<std::string>{"FavouriteDirectoriesMenuItem", "RecentDirectoriesMenuItem",
                                                    "BookmarksMenuItem", "SetBookmarkMenuItem"}));
    EXPECT_FALSE(window->MenuAction("Resume Reading (R)")->isEnabled());
    EXPECT_TRUE(window->MenuAction("Save Page")->isEnabled());
    EXPECT_TRUE(window->MenuAction("Next Page (Page Down)")->isEnabled());
    EXPECT_FALSE(window->MenuAction("Previous Page (Page Up)")->isEnabled());
    window->MenuAction("Automatic Slideshow (A)")->trigger();
    window->PreparePopupMenu();
    EXPECT_TRUE(window->MenuAction("Automatic Slideshow (A)")->isChecked());
}

TEST_F(MainMenusTest, ColourTestIsInThePopupAndTheOptionsMenuAndTogglesTheReadout) {
    Open({});
    const QString caption = "Colour Test (Ctrl-Shift-C)";
    QMenu* options = nullptr;
    for (QAction* a : window->menuBar()->actions())
        if (a->text() == "&Options") options = a->menu();
    ASSERT_NE(options, nullptr);
    QAction* inOptions = nullptr;
    QAction* inPopup = nullptr;
    for (QAction* a : options->actions())
        if (a->text() == caption) inOptions = a;
    for (QAction* a : window->PopupMenu()->actions())
        if (a->text() == caption) inPopup = a;
    ASSERT_NE(inOptions, nullptr);
    ASSERT_NE(inPopup, nullptr);
    // Enabled with no pages, like the key; each item switches the readout the other way.
    window->PreparePopupMenu();
    emit options->aboutToShow();
    EXPECT_TRUE(inPopup->isEnabled());
    EXPECT_TRUE(inOptions->isEnabled());
    ASSERT_FALSE(window->ColourData()->Showing());
    inPopup->trigger();
    EXPECT_TRUE(window->ColourData()->Showing());
    inOptions->trigger();
    EXPECT_FALSE(window->ColourData()->Showing());
    inOptions->trigger();
    EXPECT_TRUE(window->ColourData()->Showing());
}

TEST(HelpWindowTest, EveryTopicHasItsPageAndAMissingFolderIsSaid) {
    test::App();
    setenv("VELLICOR_HELP_DIR", VELLICOR_SOURCE_DIR "/src/viewer/help", 1);
    HelpWindow help;
    for (int topic : {kHelpContents, 4, 5, 8, 12, 14}) {
        EXPECT_TRUE(help.ShowTopic(topic)) << topic;
        EXPECT_FALSE(help.Browser()->toPlainText().isEmpty()) << topic;
    }
    EXPECT_NE(help.Browser()->toPlainText().indexOf("configuration dialog"), -1);
    setenv("VELLICOR_HELP_DIR", "/nonexistent-help", 1);
    EXPECT_FALSE(help.ShowTopic(8));
    EXPECT_NE(help.Browser()->toPlainText().indexOf("not found"), -1);
    unsetenv("VELLICOR_HELP_DIR");
    help.hide();
}
