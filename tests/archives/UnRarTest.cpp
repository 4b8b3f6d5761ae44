// The rar reader: against bsdtar on archives written by other programs and on stored
// archives written here (volume sets, damaged members), and against the recording fake
// library for the parts our library never exercises (passwords, error codes).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "ArchiveTestSupport.h"
#include "Crc32.h"
#include "RarWriter.h"
#include "archives/MemberMessages.h"
#include "archives/UnArchive.h"
#include "archives/UnRarApi.h"
#include "archives/Unrarif.h"
#include "rarfake/FakeUnRar.h"
#include "support/FakeUi.h"

namespace vellicor::test {
namespace {

namespace fs = std::filesystem;

int g_owner;

std::string PeerDir() { return VELLICOR_SOURCE_DIR "/../shared/testdata/peer/"; }
std::string RealLibrary() { return ModuleDir() + "/libunrar.so"; }
std::string FakeLibrary() { return VELLICOR_TEST_BINARY_DIR "/rarfake/libunrar.so"; }

std::vector<std::string> Names(const TStringList& l) { return std::vector<std::string>(l.begin(), l.end()); }
bool Shown(const FakeUi& ui, const std::string& text) {
    return std::any_of(ui.shown.begin(), ui.shown.end(), [&](const ShownMessage& m) { return m.text == text; });
}
std::string Run(const std::string& cmd, int& rc) {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        rc = -1;
        return out;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = ::pclose(p);
    rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// Answers "Insert disk" boxes by putting the volume back, or by cancelling.
class VolumeUi : public FakeUi {
public:
    int MessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind kind) override {
        int r = FakeUi::MessageBox(caption, text, buttons, kind);
        if (text == "Insert disk" && cancelDisks) return mrCancel;
        if (text == "Insert disk" && !restore.empty()) {
            fs::rename(restore + ".away", restore);
            restore.clear();
        }
        return r;
    }
    std::string restore;
    bool cancelDisks = false;
};

// Messages other than requests for a volume.
size_t Errors(const FakeUi& ui) {
    return static_cast<size_t>(std::count_if(ui.shown.begin(), ui.shown.end(), [](const ShownMessage& m) { return m.text != "Insert disk"; }));
}

class RarReal : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(RealLibrary())) GTEST_SKIP() << "the rar library was not built (libarchive missing)";
        TUnRar::UseLibrary(RealLibrary());
    }
    void TearDown() override { TUnRar::UseLibrary(TUnRar::kLibraryName); }
    VolumeUi ui;
    TempDir dir;
};

// ---- archives of other programs, against bsdtar ----

struct OracleEntry {
    std::string path;
    char type;  // as bsdtar -tv shows it: '-' file, 'd' folder, 'l' link
    int64_t size;
};

// One archive as bsdtar reads it: a volume set is handed over joined into one file.
class Oracle {
public:
    explicit Oracle(const std::string& file) : file_(file) {
        int rc1 = 1, rc2;
        std::string env = "LC_ALL=C.UTF-8 timeout 5 bsdtar ";
        std::istringstream lines(Run(env + "-tvf " + Quote(file) + " 2>/dev/null", rc2));
        std::istringstream names(rc2 == 0 ? Run(env + "-tf " + Quote(file) + " 2>/dev/null", rc1) : "");
        listed_ = rc1 == 0 && rc2 == 0;
        std::string name, line;
        while (std::getline(names, name) && std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string mode, links, owner, group;
            int64_t size = 0;
            fields >> mode >> links >> owner >> group >> size;
            entries_.push_back({name, line.empty() ? '?' : line[0], size});
        }
    }
    bool Listed() const { return listed_; }
    // Names with their folders of everything but folders, and the first member with each.
    std::map<std::string, OracleEntry> Members() const {
        std::map<std::string, OracleEntry> out;
        for (const OracleEntry& e : entries_)
            if (e.type != 'd') out.emplace(e.path, e);
        return out;
    }
    // The member's bytes, or nullopt when bsdtar fails on it.
    std::optional<std::string> Extract(const std::string& path) const {
        int rc;
        std::string data = Run("LC_ALL=C.UTF-8 timeout 5 bsdtar -xOf " + Quote(file_) + " " + Quote(path) + " 2>/dev/null", rc);
        timedOut_ = rc == 124;
        if (rc != 0) return std::nullopt;
        return data;
    }
    // bsdtar hangs on a few hostile members: no verdict on those.
    bool TimedOut() const { return timedOut_; }

private:
    std::string file_;
    bool listed_ = false;
    mutable bool timedOut_ = false;
    std::vector<OracleEntry> entries_;
};

// Every archive of the peer sets: single files, and each volume set as its first volume
// with the set joined for bsdtar.
struct Unit {
    std::string first;
    std::vector<std::string> volumes;
};
std::vector<Unit> PeerUnits() {
    std::vector<Unit> units;
    std::map<std::string, Unit> sets;
    for (const char* sub : {"libarchive", "patool", "unrar-js"}) {
        if (!fs::exists(PeerDir() + sub)) continue;
        for (const auto& e : fs::directory_iterator(PeerDir() + sub)) {
            std::string p = e.path().string(), n = e.path().filename().string();
            if (n.find("rar") == std::string::npos || (e.path().extension() != ".rar" && e.path().extension() != ".exe"))
                continue;
            size_t part = n.find(".part");
            if (part == std::string::npos) {
                units.push_back({p, {p}});
                continue;
            }
            sets[p.substr(0, p.size() - n.size() + part)].volumes.push_back(p);
        }
    }
    for (auto& [base, set] : sets) {
        std::sort(set.volumes.begin(), set.volumes.end());
        set.first = set.volumes.front();
        units.push_back(set);
    }
    std::sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) { return a.first < b.first; });
    return units;
}

// Members larger than this are left out of the sweep to keep it short.
constexpr int64_t kSweepMemberLimit = 64 << 20;
// bsdtar spends a quarter of a minute and a gigabyte on this one's filter program; we refuse it.
const char* const kSlowArchive = "rar_unbound_staticdata.rar";
// bsdtar takes this one for a zip archive (it holds one), so it is no oracle for it.
const char* const kZipInRar = "rar5_zip_in_rar.rar";

TEST_F(RarReal, EveryMemberOfThePeerArchivesEqualsBsdtarAndFailuresAreReported) {
    if (!HaveTool("bsdtar")) GTEST_SKIP() << "bsdtar missing";
    std::vector<Unit> units = PeerUnits();
    if (units.empty()) GTEST_SKIP() << "peer archives missing";
    int compared = 0, refused = 0;
    for (const Unit& u : units) {
        SCOPED_TRACE(u.first);
        std::string joined = u.first;
        if (u.volumes.size() > 1) {
            std::string all;
            for (const auto& v : u.volumes) all += ReadFileBytes(v);
            joined = dir.Write("joined.rar", all);
        }
        Oracle oracle(joined);
        bool encrypted = u.first.find("encrypt") != std::string::npos;
        TUnRar rar(&g_owner);
        ui.shown.clear();
        ui.cancelDisks = true;
        rar.SetFileName(u.first);
        ASSERT_LE(Errors(ui), 1u) << "one message at most for a list";
        // A volume asked for and cancelled ends the list without a further word.
        const bool cancelled = Shown(ui, "Insert disk");
        // An archive that ends early (or whose sizes run past its end) keeps what came before;
        // the member it ends in is named and then only gets its error page.
        std::string cutShort;  // as messages name it (control characters escaped)
        const bool endsEarly = Errors(ui) == 1 && ui.shown.back().text.rfind("The archive ends early", 0) == 0;
        if (endsEarly) {
            const std::string& t = ui.shown.back().text;
            size_t at = t.find("\nThe member ");
            if (at != std::string::npos) cutShort = t.substr(at + 12, t.find(" is cut short", at) - at - 12);
            ++refused;
        }
        if ((Errors(ui) > 0 && !endsEarly) || cancelled) {
            EXPECT_EQ(rar.FileNames().Count(), 0) << "a list that failed offers nothing";
            ++refused;
        }
        std::map<std::string, OracleEntry> members = oracle.Members();
        if (u.first.find(kZipInRar) != std::string::npos) {
            EXPECT_EQ(Names(rar.FileNames()), (std::vector<std::string>{"payload/inner.zip", "payload/real_after.txt"}));
            continue;
        }
        if (u.first.find(kSlowArchive) != std::string::npos) {
            ASSERT_EQ(rar.FileNames().Count(), 1);
            ui.shown.clear();
            TMemoryStream* s = rar.Extract(rar.FileNames()[0]);
            EXPECT_TRUE(s && s->Size() == 0);
            ASSERT_EQ(Errors(ui), 1u);
            EXPECT_EQ(ui.shown.back().text, "The member " + rar.FileNames()[0] +
                                                " is damaged and cannot be shown.\nIts data are broken (archive broken).");
            continue;
        }
        if (oracle.Listed() && Errors(ui) == 0 && !cancelled) {
            std::set<std::string> expected;
            for (auto& [name, entry] : members) expected.insert(name);
            EXPECT_EQ(Names(rar.FileNames()), std::vector<std::string>(expected.begin(), expected.end()));
        }
        bool saidEncrypted = false;  // said once per opening of the archive
        for (const std::string& name : rar.FileNames()) {
            SCOPED_TRACE(name);
            ui.shown.clear();
            TMemoryStream* s = rar.Extract(name);
            ASSERT_LE(Errors(ui), 1u);
            const bool encryptedAgain = saidEncrypted && s && s->Size() == 0 && Errors(ui) == 0;
            saidEncrypted = saidEncrypted || Shown(ui, "encrypted archives are not supported");
            auto it = members.find(name);
            if (it != members.end() && it->second.size > kSweepMemberLimit) continue;
            if (it != members.end() && it->second.type == 'l') {
                EXPECT_TRUE(s && s->Size() == 0) << "a link has no data of its own";
                continue;
            }
            std::optional<std::string> want = it == members.end() ? std::nullopt : oracle.Extract(it->second.path);
            if (oracle.TimedOut()) continue;
            if (want && Errors(ui) == 0) {
                ASSERT_NE(s, nullptr);
                EXPECT_EQ(s->Position(), 0);
                EXPECT_TRUE(Bytes(s) == *want) << "sizes " << s->Size() << " and " << want->size();
                ++compared;
            } else if (Errors(ui) > 0) {
                EXPECT_TRUE(!s || s->Size() == 0) << "a failed member gives no data";
                if (encrypted) {
                    EXPECT_EQ(ui.shown.back().text, "encrypted archives are not supported");
                }
                ++refused;
            } else if (encryptedAgain) {
                ++refused;
            } else if (ShownName(name) == cutShort && s && s->Size() == 0 && Errors(ui) == 0) {
                ++refused;
            } else {
                ADD_FAILURE() << "bsdtar fails on this member, we delivered it without a word";
            }
        }
        if (encrypted) {
            EXPECT_TRUE(ui.passwordRequests.empty()) << "no prompt that cannot succeed";
        }
    }
    EXPECT_GE(compared, 60);
    EXPECT_GE(refused, 20);
}

TEST_F(RarReal, EncryptedArchivesAndMembersSayWhy) {
    struct Case {
        const char* file;
        int plain;  // members that are not encrypted; -1: the names are encrypted too
    } cases[] = {{"rar4_encrypted.rar", 2},           {"rar5_encrypted.rar", 2},
                 {"rar_encryption_data.rar", 0},      {"rar_encryption_partially.rar", 1},
                 {"rar_encryption_header.rar", -1},   {"rar5_encrypted_filenames.rar", -1},
                 {"rar4_encrypted_filenames.rar", -1}, {"rar5_solid_encrypted.rar", -1},
                 {"rar4_solid_encrypted_filenames.rar", -1}, {"rar5_solid_encrypted_filenames.rar", -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = PeerDir() + "libarchive/" + c.file;
        if (!fs::exists(path)) GTEST_SKIP() << "peer archives missing";
        TUnRar rar(&g_owner);
        ui.shown.clear();
        rar.SetFileName(path);
        if (c.plain < 0) {
            EXPECT_EQ(rar.FileNames().Count(), 0);
            ASSERT_EQ(ui.shown.size(), 1u);
        } else {
            ASSERT_GT(rar.FileNames().Count(), 0);
            ASSERT_TRUE(ui.shown.empty());
            int plain = 0;
            for (const std::string& name : rar.FileNames()) {
                TMemoryStream* s = rar.Extract(name);
                ASSERT_NE(s, nullptr);
                // An encrypted member gives no data, never garbage.
                plain += s->Size() > 0;
            }
            EXPECT_EQ(plain, c.plain);
            ASSERT_EQ(ui.shown.size(), 1u) << "once for the archive, however many members are encrypted";
        }
        for (const ShownMessage& m : ui.shown) {
            EXPECT_EQ(m.text, "encrypted archives are not supported");
            EXPECT_EQ(m.caption, path);
        }
        EXPECT_TRUE(ui.passwordRequests.empty()) << "no prompt that cannot succeed";
    }
}

// RAR 5 archives of stored members.
void PutV(std::string& s, uint64_t v) {
    do {
        unsigned char b = v & 0x7F;
        v >>= 7;
        s += static_cast<char>(v ? b | 0x80 : b);
    } while (v);
}
std::string Block5(const std::string& header) {
    std::string body;
    PutV(body, header.size());
    body += header;
    std::string out;
    rarw::Put32(out, rarw::Crc(body));
    return out + body;
}
std::string StoredRar5(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out("Rar!\x1a\x07\x01\x00", 8), h;
    PutV(h, 1), PutV(h, 0), PutV(h, 0);  // main: no flags
    out += Block5(h);
    for (const auto& [name, data] : members) {
        h.clear();
        PutV(h, 2), PutV(h, 0x0002), PutV(h, data.size());  // file, with data
        PutV(h, 0x0004), PutV(h, data.size()), PutV(h, 0644);  // CRC present, size, attributes
        rarw::Put32(h, rarw::Crc(data));
        PutV(h, 0), PutV(h, 1), PutV(h, name.size());  // stored, Unix
        out += Block5(h + name) + data;
    }
    h.clear();
    PutV(h, 5), PutV(h, 0), PutV(h, 0);  // end
    return out + Block5(h);
}
std::string StoredRar5(const std::string& name, const std::string& data) { return StoredRar5({{name, data}}); }

// ---- stored archives written here ----


std::string Page(int i, size_t size) { return MemberContent("page" + std::to_string(i), static_cast<int64_t>(size)); }

// Encrypted members written here: plain or solid archives, stored or compressed members; a
// solid archive's encrypted member is refused by libarchive as unsupported solid data.
TEST_F(RarReal, EncryptedMembersOfSolidArchivesSayEncrypted) {
    for (unsigned method : {0x30u, 0x33u})
        for (unsigned solid : {0x00u, 0x10u}) {
            SCOPED_TRACE(std::to_string(method) + " " + std::to_string(solid));
            // The first member of a solid archive is never marked solid itself.
            std::vector<RarMember> members = {{"a.jpg", Page(1, 3000), false, 0, 0x30},
                                              {"b.jpg", Page(2, 3000), false, 0x04 | solid, method},
                                              {"c.jpg", Page(3, 3000), false, 0x04 | solid, method}};
            std::string path = WriteStoredRar(dir.File("se"), members, 0, true, dir.File("se.rar"))[0];
            TUnRar rar(&g_owner);
            ui.shown.clear();
            rar.SetFileName(path);
            if (solid) {
                EXPECT_EQ(rar.FileNames().Count(), 0) << "a solid archive is listed whole or not at all";
            } else {
                ASSERT_EQ(rar.FileNames().Count(), 3);
                EXPECT_EQ(Bytes(rar.Extract("a.jpg")), Page(1, 3000));
                EXPECT_EQ(Bytes(rar.Extract("b.jpg")), "");
                EXPECT_EQ(Bytes(rar.Extract("c.jpg")), "");
            }
            ASSERT_EQ(ui.shown.size(), 1u) << "once for the archive, for two encrypted members";
            for (const ShownMessage& m : ui.shown) EXPECT_EQ(m.text, "encrypted archives are not supported");
            EXPECT_TRUE(ui.passwordRequests.empty());
        }
}

TEST_F(RarReal, ListIsSortedAndUniqueAndTheFirstOfTwoIsDelivered) {
    std::vector<RarMember> members = {
        {"book/p2.jpg", Page(2, 3000)}, {"book", "", true},          {"book/sub", "", true},
        {"book/sub/p1.jpg", Page(1, 10)}, {"book/sub\\p1.jpg", Page(11, 20)}, {"empty.jpg", ""},
    };
    std::string path = WriteStoredRar(dir.File("book"), members, 0, true, dir.File("book.cbr"))[0];
    TUnRar rar(&g_owner);
    rar.SetFileName(path);
    EXPECT_EQ(Names(rar.FileNames()), (std::vector<std::string>{"book/p2.jpg", "book/sub/p1.jpg", "empty.jpg"}));
    EXPECT_EQ(rar.MemberSize("book/sub/p1.jpg"), 10) << "the first of two in archive order";
    EXPECT_EQ(rar.MemberSize("book/p2.jpg"), 3000);
    EXPECT_EQ(rar.MemberSize("book/sub"), -1);
    EXPECT_EQ(Bytes(rar.Extract("book/sub/p1.jpg")), Page(1, 10)) << "the first of two in archive order";
    EXPECT_EQ(Bytes(rar.Extract("book/p2.jpg")), Page(2, 3000));
    TMemoryStream* empty = rar.Extract("empty.jpg");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Size(), 0);
    EXPECT_EQ(rar.Extract("book/sub"), nullptr) << "folders are no members";
    EXPECT_EQ(rar.Extract("missing.jpg"), nullptr) << "never the previous member's stream";
    EXPECT_EQ(rar.Extract("BOOK/P2.JPG"), nullptr) << "names compare exactly";
    EXPECT_TRUE(ui.shown.empty());
    rar.SetFileName("");
    EXPECT_EQ(rar.FileNames().Count(), 0);
    EXPECT_EQ(rar.MemberSize("book/p2.jpg"), -1);
    EXPECT_EQ(rar.Extract("book/sub/p1.jpg"), nullptr);
}

TEST_F(RarReal, StoredMembersAreCheckedAgainstTheirCrc) {
    std::vector<RarMember> members = {{"a.jpg", Page(1, 500)}, {"b.jpg", Page(2, 700)}, {"c.jpg", Page(3, 90)}};
    std::string path = WriteStoredRar(dir.File("crc"), members)[0];
    std::string bytes = ReadFileBytes(path);
    size_t at = bytes.find(Page(2, 700));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 100] ^= 0x20;
    std::ofstream(path, std::ios::binary) << bytes;
    TUnRar rar(&g_owner);
    rar.SetFileName(path);
    ASSERT_EQ(rar.FileNames().Count(), 3);
    TMemoryStream* bad = rar.Extract("b.jpg");
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->Size(), 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The member b.jpg is damaged and cannot be shown.\nIts data do not match their checksum (CRC).");
    EXPECT_EQ(ui.shown[0].caption, path);
    EXPECT_EQ(Bytes(rar.Extract("c.jpg")), Page(3, 90)) << "only the damaged member is lost";
    EXPECT_EQ(Bytes(rar.Extract("a.jpg")), Page(1, 500));
}

// The CRC is checked once, by our library; a change anywhere in a stored member is caught,
// in a member longer than one read, in the first and the last byte, and in a member that lies
// in a later volume of a set.
TEST_F(RarReal, AChangeAnywhereInAStoredMemberIsCaught) {
    const std::string big = Page(2, 700 * 1024 + 13);
    std::vector<RarMember> members = {{"a.jpg", Page(1, 500)}, {"b.jpg", big}, {"c.jpg", Page(3, 90)}};
    const std::string good = ReadFileBytes(WriteStoredRar(dir.File("crc"), members)[0]);
    const size_t start = good.find(big);
    ASSERT_NE(start, std::string::npos);
    for (size_t at : {start, start + 1, start + 262144, start + big.size() / 2, start + big.size() - 1}) {
        SCOPED_TRACE(at - start);
        std::string bytes = good;
        bytes[at] ^= 0x01;
        std::string path = dir.Write("crc.rar", bytes);
        TUnRar rar(&g_owner);
        ui.shown.clear();
        rar.SetFileName(path);
        EXPECT_EQ(Bytes(rar.Extract("b.jpg")), "");
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].text, "The member b.jpg is damaged and cannot be shown.\nIts data do not match their checksum (CRC).");
        EXPECT_EQ(Bytes(rar.Extract("c.jpg")), Page(3, 90));
    }
    std::string path = dir.Write("crc.rar", good);
    TUnRar whole(&g_owner);
    whole.SetFileName(path);
    EXPECT_TRUE(Bytes(whole.Extract("b.jpg")) == big);

    std::vector<RarMember> pages;
    for (int i = 1; i <= 5; ++i) pages.push_back({"p" + std::to_string(i) + ".jpg", Page(10 + i, 2000)});
    std::vector<std::string> vols = WriteStoredRar(dir.File("set"), pages, 4500, true);
    ASSERT_EQ(vols.size(), 3u);
    std::string v2 = ReadFileBytes(vols[1]);
    size_t at = v2.find(Page(14, 2000));
    ASSERT_NE(at, std::string::npos) << "p4 lies whole in the second volume";
    v2[at + 1999] ^= 0x01;
    std::ofstream(vols[1], std::ios::binary) << v2;
    TUnRar set(&g_owner);
    ui.shown.clear();
    set.SetFileName(vols[0]);
    ASSERT_EQ(set.FileNames().Count(), 5);
    EXPECT_EQ(Bytes(set.Extract("p3.jpg")), Page(13, 2000));
    EXPECT_EQ(Bytes(set.Extract("p4.jpg")), "");
    EXPECT_TRUE(Shown(ui, "The member p4.jpg is damaged and cannot be shown.\nIts data do not match their checksum (CRC)."));
    EXPECT_EQ(Bytes(set.Extract("p5.jpg")), Page(15, 2000));
}

// Archives cut short keep what came before the cut: see ACutArchiveKeepsWhatCameBeforeTheCut.
TEST_F(RarReal, DamagedHeadersGiveAnEmptyListAndOneMessage) {
    std::vector<RarMember> members = {{"a.jpg", Page(1, 5000)}, {"b.jpg", Page(2, 5000)}};
    std::string good = ReadFileBytes(WriteStoredRar(dir.File("good"), members)[0]);
    struct Case {
        const char* what;
        std::string bytes;
        const char* text;
    } cases[] = {
        {"a header's CRC", [&] { std::string b = good; b[7 + 13 + 5] ^= 1; return b; }(), "archive broken"},
        {"only the signature", good.substr(0, 7), "archive broken"},
        {"no signature", "GIF89a" + good.substr(6), "not a RAR archive"},
        {"nothing", "", "not a RAR archive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir.Write("damaged.rar", c.bytes);
        TUnRar rar(&g_owner);
        ui.shown.clear();
        rar.SetFileName(path);
        EXPECT_EQ(rar.FileNames().Count(), 0);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].text, c.text);
    }
    TUnRar rar(&g_owner);
    ui.shown.clear();
    rar.SetFileName(dir.File("absent.rar"));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Cannot open " + dir.File("absent.rar"));
    ui.shown.clear();
    rar.SetFileName(dir.Path());
    EXPECT_EQ(ui.shown.size(), 1u) << "a folder is no archive";
}

// A RAR 5 archive packed with a dictionary over 64 MB (the format allows up to 1 GB) is not
// broken: the message says what it is. Each file header's compression field is rewritten.
TEST_F(RarReal, ADictionaryTooLargeToUnpackIsNamedAsSuch) {
    const std::string path = PeerDir() + "libarchive/rar5_multiple_files.rar";
    if (!fs::exists(path)) GTEST_SKIP() << "peer archives missing";
    std::string b = ReadFileBytes(path);
    const auto vint = [&](size_t& i) {
        uint64_t v = 0;
        for (int shift = 0; i < b.size(); shift += 7) {
            const unsigned char x = static_cast<unsigned char>(b[i++]);
            v |= uint64_t(x & 0x7F) << shift;
            if (!(x & 0x80)) break;
        }
        return v;
    };
    int patched = 0;
    for (size_t at = 8; at + 4 < b.size();) {
        size_t i = at + 4;
        const uint64_t headerSize = vint(i);
        const size_t start = at + 4, end = i + headerSize;
        const uint64_t type = vint(i), flags = vint(i);
        if (flags & 1) vint(i);
        const uint64_t dataSize = flags & 2 ? vint(i) : 0;
        if (type == 5 || end > b.size()) break;
        if (type == 2) {
            const uint64_t fileFlags = vint(i);
            vint(i), vint(i);
            i += (fileFlags & 2 ? 4 : 0) + (fileFlags & 4 ? 4 : 0);
            const size_t ci = i;
            const uint64_t info = vint(i);
            const uint64_t wider = (info & ~(uint64_t(0xF) << 10)) | (uint64_t(10) << 10);  // 128 KB << 10: 128 MB
            if (i - ci == 2) {
                b[ci] = static_cast<char>((wider & 0x7F) | 0x80);
                b[ci + 1] = static_cast<char>(wider >> 7);
                const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(b.data() + start), static_cast<uInt>(end - start)));
                for (int k = 0; k < 4; ++k) b[at + k] = static_cast<char>(crc >> (8 * k));
                ++patched;
            }
        }
        at = end + dataSize;
    }
    ASSERT_GT(patched, 0);
    TUnRar rar(&g_owner);
    ui.shown.clear();
    rar.SetFileName(dir.Write("wide.cbr", b));
    EXPECT_EQ(rar.FileNames().Count(), 0);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The archive was packed with a dictionary larger than 64 MB, which this reader cannot unpack.");
}

// An archive cut short (an interrupted download) keeps every member before the cut, says in
// one message after which member it ends and which member is cut short, and that member then
// only gets its error page: RAR 4 and RAR 5, stored, compressed and solid, cut inside a
// member's data and inside a header.
TEST_F(RarReal, ACutArchiveKeepsWhatCameBeforeTheCut) {
    std::vector<RarMember> pages;
    for (int i = 1; i <= 4; ++i) pages.push_back({"p" + std::to_string(i) + ".jpg", Page(40 + i, 3000)});
    const std::string ours = WriteStoredRar(dir.File("ours"), pages)[0];
    const size_t size = ReadFileBytes(ours).size(), p3Data = ReadFileBytes(ours).find(Page(43, 3000));
    ASSERT_NE(p3Data, std::string::npos);
    const std::string ours5 = dir.Write("ours5.rar", StoredRar5({{"p1.jpg", Page(41, 3000)}, {"p2.jpg", Page(42, 3000)}, {"p3.jpg", Page(43, 3000)}}));
    const size_t ours5p2End = ReadFileBytes(ours5).find(Page(42, 3000)) + 3000;
    struct Case {
        std::string what, file;
        size_t cut;
        std::vector<std::string> names;  // as listed (sorted)
        std::string last, cutShort;
    };
    const std::string peer = PeerDataDir();
    const std::vector<Case> cases = {
        {"RAR 4 stored, at half, in p2's data", ours, size / 2, {"p1.jpg", "p2.jpg"}, "p1.jpg", "p2.jpg"},
        {"RAR 4 stored, at 70%, in p3's data", ours, size * 7 / 10, {"p1.jpg", "p2.jpg", "p3.jpg"}, "p2.jpg", "p3.jpg"},
        {"RAR 4 stored, in p3's header", ours, p3Data - 10, {"p1.jpg", "p2.jpg"}, "p2.jpg", ""},
        {"RAR 4 stored, in the end header", ours, size - 3, {"p1.jpg", "p2.jpg", "p3.jpg", "p4.jpg"}, "p4.jpg", ""},
        {"RAR 4 compressed, in the first member's data", peer + "rar_compress_normal.rar", 3000,
         {"LibarchiveAddingTest.html"}, "", "LibarchiveAddingTest.html"},
        {"RAR 4 compressed, in a header", peer + "rar_compress_normal.rar", 7300, {"LibarchiveAddingTest.html", "testlink"}, "testlink", ""},
        {"RAR 5 stored, at half, in a member's data", peer + "rar5_stored_manyfiles.rar", 1293, {"cebula.txt", "make_uue.tcl"},
         "make_uue.tcl", "cebula.txt"},
        {"RAR 5 stored, in a header", peer + "rar5_stored_manyfiles.rar", 1350, {"cebula.txt", "make_uue.tcl"}, "cebula.txt", ""},
        {"RAR 5 compressed, at 70%, in a member's data", peer + "rar5_multiple_files.rar", 1159, {"test1.bin", "test2.bin", "test3.bin"},
         "test2.bin", "test3.bin"},
        {"RAR 5 compressed, in a header", peer + "rar5_multiple_files.rar", 840, {"test1.bin", "test2.bin"}, "test2.bin", ""},
        {"RAR 5 solid, in a member's data", peer + "rar5_solid.rar", 720, {"test.bin", "test1.bin", "test2.bin"}, "test1.bin", "test2.bin"},
        {"RAR 5 solid, in a header", peer + "rar5_solid.rar", 735, {"test.bin", "test1.bin", "test2.bin"}, "test2.bin", ""},
        // Cut right after a whole member, before the next header begins.
        {"RAR 5 stored, after a member", ours5, ours5p2End, {"p1.jpg", "p2.jpg"}, "p2.jpg", ""},
        {"RAR 5 compressed, after a member", peer + "rar5_multiple_files.rar", 824, {"test1.bin", "test2.bin"}, "test2.bin", ""},
        {"RAR 5 solid, after a member", peer + "rar5_solid.rar", 731, {"test.bin", "test1.bin", "test2.bin"}, "test2.bin", ""},
        // Cut right after the main header: the same words for both.
        {"RAR 4, after the main header", ours, 7 + 13, {}, "", ""},
        {"RAR 5, after the main header", ours5, 8 + 8, {}, "", ""},
    };
    int ran = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!fs::exists(c.file)) continue;
        ++ran;
        TUnRar whole(&g_owner);
        whole.SetFileName(c.file);
        const std::string path = dir.Write("cut.rar", ReadFileBytes(c.file).substr(0, c.cut));
        TUnRar rar(&g_owner);
        ui.shown.clear();
        rar.SetFileName(path);
        EXPECT_EQ(Names(rar.FileNames()), c.names);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, path);
        EXPECT_EQ(ui.shown[0].text, ArchiveEndsEarlyText(c.last, c.cutShort));
        // Forward, then backward (the archive opened again each time).
        std::vector<std::string> order = c.names;
        order.insert(order.end(), c.names.rbegin(), c.names.rend());
        for (const std::string& name : order) {
            SCOPED_TRACE(name);
            TMemoryStream* s = rar.Extract(name);
            ASSERT_NE(s, nullptr);
            if (name == c.cutShort) {
                EXPECT_EQ(s->Size(), 0) << "the error page";
            } else {
                const std::string got = Bytes(s);
                TMemoryStream* want = whole.Extract(name);
                ASSERT_NE(want, nullptr);
                EXPECT_TRUE(got == Bytes(want)) << "sizes " << got.size() << " and " << want->Size();
            }
        }
        EXPECT_EQ(ui.shown.size(), 1u) << "said once per opening";
    }
    EXPECT_GE(ran, 4);
    EXPECT_EQ(ArchiveEndsEarlyText("p2.jpg", "p3.jpg"),
              "The archive ends early, after the member p2.jpg; the members up to it are shown.\n"
              "The member p3.jpg is cut short and cannot be shown.");
}

// A later volume of a whole set opened on its own: the member that begins in an earlier volume
// says so and names the set's first volume (either naming, any width of number); the members
// that begin in the volume are read.
TEST_F(RarReal, AMemberBeginningInAnEarlierVolumeNamesTheFirstVolume) {
    std::vector<RarMember> pages;
    for (int i = 1; i <= 5; ++i) pages.push_back({"p" + std::to_string(i) + ".jpg", Page(20 + i, 2000)});
    for (bool newNaming : {true, false}) {
        SCOPED_TRACE(newNaming);
        std::vector<std::string> vols = WriteStoredRar(dir.File(newNaming ? "book" : "old"), pages, 4500, newNaming);
        ASSERT_EQ(vols.size(), 3u);
        std::vector<std::pair<std::string, std::string>> opened = {{vols[1], vols[0]}};
        if (newNaming) {
            // Numbered with two digits: the first volume is part01.
            fs::copy_file(vols[1], dir.File("wide.part02.rar"));
            fs::copy_file(vols[2], dir.File("wide.part03.rar"));
            opened.push_back({dir.File("wide.part02.rar"), dir.File("wide.part01.rar")});
        }
        for (const auto& [volume, first] : opened) {
            SCOPED_TRACE(volume);
            TUnRar rar(&g_owner);
            ui.shown.clear();
            rar.SetFileName(volume);
            EXPECT_EQ(Names(rar.FileNames()), (std::vector<std::string>{"p3.jpg", "p4.jpg", "p5.jpg"}));
            EXPECT_TRUE(ui.shown.empty());
            EXPECT_EQ(Bytes(rar.Extract("p3.jpg")), "");
            ASSERT_EQ(ui.shown.size(), 1u);
            EXPECT_EQ(ui.shown[0].text,
                      "The member p3.jpg cannot be shown: it begins in an earlier volume of the set; open its first volume, " + first + ".");
            EXPECT_EQ(Bytes(rar.Extract("p4.jpg")), Page(24, 2000));
            EXPECT_EQ(Bytes(rar.Extract("p5.jpg")), Page(25, 2000));
            EXPECT_EQ(ui.shown.size(), 1u);
        }
    }
    // A volume renamed out of the set's naming is not guessed at.
    std::vector<std::string> vols = WriteStoredRar(dir.File("named"), pages, 4500, true);
    fs::copy_file(vols[1], dir.File("renamed.cbr"));
    TUnRar rar(&g_owner);
    ui.shown.clear();
    ui.cancelDisks = true;  // its next volume is asked for by a name it does not have
    rar.SetFileName(dir.File("renamed.cbr"));
    EXPECT_EQ(Bytes(rar.Extract("p3.jpg")), "");
    EXPECT_TRUE(Shown(ui, "The member p3.jpg cannot be shown: it begins in an earlier volume of the set; open the set's first volume."));
}

// A later volume of a RAR 4 set opened with the other volumes missing (either naming): the
// next volume is asked for; Cancel, or giving up after the tries, keeps the members that lie
// wholly in the volume, and the one begun in an earlier volume names the set's first volume
// (at once when the volume holds nothing but the middle of that one).
TEST_F(RarReal, ALaterVolumeAloneShowsItsWholeMembersAndNamesTheFirstVolume) {
    const auto firstVolumeText = [](const std::string& member, const std::string& first) {
        return "The member " + member + " cannot be shown: it begins in an earlier volume of the set; open its first volume, " + first + ".";
    };
    std::vector<RarMember> pages;  // p3 begins in the first volume, p5 ends in the last
    for (int i = 1; i <= 5; ++i) pages.push_back({"ch/p" + std::to_string(i) + ".jpg", Page(30 + i, 2000)});
    const std::vector<RarMember> middle = {{"p1.jpg", Page(1, 2000)}, {"p2.jpg", Page(2, 9000)}};
    enum { kCancelled, kGivenUp, kMiddleOnly };
    for (bool newNaming : {true, false}) {
        for (int kind : {kCancelled, kGivenUp, kMiddleOnly}) {
            SCOPED_TRACE(std::string(newNaming ? "name.partN.rar " : "name.rar, name.r00 ") + std::to_string(kind));
            TempDir d;
            std::vector<std::string> vols = WriteStoredRar(d.File("set"), kind == kMiddleOnly ? middle : pages, 4500, newNaming);
            ASSERT_EQ(vols.size(), 3u);
            fs::remove(vols[0]);
            fs::remove(vols[2]);
            TUnRar rar(&g_owner);
            ui.shown.clear();
            ui.cancelDisks = kind != kGivenUp;
            rar.SetFileName(vols[1]);
            ASSERT_FALSE(ui.shown.empty());
            EXPECT_EQ(ui.shown[0].text + " " + ui.shown[0].caption, "Insert disk " + vols[2]);
            if (kind == kMiddleOnly) {
                EXPECT_EQ(rar.FileNames().Count(), 0);
                ASSERT_EQ(ui.shown.size(), 2u);
                EXPECT_EQ(ui.shown[1].text, firstVolumeText("p2.jpg", vols[0]));
                continue;
            }
            EXPECT_EQ(Names(rar.FileNames()), (std::vector<std::string>{"ch/p3.jpg", "ch/p4.jpg"}));
            EXPECT_EQ(Errors(ui), kind == kGivenUp ? 1u : 0u);
            if (kind == kGivenUp) {
                EXPECT_EQ(ui.shown.back().text, "Cannot open " + vols[2]);
            }
            ui.shown.clear();
            EXPECT_EQ(Bytes(rar.Extract("ch/p4.jpg")), Page(34, 2000));
            EXPECT_EQ(Bytes(rar.Extract("ch/p3.jpg")), "");
            ASSERT_EQ(ui.shown.size(), 1u) << "nothing more is asked";
            EXPECT_EQ(ui.shown[0].text, firstVolumeText("ch/p3.jpg", vols[0]));
            EXPECT_EQ(Bytes(rar.Extract("ch/p4.jpg")), Page(34, 2000));
        }
    }
}

TEST_F(RarReal, VolumeSetsInBothNamingsAreReadAsOne) {
    std::vector<RarMember> members;
    for (int i = 1; i <= 6; ++i) members.push_back({"book\\page" + std::to_string(i) + ".jpg", Page(i, 1000 + 300 * i)});
    for (bool newNaming : {true, false}) {
        SCOPED_TRACE(newNaming ? "name.partN.rar" : "name.rar, name.r00");
        TempDir d;
        std::vector<std::string> vols = WriteStoredRar(d.File("set"), members, 2500, newNaming);
        ASSERT_GE(vols.size(), 3u);
        TUnRar rar(&g_owner);
        rar.SetFileName(vols[0]);
        ASSERT_EQ(rar.FileNames().Count(), 6);
        for (int i = 6; i >= 1; --i) EXPECT_EQ(Bytes(rar.Extract("book/page" + std::to_string(i) + ".jpg")), Page(i, 1000 + 300 * i));
        EXPECT_TRUE(ui.shown.empty());

        // A member split over volumes is checked against the CRC of its last part.
        std::string last = ReadFileBytes(vols[2]);
        size_t at = last.find(Page(3, 1900).substr(1500, 40));
        if (at != std::string::npos) {
            last[at] ^= 1;
            std::ofstream(vols[2], std::ios::binary) << last;
            EXPECT_EQ(Bytes(rar.Extract("book/page3.jpg")), "");
            EXPECT_TRUE(Shown(ui, "The member book/page3.jpg is damaged and cannot be shown.\nIts data are broken (archive broken)."));
        }
    }
}

// The folded CRC equals zlib's for every length around its block sizes, any alignment and
// any running value, in one call or cut into pieces.
TEST(RarCrc, EqualsZlibsForAnyLengthAlignmentStartAndCut) {
    std::string data(300000, '\0');
    uint32_t x = 12345;
    for (char& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    int compared = 0;
    for (size_t size = 0; size <= 2100; size += (size < 200 ? 1 : 37))
        for (size_t offset : {0, 1, 7, 13})
            for (uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u}) {
                const char* p = data.data() + offset;
                uint32_t want = static_cast<uint32_t>(crc32(start, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(size)));
                ASSERT_EQ(rarcrc::Crc32(start, p, size), want) << size << " at " << offset;
                ++compared;
            }
    uint32_t whole = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    EXPECT_EQ(rarcrc::Crc32(0, data.data(), data.size()), whole);
    uint32_t pieces = 0;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1)
        pieces = rarcrc::Crc32(pieces, data.data() + at, std::min(step, data.size() - at));
    EXPECT_EQ(pieces, whole);
    EXPECT_GT(compared, 1000);
}

// Volumes that end between two files (no file continues into the next one) are read on, in
// both namings: every member of every volume is listed and read.
TEST_F(RarReal, VolumesThatEndBetweenFilesAreReadOn) {
    std::vector<RarMember> members;
    for (int i = 1; i <= 5; ++i) members.push_back({"p" + std::to_string(i) + ".jpg", Page(20 + i, 2000)});
    for (bool newNaming : {true, false}) {
        SCOPED_TRACE(newNaming);
        TempDir d;
        std::vector<std::string> vols = WriteStoredRar(d.File("set"), members, 2000, newNaming);
        ASSERT_EQ(vols.size(), 5u) << "one whole member in each volume";
        TUnRar rar(&g_owner);
        ui.shown.clear();
        rar.SetFileName(vols[0]);
        ASSERT_EQ(rar.FileNames().Count(), 5);
        for (int i = 5; i >= 1; --i) EXPECT_EQ(Bytes(rar.Extract("p" + std::to_string(i) + ".jpg")), Page(20 + i, 2000)) << i;
        for (int i = 1; i <= 5; ++i) EXPECT_EQ(Bytes(rar.Extract("p" + std::to_string(i) + ".jpg")), Page(20 + i, 2000)) << i;
        EXPECT_TRUE(ui.shown.empty());
        // A missing one in the middle is asked for by name, as in any set.
        fs::rename(vols[2], vols[2] + ".away");
        ui.answers = {mrCancel};
        rar.SetFileName(vols[0]);
        EXPECT_EQ(rar.FileNames().Count(), 0);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, vols[2]);
    }
}

TEST(RarVolumes, AMissingVolumeIsAskedForByNameAndCancelEndsTheWork) {
    if (!fs::exists(RealLibrary())) GTEST_SKIP();
    TUnRar::UseLibrary(RealLibrary());
    VolumeUi ui;
    TempDir d;
    std::vector<RarMember> members;
    for (int i = 1; i <= 4; ++i) members.push_back({"p" + std::to_string(i) + ".jpg", Page(i, 2000)});
    std::vector<std::string> vols = WriteStoredRar(d.File("set"), members, 2500, true);
    ASSERT_GE(vols.size(), 3u);
    fs::rename(vols[1], vols[1] + ".away");
    TUnRar rar(&g_owner);

    // The question names the missing part; after Cancel nothing more is said.
    ui.answers = {mrCancel};
    rar.SetFileName(vols[0]);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Insert disk");
    EXPECT_EQ(ui.shown[0].caption, vols[1]);
    EXPECT_EQ(ui.shown[0].buttons, mbOKCancel);
    EXPECT_EQ(rar.FileNames().Count(), 0);

    // OK after putting the volume back goes on.
    ui.shown.clear();
    ui.restore = vols[1];
    rar.SetFileName(vols[0]);
    EXPECT_EQ(ui.shown.size(), 1u);
    ASSERT_EQ(rar.FileNames().Count(), 4);
    EXPECT_EQ(Bytes(rar.Extract("p4.jpg")), Page(4, 2000));

    // OK without the volume asks again, a bounded number of times.
    fs::rename(vols[1], vols[1] + ".away");
    ui.shown.clear();
    rar.SetFileName(vols[0]);
    EXPECT_GT(ui.shown.size(), 2u);
    EXPECT_LE(ui.shown.size(), 12u);
    EXPECT_EQ(ui.shown.back().text, "Cannot open " + vols[1]) << "the part that is missing";
    EXPECT_EQ(std::count_if(ui.shown.begin(), ui.shown.end(), [](const ShownMessage& m) { return m.text != "Insert disk"; }), 1);

    // A set of another program with its second part missing: the same, from its headers.
    const std::string peer = PeerDir() + "libarchive/rar_multivolume_multiple_files.part";
    if (fs::exists(peer + "1.rar")) {
        for (int i : {1, 3, 4, 5, 6}) fs::copy_file(peer + std::to_string(i) + ".rar", d.File("m.part" + std::to_string(i) + ".rar"));
        ui.shown.clear();
        ui.answers = {mrCancel};
        rar.SetFileName(d.File("m.part1.rar"));
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].caption, d.File("m.part2.rar"));
        ui.shown.clear();
        ui.answers = {};
        rar.SetFileName(d.File("m.part1.rar"));
        EXPECT_EQ(ui.shown.back().text, "Cannot open " + d.File("m.part2.rar"));
    }
    TUnRar::UseLibrary(TUnRar::kLibraryName);
}

TEST_F(RarReal, TheFrontEndOpensRarAndCbrByContentAndByName) {
    std::vector<RarMember> members = {{"p2.jpg", Page(2, 100)}, {"p1.jpg", Page(1, 100)}};
    std::string cbr = WriteStoredRar(dir.File("x"), members, 0, true, dir.File("book.cbr"))[0];
    std::string odd = dir.Write("book.dat", ReadFileBytes(cbr));
    for (const std::string& path : {cbr, odd}) {
        TUnArchive a(&g_owner);
        int ready = 0;
        a.OnArchiveReady = [&](void*) { ++ready; };
        a.SetFileName(path);
        EXPECT_EQ(a.ArchiveType(), atRar);
        EXPECT_EQ(ready, 1);
        EXPECT_EQ(Names(a.FileNames()), (std::vector<std::string>{"p1.jpg", "p2.jpg"}));
        EXPECT_EQ(Bytes(a.Extract("p2.jpg")), Page(2, 100));
    }
    TUnArchive a(&g_owner);
    int ready = 0;
    a.OnArchiveReady = [&](void*) { ++ready; };
    a.SetFileName(dir.Write("text.cbr", "not an archive at all"));
    EXPECT_EQ(ready, 0);
    EXPECT_EQ(a.FileNames().Count(), 0);
    EXPECT_EQ(ui.shown.size(), 1u);
}

// A book of chapter folders with the same page names keeps all its pages: listed with their
// folders ('/' whichever separator was stored), sorted, and extracted by that name, in RAR 4
// and RAR 5. Of two members of one name the first is delivered; a name that would leave its
// folder is not listed.
TEST_F(RarReal, ChapterFoldersWithTheSamePageNamesKeepEveryPage) {
    const std::vector<std::pair<std::string, std::string>> members = {
        {"ch2\\01.jpg", Page(21, 300)}, {"ch1\\02.jpg", Page(12, 200)}, {"ch1/01.jpg", Page(11, 100)},
        {"ch2/02.jpg", Page(22, 400)},    {"ch1\\01.jpg", Page(99, 50)},  {"..\\up.jpg", Page(1, 10)},
        {"ch1/../../x.jpg", Page(2, 10)}, {"/abs.jpg", Page(3, 10)},       {"c:\\drive.jpg", Page(4, 10)},
        {"cover.jpg", Page(5, 10)}};
    std::vector<RarMember> rar4 = {{"ch1", "", true}};
    for (const auto& [name, data] : members) rar4.push_back({name, data});
    const std::string books[] = {WriteStoredRar(dir.File("b4"), rar4, 0, true, dir.File("book4.cbr"))[0],
                                 dir.Write("book5.cbr", StoredRar5(members))};
    for (const std::string& path : books) {
        SCOPED_TRACE(path);
        TUnRar rar(&g_owner);
        ui.shown.clear();
        rar.SetFileName(path);
        EXPECT_EQ(Names(rar.FileNames()), (std::vector<std::string>{"ch1/01.jpg", "ch1/02.jpg", "ch2/01.jpg", "ch2/02.jpg", "cover.jpg"}));
        EXPECT_EQ(rar.MemberSize("ch2/01.jpg"), 300);
        EXPECT_EQ(rar.MemberSize("ch1/01.jpg"), 100) << "the first of two";
        EXPECT_EQ(rar.MemberSize("01.jpg"), -1);
        const std::pair<const char*, size_t> delivered[] = {{"ch2/02.jpg", 3}, {"ch1/01.jpg", 2}, {"ch2/01.jpg", 0}, {"ch1/02.jpg", 1}, {"cover.jpg", 9}};
        for (const auto& [name, member] : delivered) EXPECT_EQ(Bytes(rar.Extract(name)), members[member].second) << name;
        for (const char* name : {"01.jpg", "ch1\\01.jpg", "ch1", "up.jpg", "../up.jpg", "x.jpg", "abs.jpg", "/abs.jpg", "drive.jpg"})
            EXPECT_EQ(rar.Extract(name), nullptr) << name;
        EXPECT_TRUE(ui.shown.empty());
    }
}

TEST_F(RarReal, AStaleOutOfMemoryErrorDoesNotEndTheProcessOnANameThatIsNotUtf8) {
    // libarchive ends the process when a name fails to convert and errno says ENOMEM.
    std::string good = dir.Write("good.rar", StoredRar5("p1.jpg", "page one"));
    std::string bad = dir.Write("bad.rar", StoredRar5("p\xff\xfe.jpg", "page one"));
    for (const std::string& path : {good, bad}) {
        SCOPED_TRACE(path);
        ui.shown.clear();
        TUnRar rar(&g_owner);
        errno = ENOMEM;
        rar.SetFileName(path);
        EXPECT_LE(Errors(ui), 1u);
        for (const std::string& name : Names(rar.FileNames())) {
            errno = ENOMEM;
            TMemoryStream* st = rar.Extract(name);
            if (path == good) {
                EXPECT_EQ(Bytes(st), "page one");
            }
        }
        if (path == good) {
            EXPECT_EQ(Names(rar.FileNames()), std::vector<std::string>{"p1.jpg"});
        }
    }
}

// Descriptors of this process open on `path`.
int OpenOn(const std::string& path) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code ec2;
        if (fs::read_symlink(e.path(), ec2) == fs::path(path)) ++n;
    }
    return n;
}

TEST_F(RarReal, TheArchiveKeptOpenForTheNextPageIsLetGoWithTheArchive) {
    std::vector<RarMember> members = {{"p1.jpg", Page(1, 100)}, {"p2.jpg", Page(2, 100)}, {"p3.jpg", Page(3, 100)}};
    std::string cbr = fs::canonical(WriteStoredRar(dir.File("x"), members, 0, true, dir.File("book.cbr"))[0]).string();
    std::string other = dir.Write("notes.txt", "no archive");
    TUnArchive a(&g_owner);
    a.SetFileName(cbr);
    EXPECT_EQ(OpenOn(cbr), 0) << "the listing closes the archive";
    // Forward, back and forward again: the same bytes as a fresh reader gives.
    for (const char* name : {"p1.jpg", "p3.jpg", "p2.jpg", "p3.jpg"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Bytes(a.Extract(name)), Page(name[1] - '0', 100));
        EXPECT_EQ(OpenOn(cbr), 1);
    }
    a.SetFileName(other);
    EXPECT_EQ(OpenOn(cbr), 0) << "another file lets the rar archive go";
    EXPECT_TRUE(ui.shown.empty());
}

// ---- Esc while a member is read ----

int g_passes = 0;
int g_stopAtPass = 0;
void StopAtPass() {
    if (++g_passes == g_stopAtPass) RequestStop();
}
// Lets the program go on whatever a test left behind.
struct StopReset {
    ~StopReset() { RequestStop(false); }
};

// Esc is seen while messages are let through, at a callback: the library is stopped at that
// callback, the member is given up without a message (also one that would end as damaged),
// and the next read of it starts afresh. A stored member read straight from the file, and a
// compressed one that libarchive unpacks.
TEST_F(RarReal, EscStopsTheReadAtTheNextCallbackAndNothingIsShown) {
    const std::string big = Page(4, 5 * 256 * 1024 + 7);
    std::string stored = WriteStoredRar(dir.File("esc"), {{"a.jpg", Page(1, 100)}, {"big.jpg", big}})[0];
    struct Case {
        std::string archive, member;
        bool damaged;
    };
    std::vector<Case> cases = {{stored, "big.jpg", false}};
    // Unpacks to 20 MB, with a CRC that does not match.
    std::string lzss = PeerDataDir() + "rar_multi_lzss_blocks.rar";
    if (fs::exists(lzss)) cases.push_back({lzss, "multi_lzss_blocks_test.txt", true});
    StopReset reset;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        TUnRar rar(&g_owner);
        rar.SetFileName(c.archive);
        ASSERT_GE(rar.FileNames().IndexOf(c.member), 0);
        ui.shown.clear();
        ui.processMessagesCalls = 0;
        std::string whole = Bytes(rar.Extract(c.member));
        const int passes = ui.processMessagesCalls;
        ASSERT_GT(passes, 4);
        EXPECT_EQ(ui.shown.size(), c.damaged ? 1u : 0u);
        if (!c.damaged) {
            EXPECT_EQ(whole, big);
        }

        ui.shown.clear();
        g_passes = 0;
        g_stopAtPass = 3;
        ui.onProcessMessages = StopAtPass;
        TMemoryStream* s = rar.Extract(c.member);
        ui.onProcessMessages = nullptr;
        RequestStop(false);
        EXPECT_EQ(g_passes, 3) << "no callback after the one that saw the stop";
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->Size(), 0);
        EXPECT_TRUE(ui.shown.empty()) << ui.shown[0].text;

        ui.processMessagesCalls = 0;
        EXPECT_EQ(Bytes(rar.Extract(c.member)), whole);
        EXPECT_EQ(ui.processMessagesCalls, passes);
    }
}

// ---- the recording fake ----

class RarFake : public ::testing::Test {
protected:
    void SetUp() override {
        TUnRar::UseLibrary(FakeLibrary());
        handle_ = dlopen(FakeLibrary().c_str(), RTLD_NOW | RTLD_LOCAL);
        auto f = handle_ ? reinterpret_cast<FakeRarStateFunc>(dlsym(handle_, "FakeRar_State")) : nullptr;
        ASSERT_NE(f, nullptr);
        s = f();
        *s = FakeRarState{};
    }
    void TearDown() override {
        TUnRar::UseLibrary(TUnRar::kLibraryName);
        if (handle_) dlclose(handle_);
    }
    FakeRarState* s = nullptr;
    FakeUi ui;
    void* handle_ = nullptr;
};

TEST_F(RarFake, ThePasswordIsAskedOnceReusedAndForgottenWithTheArchive) {
    s->members = {{"a\\p1.jpg", 0, "one", 0, 64}, {"b/p2.jpg", 0, "two", 0, 64}};
    TUnRar rar(&g_owner);
    rar.SetFileName("/books/locked.rar");
    EXPECT_EQ(Names(rar.FileNames()), (std::vector<std::string>{"a/p1.jpg", "b/p2.jpg"}));
    EXPECT_EQ(s->modes, (std::vector<unsigned>{RAR_OM_LIST}));
    ui.passwords = {"sesame"};
    EXPECT_EQ(Bytes(rar.Extract("a/p1.jpg")), "one");
    EXPECT_EQ(Bytes(rar.Extract("b/p2.jpg")), "two");
    ASSERT_EQ(ui.passwordRequests.size(), 1u);
    EXPECT_EQ(ui.passwordRequests[0].caption, "Password protected archive");
    EXPECT_EQ(ui.passwordRequests[0].prompt, "Enter Password\na/p1.jpg\nin locked.rar") << "the member it is for";
    EXPECT_EQ(ui.passwordRequests[0].buttons, 1 << 1) << "OK and Cancel";
    ASSERT_EQ(s->passwordBuffers.size(), 2u);
    EXPECT_EQ(s->passwordBuffers[1].substr(0, 7), std::string("sesame\0", 7));
    EXPECT_EQ(s->callbackResults, (std::vector<int>{0, 0}));
    EXPECT_EQ(s->operations, (std::vector<std::string>{"skip a\\p1.jpg", "skip b/p2.jpg", "test a\\p1.jpg", "test b/p2.jpg"}))
        << "p2 is read on from p1";
    EXPECT_EQ(s->modes, (std::vector<unsigned>{RAR_OM_LIST, RAR_OM_EXTRACT}));
    EXPECT_EQ(s->opens, s->closes + 1) << "kept open for the next member";

    rar.SetFileName("/books/locked.rar");
    EXPECT_EQ(rar.Password(), "");
    ui.passwords = {"again"};
    rar.Extract("a/p1.jpg");
    EXPECT_EQ(ui.passwordRequests.size(), 2u);
}

TEST_F(RarFake, TheArchiveIsReadOnForwardAndOpenedAgainForAnythingElse) {
    s->members = {{"a/p.jpg", 0, "first p"}, {"q.jpg", 0, "q"}, {"r.jpg", 0, "r", ERAR_BAD_DATA},
                  {"b/p.jpg", 0, "second p"}, {"s.jpg", 0, "s"}, {"t.jpg", 0, "t"}};
    std::vector<std::string> ops;
    auto newOps = [&] {
        std::vector<std::string> out(s->operations.begin() + static_cast<long>(ops.size()), s->operations.end());
        ops = s->operations;
        return out;
    };
    using V = std::vector<std::string>;
    TUnRar rar(&g_owner);
    rar.SetFileName("book.cbr");
    newOps();
    struct Step {
        std::string member, bytes;
        V ops;
        int opens;  // opened again for this one
    } steps[] = {
        {"q.jpg", "q", {"skip a/p.jpg", "test q.jpg"}, 1},
        {"s.jpg", "s", {"skip r.jpg", "skip b/p.jpg", "test s.jpg"}, 0},
        // One behind: from the start.
        {"a/p.jpg", "first p", {"test a/p.jpg"}, 1},
        // The same page name in another folder is another member, read on to.
        {"b/p.jpg", "second p", {"skip q.jpg", "skip r.jpg", "test b/p.jpg"}, 0},
        {"t.jpg", "t", {"skip s.jpg", "test t.jpg"}, 0},
        {"t.jpg", "t", {"skip a/p.jpg", "skip q.jpg", "skip r.jpg", "skip b/p.jpg", "skip s.jpg", "test t.jpg"}, 1},
        // A failed member leaves nothing open; the next one opens again.
        {"r.jpg", "", {"skip a/p.jpg", "skip q.jpg", "test r.jpg"}, 1},
        {"s.jpg", "s", {"skip a/p.jpg", "skip q.jpg", "skip r.jpg", "skip b/p.jpg", "test s.jpg"}, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.member);
        int opens = s->opens;
        EXPECT_EQ(Bytes(rar.Extract(step.member)), step.bytes);
        EXPECT_EQ(newOps(), step.ops);
        EXPECT_EQ(s->opens - opens, step.opens);
        EXPECT_EQ(s->opens - s->closes, step.bytes.empty() ? 0 : 1) << "kept open after a member, not after a failure";
    }
    // A name not listed walks the whole archive from the start and closes it.
    EXPECT_EQ(rar.Extract("none.jpg"), nullptr);
    EXPECT_EQ(newOps().size(), s->members.size());
    EXPECT_EQ(s->opens, s->closes);
    EXPECT_EQ(Bytes(rar.Extract("q.jpg")), "q");
    rar.SetFileName("book.cbr");
    EXPECT_EQ(s->opens, s->closes) << "a new listing closes the archive kept open";
    EXPECT_EQ(Bytes(rar.Extract("q.jpg")), "q");
    TUnRar::UseLibrary(FakeLibrary());
    EXPECT_EQ(s->opens, s->closes) << "a library let go closes what it had open first";
    EXPECT_EQ(Bytes(rar.Extract("s.jpg")), "s");
}

TEST_F(RarFake, ThePasswordEndsInsideTheLibrarysBufferAndCancelStops) {
    s->members = {{"p1.jpg", 0, "data", 0, 4}};
    TUnRar rar(&g_owner);
    rar.SetFileName("x.rar");
    ui.passwords = {"longer than four"};
    EXPECT_EQ(Bytes(rar.Extract("p1.jpg")), "data");
    EXPECT_EQ(s->passwordBuffers.back(), std::string("lon\0", 4));

    rar.SetFileName("x.rar");
    ui.passwords.clear();  // Cancel
    TMemoryStream* st = rar.Extract("p1.jpg");
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->Size(), 0);
    EXPECT_EQ(s->callbackResults.back(), -1);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "The member p1.jpg cannot be shown: Unknown error.") << "the library's code for the refusal";
    EXPECT_EQ(ui.shown[0].caption, "x.rar");
}

TEST_F(RarFake, EveryErrorCodeHasItsMessage) {
    struct Case {
        unsigned code;
        std::string text;
    } cases[] = {{ERAR_NO_MEMORY, "Not enough memory"},     {ERAR_BAD_DATA, "archive broken"},
                 {ERAR_BAD_ARCHIVE, "not a RAR archive"},   {ERAR_UNKNOWN_FORMAT, "Unknown archive format"},
                 {ERAR_EOPEN, "Cannot open /a/b.cbr"},      {ERAR_ECREATE, "File create error"},
                 {ERAR_ECLOSE, "File close error"},         {ERAR_EREAD, "Read error"},
                 {ERAR_EWRITE, "Write error"},              {ERAR_SMALL_BUF, "Unknown error"},
                 {ERAR_ENCRYPTED_UNSUPPORTED, "encrypted archives are not supported"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ui.shown.clear();
        *s = FakeRarState{};
        s->openResult = c.code;
        TUnRar rar(&g_owner);
        rar.SetFileName("/a/b.cbr");
        EXPECT_EQ(rar.Extract("p.jpg"), nullptr) << "an archive that does not open gives nothing";
        // Encryption is said of the archive: once per opening.
        ASSERT_EQ(ui.shown.size(), c.code == ERAR_ENCRYPTED_UNSUPPORTED ? 1u : 2u);
        EXPECT_EQ(ui.shown[0].text, c.text);
        EXPECT_EQ(ui.shown[0].caption, "/a/b.cbr");
        EXPECT_EQ(ui.shown[0].buttons, mbOK);
        EXPECT_EQ(s->closes, 0) << "nothing was opened";
    }
    // A failed member empties the stream; a failed skip or read ends the walk with one message.
    *s = FakeRarState{};
    s->members = {{"a.jpg", 0, "aaaa"}, {"b.jpg", 0, "bbbb", ERAR_BAD_DATA}, {"folder/", 0, ""}};
    s->endCode = ERAR_END_ARCHIVE;
    {
        TUnRar listed(&g_owner);
        listed.SetFileName("r.rar");
        EXPECT_EQ(Names(listed.FileNames()), (std::vector<std::string>{"a.jpg", "b.jpg"})) << "no empty name";
    }
    s->endCode = ERAR_BAD_DATA;
    ui.shown.clear();
    TUnRar rar(&g_owner);
    rar.SetFileName("r.rar");
    EXPECT_EQ(rar.FileNames().Count(), 0) << "a damaged archive offers no pages";
    ASSERT_EQ(ui.shown.size(), 1u);
    s->endCode = ERAR_END_ARCHIVE;
    rar.SetFileName("r.rar");
    EXPECT_EQ(Bytes(rar.Extract("a.jpg")), "aaaa");
    TMemoryStream* b = rar.Extract("b.jpg");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Size(), 0);
    EXPECT_EQ(ui.shown.back().text, "The member b.jpg is damaged and cannot be shown.\nIts data are broken (archive broken).");
}

TEST_F(RarFake, VolumeRequestsAskOnlyWhenTheLibraryAsks) {
    s->members = {{"p1.jpg", 0, "one", 0, 0, RAR_VOL_NOTIFY, "/v/set.part2.rar"},
                  {"p2.jpg", 0, "two", 0, 0, RAR_VOL_ASK, "/v/set.part3.rar"}};
    TUnRar rar(&g_owner);
    rar.SetFileName("/v/set.part1.rar");
    EXPECT_EQ(Bytes(rar.Extract("p1.jpg")), "one");
    EXPECT_TRUE(ui.shown.empty()) << "a report needs no answer";
    ui.answers = {mrOk};
    EXPECT_EQ(Bytes(rar.Extract("p2.jpg")), "two");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].caption, "/v/set.part3.rar");
    ui.answers = {mrCancel};
    EXPECT_EQ(Bytes(rar.Extract("p2.jpg")), "");
    EXPECT_EQ(s->callbackResults, (std::vector<int>{0, 0, -1}));
    EXPECT_EQ(ui.shown.back().text, "Insert disk") << "after Cancel the question was the one word";
    EXPECT_EQ(ui.shown.size(), 2u);
}

TEST(RarLibrary, AMissingLibraryIsReportedOnceAndThenFailsQuietly) {
    FakeUi ui;
    TUnRar::UseLibrary("/nonexistent/libunrar.so");
    TUnRar rar(&g_owner);
    rar.SetFileName("/a/book.cbr");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_NE(ui.shown[0].text.find("/nonexistent/libunrar.so"), std::string::npos);
    EXPECT_EQ(rar.FileNames().Count(), 0);
    EXPECT_EQ(rar.Extract("p.jpg"), nullptr);
    TUnRar other(&g_owner);
    other.SetFileName("/a/other.rar");
    EXPECT_EQ(ui.shown.size(), 1u);
    TUnRar::UseLibrary(TUnRar::kLibraryName);
}

// ---- room for a member, and the end of the program, through the fake ----

TMemoryStream* g_stream = nullptr;
const uint8_t* g_room = nullptr;
void NoteRoom() {
    if (!g_room) g_room = g_stream->Memory();
}

// Room for the header's size is made before the first data: a large member is never moved
// (copied) while it arrives.
TEST_F(RarFake, AMemberArrivesInRoomMadeForItsWholeSize) {
    std::string big = Page(5, (size_t(65) << 20) + 5);
    s->members = {{"a.jpg", 0, "small"}, {"big.jpg", 0, big}};
    TUnRar rar(&g_owner);
    rar.SetFileName("/books/big.rar");
    g_stream = rar.Extract("a.jpg");
    ASSERT_NE(g_stream, nullptr);
    g_room = nullptr;
    ui.onProcessMessages = NoteRoom;
    TMemoryStream* m = rar.Extract("big.jpg");
    ui.onProcessMessages = nullptr;
    ASSERT_EQ(m, g_stream);
    EXPECT_EQ(m->Memory(), g_room);
    EXPECT_EQ(Bytes(m), big);
}

// A password or volume the library asks for while the program ends is refused without a
// question, and the failure that follows is not reported.
TEST_F(RarFake, NothingIsAskedOrReportedOnceTheProgramIsEnding) {
    s->members = {{"p1.jpg", 0, "one", 0, 64}, {"p2.jpg", 0, "two", 0, 0, RAR_VOL_ASK, "/books/locked.r00"},
                  {"p3.jpg", 0, "three"}};
    TUnRar rar(&g_owner);
    rar.SetFileName("/books/locked.rar");
    ui.passwords = {"sesame"};
    StopReset reset;
    RequestStop();
    for (const char* name : {"p1.jpg", "p2.jpg", "p3.jpg"}) {
        TMemoryStream* m = rar.Extract(name);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->Size(), 0);
    }
    EXPECT_EQ(s->callbackResults, (std::vector<int>{-1, -1}));
    EXPECT_TRUE(ui.passwordRequests.empty());
    EXPECT_TRUE(ui.shown.empty());
    RequestStop(false);
    EXPECT_EQ(Bytes(rar.Extract("p3.jpg")), "three");
}

}  // namespace
}  // namespace vellicor::test
