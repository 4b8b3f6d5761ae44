// The file loader reading real tar archives through the archive front end.
#include <gtest/gtest.h>

#include "TarTestSupport.h"
#include "archives/TarArchive.h"
#include "archives/UnArchiveSource.h"
#include "pages/LoadFiles.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

std::string MakeBook(const TempDir& dir, const std::string& file, const std::vector<std::string>& pages) {
    std::string path = dir.File(file);
    TTarWriter w(path);
    for (auto& p : pages) w.AddString("bytes of " + p, p, 25569.0);
    return path;
}

class UnArchiveLoaderTest : public ::testing::Test {
protected:
    UnArchiveLoaderTest() : loader(&owner) {
        SetPageSettings(&settings);
        loader.SetArchiveSource(std::make_unique<TUnArchiveSource>(&owner));
        loader.OnFilesReady = [this](void*) { ++filesReady; };
    }
    ~UnArchiveLoaderTest() override { SetPageSettings(nullptr); }

    std::string Serve(int n) {
        std::string bytes = "<none>";
        loader.OnStreamReady = [&](void*, TStream* s, const std::string&) {
            if (!s) return;
            bytes.assign(static_cast<size_t>(s->Size()), '\0');
            s->SetPosition(0);
            s->Read(bytes.data(), s->Size());
        };
        loader.LoadPage(n);
        return bytes;
    }

    int owner = 0;
    FakeUi ui;
    TempDir dir;
    TSettings settings{};
    TLoadFiles loader;
    int filesReady = 0;
};

TEST_F(UnArchiveLoaderTest, ArchivesOpenLikeDirectories) {
    std::string one = MakeBook(dir, "one.cbt", {"p03.jpg", "p01.jpg", "p02.png", "readme.txt"});
    std::string broken = dir.Write("broken.cbt", RawHeader("x.jpg", '0', 99999).block);
    std::string two = MakeBook(dir, "two.tar", {"q1.jpg"});
    TStringList names;
    for (auto& n : {one, broken, two}) names.Add(n);
    loader.LoadFiles(names, 0);
    EXPECT_EQ(filesReady, 1);
    TPageList& list = *loader.FileNames();
    ASSERT_EQ(list.GetPageCount(), 4);
    std::vector<std::string> pages;
    for (int i = 0; i < list.GetPageCount(); ++i) pages.push_back(list.GetPageName(i));
    EXPECT_EQ(pages, (std::vector<std::string>{"p01.jpg", "p02.png", "p03.jpg", "q1.jpg"}));
    ASSERT_EQ(ui.shown.size(), 1u) << "the damaged archive is reported";
    EXPECT_EQ(ui.shown[0].caption, broken);
    // Pages of both archives, back and forth.
    for (int i : {0, 3, 2, 1, 0}) EXPECT_EQ(Serve(i), "bytes of " + pages[static_cast<size_t>(i)]) << i;
}

}  // namespace
