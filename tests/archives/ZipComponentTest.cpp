// The zip component's core: setters, messages, the wait cursor, the callback, and loading
// the libraries (through the recording fake and the real unzip library).
#include <gtest/gtest.h>

#include <stdexcept>

#include "ArchiveTestSupport.h"
#include "archives/zip/ZipComponent.h"
#include "support/FakeUi.h"

using namespace vellicor;
using namespace vellicor::test;

namespace {

// Runs the callback on a record as a library would fill it; the reply in cancel.
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

TEST(ZipComponent, SettersMessagesAndWaitCursor) {
    FakeUi ui;
    TZipComponent c;
    c.SetPasswordReqCount(20);
    c.SetMinFreeVolumeSize(0);
    c.SetDLLDirectory("/opt/libs/");
    EXPECT_EQ(std::to_string(c.PasswordReqCount()) + " " + std::to_string(c.MinFreeVolumeSize()) + " " + c.DLLDirectory(),
              "15 65536 /opt/libs");
    std::vector<std::string> heard;
    c.OnMessage = [&](TZipComponent*, int code, const std::string& m) { heard.push_back(std::to_string(code) + m); };
    c.ShowZipMessage(GE_NoZipSpecified, " extra");
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, "Error - no zip file specified! extra");
    c.Unattended = true;  // no box, but the event and the state
    c.ShowZipMessage(99999);
    EXPECT_EQ(heard, (std::vector<std::string>{"0Error - no zip file specified! extra",
                                               "0ZipMsgxx.res is probably not linked to the executable\nMissing String ID is: 99999"}));
    EXPECT_EQ(c.ErrCode(), 99999);
    c.Unattended = false;
    c.ShowExceptionError(EZipComponent(DS_Canceled, false));  // no display flag: no box
    EXPECT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(std::to_string(c.ErrCode()) + c.Message(), "11007User canceled operation");
    EXPECT_STREQ(EZipComponent(DS_NotLastInSet, 3).what(), "This is the 3th disk in a backup set,\nplease insert the last disk of this set");
    EXPECT_STREQ(EZipComponent(10181, std::string("a%s"), std::string("b")).what(), "Overwrite file 'a%s' in 'b' ?");
    c.StartWaitCursor();
    c.StartWaitCursor();
    c.StopWaitCursor();
    EXPECT_TRUE(ui.waitCursor);
    c.StopWaitCursor();
    c.StopWaitCursor();  // unbalanced stops do nothing
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
    EXPECT_GE(ui.processMessagesCalls, 6) << "every callback lets messages through";
    Call(c, zacMessage, 0x1FE, 0, "broken");
    EXPECT_EQ(std::to_string(c.ErrCode()) + " " + std::to_string(c.FullErrCode()) + " " + c.Message(), "-2 510 broken");

    EXPECT_EQ(Call(c, zacCRCError, 0x1234, 0x5678, "f").ErrorCode, 2) << "nobody to ask";
    EXPECT_EQ(Call(c, zacOverwrite, 0x10007, 0, "f").FileSize, 0u) << "without a handler the library's default stands";
    c.OnCRC32Error = [](TZipComponent*, const std::string&, unsigned found, unsigned expected, bool& doExtract) {
        EXPECT_EQ(found * 0x10000 + expected, 0x12345678u);
        doExtract = !doExtract;
    };
    c.OnExtractOverwrite = [](TZipComponent*, const std::string&, bool older, bool& doOverwrite, int index) {
        EXPECT_TRUE(older);
        EXPECT_EQ(index, 7);
        doOverwrite = true;
    };
    UnZipSkipTypes skip = stOnFreshen;
    c.OnExtractSkipped = [&](TZipComponent*, const std::string&, UnZipSkipTypes t, int) { skip = t; };
    c.OnSetNewName = [](TZipComponent*, std::string& name, bool& changed) { name = std::string(600, 'n'), changed = true; };
    // A long comment has its own buffer: the file name beside it stays whole.
    c.OnFileComment = [](TZipComponent*, const std::string&, std::string& comment, bool& changed) {
        comment = std::string(700, 'c'), changed = true;
    };
    EXPECT_EQ(Call(c, zacCRCError, 0x1234, 0x5678, "f").ErrorCode, 0);
    EXPECT_EQ(Call(c, zacOverwrite, 0x10007, 0, "f").FileSize, 1u);
    Call(c, zacSkipped, 5, stBadPassword + 1, "f");
    EXPECT_EQ(skip, stBadPassword);
    EXPECT_EQ(c.ErrCode(), 5);
    auto nn = Call(c, zacNewName, 0, 0, "old");
    EXPECT_EQ(nn.ErrorCode * 1000 + std::strlen(nn.FileNameOrMsg), 1000u + ZCB_TEXT_MAX);
    auto cm = Call(c, zacComment, 0, 0, std::string(ZCB_TEXT_MAX, 'n'));
    EXPECT_EQ(cm.ErrorCode * 1000 + cm.FileSize, 1000u + ZCB_COMMENT_MAX);
    EXPECT_EQ(std::strlen(cm.FileNameOrMsg), size_t(ZCB_TEXT_MAX));
    // The output stream resized on request; a size beyond the limit gets no buffer.
    for (uint32_t size : {1000u, 0u}) {
        auto st = Call(c, zacStream, 0, size);
        EXPECT_EQ(st.Buffer, c.ZipStream()->Memory());
        EXPECT_EQ(c.ZipStream()->Size(), size);
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
    TZipComponent c;
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

    TZipComponent d;  // without a handler the dialog asks; its answer to the library is not kept
    ui.passwords = {"open sesame"};
    r = Call(d, zacPassword, 0, 1, "x.jpg");
    EXPECT_EQ(std::to_string(r.ErrorCode) + r.FileNameOrMsg + "|" + d.Password, "1open sesame|");
    ASSERT_EQ(ui.passwordRequests.size(), 1u);
    EXPECT_EQ(ui.passwordRequests[0].caption + "|" + ui.passwordRequests[0].prompt, "Password|Enter Password ");
    EXPECT_EQ(ui.passwordRequests[0].buttons, (1 << pwbCancel) | (1 << pwbCancelAll) | (1 << pwbAbort));
    r = Call(d, zacPassword, 0, 1, "x.jpg");  // the dialog cancelled
    EXPECT_EQ(r.ErrorCode + r.FileSize, 0u);
    ui.passwords = {"one", "two"};  // adding asks twice and compares
    EXPECT_EQ(Call(d, zacPassword, 1, 1, "x.jpg").ErrorCode, 0);
    EXPECT_EQ(d.ErrCode(), GE_WrongPassword);
    ui.passwords = {"same"};  // outside a library request an answer becomes the password
    EXPECT_EQ(d.GetExtrPassword(), "same");
    EXPECT_EQ(d.Password, "same");
    d.Unattended = true;
    EXPECT_EQ(d.GetExtrPassword(), "");
    EXPECT_EQ(d.ErrCode(), PW_UnatExtPWMiss);
}

TEST(ZipComponentLibraries, LoadingEntriesAndVersions) {
    FakeUi ui;
    const struct {
        const char* variant;
        bool unzip;
        const char* text;
    } cases[] = {
        {"noexec", true, "UnzDllExec function not found in UNZDLL.DLL!"},
        {"noversion", true, "GetUnzDllVersion function not found in UNZDLL.DLL!"},
        {"noexec", false, "ZipDllExec function not found in ZIPDLL.DLL!"},
        {"noversion", false, "GetZipDllVersion function not found in ZIPDLL.DLL!"},
        {"missing", false, "ZIPDLL.DLL not found!"},
    };
    for (const auto& k : cases) {  // a library without its entries is not kept, and gives no version
        ui.shown.clear();
        TZipComponent c;
        c.SetDLLDirectory(FakeDir(k.variant));
        k.unzip ? c.Load_Unz_Dll() : c.Load_Zip_Dll();
        EXPECT_FALSE(k.unzip ? c.UnzDllLoaded() : c.ZipDllLoaded()) << k.variant;
        ASSERT_EQ(ui.shown.size(), 1u);
        EXPECT_EQ(ui.shown[0].text, k.text);
        EXPECT_EQ(k.unzip ? c.GetUnzVers() : c.GetZipVers(), 0);
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
    TZipComponent real;
    real.SetDLLDirectory(ModuleDir());
    EXPECT_EQ(real.GetUnzVers() * 1000 + real.GetUnzPrivVers(), 160160);
}

}  // namespace
