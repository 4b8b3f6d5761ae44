// Spanned sets: writing one onto part files and onto removable disks (directories standing
// in for disks of chosen sizes), joining sets from our writer and from zip -s, damaged
// sets, cancelling, the disk questions, formatting through the fake, and the copier tools.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "ArchiveTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipFormatThread.h"
#include "archives/zip/ZipSpan.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/Text.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;
namespace fs = std::filesystem;

namespace {

// One drive whose disks are swapped: the drive is a directory; a disk out of the drive
// keeps its files in a store directory of its own.
struct FakeDisks : IVolumeService {
    struct Disk {
        int64_t capacity = 0;
        std::string label;
    };
    std::string drive, store;
    unsigned type = DRIVE_REMOVABLE;
    std::vector<Disk> disks;
    int in = -1;  // the disk in the drive
    int formats = 0;

    FakeDisks(const std::string& root, const std::string& storeDir) : drive(root), store(storeDir) {
        fs::create_directories(drive);
    }
    std::string StoreOf(int d) const { return store + "/disk" + std::to_string(d); }
    void Insert(int d) {
        if (d == in) return;
        if (in >= 0) {
            fs::create_directories(StoreOf(in));
            for (auto& e : fs::directory_iterator(drive)) fs::rename(e.path(), StoreOf(in) + "/" + e.path().filename().string());
        }
        in = d;
        if (fs::is_directory(StoreOf(d)))
            for (auto& e : fs::directory_iterator(StoreOf(d))) fs::rename(e.path(), drive + "/" + e.path().filename().string());
    }
    int AddDisk(int64_t capacity, const std::string& label = "") {
        disks.push_back({capacity, label});
        return static_cast<int>(disks.size()) - 1;
    }
    // The file of a disk, wherever the disk is.
    std::string FileOn(int d, const std::string& name) const { return (d == in ? drive : StoreOf(d)) + "/" + name; }
    int64_t Used() const {
        int64_t n = 0;
        for (auto& e : fs::directory_iterator(drive)) n += static_cast<int64_t>(fs::file_size(e.path()));
        return n;
    }
    std::string RootOf(const std::string&) override { return drive; }
    bool RootExists(const std::string& root) override { return root == drive; }
    unsigned DriveType(const std::string&) override { return type; }
    bool VolumeInformation(const std::string&, std::string& label, uint32_t& serial, int& error) override {
        error = 21;
        if (in < 0) return false;
        label = disks[static_cast<size_t>(in)].label;
        serial = static_cast<uint32_t>(in + 1);
        return true;
    }
    bool FreeSpace(const std::string&, int64_t& f, int64_t& s) override {
        if (in < 0) return false;
        s = disks[static_cast<size_t>(in)].capacity;
        f = s - Used();
        return true;
    }
    bool SetLabel(const std::string&, const std::string& label) override {
        if (in < 0) return false;
        disks[static_cast<size_t>(in)].label = label;
        return true;
    }
    int Format(const std::string&, const std::string& label, std::string& error) override {
        if (in < 0 || type != DRIVE_REMOVABLE) {
            error = "refused";
            return -1;
        }
        for (auto& e : fs::directory_iterator(drive)) fs::remove_all(e.path());
        disks[static_cast<size_t>(in)].label = label;
        ++formats;
        return 0;
    }
};

// The joiner is the extraction's helper; tests reach it from here.
struct SpanComponent : TZipComponent {
    using TZipComponent::ReadSpan;
};

std::string Pattern(int n, int seed) {
    std::string s(static_cast<size_t>(n), '\0');
    uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

class ZipSpan : public ::testing::Test {
protected:
    void SetUp() override {
        ZIP_REQUIRE_TOOLS();
        c.SetDLLDirectory(ModuleDir());
        fs::create_directories(tmp.File("src"));
        // Three members: incompressible, compressible, and a long name with a comment.
        files = {{"a.bin", Pattern(200000, 1)}, {"b.txt", Repeat("page text ", 3000)}, {"folder/with a long name.jpg", Pattern(9000, 2)}};
        for (auto& [n, d] : files) {
            fs::create_directories(fs::path(tmp.File("src/" + n)).parent_path());
            tmp.Write("src/" + n, d);
        }
        ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -r -z ../source.zip a.bin b.txt folder < /dev/null"), 0);
        source = tmp.File("source.zip");
        sourceBytes = ReadFileBytes(source);
    }
    // Every member of a joined archive (folders left out) by unzip, in a map.
    std::map<std::string, std::string> Members(const std::string& archive) {
        std::map<std::string, std::string> m;
        for (auto& [n, d] : files) {
            std::string out = tmp.File("member.out");
            if (RunShell("unzip -p " + Quote(archive) + " " + Quote(n) + " > " + Quote(out) + " 2>/dev/null") == 0)
                m[n] = ReadFileBytes(out);
        }
        return m;
    }
    std::map<std::string, std::string> Expected() { return {files.begin(), files.end()}; }
    // Checks every central header of a set in numbered part files: its local header lies
    // whole inside the volume it names.
    void ExpectHeadersWhole(const std::vector<std::string>& parts) {
        std::string last = ReadFileBytes(parts.back());
        size_t eoc = last.rfind(std::string("PK\x05\x06", 4));
        ASSERT_NE(eoc, std::string::npos);
        auto u16 = [](const std::string& s, size_t i) { return zip::Get16(reinterpret_cast<const uint8_t*>(s.data()) + i); };
        auto u32 = [](const std::string& s, size_t i) { return zip::Get32(reinterpret_cast<const uint8_t*>(s.data()) + i); };
        EXPECT_EQ(u16(last, eoc + 4), parts.size() - 1) << "this disk is the last";
        std::string cdPart = ReadFileBytes(parts[u16(last, eoc + 6)]);
        size_t at = u32(last, eoc + 16);
        for (int i = 0; i < u16(last, eoc + 10); ++i) {
            if (at >= cdPart.size()) {  // the directory went on to the next volume
                cdPart = ReadFileBytes(parts[u16(last, eoc + 6) + 1]);
                at = 0;
            }
            ASSERT_EQ(u32(cdPart, at), zip::kCentralSig);
            std::string vol = ReadFileBytes(parts[u16(cdPart, at + 34)]);
            size_t lo = u32(cdPart, at + 42);
            ASSERT_LE(lo + 30, vol.size());
            EXPECT_EQ(u32(vol, lo), zip::kLocalSig);
            EXPECT_LE(lo + 30 + u16(vol, lo + 26) + u16(vol, lo + 28), vol.size()) << "a local header is never cut";
            at += 46 + u16(cdPart, at + 28) + u16(cdPart, at + 30) + u16(cdPart, at + 32);
        }
    }
    // The volumes copied into dir under the names zip gives a split archive (set.z01, ...,
    // set.zip) and joined by zip -s 0; the joined file, or "" when zip failed.
    std::string JoinedByZip(const std::vector<std::string>& parts, const std::string& dir) {
        fs::create_directories(dir);
        for (size_t v = 0; v < parts.size(); ++v) {
            char ext[32];
            std::snprintf(ext, sizeof ext, ".z%02d", static_cast<int>(v + 1));
            fs::copy_file(parts[v], dir + "/set" + (v + 1 == parts.size() ? std::string(".zip") : std::string(ext)));
        }
        return RunShell("cd " + Quote(dir) + " && zip -q -s 0 set.zip --out whole.zip") == 0 ? dir + "/whole.zip" : "";
    }
    FakeUi ui;
    TempDir tmp;
    SpanComponent c;
    std::vector<std::pair<std::string, std::string>> files;
    std::string source, sourceBytes;
};

TEST_F(ZipSpan, PartFilesOfChosenSizesJoinBackByUsAndByZip) {
    struct Case {
        int maxVolume, keepFree;
    } cases[] = {{20000, 0}, {20000, 5000}, {4099, 0}, {1000003, 0}, {2000, 0}, {1000, 0}, {500, 7}, {333, 7}};
    for (const auto& k : cases) {
        SCOPED_TRACE("max " + std::to_string(k.maxVolume) + " keep " + std::to_string(k.keepFree));
        std::string dir = tmp.File("out" + std::to_string(k.maxVolume) + "_" + std::to_string(k.keepFree));
        fs::create_directories(dir);
        c.SetMaxVolumeSize(k.maxVolume);
        c.SetKeepFreeOnDisk1(k.keepFree);
        c.SetMinFreeVolumeSize(100);
        ui.shown.clear();
        ASSERT_EQ(c.WriteSpan(source, dir + "/set.zip"), 0);
        EXPECT_TRUE(ui.shown.empty()) << "part files need no prompt";
        EXPECT_EQ(ReadFileBytes(source), sourceBytes) << "the source is untouched";
        std::vector<std::string> parts;
        for (int v = 0; v <= c.CurrentDisk(); ++v) parts.push_back(dir + "/set" + DiskSpan::VolumeDigits(v) + ".zip");
        for (size_t v = 0; v < parts.size(); ++v) {
            int64_t size = FileSize(parts[v]);
            EXPECT_LE(size, k.maxVolume - (v == 0 ? k.keepFree : 0)) << parts[v];
        }
        EXPECT_FALSE(FileExists(dir + "/set" + DiskSpan::VolumeDigits(c.CurrentDisk() + 1) + ".zip"));
        EXPECT_EQ(ReadFileBytes(parts[0]).substr(0, 8), std::string("PK\x07\x08PK\x03\x04", 8));
        ExpectHeadersWhole(parts);
        // Our joiner, started from the last part.
        std::string joined = dir + "/";
        ASSERT_EQ(c.ReadSpan(parts.back(), joined), 0);
        EXPECT_TRUE(UnzipTestPasses(joined));
        EXPECT_EQ(Members(joined), Expected());
        // Info-ZIP, given the same volumes under its own names. It cannot read a set whose
        // last volume holds the end record alone (the directory did not leave it room).
        if (FileSize(parts.back()) == zip::kEndRecordSize) continue;
        std::string whole = JoinedByZip(parts, dir + "/zs");
        ASSERT_FALSE(whole.empty());
        EXPECT_EQ(Members(whole), Expected());
    }
}

TEST_F(ZipSpan, FailuresLeaveTheSourceAndNoPartFiles) {
    std::string dir = tmp.File("fail");
    fs::create_directories(dir);
    c.SetMinFreeVolumeSize(1);
    // A volume smaller than the longest local header: refused, not an endless run of volumes.
    c.SetMaxVolumeSize(40);
    EXPECT_EQ(c.WriteSpan(source, dir + "/set.zip"), -7);
    EXPECT_EQ(c.ErrCode(), DS_NoDiskSpace);
    EXPECT_TRUE(fs::is_empty(dir)) << "partial volumes are removed";
    // Cancelled from a progress handler half way.
    c.SetMaxVolumeSize(20000);
    int steps = 0;
    c.OnProgress = [&](TZipComponent* s, ProgressType t, const std::string&, uint32_t) {
        if (t == ProgressUpdate && ++steps == 5) s->SetCancel(true);
    };
    ui.shown.clear();
    EXPECT_EQ(c.WriteSpan(source, dir + "/set.zip"), -7);
    EXPECT_TRUE(ui.shown.empty()) << "a cancel shows no box";
    EXPECT_EQ(c.ErrCode(), DS_Canceled);
    EXPECT_TRUE(fs::is_empty(dir));
    c.SetCancel(false);
    c.OnProgress = nullptr;
    // A part file already there: Unattended cannot ask, so nothing is overwritten.
    std::string old = tmp.Write("fail/set001.zip", "keep me");
    c.Unattended = true;
    EXPECT_EQ(c.WriteSpan(source, dir + "/set.zip"), -7);
    EXPECT_EQ(c.ErrCode(), DS_NoUnattSpan);
    c.Unattended = false;
    ui.answers = {mrCancel};
    EXPECT_EQ(c.WriteSpan(source, dir + "/set.zip"), -7);
    EXPECT_EQ(ui.shown.back().text, "There is already a file " + old + "\nDo you want to overwrite this file");
    EXPECT_EQ(ReadFileBytes(old), "keep me");
    // The archive spanned is never one of its own volumes.
    fs::copy_file(source, dir + "/x001.zip");
    EXPECT_EQ(c.WriteSpan(dir + "/x001.zip", dir + "/x.zip"), -7);
    EXPECT_EQ(ReadFileBytes(dir + "/x001.zip"), sourceBytes);
    EXPECT_EQ(c.WriteSpan(tmp.File("missing.zip"), dir + "/y.zip"), -7);
    EXPECT_EQ(c.ErrCode(), DS_NoInFile);
}

TEST_F(ZipSpan, RemovableDisksLabelsQuestionsAndJoining) {
    FakeDisks d(tmp.File("drive"), tmp.File("store"));
    c.SetVolumeService(&d);
    for (int i = 0; i < 6; ++i) d.AddDisk(90000);
    // Disk 2 holds a file of the target's name and is rejected; disk 3 is given instead.
    d.Insert(2);
    tmp.Write("drive/set.zip", "older");
    fs::last_write_time(d.drive + "/set.zip", fs::file_time_type::clock::now() - std::chrono::hours(48));
    d.Insert(0);
    std::vector<std::string> prompts;
    int next = 0;
    c.OnGetNextDisk = [&](TZipComponent*, int seq, int total, const std::string&, bool& cancel) {
        prompts.push_back(std::to_string(seq) + "/" + std::to_string(total));
        d.Insert(next++);
        cancel = false;
    };
    std::vector<std::string> status;
    c.OnStatusDisk = [&](TZipComponent*, int, const std::string& file, TZipDiskStatus st, TZipDiskAction& a) {
        status.push_back(ExtractFileName(file) + ":" + std::to_string(st));
        a = zdaReject;
    };
    c.SetMinFreeVolumeSize(100);
    ASSERT_EQ(c.WriteSpan(source, d.drive + "/set.zip"), 0);
    int last = c.CurrentDisk();
    EXPECT_EQ(status, (std::vector<std::string>{"set.zip:10"})) << "a file of that name (bit 3) on a used disk (bit 1)";
    ASSERT_GE(prompts.size(), 3u);
    // The writer estimates the count from the archive's size and the disk's.
    EXPECT_EQ(prompts[0], "1/" + std::to_string((sourceBytes.size() + 4) / 90000 + 1));
    std::vector<int> used = {0, 1, 3, 4, 5};
    for (int v = 0; v <= last; ++v) {
        EXPECT_EQ(d.disks[static_cast<size_t>(used[static_cast<size_t>(v)])].label, "PKBACK# " + DiskSpan::VolumeDigits(v));
        EXPECT_TRUE(FileExists(d.FileOn(used[static_cast<size_t>(v)], "set.zip")));
    }
    EXPECT_EQ(ReadFileBytes(d.FileOn(2, "set.zip")), "older");
    // Joining asks for the last disk first, then for each volume by number.
    prompts.clear();
    std::map<int, int> byVolume;
    for (int v = 0; v <= last; ++v) byVolume[v] = used[static_cast<size_t>(v)];
    c.OnGetNextDisk = [&](TZipComponent*, int seq, int total, const std::string&, bool&) {
        prompts.push_back(std::to_string(seq) + "/" + std::to_string(total));
        d.Insert(seq == 0 ? byVolume[last] : byVolume[seq - 1]);
    };
    d.Insert(used[0]);
    std::string joined = tmp.File("joined.zip");
    ASSERT_EQ(c.ReadSpan(d.drive + "/set.zip", joined), 0);
    EXPECT_EQ(prompts.front().substr(0, 2), "0/") << "the last disk is wanted first";
    EXPECT_EQ(Members(joined), Expected());
    // A wrong disk brings the prompt back.
    prompts.clear();
    int wrongOnce = 1;
    c.OnGetNextDisk = [&](TZipComponent*, int seq, int, const std::string&, bool&) {
        prompts.push_back(std::to_string(seq));
        d.Insert(seq == 0 ? byVolume[last] : (seq == 2 && wrongOnce-- > 0) ? 2 : byVolume[seq - 1]);
    };
    ASSERT_EQ(c.ReadSpan(d.drive + "/set.zip", joined), 0);
    EXPECT_EQ(std::count(prompts.begin(), prompts.end(), "2"), 2);
    // Cancelling a prompt: the join fails without a box and leaves no output.
    c.OnGetNextDisk = [&](TZipComponent*, int, int, const std::string&, bool& cancel) { cancel = true; };
    ui.shown.clear();
    std::string out = tmp.File("cancelled.zip");
    EXPECT_EQ(c.ReadSpan(d.drive + "/set.zip", out), -7);
    EXPECT_TRUE(out.empty() && !FileExists(tmp.File("cancelled.zip")) && ui.shown.empty());
}

TEST_F(ZipSpan, TooLittleSpaceErasingAndTheFormatThread) {
    FakeDisks d(tmp.File("drive"), tmp.File("store"));
    c.SetVolumeService(&d);
    d.AddDisk(1000000, "OLD");
    d.Insert(0);
    tmp.Write("drive/other.txt", "erased by the format");
    // Too little space after KeepFreeOnDisk1: the handler cancels.
    c.SetKeepFreeOnDisk1(999990);
    TZipDiskStatus seen = 0;
    c.OnStatusDisk = [&](TZipComponent*, int, const std::string&, TZipDiskStatus st, TZipDiskAction& a) {
        seen = st;
        a = zdaCancel;
    };
    EXPECT_EQ(c.WriteSpan(source, d.drive + "/set.zip"), -7);
    EXPECT_EQ(seen, 1u << 4);
    EXPECT_FALSE(FileExists(d.drive + "/set.zip"));
    // Without a handler the box asks Retry or Cancel.
    c.OnStatusDisk = nullptr;
    ui.answers = {mrOk, mrCancel};  // the disk prompt, then the space question
    EXPECT_EQ(c.WriteSpan(source, d.drive + "/set.zip"), -7);
    EXPECT_EQ(ui.shown.back().text, "This disk has not enough free space available");
    // Erasing: the disk is formatted under the volume's label and the set written.
    c.SetKeepFreeOnDisk1(0);
    c.AddOptions.Include(AddDiskSpanErase);
    c.ConfirmErase = false;
    ui.shown.clear();
    ASSERT_EQ(c.WriteSpan(source, d.drive + "/set.zip"), 0);
    EXPECT_EQ(d.formats, 1);
    EXPECT_FALSE(FileExists(d.drive + "/other.txt"));
    EXPECT_EQ(d.disks[0].label, "PKBACK# 001");
    // With ConfirmErase the user is asked first; saying no formats nothing.
    c.ConfirmErase = true;
    ui.answers = {mrCancel};
    c.SetFormatLabel("PKBACK# 001");
    EXPECT_EQ(c.ZipFormat(), -2);
    EXPECT_EQ(d.formats, 1);
    // One format at a time: a second thread ends at once with -1.
    c.ConfirmErase = false;
    TZipComponent other;
    {
        TSHFormatThread first(&c, true);  // holds the slot without running
        other.SetVolumeService(&d);
        other.ConfirmErase = false;
        EXPECT_EQ(other.ZipFormat(), -1);
        EXPECT_FALSE(other.FormatError().empty());
    }
    EXPECT_EQ(c.ZipFormat(), 0) << "free again";
    d.type = DRIVE_FIXED;  // the service refuses anything but a removable disk
    EXPECT_EQ(c.ZipFormat(), -1);
}

TEST_F(ZipSpan, ZipSplitSetsAndDamagedOnes) {
    for (const char* size : {"64k", "100k", "1m"}) {
        SCOPED_TRACE(size);
        std::string dir = tmp.File(std::string("zs") + size);
        fs::create_directories(dir);
        ASSERT_EQ(RunShell("cd " + Quote(tmp.File("src")) + " && zip -q -r -s " + size + " " + Quote(dir + "/book.zip") + " a.bin b.txt folder"), 0);
        std::string joined = dir + "/";
        ASSERT_EQ(c.ReadSpan(dir + "/book.zip", joined), 0);
        EXPECT_EQ(Members(joined), Expected());
    }
    // The reader's way: list, then take the pages one by one; one join for them all.
    std::string dir = tmp.File("zs64k");
    c.SetZipFileName(dir + "/book.zip");
    ASSERT_EQ(c.GetCount(), 3);
    c.Load_Unz_Dll();
    for (auto& [n, data] : files) EXPECT_EQ(Bytes(c.ExtractFileToStream(n)), data) << n;
    // A missing middle volume: at most one message however many pages are asked for.
    fs::rename(dir + "/book.z02", dir + "/away");
    c.SetZipFileName(dir + "/book.zip");
    ui.shown.clear();
    for (int i = 0; i < 3; ++i)
        for (auto& [n, data] : files) EXPECT_EQ(c.ExtractFileToStream(n), nullptr);
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "A volume of the set does not exist: " + dir + "/book.z02");
    fs::rename(dir + "/away", dir + "/book.z02");
    // A middle volume cut short: the join finds the damage.
    std::string z2 = ReadFileBytes(dir + "/book.z02");
    tmp.Write("zs64k/book.z02", z2.substr(0, z2.size() - 1000));
    std::string out = dir + "/";
    EXPECT_EQ(c.ReadSpan(dir + "/book.zip", out), -7);
    EXPECT_TRUE(out.empty());
    tmp.Write("zs64k/book.z02", z2);
    // A truncated last volume: no end record, the listing says so and lists nothing.
    std::string last = ReadFileBytes(dir + "/book.zip");
    tmp.Write("zs64k/book.zip", last.substr(0, last.size() - 30));
    ui.shown.clear();
    c.SetZipFileName(dir + "/book.zip");
    EXPECT_EQ(c.GetCount(), 0);
    EXPECT_EQ(ui.shown.size(), 1u);
    tmp.Write("zs64k/book.zip", last);
    // Started from an earlier part instead of the last.
    out = dir + "/";
    EXPECT_EQ(c.ReadSpan(dir + "/book.z01", out), -7);
    EXPECT_EQ(c.ErrCode(), DS_FirstInSet);
    EXPECT_EQ(c.ReadSpan(dir + "/book.z02", out), -7);
    EXPECT_EQ(ui.shown.back().text, "This is the 2th disk in a backup set,\nplease insert the last disk of this set");
}

// Members far larger than one copy of the joiner, their data running over two volume ends
// inside one copy: the join matches zip -s 0 byte for byte, and a volume cut short inside
// such a member fails the join with nothing left behind.
TEST_F(ZipSpan, MembersLargerThanACopyJoinLikeZip) {
    std::string dir = tmp.File("big");
    fs::create_directories(dir + "/src");
    tmp.Write("big/src/first.jpg", Pattern(2500001, 3));
    tmp.Write("big/src/second.jpg", Pattern(1048576, 4));
    ASSERT_EQ(RunShell("cd " + Quote(dir + "/src") + " && zip -q -0 -s 700k ../book.zip first.jpg second.jpg"), 0);
    ASSERT_TRUE(FileExists(dir + "/book.z04"));
    std::string ours = dir + "/ours.zip";
    ASSERT_EQ(c.ReadSpan(dir + "/book.zip", ours), 0);
    ASSERT_EQ(RunShell("cd " + Quote(dir) + " && zip -q -s 0 book.zip --out peer.zip"), 0);
    EXPECT_TRUE(ReadFileBytes(ours) == ReadFileBytes(dir + "/peer.zip")) << "the same bytes as zip's join";
    EXPECT_TRUE(UnzipTestPasses(ours));
    std::string z3 = ReadFileBytes(dir + "/book.z03");
    tmp.Write("big/book.z03", z3.substr(0, z3.size() / 2));
    std::string out = dir + "/cut.zip";
    EXPECT_EQ(c.ReadSpan(dir + "/book.zip", out), -7);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(FileExists(dir + "/cut.zip"));
}

// A member whose stated size runs past the end of the set, by less than one copy: the join
// fails and leaves nothing, rather than coming out short.
TEST_F(ZipSpan, MemberRunningPastTheEndOfTheSetFailsTheJoin) {
    std::string dir = tmp.File("past");
    fs::create_directories(dir + "/src");
    tmp.Write("past/src/page.jpg", Pattern(100000, 5));
    ASSERT_EQ(RunShell("cd " + Quote(dir + "/src") + " && zip -q -0 -s 64k ../book.zip page.jpg"), 0);
    ASSERT_TRUE(FileExists(dir + "/book.z01"));
    std::string whole = dir + "/whole.zip";
    ASSERT_EQ(c.ReadSpan(dir + "/book.zip", whole), 0) << "the set as written joins";
    // The first volume starts with the split signature, then the member's local header.
    std::string first = ReadFileBytes(dir + "/book.z01");
    std::string last = ReadFileBytes(dir + "/book.zip");
    auto* lh = reinterpret_cast<uint8_t*>(first.data()) + 4;
    ASSERT_EQ(zip::Get32(lh), zip::kLocalSig);
    const size_t central = last.rfind(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);
    auto* ch = reinterpret_cast<uint8_t*>(last.data()) + central;
    ASSERT_EQ(zip::Get32(ch + 20), 100000u);
    zip::Put32(ch + 20, 100000 + 4096);
    if (zip::Get32(lh + 18) != 0) zip::Put32(lh + 18, 100000 + 4096);
    tmp.Write("past/book.z01", first);
    tmp.Write("past/book.zip", last);
    std::string out = dir + "/short.zip";
    EXPECT_EQ(c.ReadSpan(dir + "/book.zip", out), -7);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(FileExists(dir + "/short.zip"));
}

// Spanning an add to an archive that exists: the set holds its members and the new ones.
TEST_F(ZipSpan, AddingToAnArchiveSpansWhatItHadToo) {
    std::string dir = tmp.File("grow"), temps = tmp.File("growtemps");
    fs::create_directories(dir);
    fs::create_directories(temps);
    c.Unattended = true;
    c.TempDir = temps;
    c.SetRootDir(tmp.File("src"));
    c.SetZipFileName(dir + "/book.zip");
    c.AddOptions = {AddDirNames};
    c.FSpecArgs().Add("a.bin");
    c.Add();
    ASSERT_EQ(c.SuccessCnt(), 1) << c.Message();
    c.SetMaxVolumeSize(20000);
    c.SetMinFreeVolumeSize(100);
    c.AddOptions = {AddDiskSpan, AddDirNames, AddRecurseDirs};
    c.FSpecArgs().Add("b.txt");
    c.FSpecArgs().Add("folder");
    c.Add();
    ASSERT_GT(c.SuccessCnt(), 0) << c.Message();
    EXPECT_TRUE(fs::is_empty(temps));
    std::string joined = dir + "/";
    ASSERT_EQ(c.ReadSpan(c.ZipFileName(), joined), 0);
    EXPECT_TRUE(Members(joined) == Expected()) << "the archive's own member is in the set";
}

// Adding with AddDiskSpan: the library writes a temporary archive that goes out as part
// files; zip joins them and every reader tested agrees on every byte. A cancelled or
// failed set leaves no part, no temporary, and the files moved into it where they were.
TEST_F(ZipSpan, AddingWritesASetThatOtherToolsJoin) {
    std::string dir = tmp.File("add"), temps = tmp.File("temps");
    fs::create_directories(dir);
    fs::create_directories(temps);
    c.Unattended = true;
    c.TempDir = temps;
    c.HowToDelete = htdFinal;
    c.SetMaxVolumeSize(20000);
    c.SetMinFreeVolumeSize(100);
    c.SetRootDir(tmp.File("src"));
    c.AddOptions = {AddDiskSpan, AddDirNames, AddRecurseDirs, AddMove};
    auto add = [&] {
        c.SetZipFileName(dir + "/book.zip");
        for (auto& [n, d] : files) c.FSpecArgs().Add(n);
        c.Add();
    };
    auto sourcesThere = [&] {
        for (auto& [n, d] : files)
            if (!FileExists(tmp.File("src/" + n)) || ReadFileBytes(tmp.File("src/" + n)) != d) return false;
        return true;
    };
    // A volume smaller than a local header, then a cancel half way through the volumes.
    c.SetMaxVolumeSize(30);
    c.SetMinFreeVolumeSize(1);
    add();
    EXPECT_EQ(c.SuccessCnt(), 0);
    EXPECT_EQ(c.ErrCode(), DS_NoDiskSpace);
    EXPECT_TRUE(fs::is_empty(dir));
    c.SetMaxVolumeSize(20000);
    c.SetMinFreeVolumeSize(100);
    int steps = 0;  // counted once the library is done and the volumes are written
    c.OnProgress = [&](TZipComponent* s, ProgressType t, const std::string&, uint32_t) {
        if (t == ProgressUpdate && s->SuccessCnt() > 0 && ++steps == 5) s->SetCancel(true);
    };
    add();
    EXPECT_GE(steps, 5);
    EXPECT_EQ(c.SuccessCnt(), 0);
    EXPECT_EQ(c.ErrCode(), DS_Canceled);
    EXPECT_TRUE(fs::is_empty(dir)) << "no part of a set that did not come out whole";
    EXPECT_TRUE(fs::is_empty(temps));
    EXPECT_TRUE(sourcesThere()) << "nothing moved into a set that failed";
    c.OnProgress = nullptr;

    std::vector<std::string> said;
    c.Verbose = true;
    c.OnMessage = [&](TZipComponent*, int, const std::string& m) { said.push_back(m); };
    add();
    ASSERT_EQ(c.SuccessCnt(), 3) << c.Message();
    int last = c.CurrentDisk();
    ASSERT_GE(last, 9) << "200 kB in volumes of 20 kB";
    EXPECT_EQ(c.ZipFileName(), dir + "/book" + DiskSpan::VolumeDigits(last) + ".zip") << "the set is known by its last part";
    EXPECT_EQ(said.front().rfind("Temporary zipfile: " + temps + "/zip", 0), 0u) << said.front();
    EXPECT_TRUE(fs::is_empty(temps)) << "the temporary archive is gone";
    EXPECT_FALSE(FileExists(dir + "/book.zip"));
    for (auto& [n, d] : files) EXPECT_FALSE(FileExists(tmp.File("src/" + n))) << n << " moved once the set was whole";
    EXPECT_EQ(c.GetCount(), 3) << "the set is listed";

    // The parts under the names zip gives a split archive, joined by zip, checked by three readers.
    std::vector<std::string> parts;
    for (int v = 0; v <= last; ++v) parts.push_back(dir + "/book" + DiskSpan::VolumeDigits(v) + ".zip");
    ExpectHeadersWhole(parts);
    std::string joined = JoinedByZip(parts, tmp.File("zs"));
    ASSERT_FALSE(joined.empty());
    EXPECT_TRUE(UnzipTestPasses(joined));
    EXPECT_EQ(Members(joined), Expected()) << "every member byte for byte";
    ASSERT_TRUE(RunPython(tmp.Path(), "import zipfile\nassert zipfile.ZipFile(" + Quote(joined) + ").testzip() is None\n"));
    if (HaveTool("7z")) {
        EXPECT_EQ(RunShell("7z t " + Quote(joined) + " >/dev/null 2>&1"), 0);
    } else {
        ADD_FAILURE() << "7z (p7zip-full) is missing";
    }
    // Our own joiner, from the last part.
    std::string ours = dir + "/";
    ASSERT_EQ(c.ReadSpan(c.ZipFileName(), ours), 0);
    EXPECT_EQ(Members(ours), Expected());

    // A set is not added to, spanning or not: said in so many words, and nothing changes.
    std::map<std::string, std::string> partsBefore;
    for (const auto& p : parts) partsBefore[p] = ReadFileBytes(p);
    tmp.Write("src/new.txt", "a late page");
    for (bool span : {true, false}) {
        SCOPED_TRACE(span);
        c.AddOptions = span ? TZipAddOptions{AddDiskSpan, AddDirNames, AddMove} : TZipAddOptions{AddDirNames, AddMove};
        c.SetZipFileName(parts.back());
        c.FSpecArgs().Add("new.txt");
        c.Add();
        EXPECT_EQ(c.SuccessCnt(), 0);
        EXPECT_EQ(c.ErrCode(), AD_SpannedSet);
        EXPECT_EQ(c.Message(), "Error - files cannot be added to a spanned archive");
        for (const auto& p : parts) EXPECT_TRUE(ReadFileBytes(p) == partsBefore[p]) << p;
        EXPECT_FALSE(FileExists(dir + "/book" + DiskSpan::VolumeDigits(last + 1) + ".zip"));
        EXPECT_EQ(ReadFileBytes(tmp.File("src/new.txt")), "a late page") << "nothing moved";
        EXPECT_TRUE(fs::is_empty(temps));
    }

    // What the library cannot span is refused before anything is written.
    c.AddOptions = {AddDiskSpanErase, AddUpdate};
    add();
    EXPECT_EQ(c.ErrCode(), AD_NoFreshenUpdate);
    c.AddOptions = {AddDiskSpan};
    c.SetZipFileName(dir + "/book.exe");
    c.FSpecArgs().Add("b.txt");
    c.Add();
    EXPECT_EQ(c.ErrCode(), DS_NoDiskSpan);
    EXPECT_TRUE(fs::is_empty(temps));
}

// A file system in memory is no removable disk: the set goes out as part files, with no
// question and no volume label.
TEST_F(ZipSpan, TmpfsTakesPartFiles) {
    struct statfs fsInfo {};
    if (::statfs("/dev/shm", &fsInfo) != 0 || fsInfo.f_type != TMPFS_MAGIC || ::access("/dev/shm", W_OK) != 0)
        GTEST_SKIP() << "no writable tmpfs at /dev/shm";
    std::string pattern = "/dev/shm/vellicor-span-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    std::string dir = pattern;
    EXPECT_EQ(SystemVolumes().DriveType(SystemVolumes().RootOf(dir)), unsigned(DRIVE_FIXED));
    c.Unattended = true;
    c.SetMaxVolumeSize(50000);
    c.SetMinFreeVolumeSize(100);
    ui.shown.clear();
    EXPECT_EQ(c.WriteSpan(source, dir + "/set.zip"), 0) << c.Message();
    EXPECT_TRUE(ui.shown.empty());
    int parts = 0;
    for (auto& e : fs::directory_iterator(dir)) parts += e.path().filename().string().rfind("set", 0) == 0 ? 1 : 0;
    EXPECT_EQ(parts, c.CurrentDisk() + 1);
    EXPECT_GE(parts, 4);
    fs::remove_all(dir);
}

TEST_F(ZipSpan, DescriptorsAndTheCopierTools) {
    ASSERT_TRUE(RunPython(tmp.Path(), std::string(kZipPy) +
                                          "write('desc.zip', make_zip([entry(b'signed.bin', bytes(range(256)) * 40, desc='signed'),"
                                          " entry(b'plain.txt', b'unsigned descriptor ' * 200, desc='unsigned'),"
                                          " entry(b'stored', b'x' * 5000, method=0)]))\n"));
    // Members whose sizes follow the data, in both descriptor forms.
    std::string dir = tmp.File("desc");
    fs::create_directories(dir);
    c.SetMaxVolumeSize(3000);
    c.SetMinFreeVolumeSize(100);
    ASSERT_EQ(c.WriteSpan(tmp.File("desc.zip"), dir + "/set.zip"), 0) << c.Message();
    std::string joined = dir + "/";
    ASSERT_EQ(c.ReadSpan(dir + "/set" + DiskSpan::VolumeDigits(c.CurrentDisk()) + ".zip", joined), 0);
    EXPECT_TRUE(UnzipTestPasses(joined));
    EXPECT_EQ(ReadFileBytes(joined).size(), ReadFileBytes(tmp.File("desc.zip")).size()) << "nothing lost or added";
    // The central directory copied with every offset moved, and unchanged with 0.
    for (int change : {0, 100}) {
        c.SetZipFileName(source);
        std::string copy = tmp.File("cd" + std::to_string(change));
        int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        c.SetCurrentVolumeFile(source);
        zip::EndOfCentral end;
        ASSERT_TRUE(c.CheckIfLastDisk(end, true));
        ASSERT_EQ(::lseek(c.InputHandle(), end.centralOffset, SEEK_SET), off_t(end.centralOffset));
        EXPECT_EQ(c.RWCentralDir(out, end, change), 0);
        ::close(out);
        c.CloseInput();
        std::string got = ReadFileBytes(copy);
        std::string want = sourceBytes.substr(end.centralOffset);
        ASSERT_EQ(got.size(), want.size());
        uint32_t firstOffset = zip::Get32(reinterpret_cast<const uint8_t*>(got.data()) + 42);
        EXPECT_EQ(firstOffset, zip::Get32(reinterpret_cast<const uint8_t*>(want.data()) + 42) + uint32_t(change));
        if (change == 0) {
            EXPECT_EQ(got, want);
        }
    }
    // Names match by every byte; the first of equal names wins.
    DiskSpan::SpanRecords r = DiskSpan::AllocSpanMem(3);
    const char* names[] = {"abc", "abd", "abd"};
    for (int i = 0; i < 3; ++i) {
        r[static_cast<size_t>(i)]->FileName = names[i];
        r[static_cast<size_t>(i)]->FileNameLen = 3;
    }
    EXPECT_EQ(DiskSpan::FindZipEntry(r, "abd"), 1);
    EXPECT_THROW(DiskSpan::FindZipEntry(r, "abe"), EZipComponent);
    DiskSpan::DeleteSpanMem(r);
    EXPECT_TRUE(r.empty());
}

}  // namespace
