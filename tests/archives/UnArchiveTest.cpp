// The archive front end: recognition, member lists, extraction, failures and re-entry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "TarTestSupport.h"
#include "archives/TarArchive.h"
#include "archives/UnArchive.h"
#include "archives/UnArchiveSource.h"
#include "archives/UnArchiveZip.h"
#include "archives/zip/ZipComponent.h"
#include "ZipTestSupport.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

std::string Text(TStream* s) {
    if (!s) return "<null>";
    std::string out(static_cast<size_t>(s->Size()), '\0');
    s->SetPosition(0);
    s->Read(out.data(), s->Size());
    return out;
}

// Writes a tar archive of name/content pairs with our writer.
std::string MakeTar(const TempDir& dir, const std::string& file, const std::vector<std::pair<std::string, std::string>>& members) {
    std::string path = dir.File(file);
    TTarWriter w(path);
    for (auto& [name, data] : members) w.AddString(data, name, 25569.0);
    w.Finalize();
    return path;
}

// Records OnArchiveReady.
struct ReadyLog {
    int count = 0;
    void* sender = nullptr;
    void Attach(TUnArchive& a) {
        a.OnArchiveReady = [this](void* s) {
            ++count;
            sender = s;
        };
    }
};

int g_owner;

TEST(ArchiveNames, ExtensionTests) {
    struct Case { const char* name; TArchiveType type; };
    const Case cases[] = {
        {"book.zip", atZip}, {"BOOK.CBZ", atZip}, {"dir/x.Rar", atRar}, {"x.cbr", atRar},
        {"c:\\comics\\x.ACE", atAce}, {"x.cba", atAce}, {"x.tar", atTar}, {"/a/b.CbT", atTar},
        {"x.tar.gz", atNone}, {"x.zip/", atNone}, {"dir.zip/file", atNone}, {"dir.cbz\\file", atNone},
        {"zip", atNone}, {".cbt", atTar}, {"", atNone}, {"x.jpg", atNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsZipFile(c.name), c.type == atZip);
        EXPECT_EQ(IsRarFile(c.name), c.type == atRar);
        EXPECT_EQ(IsAceFile(c.name), c.type == atAce);
        EXPECT_EQ(IsTarFile(c.name), c.type == atTar);
        EXPECT_EQ(IsArchiveFile(c.name), c.type != atNone);
    }
}

TEST(ArchiveNames, ContentTest) {
    TempDir dir;
    std::string at257 = std::string(257, 'x');
    std::map<std::string, TArchiveType> files = {
        {dir.Write("zip.bin", "PK\x03\x04rest"), atZip},
        {dir.Write("rar.bin", std::string("Rar!\x1a\x07\x00rest", 11)), atRar},
        {dir.Write("ace.bin", "1234567**ACE**rest"), atAce},
        {dir.Write("gnu.bin", at257 + "ustar  " + std::string(300, '\0')), atTar},
        {dir.Write("gnutar.bin", at257 + "GNUtar " + std::string(300, '\0')), atTar},
        {dir.Write("posix.bin", at257 + std::string("ustar\0" "00", 8) + std::string(300, '\0')), atNone},
        {dir.Write("short-zip.bin", "PK\x03"), atNone},
        {dir.Write("short-tar.bin", at257 + "ustar "), atNone},
        {dir.Write("empty.bin", ""), atNone},
        // The order decides: zip before tar.
        {dir.Write("both.bin", "PK\x03\x04" + std::string(253, 'x') + "ustar  " + std::string(300, '\0')), atZip},
        {dir.File("missing.bin"), atNone},
        {dir.Path(), atNone},
    };
    for (auto& [path, type] : files) EXPECT_EQ(CheckArchiveFileType(path), type) << path;
    EXPECT_EQ(CheckArchiveFileType(""), atNone);
}

TEST(ArchiveNames, ContentWinsOverExtension) {
    TempDir dir;
    TUnArchive a(&g_owner);
    a.GetArchiveFileType(dir.Write("really-zip.cbr", "PK\x03\x04"));
    EXPECT_EQ(a.ArchiveType(), atZip);
    a.GetArchiveFileType(MakeTar(dir, "gnu-looking.dat", {{"a", "b"}}));  // our magic reads as "ustar  "
    EXPECT_EQ(a.ArchiveType(), atTar);
    std::string posix = ReadFileBytes(TestDataDir() + "posix.tar");
    a.GetArchiveFileType(dir.Write("posix.dat", posix));
    EXPECT_EQ(a.ArchiveType(), atNone);
    a.GetArchiveFileType(dir.Write("posix.CBT", posix));
    EXPECT_EQ(a.ArchiveType(), atTar);
    a.GetArchiveFileType(dir.Write("text.cbz", "just text"));
    EXPECT_EQ(a.ArchiveType(), atZip);
}

TEST(UnArchiveTar, ListsFiresOnceAndExtractsInAnyOrder) {
    FakeUi ui;
    TUnArchive a(&g_owner);
    ReadyLog ready;
    ready.Attach(a);
    std::string path = TestDataDir() + "posix.tar";
    auto manifest = ReadManifest(path + ".txt");
    a.SetFileName(path);
    EXPECT_EQ(a.ArchiveType(), atTar);
    EXPECT_EQ(a.ArchiveFileName(), path);
    EXPECT_EQ(ready.count, 1);
    EXPECT_EQ(ready.sender, &g_owner);
    ASSERT_EQ(a.FileNames().Count(), static_cast<int>(manifest.size()));
    std::vector<std::string> forward;
    for (int i = 0; i < a.FileNames().Count(); ++i) {
        std::string name = a.FileNames()[i];
        EXPECT_EQ(name.back() == '/' ? name.substr(0, name.size() - 1) : name, manifest[static_cast<size_t>(i)].name);
        TMemoryStream* s = a.Extract(name);
        ASSERT_NE(s, nullptr) << name;
        EXPECT_EQ(s->Position(), 0);
        forward.push_back(Text(s));
        const ManifestEntry& m = manifest[static_cast<size_t>(i)];
        if (m.type == '0') {
            EXPECT_EQ(forward.back(), MemberContent(m.name, m.size));
        }
    }
    for (int i = a.FileNames().Count(); i-- > 0;) EXPECT_EQ(Text(a.Extract(a.FileNames()[i])), forward[static_cast<size_t>(i)]);
    // The same member twice, and members picked at random.
    for (int i : {3, 3, 0, 12, 5, 12}) EXPECT_EQ(Text(a.Extract(a.FileNames()[i])), forward[static_cast<size_t>(i)]);
    EXPECT_TRUE(ui.shown.empty());
}

TEST(UnArchiveTar, PositionTableGrowsInStepsOfAHundred) {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> members;
    for (int i = 0; i < 250; ++i) members.push_back({"page" + std::to_string(i) + ".jpg", std::string(static_cast<size_t>(i * 7), 'a' + i % 26)});
    std::string path = MakeTar(dir, "big.cbt", members);
    TUnArchive a(&g_owner);
    EXPECT_EQ(a.TarPositionsCapacity(), 0);
    a.SetFileName(path);
    ASSERT_EQ(a.FileNames().Count(), 250);
    EXPECT_EQ(a.TarPositionsCapacity(), 300);
    for (int i : {0, 99, 100, 199, 249, 1}) EXPECT_EQ(Text(a.Extract(members[static_cast<size_t>(i)].first)), members[static_cast<size_t>(i)].second);
    a.SetFileName(MakeTar(dir, "small.cbt", {{"one", "1"}}));
    EXPECT_EQ(a.FileNames().Count(), 1);
    EXPECT_EQ(a.TarPositionsCapacity(), 300) << "the table is kept for the next archive";
    EXPECT_EQ(Text(a.Extract("one")), "1");
}

TEST(UnArchiveTar, NamesMatchExactlyAndDuplicatesGiveTheFirst) {
    TempDir dir;
    TUnArchive a(&g_owner);
    a.SetFileName(MakeTar(dir, "d.tar", {{"Page.jpg", "upper"}, {"page.jpg", "lower"}, {"page.jpg", "second"}}));
    ASSERT_EQ(a.FileNames().Count(), 3);
    EXPECT_EQ(Text(a.Extract("page.jpg")), "lower");
    EXPECT_EQ(Text(a.Extract("Page.jpg")), "upper");
    EXPECT_EQ(a.Extract("PAGE.JPG"), nullptr);
    EXPECT_EQ(a.Extract("missing.jpg"), nullptr);
    EXPECT_EQ(a.Extract(""), nullptr);
}

TEST(UnArchiveTar, MemberThatCannotBeDeliveredGivesNull) {
    FakeUi ui;
    TempDir dir;
    TUnArchive a(&g_owner);
    std::string path = MakeTar(dir, "c.tar", {{"a.jpg", std::string(3000, 'a')}, {"b.jpg", "bbb"}});
    a.SetFileName(path);
    ASSERT_EQ(a.FileNames().Count(), 2);
    ASSERT_EQ(Text(a.Extract("a.jpg")), std::string(3000, 'a'));
    // The archive changes under us: another name where b.jpg was.
    {
        std::string bytes = ReadFileBytes(path);
        size_t at = bytes.find("b.jpg");
        ASSERT_NE(at, std::string::npos);
        bytes[at] = 'x';
        TFileStream f;
        ASSERT_TRUE(f.Open(path, FileMode::OpenReadWrite));
        f.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    TMemoryStream* s = a.Extract("b.jpg");
    EXPECT_EQ(s, nullptr) << "never the previous member's stream";
    // Cut short: the data of a.jpg is gone.
    ASSERT_EQ(::truncate(path.c_str(), 1024), 0);
    EXPECT_EQ(a.Extract("a.jpg"), nullptr);
    EXPECT_TRUE(ui.shown.empty()) << "a failed page shows the error page, not a message";
    // Nothing open at all.
    TUnArchive none(&g_owner);
    EXPECT_EQ(none.Extract("a.jpg"), nullptr);
}

TEST(UnArchiveTar, DamagedArchivesGiveAnEmptyListAndAMessage) {
    TempDir dir;
    std::string good = RawHeader("a.jpg", '0', 3).block + Padded("abc");
    RawHeader badSum("b.jpg", '0', 0);
    badSum.Set(148, "0000001");
    const std::pair<const char*, std::string> damaged[] = {
        {"checksum.cbt", good + badSum.block + ZeroBlocks()},
        {"size.cbt", good + RawHeader("b.jpg", '0', 100000).block + std::string(1000, 'x')},
        {"garbage.tar", std::string(4096, '\x5a')},
    };
    for (auto& [file, bytes] : damaged) {
        SCOPED_TRACE(file);
        FakeUi ui;
        TUnArchive a(&g_owner);
        ReadyLog ready;
        ready.Attach(a);
        std::string path = dir.Write(file, bytes);
        a.SetFileName(path);
        EXPECT_EQ(a.FileNames().Count(), 0);
        EXPECT_EQ(ready.count, 0);
        EXPECT_EQ(a.ArchiveType(), atNone);
        EXPECT_EQ(a.ArchiveFileName(), "");
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, path);
        EXPECT_NE(ui.shown[0].text.find("damaged"), std::string::npos) << ui.shown[0].text;
        EXPECT_EQ(a.Extract("a.jpg"), nullptr);
    }
    FakeUi ui;
    TUnArchive a(&g_owner);
    a.SetFileName(dir.File("missing.cbt"));
    EXPECT_EQ(a.FileNames().Count(), 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_NE(ui.shown[0].text.find("cannot be opened"), std::string::npos) << ui.shown[0].text;
}

TEST(UnArchiveTar, EmptyAndUnknownFilesAreQuiet) {
    FakeUi ui;
    TempDir dir;
    TUnArchive a(&g_owner);
    ReadyLog ready;
    ready.Attach(a);
    a.SetFileName(dir.Write("zeros.cbt", ZeroBlocks(20)));
    EXPECT_EQ(a.ArchiveType(), atTar);
    EXPECT_EQ(a.FileNames().Count(), 0);
    a.SetFileName(dir.Write("notes.txt", "hello"));
    EXPECT_EQ(a.ArchiveType(), atNone);
    a.SetFileName("");
    EXPECT_EQ(a.ArchiveType(), atNone);
    EXPECT_EQ(ready.count, 0);
    EXPECT_TRUE(ui.shown.empty());
}

TEST(UnArchiveTar, NextArchiveEmptiesThePreviousList) {
    TempDir dir;
    TUnArchive a(&g_owner);
    a.SetFileName(MakeTar(dir, "one.tar", {{"a", "1"}, {"b", "2"}}));
    ASSERT_EQ(a.FileNames().Count(), 2);
    TMemoryStream* first = a.Extract("a");
    a.SetFileName(dir.Write("plain.txt", "x"));
    EXPECT_EQ(a.FileNames().Count(), 0);
    EXPECT_EQ(a.Extract("a"), nullptr);
    a.SetFileName(MakeTar(dir, "two.tar", {{"c", "3"}}));
    EXPECT_EQ(a.FileNames().Count(), 1);
    EXPECT_EQ(a.Extract("c"), first) << "tar members share one stream";
    EXPECT_EQ(Text(first), "3");
}

// A reader standing in for the zip component, the rar or the ace interface.
class FakeReader : public TArchiveReader {
public:
    void SetFileName(const std::string& ArchiveName) override {
        opened.push_back(ArchiveName);
        names.Clear();
        if (onList) onList();
        for (auto& [name, data] : members) names.Add(name);
    }
    const TStringList& FileNames() const override { return names; }
    TMemoryStream* Extract(const std::string& MemberName) override {
        if (onExtract) onExtract();
        for (auto& [name, data] : members)
            if (name == MemberName) {
                stream.Clear();
                stream.Write(data.data(), static_cast<int64_t>(data.size()));  // left at the end
                return &stream;
            }
        return nullptr;
    }
    std::vector<std::pair<std::string, std::string>> members;
    std::vector<std::string> opened;
    std::function<void()> onList, onExtract;
    TStringList names;
    TMemoryStream stream;
};

TEST(UnArchiveReaders, ReaderListsAndExtractsThroughTheFrontEnd) {
    FakeUi ui;
    TempDir dir;
    TUnArchive a(&g_owner);
    auto reader = std::make_unique<FakeReader>();
    FakeReader* fake = reader.get();
    fake->members = {{"b\\2.jpg", "two"}, {"a\\1.jpg", "one"}};
    a.SetReader(atZip, std::move(reader));
    ReadyLog ready;
    ready.Attach(a);
    std::string path = dir.Write("book.cbr", "PK\x03\x04 zip content under a rar name");
    a.SetFileName(path);
    EXPECT_EQ(a.ArchiveType(), atZip);
    EXPECT_EQ(fake->opened, std::vector<std::string>{path});
    ASSERT_EQ(a.FileNames().Count(), 2);
    EXPECT_EQ(a.FileNames()[0], "b\\2.jpg") << "the reader's order is kept";
    EXPECT_EQ(ready.count, 1);
    TMemoryStream* s = a.Extract("a\\1.jpg");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Position(), 0) << "rewound for the caller";
    EXPECT_EQ(Text(s), "one");
    EXPECT_EQ(a.Extract("c.jpg"), nullptr);

    // An empty list fires nothing.
    fake->members.clear();
    a.SetFileName(path);
    EXPECT_EQ(ready.count, 1);
    EXPECT_TRUE(ui.shown.empty());

    // A kind with no reader in this build is reported, and leaves nothing open.
    a.SetReader(atRar, nullptr);
    a.SetFileName(dir.Write("x.cbr", "not really rar"));
    EXPECT_EQ(a.ArchiveType(), atNone);
    EXPECT_EQ(a.FileNames().Count(), 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, dir.File("x.cbr"));
}

TUnArchive* g_reentered = nullptr;
std::vector<std::string> g_reentryResults;

TUnArchiveSource* g_reenteredSource = nullptr;

void TryToReenter() {
    TMemoryStream* s = g_reentered->Extract("a.jpg");
    g_reentryResults.push_back(s ? "stream" : "null");
    g_reentered->SetFileName(VELLICOR_SOURCE_DIR "/tests/data/tar/gnu.tar");
    g_reentryResults.push_back(g_reentered->ArchiveFileName());
    if (g_reenteredSource) {
        TStringList names;
        bool opened = g_reenteredSource->Open(VELLICOR_SOURCE_DIR "/tests/data/tar/gnu.tar", names);
        g_reentryResults.push_back("open " + std::to_string(opened) + " " + std::to_string(names.Count()));
    }
}

TEST(UnArchiveReaders, NoReentryWhileAReaderLetsMessagesThrough) {
    FakeUi ui;
    TempDir dir;
    TUnArchiveSource source(&g_owner);
    TUnArchive& a = source.FrontEnd();
    auto reader = std::make_unique<FakeReader>();
    FakeReader* fake = reader.get();
    fake->members = {{"a.jpg", "A"}};
    fake->onList = fake->onExtract = [] { ProcessMessages(); };
    a.SetReader(atZip, std::move(reader));
    g_reentered = &a;
    g_reentryResults.clear();
    ui.onProcessMessages = TryToReenter;
    std::string path = dir.Write("x.zip", "PK\x03\x04");
    a.SetFileName(path);
    EXPECT_EQ(g_reentryResults, (std::vector<std::string>{"null", path})) << "refused while listing";
    EXPECT_EQ(a.ArchiveFileName(), path);
    ASSERT_EQ(a.FileNames().Count(), 1);
    EXPECT_FALSE(a.Busy());
    // Through the loader's source as well: a refused open lends no other archive's names.
    g_reenteredSource = &source;
    g_reentryResults.clear();
    EXPECT_EQ(Text(source.Extract("a.jpg")), "A");
    EXPECT_EQ(g_reentryResults, (std::vector<std::string>{"null", path, "open 0 0"})) << "refused while extracting";
    g_reenteredSource = nullptr;
    EXPECT_EQ(fake->opened.size(), 1u);
    EXPECT_FALSE(a.Busy());
    ui.onProcessMessages = nullptr;
}

TEST(UnArchiveReaders, TheReadyEventMayExtractAndOpenTheNextArchive) {
    TempDir dir;
    TUnArchive a(&g_owner);
    std::string first = MakeTar(dir, "1.cbt", {{"x.sfv", "checksums"}, {"p.jpg", "page"}});
    std::string second = MakeTar(dir, "2.cbt", {{"q.jpg", "next"}});
    std::vector<std::string> seen;
    a.OnArchiveReady = [&](void*) {
        if (a.ArchiveFileName() == first) {
            seen.push_back(Text(a.Extract("x.sfv")));
            a.SetFileName(second);
        } else {
            seen.push_back(Text(a.Extract("q.jpg")));
        }
    };
    a.SetFileName(first);
    EXPECT_EQ(seen, (std::vector<std::string>{"checksums", "next"}));
    EXPECT_EQ(a.ArchiveFileName(), second);
}

// The zip component behind the front end, on an archive written by Python's zipfile.
TEST(UnArchiveZip, TheZipComponentListsAndExtractsExactlyTheMemberAsked) {
    ZIP_REQUIRE_TOOLS();
    FakeUi ui;
    TempDir dir;
    ASSERT_TRUE(RunPython(dir.Path(), R"PY(
import zipfile
with zipfile.ZipFile('book.cbz', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('b/2.jpg', b'two' * 100)
    z.writestr('b/', b'')
    z.writestr('A.jpg', b'upper')
    z.writestr('a.jpg', b'lower')
    z.writestr('empty.jpg', b'')
)PY"));
    TUnArchive a(&g_owner);
    auto reader = std::make_unique<TZipArchiveReader>(&g_owner);
    TZipComponent& zip = reader->Zip();
    zip.SetDLLDirectory(ModuleDir());
    a.SetReader(atZip, std::move(reader));
    ReadyLog ready;
    ready.Attach(a);
    a.SetFileName(dir.File("book.cbz"));
    EXPECT_EQ(ready.count, 1);
    EXPECT_EQ(ready.sender, &g_owner);
    EXPECT_EQ(a.FileNames().CommaText(), "b\\2.jpg,A.jpg,a.jpg,empty.jpg") << "directory order, no folders";
    EXPECT_TRUE(zip.UnzDllLoaded()) << "loaded once by the front end";
    std::string two;
    for (int i = 0; i < 100; ++i) two += "two";
    EXPECT_EQ(Text(a.Extract("b\\2.jpg")), two);
    EXPECT_EQ(Text(a.Extract("a.jpg")), "lower") << "names that differ only in case are different members";
    EXPECT_EQ(Text(a.Extract("A.jpg")), "upper");
    TMemoryStream* empty = a.Extract("empty.jpg");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Size(), 0);
    EXPECT_EQ(a.Extract("missing.jpg"), nullptr);
    EXPECT_TRUE(zip.UnzDllLoaded()) << "kept loaded between extractions";
    EXPECT_TRUE(ui.shown.empty());

    // Not a zip archive: the component says so; no list, no event.
    a.SetFileName(dir.Write("text.cbz", std::string(3000, 't')));
    EXPECT_EQ(a.FileNames().Count(), 0);
    EXPECT_EQ(ready.count, 1);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "This archive is not a valid Zip archive");
    a.SetFileName(dir.File("book.cbz"));
    EXPECT_EQ(Text(a.Extract("A.jpg")), "upper");
}

TEST(UnArchiveSourceTest, OpensExtractsAndCloses) {
    TempDir dir;
    TUnArchiveSource src(&g_owner);
    TStringList names;
    names.Add("stale");
    EXPECT_TRUE(src.Open(MakeTar(dir, "b.cbt", {{"p1.jpg", "one"}, {"p2.jpg", "two"}}), names));
    EXPECT_EQ(names.CommaText(), "p1.jpg,p2.jpg");
    EXPECT_EQ(Text(src.Extract("p2.jpg")), "two");
    src.Close();
    EXPECT_EQ(src.FrontEnd().ArchiveType(), atNone);
    EXPECT_EQ(src.Extract("p2.jpg"), nullptr);
    EXPECT_FALSE(src.Open(dir.Write("empty.cbt", ZeroBlocks()), names));
    EXPECT_EQ(names.Count(), 0);
}

}  // namespace
