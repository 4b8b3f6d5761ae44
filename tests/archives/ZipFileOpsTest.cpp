// The component's file operations, and disk handling for spanned sets over directories
// standing in for disks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/Text.h"
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

TEST(ZipFileOps, SlashesAndCopyBuffer) {
    EXPECT_EQ(TZipComponent::AppendSlash("") + "|" + TZipComponent::AppendSlash("/tmp") + "|" + TZipComponent::AppendSlash("c:\\d\\"),
              "|/tmp/|c:\\d\\");
    EXPECT_EQ(TZipComponent::ReplaceForwardSlash("a/b/c.jpg"), "a\\b\\c.jpg");
    TempDir tmp;
    std::string data(20000, 'q'), in = tmp.File("in"), out = tmp.File("out");
    for (size_t i = 0; i < data.size(); i += 3) data[i] = static_cast<char>(i);
    tmp.Write("in", data);
    TZipComponent c;
    std::vector<uint32_t> steps;
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string&, uint32_t n) { steps.push_back(t == ProgressUpdate ? n : 0); };
    auto copy = [&](int64_t length, const std::string& to) {
        int i = open(in.c_str(), O_RDONLY), o = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int r = c.CopyBuffer(i, o, length);
        close(i);
        close(o);
        return r;
    };
    EXPECT_EQ(copy(0, out), 0);
    EXPECT_EQ(ReadFileBytes(out), "");
    EXPECT_EQ(copy(-1, out), 0);
    EXPECT_TRUE(ReadFileBytes(out) == data);
    EXPECT_EQ(steps, (std::vector<uint32_t>{8192, 8192, 3616}));
    EXPECT_EQ(copy(10000, out), 0);
    EXPECT_TRUE(ReadFileBytes(out) == data.substr(0, 10000));
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(copy(-1, "/dev/full"), -2) << "a write that falls short";
    }
}

TEST(ZipFileOps, CopyEraseToTheTrashAndTempNames) {
    FakeUi ui;
    TempDir tmp;
    std::string oldData = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    setenv("XDG_DATA_HOME", tmp.File("share").c_str(), 1);
    std::string in = tmp.Write("in.zip", "archive bytes"), out = tmp.Write("out.zip", "previous"), trash = tmp.File("share/Trash/");
    struct timespec old[2] = {{1234567890, 0}, {1234567890, 0}};
    utimensat(AT_FDCWD, in.c_str(), old, 0);
    TZipComponent c;
    EXPECT_EQ(c.CopyFile(in, out), 0);
    struct stat st {};
    stat(out.c_str(), &st);
    EXPECT_EQ(ReadFileBytes(out) + " " + std::to_string(st.st_mtime), "archive bytes 1234567890") << "the date is kept";
    // The replaced file went to the trash (the component's default allows undo).
    EXPECT_EQ(ReadFileBytes(trash + "files/out.zip"), "previous");
    std::string info = ReadFileBytes(trash + "info/out.zip.trashinfo");
    EXPECT_EQ(info.rfind("[Trash Info]\nPath=", 0), 0u);
    EXPECT_NE(info.find("/out.zip\nDeletionDate="), std::string::npos);
    EXPECT_EQ(c.CopyFile(tmp.File("missing.zip"), out), -3);
    EXPECT_EQ(ReadFileBytes(out), "archive bytes") << "a missing input leaves the output untouched";
    EXPECT_EQ(c.CopyFile(in, tmp.File("no/such/dir/x.zip")), -1);
    EXPECT_FALSE(ui.waitCursor);
    // A second file of the same name gets its own name in the trash; final deletion none.
    EXPECT_EQ(c.EraseFile(out, htdAllowUndo), 0);
    EXPECT_FALSE(FileExists(out));
    EXPECT_EQ(ReadFileBytes(trash + "files/out.zip.2"), "archive bytes");
    EXPECT_TRUE(FileExists(trash + "info/out.zip.2.trashinfo"));
    std::string gone = tmp.Write("gone.txt", "x");
    EXPECT_EQ(c.EraseFile(gone, htdFinal), 0);
    EXPECT_FALSE(FileExists(gone) || FileExists(trash + "files/gone.txt"));
    EXPECT_EQ(c.EraseFile(gone, htdFinal) + c.EraseFile("", htdFinal), -2);
    oldData.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", oldData.c_str(), 1);

    c.TempDir = tmp.Path();
    std::string a = c.MakeTempFileName("zip", ".tmp");
    EXPECT_TRUE(a.rfind(tmp.Path() + "/zip", 0) == 0 && a.substr(a.size() - 4) == ".tmp" && !FileExists(a)) << a;
    EXPECT_NE(c.MakeTempFileName("zip", ".tmp"), a);
    c.TempDir = tmp.File("missing");
    EXPECT_EQ(c.MakeTempFileName("zip", ".tmp"), "");
    c.TempDir.clear();
    EXPECT_FALSE(c.MakeTempFileName("zip", ".tmp").empty());
}

// Directories standing in for disks: each root has a drive type, a label and a size.
class FakeVolumes : public IVolumeService {
public:
    struct Disk {
        unsigned type = DRIVE_FIXED;
        std::string label;
        int64_t freeBytes = 1, size = 1;
        bool present = true, unformatted = false;
    };
    std::map<std::string, Disk> disks;
    std::string RootOf(const std::string&) override { return "/"; }
    bool RootExists(const std::string& root) override { return disks.count(root) > 0; }
    unsigned DriveType(const std::string& root) override { return disks.count(root) ? disks[root].type : DRIVE_NO_ROOT_DIR; }
    bool VolumeInformation(const std::string& root, std::string& label, uint32_t& serial, int& error) override {
        const Disk& d = disks[root];
        error = d.present ? kErrorNotFormatted : 21;
        label = d.label;
        serial = 1;
        return d.present && !d.unformatted;
    }
    bool FreeSpace(const std::string& root, int64_t& f, int64_t& s) override {
        f = disks[root].freeBytes;
        s = disks[root].size;
        return disks[root].present;
    }
};

// The message number of the exception a call raises, negative when it shows no message.
template <typename F>
int Raised(F f) {
    try {
        f();
    } catch (const EZipComponent& e) {
        return e.DisplayMsg ? e.ResId : -e.ResId;
    }
    return 0;
}

TEST(ZipDisk, PresenceLabelsAndTheRightDisk) {
    FakeVolumes vols;
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "PKBACK# 002", 1000, 1457664};
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot("/media/floppy");
    EXPECT_TRUE(c.IsDiskPresent());
    EXPECT_EQ(c.VolumeName() + " " + std::to_string(c.DiskFree()) + " " + std::to_string(c.DiskSize()), "PKBACK# 002 1000 1457664");
    c.SetCurrentDisk(1);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_REMOVABLE));
    c.SetCurrentDisk(2);
    EXPECT_FALSE(c.IsRightDisk(DRIVE_REMOVABLE));
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "", 1, 1, false};
    EXPECT_FALSE(c.IsDiskPresent());
    EXPECT_EQ(c.DiskSize(), -1);
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "", 1, 1, true, true};
    EXPECT_FALSE(c.IsDiskPresent());
    c.AddOptions.Include(AddDiskSpanErase);
    EXPECT_TRUE(c.IsDiskPresent()) << "an unformatted disk will do when it is to be erased";
    c.SetDriveRoot("relative");
    EXPECT_EQ(Raised([&] { c.IsDiskPresent(); }), DS_NotaDrive);
    // Part files of a set on a fixed or network drive are named by their number.
    c.SetCurrentVolumeFile("/data/set003.zip");
    c.SetCurrentDisk(1);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_FIXED));
    EXPECT_EQ(c.CurrentVolumeFile(), "/data/set002.zip");
    c.SetCurrentDisk(0);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_REMOTE));
    EXPECT_EQ(c.CurrentVolumeFile(), "/data/set001.zip");
}

TEST(ZipDisk, AskingForADiskAndOpeningIt) {
    FakeUi ui;
    TempDir tmp;
    FakeVolumes vols;
    vols.disks[tmp.Path()] = {DRIVE_REMOVABLE, "PKBACK# 001", 1, 1457664};
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot(tmp.Path());
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_REMOVABLE));
    EXPECT_TRUE(ui.shown.empty()) << "a disk is there and none other is wanted";
    c.SetCurrentDisk(1);
    c.SetTotalDisks(2);
    c.SetNewDiskFlag(true);
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_REMOVABLE));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Please insert disk volume 2 of 3\nin drive: " + tmp.Path());
    EXPECT_FALSE(c.NewDiskFlag());
    ui.answers = {mrCancel};  // cancelled: raised without a message of its own
    c.SetNewDiskFlag(true);
    EXPECT_EQ(Raised([&] { c.CheckForDisk(); }), -DS_Canceled);
    c.Unattended = true;  // nobody to ask
    c.SetNewDiskFlag(true);
    EXPECT_EQ(std::abs(Raised([&] { c.CheckForDisk(); })), DS_NoUnattSpan);
    c.Unattended = false;
    // A handler answers instead of a box; the wrong disk brings the question back.
    tmp.Write("set001.zip", "one");
    c.SetCurrentVolumeFile(tmp.File("set001.zip"));
    vols.disks[tmp.Path()].label = "PKBACK# 005";
    size_t boxes = ui.shown.size();
    int prompts = 0;
    c.OnGetNextDisk = [&](TZipComponent*, int, int, const std::string&, bool& cancel) {
        if (++prompts == 2) vols.disks[tmp.Path()].label = "PKBACK# 001";
        cancel = prompts > 5;
    };
    c.GetNewDisk(0);
    EXPECT_EQ(prompts * 10 + int(ui.shown.size() - boxes), 20);
    char b[3];
    EXPECT_EQ(read(c.InputHandle(), b, 3), 3);
    // Part files on a fixed drive need no prompt; a missing one is an error there.
    vols.disks[tmp.Path()].type = DRIVE_FIXED;
    EXPECT_EQ(Raised([&] { c.GetNewDisk(1); }), DS_NoInFile) << "set002.zip is missing";
    EXPECT_EQ(c.InputHandle() * 10 + prompts, -10 + 2);
}

}  // namespace
