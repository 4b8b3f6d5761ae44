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
#include "support/FakeUi.h"
#include "support/TempDir.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

bool Exists(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}

TEST(ZipFileOps, SlashesAndCopyBuffer) {
    EXPECT_EQ(TZipComponent::AppendSlash(""), "");
    EXPECT_EQ(TZipComponent::AppendSlash("/tmp"), "/tmp/");
    EXPECT_EQ(TZipComponent::AppendSlash("c:\\dir\\"), "c:\\dir\\");
    EXPECT_EQ(TZipComponent::ReplaceForwardSlash("a/b/c.jpg"), "a\\b\\c.jpg");
    TempDir tmp;
    std::string data(20000, 'q');
    for (size_t i = 0; i < data.size(); i += 3) data[i] = static_cast<char>(i);
    std::string in = tmp.Write("in", data);
    TZipComponent c;
    std::vector<uint32_t> steps;
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string&, uint32_t n) {
        EXPECT_EQ(t, ProgressUpdate);
        steps.push_back(n);
    };
    auto copy = [&](int64_t length, const char* out) {
        int i = open(in.c_str(), O_RDONLY), o = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int r = c.CopyBuffer(i, o, length);
        close(i);
        close(o);
        return r;
    };
    std::string out = tmp.File("out");
    EXPECT_EQ(copy(0, out.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(out), "");
    EXPECT_EQ(copy(-1, out.c_str()), 0);
    EXPECT_TRUE(ReadFileBytes(out) == data);
    EXPECT_EQ(steps, (std::vector<uint32_t>{8192, 8192, 3616}));
    EXPECT_EQ(copy(10000, out.c_str()), 0);
    EXPECT_TRUE(ReadFileBytes(out) == data.substr(0, 10000));
    if (Exists("/dev/full")) {
        EXPECT_EQ(copy(-1, "/dev/full"), -2) << "a write that falls short";
    }
}

TEST(ZipFileOps, CopyEraseToTheTrashAndTempNames) {
    FakeUi ui;
    TempDir tmp;
    std::string oldData = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    setenv("XDG_DATA_HOME", tmp.File("share").c_str(), 1);
    std::string in = tmp.Write("in.zip", "archive bytes"), out = tmp.Write("out.zip", "previous");
    struct timespec old[2] = {{1234567890, 0}, {1234567890, 0}};
    utimensat(AT_FDCWD, in.c_str(), old, 0);
    TZipComponent c;
    EXPECT_EQ(c.CopyFile(in, out), 0);
    EXPECT_EQ(ReadFileBytes(out), "archive bytes");
    struct stat st {};
    stat(out.c_str(), &st);
    EXPECT_EQ(st.st_mtime, 1234567890) << "the copy keeps the date";
    // The replaced file went to the trash (the component's default allows undo).
    EXPECT_EQ(ReadFileBytes(tmp.File("share/Trash/files/out.zip")), "previous");
    std::string info = ReadFileBytes(tmp.File("share/Trash/info/out.zip.trashinfo"));
    EXPECT_EQ(info.rfind("[Trash Info]\nPath=", 0), 0u);
    EXPECT_NE(info.find("/out.zip\nDeletionDate="), std::string::npos);
    EXPECT_EQ(c.CopyFile(tmp.File("missing.zip"), out), -3);
    EXPECT_EQ(ReadFileBytes(out), "archive bytes") << "a missing input leaves the output untouched";
    EXPECT_EQ(c.CopyFile(in, tmp.File("no/such/dir/x.zip")), -1);
    EXPECT_FALSE(ui.waitCursor);
    // A second file of the same name gets its own name in the trash; final deletion none.
    EXPECT_EQ(c.EraseFile(out, htdAllowUndo), 0);
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(ReadFileBytes(tmp.File("share/Trash/files/out.zip.2")), "archive bytes");
    EXPECT_TRUE(Exists(tmp.File("share/Trash/info/out.zip.2.trashinfo")));
    std::string gone = tmp.Write("gone.txt", "x");
    EXPECT_EQ(c.EraseFile(gone, htdFinal), 0);
    EXPECT_FALSE(Exists(gone) || Exists(tmp.File("share/Trash/files/gone.txt")));
    EXPECT_EQ(c.EraseFile(gone, htdFinal), -1);
    EXPECT_EQ(c.EraseFile("", htdFinal), -1);
    if (oldData.empty()) unsetenv("XDG_DATA_HOME");
    else setenv("XDG_DATA_HOME", oldData.c_str(), 1);

    c.TempDir = tmp.Path();
    std::string a = c.MakeTempFileName("zip", ".tmp");
    EXPECT_EQ(a.rfind(tmp.Path() + "/zip", 0), 0u);
    EXPECT_EQ(a.substr(a.size() - 4), ".tmp");
    EXPECT_FALSE(Exists(a));
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
        int64_t freeBytes = 1 << 20, size = 1 << 21;
        bool present = true, unformatted = false;
    };
    std::map<std::string, Disk> disks;
    std::string RootOf(const std::string& path) override {
        for (auto& [root, d] : disks)
            if (path.rfind(root + "/", 0) == 0) return root;
        return "/";
    }
    bool RootExists(const std::string& root) override { return root == "/" || disks.count(root) > 0; }
    unsigned DriveType(const std::string& root) override {
        return disks.count(root) ? disks[root].type : root == "/" ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
    }
    bool VolumeInformation(const std::string& root, std::string& label, uint32_t& serial, int& error) override {
        label.clear();
        if (!disks.count(root)) return root == "/";
        const Disk& d = disks[root];
        if (!d.present || d.unformatted) {
            error = d.present ? kErrorNotFormatted : 21;
            return false;
        }
        label = d.label;
        serial = 1;
        return true;
    }
    bool FreeSpace(const std::string& root, int64_t& f, int64_t& s) override {
        if (!disks.count(root) || !disks[root].present) return false;
        f = disks[root].freeBytes;
        s = disks[root].size;
        return true;
    }
};

TEST(ZipDisk, PresenceLabelsSpaceAndTheRightDisk) {
    FakeVolumes vols;
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "PKBACK# 002", 1000, 1457664};
    vols.disks["/net/share"] = {DRIVE_REMOTE, "", 5, 10};
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot("/media/floppy");
    EXPECT_TRUE(c.IsDiskPresent());
    EXPECT_EQ(c.VolumeName(), "PKBACK# 002");
    EXPECT_EQ(c.DiskFree() * 10000000 + c.DiskSize(), int64_t{1000} * 10000000 + 1457664);
    c.SetCurrentDisk(1);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_REMOVABLE));
    c.SetCurrentDisk(2);
    EXPECT_FALSE(c.IsRightDisk(DRIVE_REMOVABLE));
    vols.disks["/media/floppy"].present = false;
    EXPECT_FALSE(c.IsDiskPresent());
    EXPECT_EQ(c.DiskSize(), -1);
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "", 1, 1, true, true};
    EXPECT_FALSE(c.IsDiskPresent());
    c.AddOptions.Include(AddDiskSpanErase);
    EXPECT_TRUE(c.IsDiskPresent()) << "an unformatted disk will do when it is to be erased";
    c.SetDriveRoot("/net/share");
    EXPECT_TRUE(c.IsDiskPresent());
    vols.disks["/net/share"] = {DRIVE_REMOTE, "", 6, 20};
    c.DiskFreeAndSize(1);  // only the free space asked for
    EXPECT_EQ(c.DiskFree() * 100 + c.DiskSize(), 610);
    for (const char* root : {"relative", "/media/none"}) {
        c.SetDriveRoot(root);
        try {
            c.IsDiskPresent();
            ADD_FAILURE() << root;
        } catch (const EZipComponent& e) {
            EXPECT_STREQ(e.what(), root[0] == 'r' ? "Not a valid drive: relative" : "Drive /media/none is NOT defined");
        }
    }
    // Part files of a set on a fixed or network drive are named by their number.
    c.SetCurrentVolumeFile("/data/set003.zip");
    c.SetCurrentDisk(1);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_FIXED));
    EXPECT_EQ(c.CurrentVolumeFile(), "/data/set002.zip");
    c.SetCurrentDisk(0);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_REMOTE));
    EXPECT_EQ(c.CurrentVolumeFile(), "/data/set001.zip");
}

int ResIdOf(TZipComponent& c) {
    try {
        c.CheckForDisk();
    } catch (const EZipComponent& e) {
        return e.DisplayMsg ? e.ResId : -e.ResId;
    }
    return 0;
}

TEST(ZipDisk, AskingForADisk) {
    FakeUi ui;
    FakeVolumes vols;
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "PKBACK# 001", 1, 1457664};
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot("/media/floppy");
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_REMOVABLE));
    EXPECT_TRUE(ui.shown.empty()) << "a disk is there and none other is wanted";
    c.SetCurrentDisk(1);
    c.SetTotalDisks(2);
    c.SetNewDiskFlag(true);
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_REMOVABLE));
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Please insert disk volume 2 of 3\nin drive: /media/floppy");
    EXPECT_EQ(ui.shown[0].buttons, mbOKCancel);
    EXPECT_FALSE(c.NewDiskFlag());
    c.SetCurrentDisk(-1);
    c.SetNewDiskFlag(true);
    c.CheckForDisk();
    EXPECT_EQ(ui.shown.back().text, "Please insert last disk\nin drive: /media/floppy");
    ui.answers = {mrCancel, 0};  // cancelled: raised without a box of its own; a failed box
    c.SetNewDiskFlag(true);
    EXPECT_EQ(ResIdOf(c), -DS_Canceled);
    c.SetNewDiskFlag(true);
    EXPECT_EQ(std::abs(ResIdOf(c)), DS_NoMem);
    size_t boxes = ui.shown.size();
    int asked = 0;  // a handler answers instead of a box
    c.OnGetNextDisk = [&](TZipComponent*, int seq, int total, const std::string& drive, bool& cancel) {
        EXPECT_EQ(std::to_string(seq) + "/" + std::to_string(total) + " " + drive, "0/3 /media/floppy");
        cancel = ++asked > 1;
    };
    c.SetNewDiskFlag(true);
    c.CheckForDisk();
    c.SetNewDiskFlag(true);
    EXPECT_EQ(ResIdOf(c), -DS_Canceled);
    EXPECT_EQ(ui.shown.size(), boxes);
    c.Unattended = true;  // nobody to ask
    c.SetNewDiskFlag(true);
    EXPECT_EQ(std::abs(ResIdOf(c)), DS_NoUnattSpan);
    vols.disks["/media/floppy"].type = DRIVE_FIXED;  // part files need no prompt at all
    c.SetNewDiskFlag(true);
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_FIXED));
}

TEST(ZipDisk, NewDiskOpensTheVolumeOrFails) {
    FakeUi ui;
    TempDir tmp;
    FakeVolumes vols;
    vols.disks[tmp.Path()] = {DRIVE_FIXED, "", 1, 1};
    tmp.Write("set001.zip", "one");
    tmp.Write("set003.zip", "three");
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot(tmp.Path());
    c.SetCurrentVolumeFile(tmp.File("set003.zip"));
    c.GetNewDisk(0);
    EXPECT_EQ(c.CurrentVolumeFile(), tmp.File("set001.zip"));
    char b[3];
    EXPECT_EQ(read(c.InputHandle(), b, 3), 3);
    try {
        c.GetNewDisk(1);  // set002.zip is missing
        ADD_FAILURE();
    } catch (const EZipComponent& e) {
        EXPECT_EQ(e.ResId, DS_NoInFile);
    }
    EXPECT_EQ(c.InputHandle(), -1);
    // Removable: the wrong disk brings the prompt back until the right one is in.
    vols.disks[tmp.Path()] = {DRIVE_REMOVABLE, "PKBACK# 005", 1, 1};
    c.SetCurrentVolumeFile(tmp.File("set001.zip"));
    int prompts = 0;
    c.OnGetNextDisk = [&](TZipComponent*, int, int, const std::string&, bool& cancel) {
        if (++prompts == 2) vols.disks[tmp.Path()].label = "PKBACK# 001";
        cancel = prompts > 5;
    };
    c.GetNewDisk(0);
    EXPECT_EQ(prompts, 2);
    EXPECT_GE(c.InputHandle(), 0);
    c.CloseInput();
}

}  // namespace
