// The archive front end: recognition, member lists, extraction, failures and re-entry; the
// zip component behind it; the file loader reading archives through it.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "ArchiveTestSupport.h"
#include "RarWriter.h"
#include "archives/MemberMessages.h"
#include "archives/UnArchive.h"
#include "archives/UnArchiveSource.h"
#include "archives/UnArchiveZip.h"
#include "archives/Unrarif.h"
#include "archives/zip/ZipComponent.h"
#include "pages/LoadFiles.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "platform/DynLib.h"
#include "settings/Configuration.h"
#include "support/ChildRun.h"
#include "support/FakeUi.h"
#include "support/LoaderTestSupport.h"

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

// Counts OnArchiveReady, checking its sender.
int& CountReady(TUnArchive& a) {
    static int count;
    count = 0;
    a.OnArchiveReady = [](void* sender) { count += sender == &g_owner ? 1 : 1000; };
    return count;
}

TEST(ArchiveNames, ExtensionAndContentTests) {
    const std::pair<const char*, TArchiveType> names[] = {
        {"BOOK.CBZ", atZip}, {"dir/x.Rar", atRar}, {"c:\\comics\\x.ACE", atAce}, {"/a/b.CbT", atTar}, {".cbt", atTar},
        {"x.tar.gz", atNone}, {"x.zip/", atNone}, {"dir.cbz\\file", atNone}, {"zip", atNone}, {"", atNone},
    };
    for (const auto& [n, type] : names) {
        EXPECT_EQ(IsZipFile(n) + 2 * IsRarFile(n) + 3 * IsAceFile(n) + 4 * IsTarFile(n), type) << n;
        EXPECT_EQ(IsArchiveFile(n), type != atNone) << n;
    }
    TempDir dir;
    std::string at257(257, 'x'), tail(300, '\0'), posix = RawHeader("a", '0', 0).block + ZeroBlocks();
    const std::pair<std::string, TArchiveType> files[] = {
        {dir.Write("zip.bin", "PK\x03\x04rest"), atZip}, {dir.Write("rar.bin", std::string("Rar!\x1a\x07\x00rest", 11)), atRar},
        {dir.Write("ace.bin", "1234567**ACE**rest"), atAce}, {dir.Write("gnu.bin", at257 + "ustar  " + tail), atTar},
        {dir.Write("gnutar.bin", at257 + "GNUtar " + tail), atTar}, {dir.Write("posix.bin", posix), atNone},
        {dir.Write("short-zip.bin", "PK\x03"), atNone}, {dir.Write("short-tar.bin", at257 + "ustar "), atNone},
        {dir.Write("both.bin", "PK\x03\x04" + std::string(253, 'x') + "ustar  " + tail), atZip},  // zip first
        {dir.File("missing.bin"), atNone}, {dir.Path(), atNone}, {"", atNone},
    };
    for (const auto& [path, type] : files) EXPECT_EQ(CheckArchiveFileType(path), type) << path;
    // The content wins over the extension; the extension decides only when the content is unknown.
    TUnArchive a(&g_owner);
    const std::pair<std::string, TArchiveType> decided[] = {
        {dir.Write("really-zip.cbr", "PK\x03\x04"), atZip}, {MakeTar(dir, "ours.dat", {{"a", "b"}}), atTar},
        {dir.Write("posix.dat", posix), atNone}, {dir.Write("posix.CBT", posix), atTar}, {dir.Write("text.cbz", "just text"), atZip}};
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
    int& ready = CountReady(a);
    a.SetFileName(MakeTar(dir, "big.cbt", members));
    EXPECT_EQ(ready, 1);
    ASSERT_EQ(a.FileNames().Count(), 252);
    // In list order (no seeks), backwards (a seek each), the same member twice, at random.
    for (int k = 0; k < 506; ++k) {
        size_t i = static_cast<size_t>(k < 250 ? k : k < 500 ? 499 - k : (std::vector<int>{3, 3, 0, 120, 5, 249})[k - 500]);
        TMemoryStream* s = a.Extract(members[i].first);
        ASSERT_NE(s, nullptr) << i;
        EXPECT_EQ(s->Position(), 0);
        EXPECT_EQ(Bytes(s), members[i].second) << i;
    }
    // Names match exactly; of two members of the same name the first is delivered.
    EXPECT_EQ(Bytes(a.Extract("Page1.jpg")), "upper");
    EXPECT_EQ(Bytes(a.Extract("page1.jpg")), "bbbbbbb");
    EXPECT_TRUE(a.Extract("PAGE1.JPG") == nullptr && a.Extract("") == nullptr);
    a.SetFileName(MakeTar(dir, "small.cbt", {{"one", "1"}}));
    EXPECT_EQ(a.FileNames().CommaText(), "one") << "the previous list is gone";

    // The archive changes under us: another name where a member was; then it is cut short.
    std::string path = MakeTar(dir, "c.tar", {{"a.jpg", std::string(3000, 'a')}, {"b.jpg", "bbb"}}), bytes = ReadFileBytes(path);
    a.SetFileName(path);
    ASSERT_EQ(Bytes(a.Extract("a.jpg")), std::string(3000, 'a'));
    bytes[bytes.find("b.jpg")] = 'x';
    dir.Write("c.tar", bytes);
    EXPECT_EQ(a.Extract("b.jpg"), nullptr) << "never the previous member's stream";
    ASSERT_EQ(::truncate(path.c_str(), 1024), 0);
    EXPECT_EQ(a.Extract("a.jpg"), nullptr);
    EXPECT_EQ(TUnArchive(&g_owner).Extract("a.jpg"), nullptr);
    EXPECT_TRUE(ui.shown.empty()) << "a failed page shows the error page, not a message";
}

// Damage costs only the members it hits: every intact member is listed and extracted, and
// the damage is told in one message; an archive with nothing intact is forgotten.
TEST(UnArchiveTar, DamageCostsOnlyTheMembersItHits) {
    TempDir dir;
    std::string good = RawHeader("a.jpg", '0', 3).block + Padded("abc");
    std::string last = RawHeader("d.jpg", '0', 4).block + Padded("dddd");
    RawHeader badSum("b.jpg", '0', 0), hit("c.jpg", '0', 1500), garbageSize("c.jpg", '0', 1500), sparse("s.jpg", 'S', 0, "ustar  \0");
    badSum.Set(148, "0000001");
    hit.Set(124, "00000077777");  // a size hit by damage: the checksum no longer matches
    garbageSize.Set(124, "0000x002734").FixChecksum();
    std::string cut = ReadFileBytes(MakeTar(dir, "whole.cbt", {{"p1.jpg", std::string(3000, '1')}, {"p2.jpg", std::string(3000, '2')},
                                                             {"p3.jpg", std::string(3000, '3')}}));
    const struct {
        std::string path, names;
        const char* message;
    } cases[] = {
        {dir.Write("checksum.cbt", good + badSum.block + last + ZeroBlocks()), "a.jpg b.jpg d.jpg", "(wrong checksum) at byte 1024"},
        {dir.Write("hit.cbt", good + hit.block + std::string(1536, 'c') + last + ZeroBlocks()), "a.jpg d.jpg", "(wrong checksum) at byte 1024"},
        {dir.Write("size.cbt", good + garbageSize.block + std::string(1536, 'c') + last + ZeroBlocks()), "a.jpg d.jpg",
         "size field of a header is not a number at byte 1024"},
        // Cut short: told as an archive that ends early, after its last whole member.
        {dir.Write("cut.cbt", cut.substr(0, cut.size() / 2)), "p1.jpg p2.jpg",
         "The archive ends early, after the member p1.jpg; the members up to it are shown.\nThe member p2.jpg is cut short"},
        {dir.Write("header.cbt", cut.substr(0, 512 + 3072 + 300)), "p1.jpg",
         "The archive ends early, after the member p1.jpg; the members up to it are shown."},
        {dir.Write("ends.cbt", cut.substr(0, cut.size() - 100)), "p1.jpg p2.jpg p3.jpg", nullptr},  // only its end blocks cut
        {dir.Write("long.cbt", good + RawHeader("b.jpg", '0', 100000).block + std::string(1000, 'x')), "a.jpg b.jpg",
         "The archive ends early, after the member a.jpg"},
        {dir.Write("sparse.cbt", good + sparse.block + last + ZeroBlocks()), "a.jpg d.jpg", "Sparse members cannot be shown: \"s.jpg\""},
        {dir.Write("garbage.tar", std::string(4096, '\x5a')), "", "damaged and cannot be read"},
        // Packed whole by a compressor: named as such, not as damage.
        {dir.Write("packed.cbt", std::string("\x1f\x8b\x08\0", 4) + std::string(2000, '\x33')), "", "compressed with gzip; tar archives"},
        {dir.Write("packed.tar", "BZh91AY&SY" + std::string(2000, '\x33')), "", "compressed with bzip2"},
        {dir.Write("packed2.cbt", std::string("\xfd" "7zXZ\0", 6) + std::string(2000, '\x33')), "", "compressed with xz"},
        {dir.File("missing.cbt"), "", "cannot be opened"},
        {dir.Write("zeros.cbt", ZeroBlocks(20)), "", nullptr}, {dir.Write("notes.txt", "hello"), "", nullptr}, {"", "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        FakeUi ui;
        TUnArchive a(&g_owner);
        int& ready = CountReady(a);
        a.SetFileName(MakeTar(dir, "before.tar", {{"x", "y"}}));
        a.SetFileName(c.path);
        std::string names;
        for (const auto& n : a.FileNames()) names += (names.empty() ? "" : " ") + n;
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(ready, c.names.empty() ? 1 : 2);
        EXPECT_EQ(a.Extract("x"), nullptr);
        ASSERT_EQ(ui.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(ui.shown[0].caption, c.path);
            EXPECT_NE(ui.shown[0].text.find(c.message), std::string::npos) << ui.shown[0].text;
        }
        if (c.names.empty()) {
            if (c.message) {
                EXPECT_EQ(a.ArchiveType(), atNone);
            }
            continue;
        }
        const std::string first = c.names.substr(0, c.names.find(' ')), lastName = c.names.substr(c.names.rfind(' ') + 1);
        EXPECT_EQ(Bytes(a.Extract(first)), first == "a.jpg" ? "abc" : std::string(3000, '1'));
        if (lastName == "d.jpg") {
            EXPECT_EQ(Bytes(a.Extract(lastName)), "dddd");
        } else if (lastName == "b.jpg" || lastName == "p2.jpg") {
            EXPECT_EQ(a.Extract(lastName), nullptr) << "only the read of a member cut off fails";
        }
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
        stream.Clear();
        for (auto& [name, data] : members) {
            if (name != MemberName) continue;
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

TEST(UnArchiveReaders, AReaderBehindTheFrontEndAndNoReentry) {
    FakeUi ui;
    TempDir dir;
    TUnArchiveSource source(&g_owner);
    TUnArchive& a = source.FrontEnd();
    auto reader = std::make_unique<FakeReader>();
    FakeReader* fake = reader.get();
    fake->members = {{"b\\2.jpg", "two"}, {"a\\1.jpg", "one"}};
    a.SetReader(atZip, std::move(reader));
    int& ready = CountReady(a);
    std::string path = dir.Write("book.cbr", "PK\x03\x04 zip content under a rar name");
    TStringList names;
    EXPECT_TRUE(source.Open(path, names));
    EXPECT_EQ(fake->opened, std::vector<std::string>{path});
    EXPECT_EQ(names.CommaText(), "b\\2.jpg,a\\1.jpg") << "the reader's order is kept";
    EXPECT_EQ(ready, 1);
    TStream* s = source.Extract("a\\1.jpg");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Position(), 0) << "rewound for the caller";
    EXPECT_EQ(Bytes(s), "one");
    EXPECT_EQ(a.Extract("c.jpg"), nullptr);
    fake->members.clear();
    EXPECT_FALSE(source.Open(path, names));
    EXPECT_EQ(ready, 1) << "an empty list fires nothing";

    // While the reader lets messages through nothing enters the front end again, and a
    // refused open lends no other archive's names.
    fake->members = {{"a.jpg", "A"}};
    fake->onCall = [] { ProcessMessages(); };
    g_source = &source;
    ui.onProcessMessages = TryToReenter;
    EXPECT_TRUE(source.Open(path, names));
    EXPECT_EQ(g_reentry, (std::vector<std::string>{"null", path, "open 0 0"})) << "refused while listing";
    g_reentry.clear();
    EXPECT_EQ(Bytes(source.Extract("a.jpg")), "A");
    EXPECT_EQ(g_reentry, (std::vector<std::string>{"null", path, "open 0 0"})) << "refused while extracting";
    EXPECT_EQ(fake->opened.size(), 3u);
    EXPECT_FALSE(a.Busy());
    ui.onProcessMessages = nullptr;
    fake->onCall = nullptr;
    source.Close();
    EXPECT_EQ(source.Extract("a.jpg"), nullptr);
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
    int& ready = CountReady(a);
    a.SetFileName(dir.File("book.cbz"));
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(a.FileNames().CommaText(), "b\\2.jpg,A.jpg,a.jpg,empty.jpg") << "directory order, no folders";
    EXPECT_TRUE(zip.UnzDllLoaded()) << "loaded once by the front end";
    EXPECT_EQ(Bytes(a.Extract("b\\2.jpg")), Repeat("two", 100));
    EXPECT_EQ(Bytes(a.Extract("a.jpg")), "lower") << "names that differ only in case are different members";
    EXPECT_EQ(Bytes(a.Extract("A.jpg")), "upper");
    EXPECT_TRUE(zip.UnzDllLoaded()) << "kept loaded between extractions";
    EXPECT_TRUE(ui.shown.empty());
}

int g_zipPasses = 0;
void StopAtSecondPass() {
    if (++g_zipPasses == 2) RequestStop();
}

// Esc while a large cbz member is unpacked: the library stops at its next report, and
// nothing is said of a member cut short by the program's end.
TEST(UnArchiveZip, TheProgramsEndStopsAMemberAtTheNextReport) {
    ZIP_REQUIRE_TOOLS();
    FakeUi ui;
    TempDir dir;
    ASSERT_TRUE(RunPython(dir.Path(), R"PY(
import random, zipfile
random.seed(7)
with zipfile.ZipFile('book.cbz', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('big.jpg', bytes(random.getrandbits(8) for _ in range(4 << 20)))
)PY"));
    TUnArchive a(&g_owner);
    auto reader = std::make_unique<TZipArchiveReader>(&g_owner);
    reader->Zip().SetDLLDirectory(ModuleDir());
    a.SetReader(atZip, std::move(reader));
    a.SetFileName(dir.File("book.cbz"));
    ASSERT_EQ(a.FileNames().CommaText(), "big.jpg");
    ui.processMessagesCalls = 0;
    ASSERT_EQ(Bytes(a.Extract("big.jpg")).size(), size_t(4) << 20);
    const int passes = ui.processMessagesCalls;
    ASSERT_GT(passes, 4) << "the library reports as it goes";

    g_zipPasses = 0;
    ui.processMessagesCalls = 0;
    ui.onProcessMessages = StopAtSecondPass;
    testing::internal::CaptureStderr();
    TStream* s = a.Extract("big.jpg");
    const std::string said = testing::internal::GetCapturedStderr();
    ui.onProcessMessages = nullptr;
    RequestStop(false);
    EXPECT_TRUE(s == nullptr || s->Size() < (int64_t(4) << 20)) << "not unpacked to its end";
    EXPECT_LE(ui.processMessagesCalls, 3) << "stopped at the next report";
    EXPECT_EQ(said, "") << "nothing to say of a member the program's end cut short";
    EXPECT_EQ(Bytes(a.Extract("big.jpg")).size(), size_t(4) << 20) << "read whole again afterwards";
}

// What the allocator holds for the program; 0 where it does not say (under a sanitizer).
size_t HeapInUse() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// Leaving an archive (the next one opened, or the program ending) lets go of the last
// member's bytes, for a zip as for a tar (the stream handed out is not looked at: it ends with
// the archive), and the next opening reads the member again in full.
TEST(UnArchiveReaders, LeavingAnArchiveLetsGoOfTheLastMembersBytes) {
    ZIP_REQUIRE_TOOLS();
    FakeUi ui;
    TempDir dir;
    ASSERT_TRUE(RunPython(dir.Path(), R"PY(
import zipfile
with zipfile.ZipFile('book.cbz', 'w', zipfile.ZIP_STORED) as z:
    z.writestr('big.jpg', b'z' * (3 << 20))
)PY"));
    const std::string tar = MakeTar(dir, "book.cbt", {{"big.jpg", std::string(size_t(3) << 20, 't')}});
    TUnArchive a(&g_owner);
    auto reader = std::make_unique<TZipArchiveReader>(&g_owner);
    reader->Zip().SetDLLDirectory(ModuleDir());
    a.SetReader(atZip, std::move(reader));
    for (const std::string& name : {dir.File("book.cbz"), tar}) {
        SCOPED_TRACE(name);
        a.SetFileName(name);
        TMemoryStream* s = a.Extract("big.jpg");
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->Size(), int64_t(3) << 20);
        const size_t held = HeapInUse();
        a.SetFileName("");
        if (held > 0) {
            EXPECT_GE(held - std::min(held, HeapInUse()), size_t(3) << 20) << "the member's bytes are gone with the archive";
        }
        a.SetFileName(name);
        TMemoryStream* again = a.Extract("big.jpg");
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->Size(), int64_t(3) << 20);
        a.SetFileName("");
    }
    EXPECT_TRUE(ui.shown.empty());
}

long g_zipResidentBefore = 0, g_zipGrewAtFirstPass = -1;

// A stored member and one that inflates far (64 MB of one byte from a few KB): the stored
// one is not cleared or touched whole before its first piece is there, the inflated one is
// reported at least every 8 MB (not in one call for the whole page), and the program's end
// stops either at its next report.
TEST(UnArchiveZip, StoredAndFarInflatingMembersAreReportedAsTheyComeAndStopThere) {
    ZIP_REQUIRE_TOOLS();
    FakeUi ui;
    TempDir dir;
    ASSERT_TRUE(RunPython(dir.Path(), R"PY(
import zipfile
page = bytes(range(256)) * (1 << 18)
with zipfile.ZipFile('stored.cbz', 'w', zipfile.ZIP_STORED) as z:
    z.writestr('big.bmp', page)
with zipfile.ZipFile('black.cbz', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('black.bmp', bytes(64 << 20))
)PY"));
    for (const char* book : {"stored.cbz", "black.cbz"}) {
        SCOPED_TRACE(book);
        const bool stored = std::string(book) == "stored.cbz";
        TUnArchive a(&g_owner);
        auto reader = std::make_unique<TZipArchiveReader>(&g_owner);
        reader->Zip().SetDLLDirectory(ModuleDir());
        uint32_t largest = 0;
        reader->Zip().OnProgress = [&](TZipComponent*, ProgressType type, const std::string&, uint32_t size) {
            if (type == ProgressUpdate) largest = std::max(largest, size);
        };
        a.SetReader(atZip, std::move(reader));
        a.SetFileName(dir.File(book));
        const std::string name = stored ? "big.bmp" : "black.bmp";
        ASSERT_EQ(a.FileNames().CommaText(), name);
        ui.processMessagesCalls = 0;
        g_zipGrewAtFirstPass = -1;
        g_zipResidentBefore = ResidentMB();
        ui.onProcessMessages = [] {
            if (g_zipGrewAtFirstPass < 0) g_zipGrewAtFirstPass = ResidentMB() - g_zipResidentBefore;
        };
        ASSERT_EQ(Bytes(a.Extract(name)).size(), size_t(64) << 20);
        ui.onProcessMessages = nullptr;
        EXPECT_GE(ui.processMessagesCalls, 8);
        EXPECT_LE(largest, 8u << 20) << "unpacked between two reports";
        if (stored && kPeakMemoryMeasured) {
            EXPECT_LT(g_zipGrewAtFirstPass, 32) << "MB touched before the first piece";
        }

        g_zipPasses = 0;
        ui.processMessagesCalls = 0;
        ui.onProcessMessages = StopAtSecondPass;
        testing::internal::CaptureStderr();
        TStream* s = a.Extract(name);
        const std::string said = testing::internal::GetCapturedStderr();
        ui.onProcessMessages = nullptr;
        RequestStop(false);
        EXPECT_TRUE(s == nullptr || s->Size() == 0) << "nothing delivered";
        EXPECT_LE(ui.processMessagesCalls, 3) << "stopped at the next report";
        EXPECT_EQ(said, "") << "nothing to say of a member the program's end cut short";
    }
}

// The loader over the program's own archive source, with the rar library built here.
class LoaderOverArchives : public LoaderFixture {
protected:
    LoaderOverArchives() { TUnRar::UseLibrary(ModuleDir() + "/libunrar.so"); }
    ~LoaderOverArchives() override { TUnRar::UseLibrary(TUnRar::kLibraryName); }
};

// A damaged member of a cbr (its CRC fails) shows its message once: when the read-ahead
// meets it, and not again when its page is asked for; the other pages are read.
TEST_F(LoaderOverArchives, ADamagedRarMemberIsReportedOnceThroughReadAheadAndPage) {
    if (!std::filesystem::exists(ModuleDir() + "/libunrar.so")) GTEST_SKIP() << "the rar library was not built";
    std::vector<RarMember> members;
    for (int i = 1; i <= 4; ++i) members.push_back({"p" + std::to_string(i) + ".jpg", MemberContent("page" + std::to_string(i), 900)});
    std::string path = WriteStoredRar(dir.File("book"), members, 0, true, dir.File("book.cbr"))[0];
    std::string bytes = ReadFileBytes(path);
    size_t at = bytes.find(members[2].data.substr(0, 64));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 300] ^= 0x10;
    dir.Write("book.cbr", bytes);
    Load({path});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 4);
    EXPECT_EQ(Serve(0), members[0].data);
    EXPECT_TRUE(loader.Idle());
    ASSERT_EQ(ui.shown.size(), 1u) << "the read-ahead met the damage";
    EXPECT_EQ(ui.shown[0].text, "The member p3.jpg is damaged and cannot be shown.\nIts data do not match their checksum (CRC).");
    EXPECT_EQ(ui.shown[0].caption, path);
    EXPECT_EQ(Serve(2), "<null>");
    EXPECT_EQ(Serve(3), members[3].data);
    EXPECT_EQ(Serve(2), "<null>");
    EXPECT_EQ(ui.shown.size(), 1u) << "once, not again for the page";
}

// A cbr cut short (an interrupted download) shows its pages up to the cut; the page it ends
// in is the error page, and the one message is said as the book opens, not again for the page.
TEST_F(LoaderOverArchives, ACutCbrShowsThePagesBeforeTheCut) {
    if (!std::filesystem::exists(ModuleDir() + "/libunrar.so")) GTEST_SKIP() << "the rar library was not built";
    std::vector<RarMember> members;
    for (int i = 1; i <= 4; ++i) members.push_back({"p" + std::to_string(i) + ".jpg", MemberContent("page" + std::to_string(i), 900)});
    std::string path = WriteStoredRar(dir.File("book"), members, 0, true, dir.File("book.cbr"))[0];
    std::string bytes = ReadFileBytes(path);
    dir.Write("book.cbr", bytes.substr(0, bytes.size() * 7 / 10));
    Load({path});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 3);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, path);
    EXPECT_EQ(ui.shown[0].text, "The archive ends early, after the member p2.jpg; the members up to it are shown.\n"
                                "The member p3.jpg is cut short and cannot be shown.");
    EXPECT_EQ(Serve(0), members[0].data);
    EXPECT_EQ(Serve(1), members[1].data);
    EXPECT_EQ(Serve(2), "<null>");
    EXPECT_EQ(Serve(0), members[0].data);
    loader.Idle();
    EXPECT_EQ(ui.shown.size(), 1u) << "once, not again for the page";
}

// A book of two chapter folders with the same page names, as cbr (RAR 4, '\\' stored), cbt
// and cbz: four pages in the same order, each read by its own name, and the book's checksum
// list (naming them with '\\') judges each page by its folder.
TEST_F(LoaderOverArchives, ChapterFoldersGiveEveryPageInTheSameOrderForEveryKind) {
    if (!std::filesystem::exists(ModuleDir() + "/libunrar.so")) GTEST_SKIP() << "the rar library was not built";
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 missing";
    std::vector<std::pair<std::string, std::string>> members;
    std::vector<RarMember> rar;
    std::string sfv;
    for (const char* name : {"ch2/02.jpg", "ch1/01.jpg", "ch2/01.jpg", "ch1/02.jpg"}) {
        const std::string file = dir.Write("src/" + std::string(name), MemberContent(name, 700)), stored = std::string(name).replace(3, 1, "\\");
        members.emplace_back(name, ReadFileBytes(file));
        rar.push_back({stored, members.back().second});
        // The list is wrong about one page alone.
        const std::string listed = stored == "ch2\\01.jpg" ? "not this page" : members.back().second;
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(crc32(0, reinterpret_cast<const Bytef*>(listed.data()), static_cast<uInt>(listed.size()))));
        sfv += stored + " " + crc + "\r\n";
    }
    members.emplace_back("book.sfv", sfv);
    rar.push_back({"book.sfv", sfv});
    dir.Write("src/book.sfv", sfv);
    ASSERT_TRUE(RunPython(dir.Path(), "import shutil\nshutil.make_archive('book', 'zip', 'src')\n"));
    std::vector<std::string> orders;
    for (const std::string& book : {WriteStoredRar(dir.File("b"), rar, 0, true, dir.File("book.cbr"))[0], MakeTar(dir, "book.cbt", members),
                                    dir.File("book.zip")}) {
        SCOPED_TRACE(book);
        ui.shown.clear();
        Load({book});
        ASSERT_EQ(loader.FileNames()->GetPageCount(), 4);
        orders.emplace_back();
        for (int page : {0, 1, 2, 3, 1}) {
            std::string name = loader.FileNames()->GetPageName(page);
            std::replace(name.begin(), name.end(), '\\', '/');
            EXPECT_EQ(Serve(page), MemberContent(name, 700)) << name;
            orders.back() += name + " ";
            loader.Idle();
        }
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption + ": " + ui.shown[0].text.replace(3, 1, "/"), "SFV file checksum error: ch2/01.jpg")
            << "the page the list is wrong about, and no other";
    }
    EXPECT_EQ(orders[0], "ch1/01.jpg ch1/02.jpg ch2/01.jpg ch2/02.jpg ch1/02.jpg ");
    EXPECT_EQ(orders[1], orders[0]);
    EXPECT_EQ(orders[2], orders[0]);
}

// Pages of a cbr whose members are encrypted (their names are not): the archive is said to
// be unreadable once per opening, however many of its pages the read-ahead and the reader meet.
TEST_F(LoaderOverArchives, AnEncryptedCbrIsReportedOncePerOpening) {
    if (!std::filesystem::exists(ModuleDir() + "/libunrar.so")) GTEST_SKIP() << "the rar library was not built";
    std::vector<RarMember> members;
    for (int i = 0; i < 4; ++i)
        members.push_back({"p" + std::to_string(i) + ".jpg", MemberContent("page" + std::to_string(i), 900), false, i ? 0x04u : 0u});
    std::string path = WriteStoredRar(dir.File("locked"), members, 0, true, dir.File("locked.cbr"))[0];
    auto told = [&] {
        size_t n = 0;
        for (const ShownMessage& m : ui.shown) n += m.text == "encrypted archives are not supported" && m.caption == path;
        return n;
    };
    for (int opening = 1; opening <= 2; ++opening) {
        SCOPED_TRACE(opening);
        Load({path});
        ASSERT_EQ(loader.FileNames()->GetPageCount(), 4);
        EXPECT_EQ(Serve(0), members[0].data);
        loader.Idle();
        for (int page : {1, 2, 3, 2}) EXPECT_EQ(Serve(page), "<null>");
        EXPECT_EQ(told(), static_cast<size_t>(opening));
        EXPECT_EQ(ui.shown.size(), static_cast<size_t>(opening)) << "nothing else is said";
    }
    EXPECT_TRUE(ui.passwordRequests.empty());
}

// A damaged member of a cbz (its CRC fails, or its compressed data are broken) is named in
// one message per opening, whichever of the read-ahead and the page meets it first; the
// other pages are read.
TEST_F(LoaderOverArchives, ADamagedCbzMemberIsNamedOncePerOpening) {
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 missing";
    ASSERT_TRUE(RunPython(dir.Path(), "import zipfile, random\n"
                                      "r = random.Random(5)\n"
                                      "with zipfile.ZipFile('book.cbz', 'w') as z:\n"
                                      "    for i in range(4):\n"
                                      "        data = bytes(r.randrange(256) for _ in range(3000))\n"
                                      "        z.writestr('p%02d.jpg' % i, data, zipfile.ZIP_DEFLATED if i == 3 else zipfile.ZIP_STORED)\n"));
    const std::string path = dir.File("book.cbz");
    std::string bytes = ReadFileBytes(path);
    // The stored p01 gets a wrong byte; the deflated p03 loses the middle of its data.
    size_t p01 = bytes.find("p01.jpg");
    ASSERT_NE(p01, std::string::npos);
    bytes[p01 + 7 + 1000] ^= 0x55;
    size_t p03 = bytes.find("p03.jpg");
    ASSERT_NE(p03, std::string::npos);
    for (size_t i = 0; i < 200; ++i) bytes[p03 + 7 + 1000 + i] = '\xff';
    dir.Write("book.cbz", bytes);
    auto damaged = [&](const std::string& member) {
        size_t n = 0;
        for (const ShownMessage& m : ui.shown)
            n += m.caption == path && m.text.rfind("The member " + member + " is damaged and cannot be shown.", 0) == 0;
        return n;
    };
    Load({path});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 4);
    EXPECT_EQ(Serve(1), "<null>") << "the page meets it first";
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(damaged("p01.jpg"), 1u) << ui.shown[0].text;
    EXPECT_NE(ui.shown[0].text.find("(CRC)"), std::string::npos) << ui.shown[0].text;
    EXPECT_NE(Serve(0), "<null>");
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(damaged("p03.jpg"), 1u) << "the read-ahead meets it first";
    for (int page : {1, 3, 2, 1, 3}) EXPECT_EQ(Serve(page) == "<null>", page != 2) << page;
    EXPECT_EQ(ui.shown.size(), 2u) << "once each, not again for the pages";
    Load({path});
    EXPECT_EQ(Serve(1), "<null>");
    EXPECT_EQ(damaged("p01.jpg"), 2u) << "said again once the set is opened again";
}

// An encrypted cbz: a page whose password question was cancelled, or answered wrongly, is
// asked for again when the page is visited again, and the right answer shows it. "Cancel
// all" and "Abort" stop the questions until the archive is opened again.
TEST_F(LoaderOverArchives, AnEncryptedCbzPageIsAskedForAgainOnTheNextVisit) {
    if (!HaveTool("zip") || !HaveTool("python3")) GTEST_SKIP() << "zip or python3 missing";
    ASSERT_TRUE(RunPython(dir.Path(), "import os\nos.makedirs('src', exist_ok=True)\n"
                                      "for i in range(3): open('src/p%d.jpg' % i, 'wb').write(b'page %d ' % i * 500)\n"));
    ASSERT_EQ(RunShell("cd " + Quote(dir.File("src")) + " && zip -q -P secret " + Quote(dir.File("locked.cbz")) +
                       " p0.jpg p1.jpg p2.jpg"),
              0);
    const std::string path = dir.File("locked.cbz");
    const std::string page0 = ReadFileBytes(dir.File("src/p0.jpg"));
    Load({path});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 3);
    EXPECT_EQ(Serve(0), "<null>") << "cancelled";
    EXPECT_EQ(ui.passwordRequests.size(), 1u);
    ui.passwords = {"wrong"};
    EXPECT_EQ(Serve(0), "<null>") << "asked again, answered wrongly";
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    ui.passwords = {"secret"};
    EXPECT_EQ(Serve(0), page0) << "asked again, answered rightly";
    EXPECT_EQ(ui.passwordRequests.size(), 3u);
    EXPECT_TRUE(loader.Idle());
    EXPECT_EQ(Serve(2), ReadFileBytes(dir.File("src/p2.jpg")));
    EXPECT_EQ(ui.passwordRequests.size(), 3u) << "the answer serves the other pages";
    EXPECT_TRUE(ui.shown.empty()) << "a password is no damage";

    // In a set of two archives, turning to the other one and back opens this one again.
    ASSERT_TRUE(RunPython(dir.Path(), "import zipfile\nzipfile.ZipFile('plain.cbz', 'w').writestr('q0.jpg', b'plain')\n"));
    for (int refusal : {mrAll, mrAbort}) {
        SCOPED_TRACE(refusal);
        ui.passwordRequests.clear();
        ui.passwordRefusal = refusal;
        Load({path, dir.File("plain.cbz")});
        ASSERT_EQ(loader.FileNames()->GetPageCount(), 4);
        EXPECT_EQ(Serve(1), "<null>");
        EXPECT_EQ(ui.passwordRequests.size(), 1u);
        loader.Idle();
        EXPECT_EQ(Serve(1), "<null>");
        EXPECT_EQ(Serve(2), "<null>");
        EXPECT_EQ(ui.passwordRequests.size(), 1u) << "no more questions while the archive is open";
        EXPECT_EQ(Serve(3), "plain");
        ui.passwords = {"secret"};
        EXPECT_EQ(Serve(1), ReadFileBytes(dir.File("src/p1.jpg"))) << "opened again, asked again";
        EXPECT_EQ(ui.passwordRequests.size(), 2u);
    }
}

// book.z01 opened by itself names its set and asks for the last part; a volume missing from
// a set opened by its last part is named.
TEST_F(LoaderOverArchives, APartOfASplitZipSetNamesTheSetAndAMissingVolumeIsNamed) {
    const std::string z01 = dir.Write("book.z01", std::string("PK\x07\x08PK\x03\x04", 8));
    dir.Write("book.zip", "x");
    Load({z01});
    ASSERT_EQ(ui.shown.size(), 1u) << "the one message, no second one about images";
    EXPECT_EQ(ui.shown[0].caption, z01);
    EXPECT_EQ(ui.shown[0].text, "book.z01 is part 1 of the split zip set book.zip: please open its last part, " +
                                    dir.File("book.zip") + ".");
    ui.shown.clear();
    const std::string z12 = dir.Write("other.Z12", "x");
    Load({z12, dir.File("book.zip")});
    ASSERT_EQ(ui.shown.size(), 3u) << "the part, the broken book.zip, and no images";
    EXPECT_EQ(ui.shown[2].caption, "There are no image files to display");
    EXPECT_EQ(ui.shown[0].text, "other.Z12 is part 12 of the split zip set other.ZIP: please open its last part, " +
                                    dir.File("other.ZIP") + ".\nThat part is missing.");
    EXPECT_EQ(SplitZipPartNotice(dir.File("a.zip")), "");
    EXPECT_EQ(SplitZipPartNotice(dir.File("a.z1")), "") << "two digits at least, as zip -s names them";
    EXPECT_EQ(SplitZipPartNotice(dir.File("a.zip1")), "");

    if (!HaveTool("zip") || !HaveTool("python3")) GTEST_SKIP() << "zip or python3 missing";
    ASSERT_TRUE(RunPython(dir.Path(), "import os\nos.makedirs('src', exist_ok=True)\n"
                                      "for i in range(3): open('src/p%d.jpg' % i, 'wb').write(os.urandom(70000))\n"));
    ASSERT_EQ(RunShell("cd " + Quote(dir.File("src")) + " && zip -q -s 64k " + Quote(dir.File("set.zip")) + " p0.jpg p1.jpg p2.jpg"), 0);
    std::filesystem::rename(dir.File("set.z02"), dir.File("away"));
    ui.shown.clear();
    Load({dir.File("set.zip")});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 3);
    EXPECT_EQ(Serve(0), "<null>");
    EXPECT_EQ(Serve(1), "<null>");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "A volume of the set does not exist: " + dir.File("set.z02"));
}

// A cbz whose page is 1 GiB of zeros, its size stated honestly (a 1 MB file), is refused by
// name before it is read: the peak memory of a process that opens it and asks for the page
// stays far below the page's size.
// A book made by the archiver of macOS carries "__MACOSX/._p1.jpg" beside "p1.jpg" (its
// AppleDouble data): whatever the archive's kind, only the pages are pages.
TEST_F(LoaderOverArchives, ABookMadeOnAMacShowsOnlyItsPages) {
    std::vector<std::pair<std::string, std::string>> members;
    for (int i = 1; i <= 3; ++i) {
        const std::string page = "p" + std::to_string(i) + ".jpg";
        members.push_back({page, MemberContent(page, 700)});
        members.push_back({"__MACOSX/._" + page, "AppleDouble data of " + page});
    }
    std::vector<std::string> books{MakeTar(dir, "book.cbt", members)};
    // The archiver's own layout: the pages, the folder's entry, then its "._" files.
    if (HaveTool("python3")) {
        for (int i = 0; i < 3; ++i) dir.Write("p" + std::to_string(i + 1), members[2 * static_cast<size_t>(i)].second);
        ASSERT_TRUE(RunPython(dir.Path(), "import zipfile\nz = zipfile.ZipFile('book.cbz', 'w', zipfile.ZIP_DEFLATED)\n"
                                          "for i in (1, 2, 3): z.writestr('p%d.jpg' % i, open('p%d' % i, 'rb').read())\n"
                                          "z.writestr('__MACOSX/', b'')\n"
                                          "for i in (1, 2, 3): z.writestr('__MACOSX/._p%d.jpg' % i, b'\\x00\\x05\\x16\\x07 metadata')\n"
                                          "z.close()\n"));
        books.push_back(dir.File("book.cbz"));
    }
    if (std::filesystem::exists(ModuleDir() + "/libunrar.so")) {
        std::vector<RarMember> rar;
        for (const auto& [name, data] : members) rar.push_back({name, data});
        books.push_back(WriteStoredRar(dir.File("book"), rar, 0, true, dir.File("book.cbr"))[0]);
    }
    for (const std::string& book : books) {
        SCOPED_TRACE(book);
        ui.shown.clear();
        Load({book});
        EXPECT_EQ(PageNames(), " p1.jpg p2.jpg p3.jpg");
        EXPECT_EQ(Serve(0), members[0].second);
        EXPECT_EQ(Serve(2), members[4].second);
        EXPECT_TRUE(ui.shown.empty());
    }
}

// Member names holding control characters (a tab, a carriage return) are shown escaped in
// every message that names them, and are still read by their exact names.
TEST_F(LoaderOverArchives, ControlCharactersInMemberNamesAreShownEscaped) {
    const std::string tab = "p\t1.jpg", cr = "p\r2.jpg";
    // A cbt cut inside the second member's data.
    std::string tar = ReadFileBytes(MakeTar(dir, "whole.cbt", {{tab, std::string(3000, '1')}, {cr, std::string(3000, '2')}}));
    const std::string cbt = dir.Write("cut.cbt", tar.substr(0, 512 + 3072 + 512 + 1000));
    Load({cbt});
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The archive ends early, after the member p\\t1.jpg; the members up to it are shown.\n"
                                "The member p\\r2.jpg is cut short and cannot be shown.");
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 2);
    EXPECT_EQ(loader.FileNames()->GetPageName(0), tab);
    EXPECT_EQ(Serve(0), std::string(3000, '1'));

    // A cbz whose two such members fail their CRC: the gathered report names both.
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 missing";
    ASSERT_TRUE(RunPython(dir.Path(), "import zipfile\nz = zipfile.ZipFile('book.cbz', 'w')\n"
                                      "for n, c in (('p\\t1.jpg', b'1'), ('p\\r2.jpg', b'2'), ('p3.jpg', b'3')): z.writestr(n, c * 2000)\n"
                                      "z.close()\n"));
    std::string zip = ReadFileBytes(dir.File("book.cbz"));
    for (const std::string& name : {tab, cr}) zip[zip.find(name) + name.size() + 1000] ^= 0x55;
    dir.Write("book.cbz", zip);
    ui.shown.clear();
    loader.GatherFailures = true;
    Load({dir.File("book.cbz")});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 3);
    EXPECT_EQ(Serve(0), "<null>");
    EXPECT_EQ(Serve(1), "<null>");
    EXPECT_TRUE(loader.ReportFailures(true));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "2 members cannot be shown: p\\t1.jpg, p\\r2.jpg.\n\n"
                                "The member p\\t1.jpg is damaged and cannot be shown.\n" + std::string(kCrcMismatchText));
    EXPECT_EQ(Serve(2), std::string(2000, '3'));
}

TEST_F(LoaderOverArchives, AGigabytePageIsRefusedByNameBeforeItIsRead) {
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 missing";
    ASSERT_TRUE(RunPython(dir.Path(), "import zipfile\n"
                                      "with zipfile.ZipFile('big.cbz', 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:\n"
                                      "    z.writestr('a.jpg', b'small page')\n"
                                      "    with z.open('page.jpg', 'w') as f:\n"
                                      "        chunk = bytes(1 << 20)\n"
                                      "        for i in range(1024): f.write(chunk)\n"));
    const std::string cbz = dir.File("big.cbz");
    ASSERT_LT(std::filesystem::file_size(cbz), 8u << 20);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
#if !defined(__SANITIZE_ADDRESS__)
        // Should the page be read after all, the child fails alone instead of pressing the machine.
        rlimit cap{int64_t(6) << 30, int64_t(6) << 30};
        ::setrlimit(RLIMIT_AS, &cap);
#endif
        auto start = std::chrono::steady_clock::now();
        std::string page;
        try {  // the child never returns into the test runner
            Load({cbz});
            page = loader.FileNames()->GetPageCount() == 2 ? Serve(1) : "<not listed>";
        } catch (const std::exception& e) {
            page = std::string("<") + e.what() + ">";
        }
        if (page.size() > 100) page = "<" + std::to_string(page.size()) + " bytes>";
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        std::string report = std::to_string(ru.ru_maxrss) + "\n" + std::to_string(static_cast<long>(ms)) + "\n" + page + "\n" +
                             (ui.shown.empty() ? "<no message>" : ui.shown.back().text);
        ssize_t w = ::write(fds[1], report.data(), report.size());
        ::_exit(w == static_cast<ssize_t>(report.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
    std::istringstream in(report);
    long peakKb = 0, ms = 0;
    std::string page, message;
    in >> peakKb >> ms;
    in.ignore();
    std::getline(in, page);
    std::getline(in, message);
    std::printf("1 GiB page in a %.1f MB cbz: peak memory %.0f MB, %ld ms to the answer\n",
                static_cast<double>(std::filesystem::file_size(cbz)) / 1e6, peakKb / 1024.0, ms);
    EXPECT_EQ(page, "<null>");
    EXPECT_EQ(message, "page.jpg is not shown: it unpacks to 1024 MB, more than the 256 MB a page may take.");
    EXPECT_LT(peakKb, 400 * 1024) << "the page was read";
}

// The loader with the program's own archive source: tar and zip open like directories.
TEST(UnArchiveLoader, ArchivesOpenLikeDirectories) {
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 missing";
    FakeUi ui;
    TempDir dir;
    TSettings settings{};
    SetPageSettings(&settings);
    SetModuleSearchDir(ModuleDir());  // the unzip library, as next to the program
    int owner = 0, filesReady = 0;
    TLoadFiles loader(&owner);
    loader.SetArchiveSource(std::make_unique<TUnArchiveSource>(&owner));
    loader.OnFilesReady = [&](void*) { ++filesReady; };
    ASSERT_TRUE(RunPython(dir.Path(), "import zipfile\nzipfile.ZipFile('two.cbz', 'w').writestr('q1.jpg', b'4')\n"));
    std::string broken = dir.Write("broken.cbt", RawHeader("x.jpg", '0', 99999).block);
    TStringList names;
    names.Add(MakeTar(dir, "one.cbt", {{"p03.jpg", "3"}, {"p01.jpg", "1"}, {"p02.png", "2"}, {"readme.txt", "r"}}));
    names.Add(broken);
    names.Add(dir.File("two.cbz"));
    loader.LoadFiles(names, 0);
    EXPECT_EQ(filesReady, 1);
    ASSERT_EQ(ui.shown.size(), 1u) << "the damaged archive is reported";
    EXPECT_EQ(ui.shown[0].caption, broken);
    TPageList& list = *loader.FileNames();
    ASSERT_EQ(list.GetPageCount(), 5) << "the cut member is listed; only its read fails";
    EXPECT_EQ(list.GetPageName(0) + list.GetPageName(1) + list.GetPageName(2) + list.GetPageName(3) + list.GetPageName(4),
              "x.jpgp01.jpgp02.pngp03.jpgq1.jpg");
    for (int i : {0, 3, 4, 2, 1, 0}) {  // back and forth between the archives
        std::string got = "<none>";
        loader.OnStreamReady = [&](void*, TStream* s, const std::string&) { got = Bytes(s); };
        loader.LoadPage(i);
        EXPECT_EQ(got, i == 0 ? "<null>" : std::to_string(i));
    }
    SetModuleSearchDir("");
    SetPageSettings(nullptr);
}

}  // namespace
