// The archive front end: recognition, member lists, extraction, failures and re-entry; the
// zip component behind it; the file loader reading archives through it.
#include <gtest/gtest.h>
#include <unistd.h>

#include "ArchiveTestSupport.h"
#include "archives/TarArchive.h"
#include "archives/UnArchive.h"
#include "archives/UnArchiveSource.h"
#include "archives/UnArchiveZip.h"
#include "archives/zip/ZipComponent.h"
#include "pages/LoadFiles.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "platform/DynLib.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

int g_owner;

// A tar archive of name/content pairs, written by our writer.
std::string MakeTar(const TempDir& dir, const std::string& file, const std::vector<std::pair<std::string, std::string>>& members) {
    TTarWriter w(dir.File(file));
    for (auto& [name, data] : members) w.AddString(data, name, 25569.0);
    return dir.File(file);
}

struct ReadyLog {
    int count = 0;
    void* sender = nullptr;
    explicit ReadyLog(TUnArchive& a) {
        a.OnArchiveReady = [this](void* s) {
            ++count;
            sender = s;
        };
    }
};

TEST(ArchiveNames, ExtensionAndContentTests) {
    const std::pair<const char*, TArchiveType> names[] = {
        {"book.zip", atZip}, {"BOOK.CBZ", atZip}, {"dir/x.Rar", atRar}, {"x.cbr", atRar}, {"c:\\comics\\x.ACE", atAce},
        {"x.cba", atAce}, {"x.tar", atTar}, {"/a/b.CbT", atTar}, {".cbt", atTar}, {"x.tar.gz", atNone},
        {"x.zip/", atNone}, {"dir.zip/file", atNone}, {"dir.cbz\\file", atNone}, {"zip", atNone}, {"", atNone},
    };
    for (const auto& [name, type] : names) {
        EXPECT_EQ(IsZipFile(name), type == atZip) << name;
        EXPECT_EQ(IsRarFile(name), type == atRar) << name;
        EXPECT_EQ(IsAceFile(name), type == atAce) << name;
        EXPECT_EQ(IsTarFile(name), type == atTar) << name;
        EXPECT_EQ(IsArchiveFile(name), type != atNone) << name;
    }
    TempDir dir;
    std::string at257(257, 'x'), tail(300, '\0'), posix = RawHeader("a", '0', 0).block + ZeroBlocks();
    const std::pair<std::string, TArchiveType> files[] = {
        {dir.Write("zip.bin", "PK\x03\x04rest"), atZip},
        {dir.Write("rar.bin", std::string("Rar!\x1a\x07\x00rest", 11)), atRar},
        {dir.Write("ace.bin", "1234567**ACE**rest"), atAce},
        {dir.Write("gnu.bin", at257 + "ustar  " + tail), atTar},
        {dir.Write("gnutar.bin", at257 + "GNUtar " + tail), atTar},
        {dir.Write("posix.bin", posix), atNone},
        {dir.Write("short-zip.bin", "PK\x03"), atNone},
        {dir.Write("short-tar.bin", at257 + "ustar "), atNone},
        {dir.Write("both.bin", "PK\x03\x04" + std::string(253, 'x') + "ustar  " + tail), atZip},  // zip first
        {dir.File("missing.bin"), atNone},
        {dir.Path(), atNone},
        {"", atNone},
    };
    for (const auto& [path, type] : files) EXPECT_EQ(CheckArchiveFileType(path), type) << path;
    // The content wins over the extension; the extension decides only when the content is unknown.
    TUnArchive a(&g_owner);
    const std::pair<std::string, TArchiveType> decided[] = {
        {dir.Write("really-zip.cbr", "PK\x03\x04"), atZip}, {MakeTar(dir, "ours.dat", {{"a", "b"}}), atTar},
        {dir.Write("posix.dat", posix), atNone}, {dir.Write("posix.CBT", posix), atTar},
        {dir.Write("text.cbz", "just text"), atZip}};
    for (const auto& [path, type] : decided) {
        a.GetArchiveFileType(path);
        EXPECT_EQ(a.ArchiveType(), type) << path;
    }
}

TEST(UnArchiveTar, ListsOnceAndExtractsInAnyOrder) {
    FakeUi ui;
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> members;
    for (int i = 0; i < 250; ++i) members.push_back({"page" + std::to_string(i) + ".jpg", std::string(static_cast<size_t>(i * 7), char('a' + i % 26))});
    members.push_back({"Page1.jpg", "upper"});
    members.push_back({"page1.jpg", "second of the name"});
    TUnArchive a(&g_owner);
    ReadyLog ready(a);
    EXPECT_EQ(a.TarPositionsCapacity(), 0);
    std::string path = MakeTar(dir, "big.cbt", members);
    a.SetFileName(path);
    EXPECT_EQ(a.ArchiveType(), atTar);
    EXPECT_EQ(a.ArchiveFileName(), path);
    EXPECT_EQ(ready.count, 1);
    EXPECT_EQ(ready.sender, &g_owner);
    ASSERT_EQ(a.FileNames().Count(), 252);
    EXPECT_EQ(a.TarPositionsCapacity(), 300) << "grown in steps of 100";
    // In list order (no seeks), backwards (a seek each), the same member twice, at random.
    std::vector<int> order;
    for (int i = 0; i < 250; ++i) order.push_back(i);
    for (int i = 250; i-- > 0;) order.push_back(i);
    for (int i : {3, 3, 0, 120, 5, 249}) order.push_back(i);
    for (int i : order) {
        TMemoryStream* s = a.Extract(members[static_cast<size_t>(i)].first);
        ASSERT_NE(s, nullptr) << i;
        EXPECT_EQ(s->Position(), 0);
        EXPECT_EQ(Bytes(s), members[static_cast<size_t>(i)].second) << i;
    }
    // Names match exactly; of two members of the same name the first is delivered.
    EXPECT_EQ(Bytes(a.Extract("Page1.jpg")), "upper");
    EXPECT_EQ(Bytes(a.Extract("page1.jpg")), std::string(7, 'b'));
    EXPECT_EQ(a.Extract("PAGE1.JPG"), nullptr);
    EXPECT_EQ(a.Extract(""), nullptr);

    TMemoryStream* shared = a.Extract("page1.jpg");
    a.SetFileName(MakeTar(dir, "small.cbt", {{"one", "1"}}));
    EXPECT_EQ(a.FileNames().CommaText(), "one") << "the previous list is gone";
    EXPECT_EQ(a.TarPositionsCapacity(), 300) << "the table is kept for the next archive";
    EXPECT_EQ(a.Extract("one"), shared) << "tar members share one stream";
    EXPECT_EQ(Bytes(shared), "1");
    EXPECT_TRUE(ui.shown.empty());
}

TEST(UnArchiveTar, RealBooksAndMembersThatCannotBeDelivered) {
    FakeUi ui;
    TempDir dir;
    TUnArchive a(&g_owner);
    if (!TarBooks().empty()) {  // POSIX tar with pax headers: recognised by its extension
        auto manifest = ReadManifest(TarBooks() + "posix.tar.txt");
        a.SetFileName(TarBooks() + "posix.tar");
        ASSERT_EQ(a.FileNames().Count(), static_cast<int>(manifest.size()));
        for (int i = a.FileNames().Count(); i-- > 0;) {
            const ManifestEntry& m = manifest[static_cast<size_t>(i)];
            if (m.type == '0') {
                EXPECT_EQ(Bytes(a.Extract(m.name)), MemberContent(m.name, m.size)) << m.name;
            }
        }
    }
    std::string path = MakeTar(dir, "c.tar", {{"a.jpg", std::string(3000, 'a')}, {"b.jpg", "bbb"}});
    a.SetFileName(path);
    ASSERT_EQ(Bytes(a.Extract("a.jpg")), std::string(3000, 'a'));
    // The archive changes under us: another name where b.jpg was; then cut short.
    std::string bytes = ReadFileBytes(path);
    bytes[bytes.find("b.jpg")] = 'x';
    dir.Write("c.tar", bytes);
    EXPECT_EQ(a.Extract("b.jpg"), nullptr) << "never the previous member's stream";
    ASSERT_EQ(::truncate(path.c_str(), 1024), 0);
    EXPECT_EQ(a.Extract("a.jpg"), nullptr);
    EXPECT_EQ(TUnArchive(&g_owner).Extract("a.jpg"), nullptr);
    EXPECT_TRUE(ui.shown.empty()) << "a failed page shows the error page, not a message";
}

TEST(UnArchiveTar, DamagedArchivesGiveAnEmptyListAndAMessageEmptyOnesNothing) {
    TempDir dir;
    std::string good = RawHeader("a.jpg", '0', 3).block + Padded("abc");
    RawHeader badSum("b.jpg", '0', 0);
    badSum.Set(148, "0000001");
    const std::pair<std::string, const char*> cases[] = {
        {dir.Write("checksum.cbt", good + badSum.block + ZeroBlocks()), "damaged"},
        {dir.Write("size.cbt", good + RawHeader("b.jpg", '0', 100000).block + std::string(1000, 'x')), "damaged"},
        {dir.Write("garbage.tar", std::string(4096, '\x5a')), "damaged"},
        {dir.File("missing.cbt"), "cannot be opened"},
        {dir.Write("zeros.cbt", ZeroBlocks(20)), nullptr},
        {dir.Write("notes.txt", "hello"), nullptr},
        {"", nullptr},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        FakeUi ui;
        TUnArchive a(&g_owner);
        ReadyLog ready(a);
        a.SetFileName(MakeTar(dir, "before.tar", {{"x", "y"}}));
        a.SetFileName(path);
        EXPECT_EQ(a.FileNames().Count(), 0);
        EXPECT_EQ(ready.count, 1);
        EXPECT_EQ(a.Extract("a.jpg"), nullptr);
        EXPECT_EQ(a.Extract("x"), nullptr);
        if (!message) {
            EXPECT_TRUE(ui.shown.empty());
            continue;
        }
        EXPECT_EQ(a.ArchiveType(), atNone);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, path);
        EXPECT_NE(ui.shown[0].text.find(message), std::string::npos) << ui.shown[0].text;
    }
}

// A reader standing in for the zip component, the rar or the ace interface.
class FakeReader : public TArchiveReader {
public:
    void SetFileName(const std::string& ArchiveName) override {
        opened.push_back(ArchiveName);
        names.Clear();
        if (onCall) onCall();
        for (auto& [name, data] : members) names.Add(name);
    }
    const TStringList& FileNames() const override { return names; }
    TMemoryStream* Extract(const std::string& MemberName) override {
        if (onCall) onCall();
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
    std::function<void()> onCall;
    TStringList names;
    TMemoryStream stream;
};

TEST(UnArchiveReaders, AReaderListsAndExtractsThroughTheFrontEnd) {
    FakeUi ui;
    TempDir dir;
    TUnArchive a(&g_owner);
    auto reader = std::make_unique<FakeReader>();
    FakeReader* fake = reader.get();
    fake->members = {{"b\\2.jpg", "two"}, {"a\\1.jpg", "one"}};
    a.SetReader(atZip, std::move(reader));
    ReadyLog ready(a);
    std::string path = dir.Write("book.cbr", "PK\x03\x04 zip content under a rar name");
    a.SetFileName(path);
    EXPECT_EQ(fake->opened, std::vector<std::string>{path});
    EXPECT_EQ(a.FileNames().CommaText(), "b\\2.jpg,a\\1.jpg") << "the reader's order is kept";
    EXPECT_EQ(ready.count, 1);
    TMemoryStream* s = a.Extract("a\\1.jpg");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Position(), 0) << "rewound for the caller";
    EXPECT_EQ(Bytes(s), "one");
    EXPECT_EQ(a.Extract("c.jpg"), nullptr);
    fake->members.clear();
    a.SetFileName(path);
    EXPECT_EQ(ready.count, 1) << "an empty list fires nothing";
    EXPECT_TRUE(ui.shown.empty());
    // A kind with no reader in this build is reported, and leaves nothing open.
    a.SetReader(atRar, nullptr);
    a.SetFileName(dir.Write("x.cbr", "not really rar"));
    EXPECT_EQ(a.ArchiveType(), atNone);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, dir.File("x.cbr"));

    // The ready event may extract and open the next archive at once.
    std::string first = MakeTar(dir, "1.cbt", {{"x.sfv", "checksums"}}), second = MakeTar(dir, "2.cbt", {{"q.jpg", "next"}});
    std::vector<std::string> seen;
    a.OnArchiveReady = [&](void*) {
        seen.push_back(Bytes(a.Extract(a.FileNames()[0])));
        if (a.ArchiveFileName() == first) a.SetFileName(second);
    };
    a.SetFileName(first);
    EXPECT_EQ(seen, (std::vector<std::string>{"checksums", "next"}));
}

TUnArchiveSource* g_source = nullptr;
std::vector<std::string> g_reentry;

void TryToReenter() {
    TUnArchive& a = g_source->FrontEnd();
    g_reentry.push_back(a.Extract("a.jpg") ? "stream" : "null");
    a.SetFileName(VELLICOR_SOURCE_DIR "/CMakeLists.txt.tar");
    g_reentry.push_back(a.ArchiveFileName());
    TStringList names;
    bool opened = g_source->Open(VELLICOR_SOURCE_DIR "/other.tar", names);
    g_reentry.push_back("open " + std::to_string(opened) + " " + std::to_string(names.Count()));
}

TEST(UnArchiveReaders, NoReentryWhileAReaderLetsMessagesThrough) {
    FakeUi ui;
    TempDir dir;
    TUnArchiveSource source(&g_owner);
    auto reader = std::make_unique<FakeReader>();
    FakeReader* fake = reader.get();
    fake->members = {{"a.jpg", "A"}};
    fake->onCall = [] { ProcessMessages(); };
    source.FrontEnd().SetReader(atZip, std::move(reader));
    g_source = &source;
    ui.onProcessMessages = TryToReenter;
    std::string path = dir.Write("x.zip", "PK\x03\x04");
    TStringList names;
    EXPECT_TRUE(source.Open(path, names));
    EXPECT_EQ(g_reentry, (std::vector<std::string>{"null", path, "open 0 0"})) << "refused while listing";
    g_reentry.clear();
    EXPECT_EQ(Bytes(source.Extract("a.jpg")), "A");
    // A refused open lends no other archive's names.
    EXPECT_EQ(g_reentry, (std::vector<std::string>{"null", path, "open 0 0"})) << "refused while extracting";
    EXPECT_EQ(fake->opened, std::vector<std::string>{path});
    EXPECT_FALSE(source.FrontEnd().Busy());
    ui.onProcessMessages = nullptr;
    source.Close();
    EXPECT_EQ(source.FrontEnd().ArchiveType(), atNone);
    EXPECT_EQ(source.Extract("a.jpg"), nullptr);
}

// The zip component behind the front end, on an archive written by Python's zipfile.
TEST(UnArchiveZip, TheZipComponentListsAndExtractsExactlyTheMemberAsked) {
    ZIP_REQUIRE_TOOLS();
    FakeUi ui;
    TempDir dir;
    ASSERT_TRUE(RunPython(dir.Path(), R"PY(
import zipfile
with zipfile.ZipFile('book.cbz', 'w', zipfile.ZIP_DEFLATED) as z:
    for name, data in [('b/2.jpg', b'two' * 100), ('b/', b''), ('A.jpg', b'upper'), ('a.jpg', b'lower'), ('empty.jpg', b'')]:
        z.writestr(name, data)
)PY"));
    TUnArchive a(&g_owner);
    auto reader = std::make_unique<TZipArchiveReader>(&g_owner);
    TZipComponent& zip = reader->Zip();
    zip.SetDLLDirectory(ModuleDir());
    a.SetReader(atZip, std::move(reader));
    ReadyLog ready(a);
    a.SetFileName(dir.File("book.cbz"));
    EXPECT_EQ(ready.count, 1);
    EXPECT_EQ(ready.sender, &g_owner);
    EXPECT_EQ(a.FileNames().CommaText(), "b\\2.jpg,A.jpg,a.jpg,empty.jpg") << "directory order, no folders";
    EXPECT_TRUE(zip.UnzDllLoaded()) << "loaded once by the front end";
    EXPECT_EQ(Bytes(a.Extract("b\\2.jpg")), Repeat("two", 100));
    EXPECT_EQ(Bytes(a.Extract("a.jpg")), "lower") << "names that differ only in case are different members";
    EXPECT_EQ(Bytes(a.Extract("A.jpg")), "upper");
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
    EXPECT_EQ(Bytes(a.Extract("A.jpg")), "upper");
}

// The loader with the program's own archive source: tar and zip open like directories.
TEST(UnArchiveLoader, ArchivesOpenLikeDirectories) {
    FakeUi ui;
    TempDir dir;
    TSettings settings{};
    SetPageSettings(&settings);
    SetModuleSearchDir(ModuleDir());  // the unzip library, as next to the program
    int owner = 0, filesReady = 0;
    TLoadFiles loader(&owner);
    loader.SetArchiveSource(std::make_unique<TUnArchiveSource>(&owner));
    loader.OnFilesReady = [&](void*) { ++filesReady; };
    TStringList names;
    names.Add(MakeTar(dir, "one.cbt", {{"p03.jpg", "3"}, {"p01.jpg", "1"}, {"p02.png", "2"}, {"readme.txt", "r"}}));
    std::string broken = dir.Write("broken.cbt", RawHeader("x.jpg", '0', 99999).block);
    names.Add(broken);
    bool zip = HaveTool("python3") && RunPython(dir.Path(), "import zipfile\nzipfile.ZipFile('two.cbz', 'w').writestr('q1.jpg', b'q')\n");
    if (zip) names.Add(dir.File("two.cbz"));
    loader.LoadFiles(names, 0);
    EXPECT_EQ(filesReady, 1);
    TPageList& list = *loader.FileNames();
    std::vector<std::string> pages = {"p01.jpg", "p02.png", "p03.jpg"}, bytes = {"1", "2", "3"};
    if (zip) {
        pages.push_back("q1.jpg");
        bytes.push_back("q");
    }
    ASSERT_EQ(list.GetPageCount(), static_cast<int>(pages.size()));
    ASSERT_EQ(ui.shown.size(), 1u) << "the damaged archive is reported";
    EXPECT_EQ(ui.shown[0].caption, broken);
    for (int i : {0, static_cast<int>(pages.size()) - 1, 2, 1, 0}) {  // back and forth between the archives
        EXPECT_EQ(list.GetPageName(i), pages[static_cast<size_t>(i)]);
        std::string got = "<none>";
        loader.OnStreamReady = [&](void*, TStream* s, const std::string&) { got = Bytes(s); };
        loader.LoadPage(i);
        EXPECT_EQ(got, bytes[static_cast<size_t>(i)]) << i;
    }
    SetModuleSearchDir("");
    SetPageSettings(nullptr);
}

}  // namespace
