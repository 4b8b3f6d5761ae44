// The zip component's core (messages, the callback, loading the libraries through the
// recording fake and for real), its file operations, and disk handling for spanned sets
// over directories standing in for disks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

#include "ArchiveTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "archives/zip/ZipVolumes.h"
#include "platform/Text.h"
#include "support/ChildRun.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// Runs the callback on a record as a library would fill it; its reply in cancel.
ZCallBackStruct Call(TZipComponent& c, int action, int32_t err = 0, uint32_t size = 0, const std::string& text = "",
                     int32_t* cancel = nullptr) {
    ZCallBackStruct r{};
    r.Caller = &c;
    r.ActionCode = action;
    r.ErrorCode = err;
    r.FileSize = size;
    std::strncpy(r.FileNameOrMsg, text.c_str(), ZCB_TEXT_MAX);
    int32_t reply = TZipComponent::ZCallback(&r);
    if (cancel) *cancel = reply;
    return r;
}

TEST(ZipComponent, MessagesAndTheWaitCursor) {
    FakeUi ui;
    TZipComponent c;
    std::vector<std::string> heard;
    c.OnMessage = [&](TZipComponent*, int code, const std::string& m) { heard.push_back(std::to_string(code) + m); };
    c.ShowZipMessage(GE_NoZipSpecified, " extra");
    c.Unattended = true;  // no box, but the event and the state
    c.ShowZipMessage(99999);
    c.Unattended = false;
    c.ShowExceptionError(EZipComponent(DS_Canceled, false));  // no display flag: no box
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Error - no zip file specified! extra");
    EXPECT_EQ(heard, (std::vector<std::string>{"0Error - no zip file specified! extra",
                                               "0ZipMsgxx.res is probably not linked to the executable\nMissing String ID is: 99999",
                                               "0User canceled operation"}));
    EXPECT_EQ(c.ErrCode(), DS_Canceled);
    EXPECT_STREQ(EZipComponent(10181, std::string("a%s"), std::string("b")).what(), "Overwrite file 'a%s' in 'b' ?");
    c.StartWaitCursor();  // nested; unbalanced stops do nothing
    c.StartWaitCursor();
    for (int i = 0; i < 3; ++i) c.StopWaitCursor();
    EXPECT_EQ(std::to_string(ui.waitCursor) + std::to_string(ui.waitCursorChanges), "02");
}

TEST(ZipComponentCallback, EveryActionAndItsReply) {
    FakeUi ui;
    TZipComponent c;
    std::vector<std::string> progress;
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string& name, uint32_t size) {
        progress.push_back(std::to_string(t) + name + ":" + std::to_string(size));
    };
    for (int a : {zacItem, zacProgress, zacEndOfBatch, zacMessage, zacCount, zacSize}) Call(c, a, 0, 77, "dir/p.jpg");
    EXPECT_EQ(progress, (std::vector<std::string>{"0dir\\p.jpg:77", "1:77", "2:0", "3:77", "4:77"}));
    EXPECT_EQ(c.TotalSizeToProcess(), 77);
    Call(c, zacMessage, 0x1FE, 0, "broken");
    EXPECT_EQ(std::to_string(c.ErrCode()) + " " + std::to_string(c.FullErrCode()) + " " + c.Message(), "-2 510 broken");
    EXPECT_EQ(Call(c, zacCRCError, 0x1234, 0x5678, "f").ErrorCode, 2) << "nobody to ask";
    EXPECT_EQ(Call(c, zacOverwrite, 0x10007, 0, "f").FileSize, 0u) << "without a handler the library's default stands";
    c.OnCRC32Error = [](TZipComponent*, const std::string&, unsigned found, unsigned expected, bool& doExtract) {
        EXPECT_EQ(found * 0x10000 + expected, 0x12345678u);
        doExtract = !doExtract;
    };
    c.OnExtractOverwrite = [](TZipComponent*, const std::string&, bool older, bool& doOverwrite, int index) {
        doOverwrite = older && index == 7;
    };
    UnZipSkipTypes skip = stOnFreshen;
    c.OnExtractSkipped = [&](TZipComponent*, const std::string&, UnZipSkipTypes t, int) { skip = t; };
    c.OnSetNewName = [](TZipComponent*, std::string& name, bool& changed) { name = std::string(600, 'n'), changed = true; };
    c.OnFileComment = [](TZipComponent*, const std::string&, std::string& comment, bool& changed) {
        comment = std::string(700, 'c'), changed = true;
    };
    EXPECT_EQ(Call(c, zacCRCError, 0x1234, 0x5678, "f").ErrorCode, 0);
    EXPECT_EQ(Call(c, zacOverwrite, 0x10007, 0, "f").FileSize, 1u);
    Call(c, zacSkipped, 5, stBadPassword + 1, "f");
    EXPECT_EQ(skip * 10 + c.ErrCode(), stBadPassword * 10 + 5);
    auto nn = Call(c, zacNewName, 0, 0, "old");
    EXPECT_EQ(nn.ErrorCode * 1000 + std::strlen(nn.FileNameOrMsg), 1000u + ZCB_TEXT_MAX);
    // A long comment has its own buffer: the file name beside it stays whole.
    auto cm = Call(c, zacComment, 0, 0, std::string(ZCB_TEXT_MAX, 'n'));
    EXPECT_EQ(cm.ErrorCode * 1000 + cm.FileSize, 1000u + ZCB_COMMENT_MAX);
    EXPECT_EQ(std::strlen(cm.FileNameOrMsg), size_t(ZCB_TEXT_MAX));
    // The output stream resized on request; a size beyond the limit gets no buffer.
    for (uint32_t size : {1000u, 0u}) {
        auto st = Call(c, zacStream, 0, size);
        EXPECT_TRUE(st.Buffer == c.ZipStream()->Memory() && c.ZipStream()->Size() == size);
    }
    auto huge = Call(c, zacStream, 0, 0xFFFFFFFFu);
    EXPECT_TRUE(huge.Buffer == nullptr && huge.FileSize == 0);
    // A handler that throws: error word 1, size 0, and the library is not unwound.
    c.OnExtractOverwrite = [](TZipComponent*, const std::string&, bool, bool&, int) { throw std::runtime_error("no"); };
    int32_t cancel = -1;
    auto ow = Call(c, zacOverwrite, 0, 5, "f", &cancel);
    EXPECT_EQ(cancel * 100 + ow.ErrorCode * 10 + int(ow.FileSize), 10);
    c.SetCancel(true);
    Call(c, zacProgress, 0, 0, "", &cancel);
    EXPECT_EQ(cancel, 1) << "the cancel flag is every callback's reply";
}

TEST(ZipComponentCallback, Passwords) {
    FakeUi ui;
    TZipComponent c, d;
    TPasswordButton reply = pwbOk;
    c.OnPasswordError = [&](TZipComponent*, bool isZip, std::string& pw, const std::string& file, unsigned& repeat,
                            TPasswordButton& action) {
        EXPECT_EQ(std::to_string(isZip) + file + std::to_string(repeat), "0sub\\x.jpg3");
        pw = std::string(100, 'p');
        repeat = 2;
        action = reply;
    };
    auto r = Call(c, zacPassword, 0, 3, "sub/x.jpg");
    EXPECT_EQ(r.ErrorCode * 10 + r.FileSize, 12u);
    EXPECT_EQ(std::string(r.FileNameOrMsg), std::string(ZCB_PASSWORD_MAX, 'p'));
    reply = pwbCancelAll;
    r = Call(c, zacPassword, 0, 3, "sub/x.jpg");
    EXPECT_EQ(r.ErrorCode * 100 + r.FileSize * 10 + r.ActionCode, 0u) << "no password, no repeats, no more asking";
    EXPECT_FALSE(c.Cancel());
    reply = pwbAbort;
    int32_t cancel = 0;
    Call(c, zacPassword, 0, 3, "sub/x.jpg", &cancel);
    EXPECT_EQ(cancel, 1);
    // Without a handler the dialog asks; its answer to the library is not kept.
    ui.passwords = {"open sesame"};
    r = Call(d, zacPassword, 0, 1, "x.jpg");
    EXPECT_EQ(std::to_string(r.ErrorCode) + r.FileNameOrMsg + "|" + d.Password, "1open sesame|");
    r = Call(d, zacPassword, 0, 1, "x.jpg");  // the dialog cancelled
    EXPECT_EQ(r.ErrorCode + r.FileSize, 0u);
    ui.passwords = {"same"};  // outside a library request an answer becomes the password
    EXPECT_EQ(d.GetExtrPassword(), "same");
    EXPECT_EQ(d.Password, "same");
    d.Unattended = true;
    EXPECT_EQ(d.GetExtrPassword(), "");
    EXPECT_EQ(d.ErrCode(), PW_UnatExtPWMiss);
}

TEST(ZipComponentLibraries, LoadingEntriesAndVersions) {
    FakeUi ui;
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"noexec", true, "UnzDllExec function not found in UNZDLL.DLL!"}, {"noversion", true, "GetUnzDllVersion function not found in UNZDLL.DLL!"},
        {"noexec", false, "ZipDllExec function not found in ZIPDLL.DLL!"}, {"noversion", false, "GetZipDllVersion function not found in ZIPDLL.DLL!"},
        {"missing", false, "ZIPDLL.DLL not found!"},
    };
    for (const auto& [variant, unzip, text] : cases) {  // a library without its entries is not kept, and gives no version
        ui.shown.clear();
        TZipComponent c;
        c.SetDLLDirectory(FakeDir(variant) + "/");
        unzip ? c.Load_Unz_Dll() : c.Load_Zip_Dll();
        EXPECT_FALSE(unzip ? c.UnzDllLoaded() : c.ZipDllLoaded()) << variant;
        EXPECT_EQ(ui.shown.size() == 1 ? ui.shown[0].text : "", text);
        EXPECT_EQ(unzip ? c.GetUnzVers() : c.GetZipVers(), 0);
    }
    for (bool unzip : {true, false}) {  // an unloaded library is loaded for the question only
        FakeLib fake("full", unzip);
        ASSERT_TRUE(fake.Ok());
        fake->version = 155;
        fake->privVersion = 777;
        TZipComponent c;
        c.SetDLLDirectory(FakeDir("full"));
        EXPECT_EQ(unzip ? c.GetUnzVers() : c.GetZipVers(), 155);
        EXPECT_EQ(unzip ? c.GetUnzPrivVers() : c.GetZipPrivVers(), 777);
        EXPECT_FALSE(unzip ? c.UnzDllLoaded() : c.ZipDllLoaded());
        c.Trace = true;
        unzip ? c.Load_Unz_Dll() : c.Load_Zip_Dll();
        EXPECT_EQ(ui.shown.back().text, unzip ? "UNZDLL Loaded!" : "ZIP DLL Loaded");
        EXPECT_EQ(unzip ? c.GetUnzVers() : c.GetZipVers(), 155);
        EXPECT_TRUE(unzip ? c.UnzDllLoaded() : c.ZipDllLoaded()) << "loaded by the caller: stays";
        EXPECT_EQ(fake->versionCalls, 2);
        unzip ? c.Unload_Unz_Dll() : c.Unload_Zip_Dll();
        EXPECT_FALSE(unzip ? c.UnzDllLoaded() : c.ZipDllLoaded());
    }
}

TEST(ZipFileOps, CopyBufferCopyEraseToTheTrashAndTempNames) {
    FakeUi ui;
    TempDir tmp;
    std::string data(20000, 'q'), in = tmp.Write("in.zip", data), out = tmp.Write("out.zip", "previous");
    TZipComponent c;
    auto copy = [&](int64_t length, const std::string& to) {
        int i = open(in.c_str(), O_RDONLY), o = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int r = c.CopyBuffer(i, o, length);
        close(i), close(o);
        return r;
    };
    std::string part = tmp.File("part");
    EXPECT_EQ(copy(10000, part), 0);
    EXPECT_TRUE(ReadFileBytes(part) == data.substr(0, 10000));
    EXPECT_EQ(copy(-1, part), 0);
    EXPECT_TRUE(ReadFileBytes(part) == data);
    EXPECT_EQ(copy(30000, part), -2) << "a read that falls short of the length asked for";
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(copy(-1, "/dev/full"), -2) << "a write that falls short";
    }
    EXPECT_EQ(copy(0, part), 0) << "nothing to copy";
    EXPECT_EQ(ReadFileBytes(part), "");
    int dirFd = open(tmp.Path().c_str(), O_RDONLY), o = open(part.c_str(), O_WRONLY | O_TRUNC);
    EXPECT_EQ(c.CopyBuffer(dirFd, o, -1), -9) << "a read error is an error, not the end of the input";
    close(dirFd), close(o);
    // A copy keeps the date; the file it replaces goes to the trash (undo is the default).
    std::string oldData = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "", trash = tmp.File("share/Trash/");
    setenv("XDG_DATA_HOME", tmp.File("share").c_str(), 1);
    struct timespec old[2] = {{1234567890, 0}, {1234567890, 0}};
    utimensat(AT_FDCWD, in.c_str(), old, 0);
    EXPECT_EQ(c.CopyFile(in, out), 0);
    struct stat st {};
    stat(out.c_str(), &st);
    EXPECT_TRUE(ReadFileBytes(out) == data && st.st_mtime == 1234567890);
    EXPECT_EQ(ReadFileBytes(trash + "files/out.zip"), "previous");
    EXPECT_EQ(c.CopyFile(tmp.File("missing.zip"), out), -3);
    EXPECT_EQ(c.CopyFile(in, tmp.File("no/such/dir/x.zip")), -1);
    EXPECT_TRUE(ReadFileBytes(out) == data) << "a failed copy leaves the output untouched";
    // A second file of the same name gets its own name in the trash; final deletion none.
    EXPECT_EQ(c.EraseFile(out, htdAllowUndo), 0);
    EXPECT_TRUE(!FileExists(out) && ReadFileBytes(trash + "files/out.zip.2") == data && FileExists(trash + "info/out.zip.2.trashinfo"));
    std::string gone = tmp.Write("gone.txt", "x");
    EXPECT_EQ(c.EraseFile(gone, htdFinal), 0);
    EXPECT_FALSE(FileExists(gone) || FileExists(trash + "files/gone.txt"));
    // Failures: a missing file gives -1; a deletion the system refuses gives its error.
    EXPECT_EQ(c.EraseFile(gone, htdFinal), -1);
    EXPECT_EQ(c.EraseFile("", htdAllowUndo), -1);
    tmp.Write("full/kept.txt", "x");
    EXPECT_NE(c.EraseFile(tmp.File("full"), htdFinal), 0) << "a folder with files in it";
    EXPECT_TRUE(FileExists(tmp.File("full/kept.txt")));
    oldData.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", oldData.c_str(), 1);
    c.TempDir = tmp.Path();
    std::string a = c.MakeTempFileName("zip", ".tmp");
    EXPECT_FALSE(a.empty() || FileExists(a)) << a;
    c.TempDir = tmp.File("missing");
    EXPECT_EQ(c.MakeTempFileName("zip", ".tmp"), "");
}

// Directories standing in for disks: each root has a drive type and a label.
struct FakeVolumes : IVolumeService {
    std::map<std::string, std::pair<unsigned, std::string>> disks;  // a label "-" is no disk in the drive
    std::string RootOf(const std::string&) override { return "/"; }
    bool RootExists(const std::string& root) override { return disks.count(root) > 0; }
    unsigned DriveType(const std::string& root) override { return disks.count(root) ? disks[root].first : DRIVE_NO_ROOT_DIR; }
    bool VolumeInformation(const std::string& root, std::string& label, uint32_t& serial, int& error) override {
        label = disks[root].second;
        serial = 1;
        error = label == "-" ? 21 : kErrorNotFormatted;
        return label != "-" && label != "unformatted";
    }
    bool FreeSpace(const std::string& root, int64_t& f, int64_t& s) override {
        f = 1000, s = 1457664;
        return disks[root].second != "-";
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

// The system's volumes keep the mount table they read and read it again after a mount or
// an unmount: in a child with a mount namespace of its own (skipped where none can be made).
TEST(ZipDisk, TheSystemsVolumesSeeDisksComeAndGo) {
    TempDir tmp;
    const std::string point = tmp.File("disk"), inside = point + "/book.zip";
    ASSERT_EQ(::mkdir(point.c_str(), 0700), 0);
    const std::string root = SystemVolumes().RootOf(inside);  // read here, before the child
    ASSERT_NE(root, point);
    ChildRun run = InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        IVolumeService& v = SystemVolumes();
        if (v.RootOf(inside) != root || v.RootExists(point)) return 1;
        if (::mount("vellicor-test", point.c_str(), "tmpfs", 0, nullptr) != 0) return 77;
        int r = v.RootOf(inside) == point && v.RootExists(point) && v.DriveType(point) == DRIVE_FIXED ? 0 : 2;
        if (::umount(point.c_str()) != 0) return 4;
        if (r == 0 && (v.RootOf(inside) != root || v.RootExists(point))) r = 3;
        return r;
    });
    if (run.exitCode == 77) GTEST_SKIP() << "no mount namespace of a child's own here";
    EXPECT_EQ(run.exitCode, 0) << "1: the table before, 2: the disk mounted unseen, 3: the disk gone still seen";
    EXPECT_EQ(SystemVolumes().RootOf(inside), root) << "the parent's table is its own";
}

TEST(ZipDisk, PresenceLabelsPromptsAndTheRightDisk) {
    FakeUi ui;
    TempDir tmp;
    FakeVolumes vols;
    TZipComponent c;
    c.SetVolumeService(&vols);
    c.SetDriveRoot(tmp.Path());
    for (auto [label, present] : {std::pair{"-", false}, {"unformatted", false}, {"PKBACK# 001", true}}) {
        vols.disks[tmp.Path()] = {DRIVE_REMOVABLE, label};
        EXPECT_EQ(c.IsDiskPresent(), present) << label;
    }
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_REMOVABLE));
    EXPECT_TRUE(ui.shown.empty()) << "a disk is there and none other is wanted";
    c.SetCurrentDisk(1);
    c.SetTotalDisks(2);
    c.SetNewDiskFlag(true);
    EXPECT_EQ(c.CheckForDisk(), unsigned(DRIVE_REMOVABLE));
    EXPECT_EQ(ui.shown.size() == 1 ? ui.shown[0].text : "", "Please insert disk volume 2 of 3\nin drive: " + tmp.Path());
    EXPECT_FALSE(c.IsRightDisk(DRIVE_REMOVABLE)) << "the label names volume 0";
    ui.answers = {mrCancel};  // cancelled: raised without a message of its own
    c.SetNewDiskFlag(true);
    EXPECT_EQ(Raised([&] { c.CheckForDisk(); }), -DS_Canceled);
    c.Unattended = true;  // nobody to ask
    c.SetNewDiskFlag(true);
    EXPECT_EQ(std::abs(Raised([&] { c.CheckForDisk(); })), DS_NoUnattSpan);
    c.Unattended = false;
    // Part files on a fixed drive are named by their number, need no prompt, and a missing
    // one is an error there.
    c.SetCurrentVolumeFile(tmp.Write("set001.zip", "one"));
    vols.disks[tmp.Path()].first = DRIVE_FIXED;
    c.GetNewDisk(0);
    char b[3];
    EXPECT_EQ(read(c.InputHandle(), b, 3), 3);
    EXPECT_EQ(Raised([&] { c.GetNewDisk(1); }), DS_VolumeMissing) << "set002.zip is missing";
    EXPECT_EQ(c.CurrentVolumeFile() + " " + std::to_string(c.InputHandle()), tmp.File("set002.zip") + " -1");
    c.SetDriveRoot("relative");
    EXPECT_EQ(Raised([&] { c.IsDiskPresent(); }), DS_NotaDrive);
    // A network root need not look like a local one (no absolute path, no mount check);
    // a local root that is not there is no mounted drive.
    vols.disks["//server/share"] = {DRIVE_REMOTE, "NET"};
    c.SetDriveRoot("//server/share");
    EXPECT_TRUE(c.IsDiskPresent());
    c.SetDriveRoot(tmp.File("nowhere"));
    EXPECT_EQ(Raised([&] { c.IsDiskPresent(); }), DS_DriveNoMount);
}

// A file without an end record: what the listing says, by the place in a backup set that the
// disk's label ("PKBACK# nnn") and the file's first bytes (a spanned set's first part) tell.
TEST(ZipDisk, AListingWithoutAnEndRecordNamesItsPlaceInTheSet) {
    FakeUi ui;
    TempDir tmp;
    const std::string firstPart = std::string("PK\x07\x08PK\x03\x04", 8) + std::string(200, 'x'), other(208, 'x');
    const std::string last = "please insert the last disk of this set";
    const std::tuple<const char*, const std::string*, std::string> cases[] = {
        {"PKBACK# 003", &other, "This is the 3th disk in a backup set,\n" + last},
        {"PKBACK# 012", &other, "This is the 12th disk in a backup set,\n" + last},
        {"PKBACK# 001", &firstPart, "This is the first disk in a backup set,\n" + last},
        {"PKBACK# 003", &firstPart, "This is the first file in a backup set,\nplease choose the last file of this set"},
        {"SCANS", &firstPart, "This is the first file in a backup set,\nplease choose the last file of this set"},
        {"SCANS", &other, "This archive is not a valid Zip archive"},
        {nullptr, &other, "Drive / is NOT defined"},  // the file's drive is not there
    };
    for (const auto& [label, bytes, message] : cases) {
        SCOPED_TRACE(label ? label : "no drive");
        FakeVolumes vols;
        if (label) vols.disks["/"] = {DRIVE_REMOVABLE, label};
        TZipComponent c;
        c.SetVolumeService(&vols);
        ui.shown.clear();
        c.SetZipFileName(tmp.Write("part.zip", *bytes));
        EXPECT_EQ(c.GetCount(), 0);
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].text, message);
    }
}

// A network drive is there whatever its path looks like and whether or not its size can be
// measured; a local drive that cannot be measured holds no disk.
TEST(ZipDisk, NetworkDrivesNeedNoLocalRootNorASize) {
    FakeUi ui;
    struct Unmeasured : FakeVolumes {
        bool FreeSpace(const std::string&, int64_t&, int64_t&) override { return false; }
    } vols;
    TZipComponent c;
    c.SetVolumeService(&vols);
    vols.disks["server:/scans"] = {DRIVE_REMOTE, "NET"};
    c.SetDriveRoot("server:/scans");
    EXPECT_TRUE(c.IsDiskPresent());
    TempDir tmp;
    vols.disks[tmp.Path()] = {DRIVE_REMOVABLE, "PKBACK# 001"};
    c.SetDriveRoot(tmp.Path());
    EXPECT_FALSE(c.IsDiskPresent());
    EXPECT_TRUE(ui.shown.empty());
}

}  // namespace
