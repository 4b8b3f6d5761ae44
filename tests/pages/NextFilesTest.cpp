// The next and previous file set over generated directory trees.
#include "pages/NextFiles.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "support/TempDir.h"

namespace vellicor {
namespace {

namespace fs = std::filesystem;

class NextFilesTest : public ::testing::Test {
protected:
    // Creates the files (and their directories) under the temporary root; a name ending
    // in '/' is an empty directory.
    void Make(std::initializer_list<std::string> names) {
        for (const auto& n : names) {
            fs::path p = fs::path(root.Path()) / n;
            if (n.back() == '/') {
                fs::create_directories(p);
                continue;
            }
            fs::create_directories(p.parent_path());
            std::ofstream(p) << "x";
        }
    }
    std::string P(const std::string& rel) const { return rel.empty() ? root.Path() : root.Path() + "/" + rel; }

    // The set found, as names relative to the root ("-" when there is none).
    std::string Next(const std::string& dir, const std::string& archive = "") {
        TNextFiles n;
        return Describe(n, n.GetNextFiles(P(dir), archive.empty() ? "" : P(archive)));
    }
    std::string Previous(const std::string& dir, const std::string& archive = "") {
        TNextFiles n;
        return Describe(n, n.GetPreviousFiles(P(dir), archive.empty() ? "" : P(archive)));
    }
    std::string Describe(const TNextFiles& n, bool found) const {
        if (!found) return "-";
        // Beyond the ends of the tree the walk goes on into whatever holds it.
        if (n.Result()[0].rfind(root.Path() + "/", 0) != 0) return "out";
        std::string r;
        for (const auto& f : n.Result()) {
            if (!r.empty()) r += " ";
            r += f.rfind(root.Path() + "/", 0) == 0 ? f.substr(root.Path().size() + 1) : "?" + f;
        }
        return r;
    }

    test::TempDir root;
};

// Tree: c/A (images), c/B (x.cbz, y.cbz), loose images in c, and d after c.
TEST_F(NextFilesTest, WalksTheTreeInSetOrderBothWays) {
    Make({"c/A/1.jpg", "c/A/2.png", "c/A/read.nfo", "c/B/x.cbz", "c/B/y.cbz", "c/p1.jpg", "c/p2.bmp", "d/z.cbt",
          "b/a.zip"});
    struct Step {
        const char* dir;
        const char* archive;
        const char* next;
        const char* previous;
    };
    const Step steps[] = {
        {"c/A", "", "c/B/x.cbz", "b/a.zip"},
        {"c/B", "c/B/x.cbz", "c/B/y.cbz", "c/A/1.jpg c/A/2.png c/A/read.nfo"},
        {"c/B", "c/B/y.cbz", "c/p1.jpg c/p2.bmp", "c/B/x.cbz"},
        {"c", "", "d/z.cbt", "c/B/y.cbz"},
        {"d", "d/z.cbt", "out", "c/p1.jpg c/p2.bmp"},
        {"b", "b/a.zip", "c/A/1.jpg c/A/2.png c/A/read.nfo", "out"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.dir) + " " + s.archive);
        // "out": past the ends of the tree, nothing or something outside it.
        auto expect = [](std::string got, std::string want) {
            if (want == "out" && got == "-") got = "out";
            EXPECT_EQ(got, want);
        };
        expect(Next(s.dir, s.archive), s.next);
        expect(Previous(s.dir, s.archive), s.previous);
    }
}

TEST_F(NextFilesTest, InfoOnlyEmptyAndArchiveFreeFoldersAreWalkedThrough) {
    Make({"a/1.jpg", "b/info.txt", "b/notes.nfo", "c/", "d/e/f/", "g/2.jpg"});
    EXPECT_EQ(Next("a"), "g/2.jpg");
    EXPECT_EQ(Previous("g"), "a/1.jpg");
}

// A book unpacked from a cbz made on a Mac: the archiver's "__MACOSX" folder and "._" files
// are no set, and no part of one; everything else is.
TEST_F(NextFilesTest, TheMacOSArchiversMetadataIsNoSet) {
    Make({"a/1.jpg", "b/__MACOSX/._p1.jpg", "b/__MACOSX/._x.cbz", "b/._p1.jpg", "b/._x.cbz", "b/p1.jpg", "b/p._2.jpg",
          "c/._only.jpg", "d/2.jpg"});
    EXPECT_EQ(Next("a"), "b/p._2.jpg b/p1.jpg");
    EXPECT_EQ(Next("b"), "d/2.jpg") << "c holds nothing but metadata";
    EXPECT_EQ(Previous("d"), "b/p._2.jpg b/p1.jpg");
}

TEST_F(NextFilesTest, NamesCompareWithoutCaseOrNumbers) {
    Make({"a10/1.jpg", "a9/1.jpg", "B/1.jpg"});
    // Order: a10, a9, B.
    EXPECT_EQ(Next("a10"), "a9/1.jpg");
    EXPECT_EQ(Next("a9"), "B/1.jpg");
    EXPECT_EQ(Previous("B"), "a9/1.jpg");
    EXPECT_EQ(TNextFiles::CompareNames("a10", "a9") < 0, true);
    EXPECT_EQ(TNextFiles::CompareNames("ABC", "abc"), 0);
}

TEST_F(NextFilesTest, DeepestLastSetComesBeforeAFolderGoingBackwards) {
    Make({"a/1.jpg", "b/x/1.jpg", "b/y/z/1.jpg", "b/y/2.jpg", "c/1.jpg"});
    // Order: a, b/x, b/y/z, b/y, c.
    EXPECT_EQ(Previous("c"), "b/y/2.jpg");
    EXPECT_EQ(Previous("b/y"), "b/y/z/1.jpg");
    EXPECT_EQ(Next("b/y/z"), "b/y/2.jpg");
    EXPECT_EQ(Next("b/x"), "b/y/z/1.jpg");
}

TEST_F(NextFilesTest, FromTheRootWithNothingAfterItThereIsNoNextSet) {
    TNextFiles n;
    EXPECT_FALSE(n.GetNextFiles("/", "/zzzzzzzz-not-there.cbz"));
}

TEST_F(NextFilesTest, AWalkOfTooManyMovesGivesUp) {
    // Each empty folder costs a move down and one up.
    for (int i = 0; i < 510; ++i) Make({"m/e" + std::to_string(1000 + i) + "/"});
    Make({"a/1.jpg", "z/1.jpg"});
    TNextFiles n;
    EXPECT_FALSE(n.GetNextFiles(P("a"), ""));
    EXPECT_EQ(n.Moves(), TNextFiles::kMaxMoves);
    TNextFiles p;
    EXPECT_FALSE(p.GetPreviousFiles(P("z"), ""));
    // With fewer folders the same walk succeeds.
    fs::remove_all(P("m"));
    Make({"m/e1/", "m/e2/"});
    EXPECT_EQ(Next("a"), "z/1.jpg");
}

TEST_F(NextFilesTest, LinkLoopsAreNotFollowed) {
    Make({"a/1.jpg", "b/c/", "d/1.jpg"});
    fs::create_directory_symlink(P("b"), P("b/c/loop"));   // back up to an ancestor
    fs::create_directory_symlink(P("b/c"), P("b/self"));    // sideways into a sibling
    fs::create_directory_symlink(P("x"), P("b/dangling"));  // to nothing
    EXPECT_EQ(Next("a"), "d/1.jpg");
    EXPECT_EQ(Previous("d"), "a/1.jpg");
}

TEST_F(NextFilesTest, AFolderThatCannotBeReadIsPassed) {
    Make({"a/1.jpg", "b/hidden.jpg", "c/1.jpg"});
    fs::permissions(P("b"), fs::perms::none);
    DIR* d = opendir(P("b").c_str());  // the super-user reads it all the same
    bool readable = d != nullptr;
    if (d) closedir(d);
    EXPECT_EQ(Next("a"), readable ? "b/hidden.jpg" : "c/1.jpg");
    EXPECT_EQ(Previous("c"), readable ? "b/hidden.jpg" : "a/1.jpg");
    fs::permissions(P("b"), fs::perms::owner_all);
}

TEST_F(NextFilesTest, AnArchiveSetGoesOnToTheLooseImagesOfItsFolder) {
    Make({"s/a.cbz", "s/b.cbt", "s/p.jpg", "s/q.txt", "s/sub/1.jpg"});
    EXPECT_EQ(Next("s/sub"), "s/a.cbz");
    EXPECT_EQ(Next("s", "s/a.cbz"), "s/b.cbt");
    EXPECT_EQ(Next("s", "s/b.cbt"), "s/p.jpg s/q.txt");
    EXPECT_EQ(Previous("s"), "s/b.cbt");
    EXPECT_EQ(Previous("s", "s/a.cbz"), "s/sub/1.jpg");
}

}  // namespace
}  // namespace vellicor
