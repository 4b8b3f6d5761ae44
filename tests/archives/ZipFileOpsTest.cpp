// The component's file operations and disk handling.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ZipFakeVolumes.h"
#include "ZipTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {
// Points the desktop trash into a temporary folder for the life of a test.
class TrashHome {
public:
    explicit TrashHome(const std::string& dir) {
        if (const char* old = std::getenv("XDG_DATA_HOME")) old_ = old, had_ = true;
        setenv("XDG_DATA_HOME", dir.c_str(), 1);
    }
    ~TrashHome() {
        if (had_) setenv("XDG_DATA_HOME", old_.c_str(), 1);
        else unsetenv("XDG_DATA_HOME");
    }

private:
    std::string old_;
    bool had_ = false;
};

bool Exists(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}
}  // namespace

TEST(ZipFileOps, Slashes) {
    EXPECT_EQ(TZipComponent::AppendSlash(""), "");
    EXPECT_EQ(TZipComponent::AppendSlash("/tmp"), "/tmp/");
    EXPECT_EQ(TZipComponent::AppendSlash("/tmp/"), "/tmp/");
    EXPECT_EQ(TZipComponent::AppendSlash("c:\\dir\\"), "c:\\dir\\");
    EXPECT_EQ(TZipComponent::ReplaceForwardSlash("a/b/c.jpg"), "a\\b\\c.jpg");
}

TEST(ZipFileOps, CopyBuffer) {
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
    auto copy = [&](int64_t length) {
        int i = open(in.c_str(), O_RDONLY);
        int o = open(tmp.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int r = c.CopyBuffer(i, o, length);
        close(i);
        close(o);
        return r;
    };
    EXPECT_EQ(copy(0), 0);
    EXPECT_EQ(ReadFileBytes(tmp.File("out")), "");
    EXPECT_EQ(copy(-1), 0);
    EXPECT_TRUE(ReadFileBytes(tmp.File("out")) == data);
    EXPECT_EQ(steps, (std::vector<uint32_t>{8192, 8192, 3616}));
    EXPECT_EQ(copy(10000), 0);
    EXPECT_TRUE(ReadFileBytes(tmp.File("out")) == data.substr(0, 10000));
    // A write that falls short.
    int i = open(in.c_str(), O_RDONLY);
    int full = open("/dev/full", O_WRONLY);
    if (full >= 0) {
        EXPECT_EQ(c.CopyBuffer(i, full, -1), -2);
        close(full);
    }
    close(i);
}

TEST(ZipFileOps, CopyFileAndEraseFile) {
    FakeUi ui;
    TempDir tmp;
    TrashHome trash(tmp.File("share"));
    std::string in = tmp.Write("in.zip", "archive bytes");
    struct timespec old[2] = {{1234567890, 0}, {1234567890, 0}};
    utimensat(AT_FDCWD, in.c_str(), old, 0);
    std::string out = tmp.Write("out.zip", "previous");
    TZipComponent c;
    EXPECT_EQ(c.CopyFile(in, out), 0);
    EXPECT_EQ(ReadFileBytes(out), "archive bytes");
    struct stat st {};
    stat(out.c_str(), &st);
    EXPECT_EQ(st.st_mtime, 1234567890);
    // The replaced file went to the trash (the component's default is to allow undo).
    EXPECT_EQ(ReadFileBytes(tmp.File("share/Trash/files/out.zip")), "previous");
    std::string info = ReadFileBytes(tmp.File("share/Trash/info/out.zip.trashinfo"));
    EXPECT_EQ(info.rfind("[Trash Info]\nPath=", 0), 0u);
    EXPECT_NE(info.find("/out.zip\nDeletionDate="), std::string::npos);

    EXPECT_EQ(c.CopyFile(tmp.File("missing.zip"), out), -3);
    EXPECT_EQ(ReadFileBytes(out), "archive bytes");
    EXPECT_EQ(c.CopyFile(in, tmp.File("no/such/dir/x.zip")), -1);
    EXPECT_FALSE(ui.waitCursor);

    // Erasing: a second file of the same name gets its own name in the trash.
    EXPECT_EQ(c.EraseFile(out, htdAllowUndo), 0);
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(ReadFileBytes(tmp.File("share/Trash/files/out.zip.2")), "archive bytes");
    EXPECT_TRUE(Exists(tmp.File("share/Trash/info/out.zip.2.trashinfo")));
    std::string gone = tmp.Write("gone.txt", "x");
    EXPECT_EQ(c.EraseFile(gone, htdFinal), 0);
    EXPECT_FALSE(Exists(gone));
    EXPECT_FALSE(Exists(tmp.File("share/Trash/files/gone.txt")));
    EXPECT_EQ(c.EraseFile(gone, htdFinal), -1);
    EXPECT_EQ(c.EraseFile("", htdFinal), -1);
}

TEST(ZipFileOps, MakeTempFileName) {
    TempDir tmp;
    TZipComponent c;
    c.TempDir = tmp.Path();
    std::string a = c.MakeTempFileName("zip", ".tmp");
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.rfind(tmp.Path() + "/zip", 0), 0u);
    EXPECT_EQ(a.substr(a.size() - 4), ".tmp");
    EXPECT_FALSE(Exists(a));
    EXPECT_NE(c.MakeTempFileName("zip", ".tmp"), a);
    c.TempDir = tmp.File("missing");
    EXPECT_EQ(c.MakeTempFileName("zip", ".tmp"), "");
    c.TempDir.clear();
    std::string sys = c.MakeTempFileName("zip", ".tmp");
    EXPECT_FALSE(sys.empty());
}

TEST(ZipDisk, PresenceLabelsAndSpace) {
    FakeVolumes vols;
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "PKBACK# 002", 7, 1000, 1457664, true, false};
    vols.disks["/net/share"] = {DRIVE_REMOTE, "", 9, 5, 10, true, false};
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot("/media/floppy");
    EXPECT_TRUE(c.IsDiskPresent());
    EXPECT_EQ(c.VolumeName(), "PKBACK# 002");
    EXPECT_EQ(c.DiskFree(), 1000);
    EXPECT_EQ(c.DiskSize(), 1457664);
    vols.disks["/media/floppy"].present = false;
    EXPECT_FALSE(c.IsDiskPresent());
    EXPECT_EQ(c.DiskSize(), -1);
    vols.disks["/media/floppy"].present = true;
    vols.disks["/media/floppy"].unformatted = true;
    EXPECT_FALSE(c.IsDiskPresent());
    c.AddOptions.Include(AddDiskSpanErase);
    EXPECT_TRUE(c.IsDiskPresent());

    c.SetDriveRoot("/net/share");  // a network root is there whenever it answers
    EXPECT_TRUE(c.IsDiskPresent());
    c.SetDriveRoot("relative");
    try {
        c.IsDiskPresent();
        ADD_FAILURE();
    } catch (const EZipComponent& e) {
        EXPECT_EQ(e.ResId, DS_NotaDrive);
        EXPECT_STREQ(e.what(), "Not a valid drive: relative");
    }
    c.SetDriveRoot("/media/none");
    try {
        c.IsDiskPresent();
        ADD_FAILURE();
    } catch (const EZipComponent& e) {
        EXPECT_STREQ(e.what(), "Drive /media/none is NOT defined");
    }
    c.DiskFreeAndSize(1);  // only the free space asked for
    EXPECT_EQ(c.DiskFree(), -1);
}

TEST(ZipDisk, RightDiskByLabelOrPartName) {
    TZipComponent c;
    c.SetCurrentVolumeFile("/data/set003.zip");
    c.SetCurrentDisk(1);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_FIXED));
    EXPECT_EQ(c.CurrentVolumeFile(), "/data/set002.zip");
    c.SetCurrentDisk(0);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_REMOTE));
    EXPECT_EQ(c.CurrentVolumeFile(), "/data/set001.zip");

    FakeVolumes vols;
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "PKBACK# 002", 1, 1, 1, true, false};
    c.SetVolumeService(&vols);
    c.SetDriveRoot("/media/floppy");
    ASSERT_TRUE(c.IsDiskPresent());
    c.SetCurrentDisk(1);
    EXPECT_TRUE(c.IsRightDisk(DRIVE_REMOVABLE));
    c.SetCurrentDisk(2);
    EXPECT_FALSE(c.IsRightDisk(DRIVE_REMOVABLE));
}

TEST(ZipDisk, AskingForADisk) {
    FakeUi ui;
    FakeVolumes vols;
    vols.disks["/media/floppy"] = {DRIVE_REMOVABLE, "PKBACK# 001", 1, 1, 1457664, true, false};
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot("/media/floppy");
    // A disk is there and none other is wanted: no prompt.
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_REMOVABLE));
    EXPECT_TRUE(ui.shown.empty());
    // Another one is wanted: the prompt names the volume, then OK.
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
    // Cancel raises without a box of its own; a failed box is 11006.
    ui.answers.push_back(mrCancel);
    c.SetNewDiskFlag(true);
    size_t boxes = ui.shown.size();
    try {
        c.CheckForDisk();
        ADD_FAILURE();
    } catch (const EZipComponent& e) {
        EXPECT_EQ(e.ResId, DS_Canceled);
        EXPECT_FALSE(e.DisplayMsg);
    }
    EXPECT_EQ(ui.shown.size(), boxes + 1);
    ui.answers.push_back(0);
    c.SetNewDiskFlag(true);
    EXPECT_THROW(c.CheckForDisk(), EZipComponent);
    // The handler answers instead of a box; unattended asks nobody.
    int asked = 0;
    c.OnGetNextDisk = [&](TZipComponent*, int seq, int total, const std::string& drive, bool& cancel) {
        ++asked;
        EXPECT_EQ(seq, 0);
        EXPECT_EQ(total, 3);
        EXPECT_EQ(drive, "/media/floppy");
        cancel = false;
    };
    c.SetNewDiskFlag(true);
    boxes = ui.shown.size();
    c.CheckForDisk();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(ui.shown.size(), boxes);
    c.Unattended = true;
    c.SetNewDiskFlag(true);
    try {
        c.CheckForDisk();
        ADD_FAILURE();
    } catch (const EZipComponent& e) {
        EXPECT_EQ(e.ResId, DS_NoUnattSpan);
    }
    // Part files on a fixed drive need no prompt at all.
    vols.disks["/media/floppy"].type = DRIVE_FIXED;
    c.SetNewDiskFlag(true);
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_FIXED));
}

TEST(ZipDisk, NewDiskOpensTheVolumeOrFails) {
    FakeUi ui;
    TempDir tmp;
    FakeVolumes vols;
    vols.disks[tmp.Path()] = {DRIVE_FIXED, "", 1, 1, 1, true, false};
    tmp.Write("set001.zip", "one");
    tmp.Write("set003.zip", "three");
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot(tmp.Path());
    c.SetCurrentVolumeFile(tmp.File("set003.zip"));
    c.GetNewDisk(0);
    EXPECT_EQ(c.CurrentVolumeFile(), tmp.File("set001.zip"));
    EXPECT_GE(c.InputHandle(), 0);
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
    vols.disks[tmp.Path()] = {DRIVE_REMOVABLE, "PKBACK# 005", 1, 1, 1, true, false};
    c.SetCurrentVolumeFile(tmp.File("set001.zip"));
    static FakeVolumes* v = &vols;
    static std::string root = tmp.Path();
    static int prompts = 0;
    prompts = 0;
    c.OnGetNextDisk = [](TZipComponent*, int, int, const std::string&, bool& cancel) {
        if (++prompts == 2) v->disks[root].label = "PKBACK# 001";
        cancel = prompts > 5;
    };
    c.GetNewDisk(0);
    EXPECT_EQ(prompts, 2);
    EXPECT_GE(c.InputHandle(), 0);
    c.CloseInput();
}
