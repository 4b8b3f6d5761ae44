// The ace interface over the built library: listing, capture of single members, passwords,
// volume prompts, damaged and hostile archives, and cba books through the front end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "AceTestSupport.h"
#include "archives/AceIf.h"
#include "archives/MemberMessages.h"
#include "archives/UnArchive.h"
#include "archives/UnArchiveSource.h"
#include "pages/LoadFiles.h"
#include "pages/PageList.h"
#include "pages/PageSettings.h"
#include "platform/DynLib.h"
#include "settings/Configuration.h"
#include "support/FakeUi.h"
#include "support/LoaderTestSupport.h"
#include "support/TempDir.h"

namespace vellicor::test {
namespace {

std::string Bytes(TStream* s) {
    if (!s) return "<null>";
    std::string out(static_cast<size_t>(s->Size()), '\0');
    s->SetPosition(0);
    s->Read(out.data(), s->Size());
    return out;
}

std::vector<uint8_t> Vec(TStream* s) {
    std::string b = Bytes(s);
    return std::vector<uint8_t>(b.begin(), b.end());
}

class AceIfTest : public ::testing::Test {
protected:
    void SetUp() override { SetModuleSearchDir(VELLICOR_MODULE_DIR); }
    void TearDown() override { SetModuleSearchDir(""); }
    std::string WriteArchive(const std::string& name, const AceWriter& w) {
        std::vector<uint8_t> b = w.Bytes();
        return dir.Write(name, std::string(b.begin(), b.end()));
    }
    FakeUi ui;
    TempDir dir;
};

// Every member of every fixture, extracted one by one, matches its md5.
class AceIfFixture : public AceIfTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(AceIfFixture, ListsAndExtractsEveryMember) {
    const std::string path = UnaceDir() + "/" + GetParam();
    if (!FileThere(path)) GTEST_SKIP();
    auto md5 = ReadMd5List(path + ".md5");
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(path);
    ASSERT_EQ(ace.FileNames().Count(), static_cast<int>(md5.size()));
    // In list order (a solid chain then goes on from the window kept), then backwards (it
    // starts again for every member).
    const int n = ace.FileNames().Count();
    for (int k = 0; k < 2 * n; ++k) {
        const std::string& name = ace.FileNames()[k < n ? k : 2 * n - 1 - k];
        TMemoryStream* s = ace.ExtractFile(name);
        ASSERT_NE(s, nullptr) << name;
        EXPECT_EQ(s->Position(), 0);
        EXPECT_EQ(Md5Hex(Vec(s)), md5[name]) << name;
    }
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_TRUE(ui.passwordRequests.empty());
}

INSTANTIATE_TEST_SUITE_P(Archiver, AceIfFixture,
                         ::testing::Values("tests.ace.v1/ALCHT.ACE", "tests.ace.v1/Patch.ace", "tests.ace.v1/ZGFX2.ace",
                                           "tests.ace.v1/multivolume.ace", "tests.ace.v1/onefile.ace",
                                           "tests.ace.v1/trps.ace", "tests.ace.v1/zdir.ace", "tests.ace.v2/dir2.ace",
                                           "tests.ace.v2/multivol2.ace"));

TEST_F(AceIfTest, WorkedExampleListsItsFileWithoutTheFolder) {
    const std::string path = PeerDir() + "/patool/t.ace";
    if (!FileThere(path)) GTEST_SKIP();
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(path);
    EXPECT_EQ(ace.FileNames().CommaText(), "t/t.txt");
    EXPECT_EQ(Bytes(ace.ExtractFile("t/t.txt")), "42");
    EXPECT_EQ(ace.ExtractFile("t/none.txt"), nullptr) << "a member that is not there is not a success";
    EXPECT_EQ(ace.ExtractFile("t"), nullptr);
}

TEST_F(AceIfTest, PasswordIsAskedForAndWrongOnesFailCleanly) {
    const std::string path = UnaceDir() + "/tests.ace.v2/passwd2.ace";
    if (!FileThere(path)) GTEST_SKIP();
    auto md5 = ReadMd5List(path + ".md5");
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(path);
    ASSERT_EQ(ace.FileNames().CommaText(), "passwd2.m4") << "the listing needs no password";
    EXPECT_TRUE(ui.passwordRequests.empty());

    ui.passwords = {"1234"};
    TMemoryStream* s = ace.ExtractFile("passwd2.m4");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Md5Hex(Vec(s)), md5["passwd2.m4"]);
    ASSERT_EQ(ui.passwordRequests.size(), 1u);
    EXPECT_EQ(ui.passwordRequests[0].caption, "Password protected archive");
    EXPECT_EQ(ui.passwordRequests[0].prompt, "Enter Password\npasswd2.m4\nin " + path.substr(path.rfind('/') + 1))
        << "the member it is for";
    EXPECT_EQ(ui.passwordRequests[0].buttons, static_cast<int>(TPasswordButtons{pwbCancel}.Bits()));
    EXPECT_EQ(ace.Password(), "1234");

    ui.passwords = {"4321"};
    EXPECT_EQ(ace.ExtractFile("passwd2.m4"), nullptr) << "asked again, and the wrong answer gives no data";
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_NE(ui.shown[0].text.find("Wrong password"), std::string::npos);

    ui.passwords.clear();  // Cancel
    EXPECT_EQ(ace.ExtractFile("passwd2.m4"), nullptr);
    EXPECT_EQ(ui.shown.size(), 1u) << "a refusal is not reported as an error";

    ui.passwords = {"1234"};
    EXPECT_NE(ace.ExtractFile("passwd2.m4"), nullptr);
}

// The fixture's one member is no image: the loader is shown it under a page's name.
class PageNamedSource : public IArchiveSource {
public:
    explicit PageNamedSource(void* owner) : inner_(owner) {}
    bool Open(const std::string& archiveName, TStringList& memberNames) override {
        TStringList real;
        memberNames.Clear();
        if (!inner_.Open(archiveName, real)) return false;
        for (const std::string& name : real) memberNames.Add(name + ".jpg");
        return memberNames.Count() > 0;
    }
    TStream* Extract(const std::string& memberName) override {
        return inner_.Extract(memberName.substr(0, memberName.size() - 4));
    }
    void Close() override { inner_.Close(); }
    bool FailureMayPass() const override { return inner_.FailureMayPass(); }

private:
    TUnArchiveSource inner_;
};

// Cba books through the loader.
class AceThroughTheLoader : public LoaderFixture {};

// The library asks for the password each time the page is read, so a cancelled or wrong
// answer leaves the page to be asked for again on the next visit.
TEST_F(AceThroughTheLoader, EncryptedPageIsAskedForAgainOnEveryVisit) {
    const std::string path = UnaceDir() + "/tests.ace.v2/passwd2.ace";
    if (!FileThere(path)) GTEST_SKIP();
    auto md5 = ReadMd5List(path + ".md5");
    loader.SetArchiveSource(std::make_unique<PageNamedSource>(&owner));
    Load({path});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 1);
    EXPECT_EQ(Serve(0), "<null>") << "cancelled";
    EXPECT_EQ(ui.passwordRequests.size(), 1u);
    EXPECT_TRUE(ui.shown.empty());
    ui.passwords = {"4321"};
    EXPECT_EQ(Serve(0), "<null>") << "asked again, answered wrongly";
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_NE(ui.shown[0].text.find("Wrong password"), std::string::npos);
    ui.passwords = {"1234"};
    std::string page = Serve(0);
    EXPECT_EQ(Md5Hex(std::vector<uint8_t>(page.begin(), page.end())), md5["passwd2.m4"]) << "asked again, answered rightly";
    EXPECT_EQ(ui.passwordRequests.size(), 3u);
}

TEST_F(AceIfTest, ArchiveWhosePasswordIsUnknownNeverGivesData) {
    const std::string path = UnaceDir() + "/tests.ace.v1/passwd.ace";
    if (!FileThere(path)) GTEST_SKIP();
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(path);
    ASSERT_EQ(ace.FileNames().Count(), 1);
    ui.passwords = {"1234"};
    EXPECT_EQ(ace.ExtractFile(ace.FileNames()[0]), nullptr);
}

int g_acePasses = 0;
TMemoryStream* g_aceStream = nullptr;
std::set<const uint8_t*> g_aceBuffers;
void StopAtSecondAcePass() {
    if (++g_acePasses == 2) RequestStop();
}

// A long member lets messages through as it is unpacked, and Esc (the program's end) stops
// it at the next report without a word.
TEST_F(AceIfTest, TheProgramsEndStopsAMemberAtTheNextReport) {
    AceWriter w;
    AceWriter::File f;
    f.name = "big.jpg";
    f.data.resize(size_t(4) << 20);
    for (size_t i = 0; i < f.data.size(); ++i) f.data[i] = uint8_t(i * 7 + (i >> 12));
    w.Add(f);
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(WriteArchive("big.ace", w));
    ui.processMessagesCalls = 0;
    g_aceStream = ace.ExtractFile("big.jpg");
    ASSERT_EQ(Vec(g_aceStream), f.data);
    ASSERT_GT(ui.processMessagesCalls, 4) << "messages get through while it is unpacked";
    // Room for the stated size is reserved as the member starts: the capture never moves.
    g_aceBuffers.clear();
    ui.onProcessMessages = [] {
        if (g_aceStream->Size() > 0) g_aceBuffers.insert(g_aceStream->Memory());
    };
    ASSERT_EQ(Vec(ace.ExtractFile("big.jpg")), f.data);
    ui.onProcessMessages = nullptr;
    EXPECT_EQ(g_aceBuffers.size(), 1u) << "copied as it grew";

    g_acePasses = 0;
    ui.processMessagesCalls = 0;
    ui.onProcessMessages = StopAtSecondAcePass;
    testing::internal::CaptureStderr();
    TMemoryStream* s = ace.ExtractFile("big.jpg");
    const std::string said = testing::internal::GetCapturedStderr();
    ui.onProcessMessages = nullptr;
    RequestStop(false);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(ui.processMessagesCalls, 2) << "stopped at the next report";
    EXPECT_EQ(said, "");
    EXPECT_EQ(Vec(ace.ExtractFile("big.jpg")), f.data) << "read whole again afterwards";
}

TEST_F(AceIfTest, DamagedArchivesListNothingAndSayItOnce) {
    AceWriter w;
    w.Add("a.jpg", "first page");
    w.Add("b.jpg", "second page");
    const std::vector<uint8_t> good = w.Bytes();
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(WriteArchive("good.ace", w));
    ASSERT_EQ(ace.FileNames().CommaText(), "a.jpg,b.jpg");

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    auto flipped = [&](size_t at) {
        std::vector<uint8_t> b = good;
        b[at] ^= 0x40;
        return b;
    };
    const size_t mainEnd = 4 + 27, firstFile = mainEnd;
    cases.push_back({"main header CRC", flipped(0)});
    cases.push_back({"file header CRC", flipped(firstFile)});
    cases.push_back({"file header body", flipped(firstFile + 10)});
    // (Cut short, an archive keeps what came before the cut: see ACutArchiveKeepsWhatCameBefore.)
    for (const Case& c : cases) {
        ui.shown.clear();
        std::string path = dir.Write("bad.ace", std::string(c.bytes.begin(), c.bytes.end()));
        ace.SetFileName(path);
        EXPECT_EQ(ace.FileNames().Count(), 0) << c.what;
        ASSERT_EQ(ui.shown.size(), 1u) << c.what;
        EXPECT_EQ(ui.shown[0].caption, path);
        EXPECT_NE(ui.shown[0].text.find("damaged"), std::string::npos) << c.what;
    }
}

// An archive cut short (an interrupted download) at any byte: the members before the cut
// are listed and read, the one it ends in is listed and only gets its error page, and one
// message says where the archive ends.
TEST_F(AceIfTest, ACutArchiveKeepsWhatCameBefore) {
    AceWriter w;
    w.Add("a.jpg", "first page");
    w.Add("b.jpg", "second page");
    const std::vector<uint8_t> good = w.Bytes();
    AceWriter firstOnly;
    firstOnly.Add("a.jpg", "first page");
    const size_t mainEnd = 4 + 27, boundary = firstOnly.Bytes().size();  // a cut at the boundary leaves a sound archive
    const size_t aData = boundary - 10, bData = good.size() - 11;
    int owner = 0;
    TAceIf ace(&owner);
    // From inside the main header's magic: an ace file cut there is no archive of another kind.
    for (size_t cut = 8; cut < good.size(); ++cut) {
        if (cut == boundary || cut == mainEnd) continue;
        SCOPED_TRACE(cut);
        std::string names, last, cutShort;
        if (cut >= aData && cut < boundary) names = cutShort = "a.jpg";
        if (cut > boundary) names = last = "a.jpg";
        if (cut >= bData) names = "a.jpg,b.jpg", cutShort = "b.jpg";
        ui.shown.clear();
        const std::string path = dir.Write("cut.ace", std::string(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut)));
        ace.SetFileName(path);
        EXPECT_EQ(ace.FileNames().CommaText(), names);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, path);
        EXPECT_EQ(ui.shown[0].text, ArchiveEndsEarlyText(last, cutShort));
        if (!last.empty()) {
            EXPECT_EQ(Bytes(ace.ExtractFile("a.jpg")), "first page");
        }
        if (!cutShort.empty()) {
            EXPECT_EQ(ace.ExtractFile(cutShort), nullptr);
        }
        EXPECT_EQ(ui.shown.size(), 1u) << "said once, when the archive was opened";
    }
    // A size that runs past the end is taken as a cut: nothing is read by it.
    AceWriter x;
    AceWriter::File f;
    f.name = "big.jpg";
    f.data.assign(10, 'x');
    f.packSizeOverride = 100000;
    x.Add(f);
    ui.shown.clear();
    ace.SetFileName(WriteArchive("big.ace", x));
    EXPECT_EQ(ace.FileNames().CommaText(), "big.jpg");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The archive ends early, before any whole member.\nThe member big.jpg is cut short and cannot be shown.");
    EXPECT_EQ(ace.ExtractFile("big.jpg"), nullptr);
}

// Compressed archives of the archiver, cut inside a member's data and inside a header: every
// member before the cut is read whole (its md5), the one cut short is named.
TEST_F(AceIfTest, ACutCompressedArchiveKeepsWhatCameBefore) {
    int ran = 0;
    for (const char* name : {"tests.ace.v1/ZGFX2.ace", "tests.ace.v2/dir2.ace"}) {
        const std::string path = UnaceDir() + "/" + name;
        if (!FileThere(path)) continue;
        ++ran;
        auto md5 = ReadMd5List(path + ".md5");
        unace::Archive whole;
        whole.Open([&](int i, bool) { return i ? nullptr : unace::OpenFileSource(path); });
        const auto& members = whole.Members();
        ASSERT_GE(members.size(), 4u);
        // The member at 70% of the list: cut halfway through its data, then inside its header.
        size_t k = members.size() * 7 / 10;
        while (k > 0 && (members[k].Directory() || members[k].packSize < 2)) --k;
        ASSERT_GT(k, 0u);
        const unace::Segment seg = members[k].segments.at(0);
        const std::vector<uint8_t> bytes = ReadAll(path);
        for (bool inData : {true, false}) {
            SCOPED_TRACE(std::string(name) + (inData ? " cut in data" : " cut in a header"));
            const size_t cut = inData ? static_cast<size_t>(seg.offset + seg.size / 2) : static_cast<size_t>(seg.offset - 3);
            const std::string cutPath = dir.Write("cut.ace", std::string(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)));
            std::set<std::string> want;
            std::string last;
            for (size_t i = 0; i < k; ++i)
                if (!members[i].Directory()) want.insert(last = members[i].name);
            const std::string cutShort = inData ? members[k].name : "";
            for (char& c : last) c = c == '\\' ? '/' : c;
            int owner = 0;
            TAceIf ace(&owner);
            ui.shown.clear();
            ace.SetFileName(cutPath);
            ASSERT_EQ(ui.shown.size(), 1u);
            std::string cutName = cutShort;
            for (char& c : cutName) c = c == '\\' ? '/' : c;
            EXPECT_EQ(ui.shown[0].text, ArchiveEndsEarlyText(last, cutName));
            EXPECT_EQ(ace.FileNames().Count(), static_cast<int>(want.size() + (inData ? 1 : 0)));
            int read = 0;
            for (const std::string& n : ace.FileNames()) {
                SCOPED_TRACE(n);
                TMemoryStream* s = ace.ExtractFile(n);
                if (n == cutName) {
                    EXPECT_EQ(s, nullptr);
                    continue;
                }
                ASSERT_NE(s, nullptr);
                EXPECT_EQ(Md5Hex(Vec(s)), md5[n]);
                ++read;
            }
            EXPECT_GE(read, 3);
            EXPECT_EQ(ui.shown.size(), 1u) << "nothing more is said";
        }
    }
    if (ran == 0) GTEST_SKIP() << "the archiver's fixtures are missing";
}

// The pages of a cba cut short come out up to the cut, the page it ends in is the error
// page, and the one message is said as the book opens.
TEST_F(AceThroughTheLoader, ACutCbaShowsThePagesBeforeTheCut) {
    AceWriter w;
    std::vector<std::string> pages;
    for (int i = 1; i <= 4; ++i) {
        pages.push_back("\xFF\xD8\xFF\xE0 page " + std::to_string(i) + std::string(900, static_cast<char>('0' + i)));
        w.Add("p" + std::to_string(i) + ".jpg", pages.back());
    }
    const std::vector<uint8_t> good = w.Bytes();
    const std::string path = dir.Write("book.cba", std::string(good.begin(), good.begin() + static_cast<ptrdiff_t>(good.size() * 7 / 10)));
    Load({path});
    ASSERT_EQ(loader.FileNames()->GetPageCount(), 3);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The archive ends early, after the member p2.jpg; the members up to it are shown.\n"
                                "The member p3.jpg is cut short and cannot be shown.");
    EXPECT_EQ(Serve(0), pages[0]);
    EXPECT_EQ(Serve(1), pages[1]);
    EXPECT_EQ(Serve(2), "<null>");
    EXPECT_EQ(Serve(1), pages[1]);
    EXPECT_EQ(ui.shown.size(), 1u) << "not said again for the page";
}

// A cba made from a folder the archiver of macOS had packed: its "__MACOSX" folder of "._"
// files is no page.
TEST_F(AceThroughTheLoader, ABookMadeOnAMacShowsOnlyItsPages) {
    AceWriter w;
    for (const char* page : {"p1.jpg", "p2.jpg", "p3.jpg"}) w.Add(page, std::string("page ") + page);
    w.AddDirectory("__MACOSX");
    for (const char* meta : {"__MACOSX\\._p1.jpg", "__MACOSX\\._p2.jpg", "__MACOSX\\._p3.jpg"}) w.Add(meta, "metadata");
    std::vector<uint8_t> b = w.Bytes();
    Load({dir.Write("book.cba", std::string(b.begin(), b.end()))});
    EXPECT_EQ(PageNames(), " p1.jpg p2.jpg p3.jpg");
    EXPECT_EQ(Serve(0), "page p1.jpg");
    EXPECT_TRUE(ui.shown.empty());
}

// A set whose second part is missing: the part is asked for ten times at most (Cancel stops
// at once), one message says it cannot be opened, and the members that lie wholly in the
// first part are the pages, read without asking again.
TEST_F(AceThroughTheLoader, AMissingVolumeIsAskedForThenThePagesBeforeItAreShown) {
    const std::string src = UnaceDir() + "/tests.ace.v1/multivolume";
    if (!FileThere(src + ".ace")) GTEST_SKIP();
    auto md5 = ReadMd5List(src + ".ace.md5");
    unace::Archive whole;
    whole.Open([&](int i, bool) { return unace::OpenFileSource(unace::VolumeName(src + ".ace", i, false)); });
    std::set<std::string> wanted;  // the members wholly in the first part, as pages
    for (const unace::Member& m : whole.Members()) {
        bool first = !m.Directory();
        for (const unace::Segment& seg : m.segments) first = first && seg.volume == 0;
        std::string name = m.name + ".jpg";
        for (char& c : name) c = c == '\\' ? '/' : c;
        if (first) wanted.insert(name);
    }
    ASSERT_GT(wanted.size(), 0u);
    ASSERT_LT(wanted.size(), md5.size()) << "some members lie beyond the first part";
    auto pages = [&] {
        std::set<std::string> names;
        for (int i = 0; i < loader.FileNames()->GetPageCount(); ++i) names.insert(loader.FileNames()->GetPageName(i));
        return names;
    };
    loader.SetArchiveSource(std::make_unique<PageNamedSource>(&owner));
    for (const char* set : {"ok", "cancel"}) {
        SCOPED_TRACE(set);
        for (const char* ext : {".ace", ".c01"}) {
            std::vector<uint8_t> b = ReadAll(src + ext);
            dir.Write(set + std::string(ext), std::string(b.begin(), b.end()));
        }
        const std::string path = dir.File(set + std::string(".ace")), part = dir.File(set + std::string(".c00"));
        const bool cancel = std::string(set) == "cancel";
        ui.shown.clear();
        if (cancel) ui.answers = {mrCancel};
        Load({path});
        const size_t asked = cancel ? 1 : 10;
        ASSERT_EQ(ui.shown.size(), cancel ? asked : asked + 1);
        for (size_t k = 0; k < asked; ++k) {
            EXPECT_EQ(ui.shown[k].text, "Insert disk");
            EXPECT_EQ(ui.shown[k].caption, part);
            EXPECT_EQ(ui.shown[k].buttons, mbOKCancel);
        }
        if (!cancel) {
            EXPECT_EQ(ui.shown.back().caption, path);
            EXPECT_EQ(ui.shown.back().text, "Cannot open " + part + "\nThe members that lie wholly in the volumes before it are shown.");
        }
        EXPECT_EQ(pages(), wanted);
        const size_t said = ui.shown.size();
        for (int i = loader.FileNames()->GetPageCount() - 1; i >= 0; --i) {
            const std::string page = Serve(i), name = loader.FileNames()->GetPageName(i);
            EXPECT_EQ(Md5Hex(std::vector<uint8_t>(page.begin(), page.end())), md5[name.substr(0, name.size() - 4)]) << name;
        }
        EXPECT_EQ(ui.shown.size(), said) << "the pages ask nothing";
    }
    // Opened again, the set is not asked for again; what ran out is said again.
    ui.shown.clear();
    Load({dir.File("ok.ace")});
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text.rfind("Cannot open " + dir.File("ok.c00") + "\n", 0), 0u);
    EXPECT_EQ(pages(), wanted);
}

// A member whose data fail their CRC is named in its message, with why, as zip's members are;
// the others are read.
TEST_F(AceIfTest, ADamagedMemberIsNamedWithWhy) {
    AceWriter w;
    w.Add("a.jpg", "first page");
    w.Add("b.jpg", "second page");
    std::vector<uint8_t> bytes = w.Bytes();
    const std::string text(bytes.begin(), bytes.end());
    const size_t at = text.find("second page");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 3] ^= 0x01;
    int owner = 0;
    TAceIf ace(&owner);
    const std::string path = dir.Write("crc.ace", std::string(bytes.begin(), bytes.end()));
    ace.SetFileName(path);
    ASSERT_EQ(ace.FileNames().CommaText(), "a.jpg,b.jpg");
    EXPECT_EQ(ace.ExtractFile("b.jpg"), nullptr);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, path);
    EXPECT_EQ(ui.shown[0].text, MemberDamagedText("b.jpg", kCrcMismatchText)) << "in the words of zip and rar";
    EXPECT_NE(ace.ExtractFile("a.jpg"), nullptr);
    EXPECT_EQ(ui.shown.size(), 1u);
}

TEST_F(AceIfTest, NamesThatLeaveTheirFolderAreRefused) {
    AceWriter w;
    for (const char* name : {"..\\up.jpg", "a\\..\\..\\up2.jpg", "\\root.jpg", "/abs.jpg", "c:\\drive.jpg",
                             "ok\\page.jpg", "fine..jpg"})
        w.Add(name, name);
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(WriteArchive("evil.ace", w));
    EXPECT_EQ(ace.FileNames().CommaText(), "fine..jpg,ok/page.jpg");
    EXPECT_EQ(Bytes(ace.ExtractFile("ok/page.jpg")), "ok\\page.jpg");
    EXPECT_TRUE(ui.shown.empty());

    // When every name is refused, that is what the one message says, naming them.
    AceWriter all;
    for (const char* name : {"..\\up.jpg", "\\root.jpg", "a\\..\\..\\x.jpg", "c:\\drive.jpg"}) all.Add(name, name);
    all.AddDirectory("..\\dir");
    const std::string path = WriteArchive("all.ace", all);
    ace.SetFileName(path);
    EXPECT_EQ(ace.FileNames().Count(), 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, path);
    EXPECT_EQ(ui.shown[0].text, "The names of the archive's members would leave their folder; they were refused as unsafe:\n"
                                "../up.jpg\n/root.jpg\na/../../x.jpg\n(and 1 more)");
    EXPECT_EQ(ui.shown[0].text.find("damaged"), std::string::npos);

    // Names holding control characters are refused too, and shown escaped.
    AceWriter control;
    for (const char* name : {"p\t1.jpg", "p\r2.jpg", "\x01.jpg"}) control.Add(name, name);
    ui.shown.clear();
    ace.SetFileName(WriteArchive("control.ace", control));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The names of the archive's members would leave their folder; they were refused as unsafe:\n"
                                "p\\t1.jpg\np\\r2.jpg\n\\x01.jpg");
}

TEST_F(AceIfTest, SameNameTwiceIsListedOnceAndNeverJoined) {
    AceWriter w;
    w.Add("p.jpg", "first");
    w.Add("p.jpg", "second");
    w.Add("q.jpg", "last");
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(WriteArchive("dup.ace", w));
    EXPECT_EQ(ace.FileNames().CommaText(), "p.jpg,q.jpg");
    EXPECT_EQ(ace.MemberSize("p.jpg"), 5) << "the first of the two";
    EXPECT_EQ(ace.MemberSize("r.jpg"), -1);
    EXPECT_EQ(Bytes(ace.ExtractFile("p.jpg")), "first");
    EXPECT_EQ(Bytes(ace.ExtractFile("q.jpg")), "last") << "the last member ends with the library's own result";
}

// The library keeps the last solid archive between extractions; a file replaced meanwhile
// is read afresh, never from what was kept.
TEST_F(AceIfTest, ReplacedSolidArchiveIsReadAfresh) {
    auto solid = [](const std::string& a, const std::string& b) {
        AceWriter w(0x9000);
        w.Add("p1.jpg", a);
        AceWriter::File f;
        f.name = "p2.jpg";
        f.data.assign(b.begin(), b.end());
        f.extraFlags = 0x8000;
        w.Add(f);
        return w;
    };
    std::string path = WriteArchive("solid.cba", solid("old one", "old two"));
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(path);
    ASSERT_EQ(ace.FileNames().CommaText(), "p1.jpg,p2.jpg");
    EXPECT_EQ(Bytes(ace.ExtractFile("p1.jpg")), "old one");
    std::vector<uint8_t> b = solid("new one", "new two").Bytes();
    dir.Write("next.cba", std::string(b.begin(), b.end()));
    ASSERT_EQ(std::rename(dir.File("next.cba").c_str(), path.c_str()), 0);
    EXPECT_EQ(Bytes(ace.ExtractFile("p2.jpg")), "new two");
    EXPECT_EQ(Bytes(ace.ExtractFile("p1.jpg")), "new one");
}

TEST_F(AceIfTest, MissingLibraryIsReportedOnceAndListsNothing) {
    SetModuleSearchDir(dir.Path());
    if (LibHandle h = LoadLibrary(TAceIf::kAceDllName)) {  // found elsewhere: nothing to test here
        FreeLibrary(h);
        GTEST_SKIP();
    }
    AceWriter w;
    w.Add("a.jpg", "x");
    std::string path = WriteArchive("a.cba", w);
    int owner = 0;
    TAceIf ace(&owner);
    ace.SetFileName(path);
    ace.SetFileName(path);
    EXPECT_EQ(ace.FileNames().Count(), 0);
    EXPECT_FALSE(ace.DllLoaded());
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_NE(ui.shown[0].text.find(TAceIf::kAceDllName), std::string::npos);
    EXPECT_EQ(ace.ExtractFile("a.jpg"), nullptr);
}

TEST(AceIfTempDir, ComesFromTheEnvironmentWithinItsBounds) {
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    struct Case {
        std::string env;
        std::string expect;
    } cases[] = {{"/var/tmp/", "/var/tmp"}, {"/x", "/x"}, {"", "/tmp"}, {"/" + std::string(298, 'a'), "/" + std::string(298, 'a')},
                 {"/" + std::string(299, 'a'), "/tmp"}};
    for (const Case& c : cases) {
        ::setenv("TMPDIR", c.env.c_str(), 1);
        EXPECT_EQ(TAceIf::SystemTempDir(), c.expect) << c.env.size();
    }
    if (old) ::setenv("TMPDIR", saved.c_str(), 1);
    else ::unsetenv("TMPDIR");
}

// A cba book of stored pages opens through the front end like a directory, in name order.
TEST_F(AceIfTest, CbaBookOpensThroughTheFrontEnd) {
    AceWriter w;
    std::map<std::string, std::string> pages;
    for (const char* name : {"p10.jpg", "p02.jpg", "p01.jpg"}) {
        std::string data = "\xFF\xD8\xFF\xE0 page " + std::string(name) + std::string(5000, name[2]);
        pages[name] = data;
        w.Add(name, data);
    }
    std::string path = WriteArchive("book.cba", w);
    int owner = 0, ready = 0;
    TUnArchive front(&owner);
    front.OnArchiveReady = [&](void* sender) {
        EXPECT_EQ(sender, &owner);
        ++ready;
    };
    front.SetFileName(path);
    EXPECT_EQ(front.ArchiveType(), atAce);
    EXPECT_EQ(ready, 1);
    ASSERT_EQ(front.FileNames().CommaText(), "p01.jpg,p02.jpg,p10.jpg");
    for (const char* name : {"p10.jpg", "p01.jpg", "p02.jpg"}) EXPECT_EQ(Bytes(front.Extract(name)), pages[name]);
    EXPECT_TRUE(ui.shown.empty());
}

}  // namespace
}  // namespace vellicor::test
