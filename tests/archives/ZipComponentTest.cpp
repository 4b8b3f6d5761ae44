// The zip component's core: properties, messages, the callback, library loading.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "ZipTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

ZCallBackStruct Record(TZipComponent& c, int action, int32_t err = 0, uint32_t size = 0, const char* text = "") {
    ZCallBackStruct r;
    std::memset(&r, 0, sizeof r);
    r.Caller = &c;
    r.ActionCode = action;
    r.ErrorCode = err;
    r.FileSize = size;
    std::strncpy(r.FileNameOrMsg, text, ZCB_TEXT_MAX);
    return r;
}

}  // namespace

TEST(ZipComponent, DefaultsAndSetters) {
    TZipComponent c;
    EXPECT_EQ(c.AddCompLevel, 9);
    EXPECT_TRUE(c.SFXOptions == TZipSFXOptions{SFXCheckSize});
    EXPECT_EQ(c.SFXCaption, "Self-extracting Archive");
    EXPECT_EQ(c.SFXOverWriteMode, OvrConfirm);
    EXPECT_EQ(c.MinFreeVolumeSize(), 65536);
    EXPECT_TRUE(c.ConfirmErase);
    EXPECT_EQ(c.CodePage, cpAUTO);
    EXPECT_EQ(c.HowToDelete, htdAllowUndo);
    EXPECT_EQ(c.VersionInfo(), "1.60 ");
    EXPECT_EQ(c.PasswordReqCount(), 1u);
    EXPECT_TRUE(c.AddStoreSuffixes.Contains(assGIF));
    EXPECT_TRUE(c.AddStoreSuffixes.Contains(assJAR));
    EXPECT_FALSE(c.AddStoreSuffixes.Contains(assEXE));
    EXPECT_EQ(c.GetCount(), 0);
    EXPECT_NE(c.ZipStream(), nullptr);

    c.SetPasswordReqCount(20);
    EXPECT_EQ(c.PasswordReqCount(), 15u);
    c.SetMinFreeVolumeSize(0);
    EXPECT_EQ(c.MinFreeVolumeSize(), 65536);
    c.SetMinFreeVolumeSize(1000);
    EXPECT_EQ(c.MinFreeVolumeSize(), 1000);
    c.SetKeepFreeOnDisk1(-5);
    EXPECT_EQ(c.KeepFreeOnDisk1(), 0);
    c.SetMaxVolumeSize(-1);
    c.SetMaxVolumeSize(1457664);
    EXPECT_EQ(c.MaxVolumeSize(), 1457664);
    c.SetDLLDirectory("/opt/libs/");
    EXPECT_EQ(c.DLLDirectory(), "/opt/libs");
    c.SetDLLDirectory("/opt/libs");
    EXPECT_EQ(c.DLLDirectory(), "/opt/libs");
    c.SetRootDir("/data");
    EXPECT_EQ(c.RootDir(), "/data/");
    c.SetRootDir("");
    EXPECT_EQ(c.RootDir(), "");

    TStringList specs;
    specs.Add("a.jpg");
    c.SetFSpecArgs(specs);
    specs.Add("b.jpg");
    EXPECT_EQ(c.FSpecArgs().Count(), 1);  // a copy was taken
}

TEST(ZipComponent, MessagesAndExceptions) {
    FakeUi ui;
    TZipComponent c;
    std::vector<std::string> heard;
    c.OnMessage = [&](TZipComponent* sender, int code, const std::string& m) {
        EXPECT_EQ(sender, &c);
        EXPECT_EQ(code, 0);
        heard.push_back(m);
    };
    c.ShowZipMessage(GE_NoZipSpecified, " extra");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Error - no zip file specified! extra");
    EXPECT_EQ(c.ErrCode(), 10102);
    EXPECT_EQ(c.Message(), "Error - no zip file specified! extra");

    c.Unattended = true;
    c.ShowZipMessage(99999);
    EXPECT_EQ(ui.shown.size(), 1u);  // no box, but the event and the state
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1], "ZipMsgxx.res is probably not linked to the executable\nMissing String ID is: 99999");
    EXPECT_EQ(c.ErrCode(), 99999);

    EXPECT_EQ(TZipComponent::LoadZipStr(10152, "x"), "&Ok");
    EXPECT_EQ(TZipComponent::LoadZipStr(12345, "fallback"), "fallback");

    EXPECT_STREQ(EZipComponent(DS_DriveNoMount, std::string("/media/x")).what(), "Drive /media/x is NOT defined");
    EXPECT_STREQ(EZipComponent(DS_NotLastInSet, 3).what(),
                 "This is the 3th disk in a backup set,\nplease insert the last disk of this set");
    EXPECT_STREQ(EZipComponent(10181, std::string("a%s"), std::string("b")).what(), "Overwrite file 'a%s' in 'b' ?");
    EZipComponent missing(424242, false);
    EXPECT_FALSE(missing.DisplayMsg);
    EXPECT_EQ(missing.ResId, 424242);
    EXPECT_EQ(std::string(missing.what()).find("Missing String ID is: 424242"), 54u);

    c.Unattended = false;
    c.ShowExceptionError(EZipComponent(DS_NoValidZip, true));
    EXPECT_EQ(ui.shown.back().text, "This archive is not a valid Zip archive");
    EXPECT_EQ(c.ErrCode(), 11036);
    size_t boxes = ui.shown.size();
    c.ShowExceptionError(EZipComponent(DS_Canceled, false));  // no display flag: no box
    EXPECT_EQ(ui.shown.size(), boxes);
    EXPECT_EQ(c.Message(), "User canceled operation");
}

TEST(ZipComponent, CodePageConversion) {
    TZipComponent c;
    std::string oem = "caf\x82";
    std::string s = oem;
    c.ConvertOem2Iso(s, false);  // automatic: bytes that are no UTF-8 are OEM
    EXPECT_EQ(s, "caf\xC3\xA9");
    c.ConvertOem2Iso(s, true);  // going back only for OEM archives
    EXPECT_EQ(s, "caf\xC3\xA9");
    c.CodePage = cpOEM;
    c.ConvertOem2Iso(s, true);
    EXPECT_EQ(s, oem);
    c.CodePage = cpNone;
    c.ConvertOem2Iso(s, false);
    EXPECT_EQ(s, oem);
}

TEST(ZipComponent, NestedWaitCursor) {
    FakeUi ui;
    TZipComponent c;
    c.StartWaitCursor();
    EXPECT_TRUE(ui.waitCursor);
    c.StartWaitCursor();
    c.StopWaitCursor();
    EXPECT_TRUE(ui.waitCursor);
    c.StopWaitCursor();
    EXPECT_FALSE(ui.waitCursor);
    EXPECT_EQ(ui.waitCursorChanges, 2);
    c.StopWaitCursor();  // unbalanced stops do nothing
    EXPECT_EQ(ui.waitCursorChanges, 2);
}

TEST(ZipComponentCallback, ProgressMessagesAndNames) {
    FakeUi ui;
    TZipComponent c;
    std::vector<std::pair<int, std::string>> progress;
    c.OnProgress = [&](TZipComponent*, ProgressType t, const std::string& name, uint32_t size) {
        progress.push_back({t, name + ":" + std::to_string(size)});
    };
    for (int a : {zacItem, zacProgress, zacEndOfBatch, zacMessage, zacCount, zacSize}) {
        auto r = Record(c, a, 0, 77, "dir/p.jpg");
        EXPECT_EQ(TZipComponent::ZCallback(&r), 0);
    }
    ASSERT_EQ(progress.size(), 5u);
    EXPECT_EQ(progress[0], (std::pair<int, std::string>{NewFile, "dir\\p.jpg:77"}));
    EXPECT_EQ(progress[1], (std::pair<int, std::string>{ProgressUpdate, ":77"}));
    EXPECT_EQ(progress[2], (std::pair<int, std::string>{EndOfBatch, ":0"}));
    EXPECT_EQ(progress[3], (std::pair<int, std::string>{TotalFiles2Process, ":77"}));
    EXPECT_EQ(progress[4], (std::pair<int, std::string>{TotalSize2Process, ":77"}));
    EXPECT_EQ(c.TotalSizeToProcess(), 77);
    EXPECT_GE(ui.processMessagesCalls, 6);

    int heardCode = -1;
    c.OnMessage = [&](TZipComponent*, int code, const std::string&) { heardCode = code; };
    auto msg = Record(c, zacMessage, 0x1FE, 0, "broken");
    TZipComponent::ZCallback(&msg);
    EXPECT_EQ(c.ErrCode(), -2);  // the low byte, signed
    EXPECT_EQ(c.FullErrCode(), 0x1FE);
    EXPECT_EQ(c.Message(), "broken");
    EXPECT_EQ(heardCode, 0x1FE);

    c.OnSetNewName = [](TZipComponent*, std::string& name, bool& changed) {
        name = std::string(600, 'n');
        changed = true;
    };
    auto nn = Record(c, zacNewName, 0, 0, "old");
    TZipComponent::ZCallback(&nn);
    EXPECT_EQ(nn.ErrorCode, 1);
    EXPECT_EQ(std::strlen(nn.FileNameOrMsg), size_t(ZCB_TEXT_MAX));

    // The cancel flag is the reply of every callback.
    c.SetCancel(true);
    auto any = Record(c, zacProgress);
    EXPECT_EQ(TZipComponent::ZCallback(&any), 1);
}

TEST(ZipComponentCallback, Passwords) {
    FakeUi ui;
    TZipComponent c;
    // With a handler: its password, or its refusals.
    TPasswordButton reply = pwbOk;
    c.OnPasswordError = [&](TZipComponent*, bool isZip, std::string& pw, const std::string& file, unsigned& repeat,
                            TPasswordButton& action) {
        EXPECT_FALSE(isZip);
        EXPECT_EQ(file, "sub\\x.jpg");
        EXPECT_EQ(action, pwbOk);
        EXPECT_EQ(repeat, 3u);
        pw = std::string(100, 'p');
        repeat = 2;
        action = reply;
    };
    auto r = Record(c, zacPassword, 0, 3, "sub/x.jpg");
    TZipComponent::ZCallback(&r);
    EXPECT_EQ(r.ErrorCode, 1);
    EXPECT_EQ(r.FileSize, 2u);
    EXPECT_EQ(std::string(r.FileNameOrMsg), std::string(ZCB_PASSWORD_MAX, 'p'));

    reply = pwbCancelAll;
    r = Record(c, zacPassword, 0, 3, "sub/x.jpg");
    TZipComponent::ZCallback(&r);
    EXPECT_EQ(r.ErrorCode, 0);
    EXPECT_EQ(r.FileSize, 0u);
    EXPECT_EQ(r.ActionCode, 0);
    EXPECT_FALSE(c.Cancel());
    reply = pwbAbort;
    r = Record(c, zacPassword, 0, 3, "sub/x.jpg");
    EXPECT_EQ(TZipComponent::ZCallback(&r), 1);
    EXPECT_TRUE(c.Cancel());

    // Without a handler the dialog asks; the password given does not become Password.
    TZipComponent d;
    ui.passwords.push_back("open sesame");
    r = Record(d, zacPassword, 0, 1, "x.jpg");
    TZipComponent::ZCallback(&r);
    EXPECT_EQ(r.ErrorCode, 1);
    EXPECT_STREQ(r.FileNameOrMsg, "open sesame");
    EXPECT_EQ(d.Password, "");
    ASSERT_EQ(ui.passwordRequests.size(), 1u);
    EXPECT_EQ(ui.passwordRequests[0].caption, "Password");
    EXPECT_EQ(ui.passwordRequests[0].prompt, "Enter Password ");
    EXPECT_EQ(ui.passwordRequests[0].buttons, (1 << pwbCancel) | (1 << pwbCancelAll) | (1 << pwbAbort));
    r = Record(d, zacPassword, 0, 1, "x.jpg");  // the dialog cancelled
    TZipComponent::ZCallback(&r);
    EXPECT_EQ(r.ErrorCode, 0);
    EXPECT_EQ(r.FileSize, 0u);

    // Adding asks twice and compares.
    ui.passwords = {"one", "two"};
    r = Record(d, zacPassword, 1, 1, "x.jpg");
    TZipComponent::ZCallback(&r);
    EXPECT_EQ(r.ErrorCode, 0);
    EXPECT_EQ(d.ErrCode(), GE_WrongPassword);

    // Outside a library request, an answer becomes the component's password.
    ui.passwords = {"same"};
    EXPECT_EQ(d.GetExtrPassword(), "same");
    EXPECT_EQ(d.Password, "same");
    d.Unattended = true;
    EXPECT_EQ(d.GetExtrPassword(), "");
    EXPECT_EQ(d.ErrCode(), PW_UnatExtPWMiss);
}

TEST(ZipComponentCallback, CrcOverwriteSkipCommentAndStream) {
    TZipComponent c;
    auto crc = Record(c, zacCRCError, 0x1234, 0x5678, "f");
    TZipComponent::ZCallback(&crc);
    EXPECT_EQ(crc.ErrorCode, 2);  // nobody to ask
    unsigned found = 0, expected = 0;
    c.OnCRC32Error = [&](TZipComponent*, const std::string&, unsigned f, unsigned e, bool& doExtract) {
        found = f;
        expected = e;
        EXPECT_TRUE(doExtract);
        doExtract = false;
    };
    crc = Record(c, zacCRCError, 0x1234, 0x5678, "f");
    TZipComponent::ZCallback(&crc);
    EXPECT_EQ(crc.ErrorCode, 0);
    EXPECT_EQ(found, 0x1234u);
    EXPECT_EQ(expected, 0x5678u);

    auto ow = Record(c, zacOverwrite, 0x10007, 0, "f");
    TZipComponent::ZCallback(&ow);
    EXPECT_EQ(ow.FileSize, 0u);  // without a handler the library's default stands
    c.OnExtractOverwrite = [](TZipComponent*, const std::string&, bool older, bool& doOverwrite, int index) {
        EXPECT_TRUE(older);
        EXPECT_EQ(index, 7);
        EXPECT_FALSE(doOverwrite);
        doOverwrite = true;
    };
    ow = Record(c, zacOverwrite, 0x10007, 0, "f");
    TZipComponent::ZCallback(&ow);
    EXPECT_EQ(ow.FileSize, 1u);

    UnZipSkipTypes skip = stOnFreshen;
    c.OnExtractSkipped = [&](TZipComponent*, const std::string&, UnZipSkipTypes t, int) { skip = t; };
    auto sk = Record(c, zacSkipped, 5, stBadPassword + 1, "f");
    TZipComponent::ZCallback(&sk);
    EXPECT_EQ(skip, stBadPassword);
    EXPECT_EQ(c.ErrCode(), 5);

    c.OnFileComment = [](TZipComponent*, const std::string&, std::string& comment, bool& changed) {
        EXPECT_EQ(comment, "old comment");
        comment = std::string(700, 'c');
        changed = true;
    };
    auto cm = Record(c, zacComment, 0, 0, std::string(ZCB_TEXT_MAX, 'n').c_str());
    std::strcpy(cm.FileComment, "old comment");
    TZipComponent::ZCallback(&cm);
    EXPECT_EQ(cm.ErrorCode, 1);
    EXPECT_EQ(cm.FileSize, uint32_t(ZCB_COMMENT_MAX));
    EXPECT_EQ(std::strlen(cm.FileNameOrMsg), size_t(ZCB_TEXT_MAX));  // the name is left whole

    auto st = Record(c, zacStream, 0, 1000);
    TZipComponent::ZCallback(&st);
    EXPECT_EQ(c.ZipStream()->Size(), 1000);
    EXPECT_EQ(st.Buffer, c.ZipStream()->Memory());
    st = Record(c, zacStream, 0, 0);
    TZipComponent::ZCallback(&st);
    EXPECT_EQ(c.ZipStream()->Size(), 0);
    EXPECT_EQ(st.Buffer, c.ZipStream()->Memory());
    st = Record(c, zacStream, 0, 0xFFFFFFFFu);  // beyond the limit: no buffer
    TZipComponent::ZCallback(&st);
    EXPECT_EQ(st.Buffer, nullptr);
    EXPECT_EQ(st.FileSize, 0u);

    // A handler that throws: error word 1, size 0, the library is not unwound.
    c.OnExtractOverwrite = [](TZipComponent*, const std::string&, bool, bool&, int) {
        throw std::runtime_error("handler failed");
    };
    ow = Record(c, zacOverwrite, 0, 5, "f");
    EXPECT_EQ(TZipComponent::ZCallback(&ow), 0);
    EXPECT_EQ(ow.ErrorCode, 1);
    EXPECT_EQ(ow.FileSize, 0u);
}

TEST(ZipComponentLibraries, LoadingAndEntries) {
    FakeUi ui;
    {
        FakeLib fake("full", true);
        ASSERT_TRUE(fake.Ok());
        TZipComponent c;
        c.SetDLLDirectory(FakeDir("full") + "/");
        c.Trace = true;
        c.Load_Unz_Dll();
        EXPECT_TRUE(c.UnzDllLoaded());
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].text, "UNZDLL Loaded!");
        c.Unload_Unz_Dll();
        EXPECT_FALSE(c.UnzDllLoaded());
    }
    struct Case {
        const char* variant;
        bool unzip;
        const char* text;
    } cases[] = {
        {"noexec", true, "UnzDllExec function not found in UNZDLL.DLL!"},
        {"noversion", true, "GetUnzDllVersion function not found in UNZDLL.DLL!"},
        {"noexec", false, "ZipDllExec function not found in ZIPDLL.DLL!"},
        {"noversion", false, "GetZipDllVersion function not found in ZIPDLL.DLL!"},
    };
    for (const auto& k : cases) {
        ui.shown.clear();
        TZipComponent c;
        c.SetDLLDirectory(FakeDir(k.variant));
        if (k.unzip) c.Load_Unz_Dll();
        else c.Load_Zip_Dll();
        EXPECT_FALSE(k.unzip ? c.UnzDllLoaded() : c.ZipDllLoaded()) << k.variant;
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].text, k.text);
        // A library without its entries gives no version either.
        EXPECT_EQ(k.unzip ? c.GetUnzVers() : c.GetZipVers(), 0);
    }
    ui.shown.clear();
    TZipComponent none;
    TempDir empty;
    none.SetDLLDirectory(empty.Path());
    none.Load_Zip_Dll();
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "ZIPDLL.DLL not found!");
    none.Unattended = true;
    EXPECT_EQ(none.GetUnzVers(), 0);
    EXPECT_EQ(none.ErrCode(), LU_NoUnzDll);
}

TEST(ZipComponentLibraries, VersionQueriesLoadForTheirOwnDuration) {
    FakeUi ui;
    for (bool unzip : {true, false}) {
        FakeLib fake("full", unzip);
        ASSERT_TRUE(fake.Ok());
        fake.setVersion(155);
        fake.setPrivVersion(777);
        TZipComponent c;
        c.SetDLLDirectory(FakeDir("full"));
        EXPECT_EQ(unzip ? c.GetUnzVers() : c.GetZipVers(), 155);
        EXPECT_EQ(unzip ? c.GetUnzPrivVers() : c.GetZipPrivVers(), 777);
        EXPECT_FALSE(unzip ? c.UnzDllLoaded() : c.ZipDllLoaded());  // unloaded again
        if (unzip) c.Load_Unz_Dll();
        else c.Load_Zip_Dll();
        EXPECT_EQ(unzip ? c.GetUnzVers() : c.GetZipVers(), 155);
        EXPECT_TRUE(unzip ? c.UnzDllLoaded() : c.ZipDllLoaded());  // loaded by the caller: stays
        EXPECT_EQ(fake.versionCalls(), 2);
    }
    EXPECT_TRUE(ui.shown.empty());
}

TEST(ZipComponentLibraries, TheRealUnzipLibrary) {
    TZipComponent c;
    c.SetDLLDirectory(ModuleDir());
    EXPECT_EQ(c.GetUnzVers(), 160);
    EXPECT_EQ(c.GetUnzPrivVers(), 160);
}
