// Once the program is ending no box or password question reaches the user, and each caller
// gets the answer that gives up.
#include <gtest/gtest.h>

#include "platform/UiServices.h"
#include "support/FakeUi.h"

namespace vellicor::test {
namespace {

TEST(UiServices, NothingIsAskedOnceTheProgramIsEnding) {
    FakeUi ui;
    ui.passwords = {"sesame"};
    RequestStop();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ShowMessageBox("Settings cannot be saved", "its folder cannot be written", mbOK), mrOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Settings cannot be saved: its folder cannot be written\n")
        << "what the box would have said goes to the error output";
    EXPECT_EQ(ShowMessageBox("c", "plain", mbOK), mrOk);
    EXPECT_EQ(ShowMessageBox("c", "ok?", mbOKCancel), mrCancel);
    EXPECT_EQ(ShowMessageBox("c", "yes?", mbYesNo), mrNo);
    EXPECT_EQ(ShowMessageBox("c", "yes, no?", mbYesNoCancel), mrCancel);
    EXPECT_EQ(ShowMessageBox("c", "retry?", mbRetryCancel), mrCancel);
    EXPECT_EQ(ShowMessageBox("c", "abort?", mbAbortRetryIgnore), mrAbort);
    // Readers ask through the services themselves.
    EXPECT_EQ(Ui().MessageBox("c", "direct", mbOKCancel, TMsgKind::Warning), mrCancel);
    std::string password = "left over";
    EXPECT_EQ(Ui().AskPassword(PasswordRequest{"Password protected archive", "a.rar", 2}, password), mrCancel);
    EXPECT_EQ(password, "");
    // The rest still reaches the installed services.
    Ui().ProcessMessages();
    { WaitCursor wait; }
    RequestStop(false);
    EXPECT_TRUE(ui.shown.empty());
    EXPECT_TRUE(ui.passwordRequests.empty());
    EXPECT_EQ(ui.processMessagesCalls, 1);
    EXPECT_EQ(ui.waitCursorChanges, 2);

    ui.answers = {mrYes};
    EXPECT_EQ(ShowMessageBox("c", "yes?", mbYesNo), mrYes);
    EXPECT_EQ(Ui().AskPassword(PasswordRequest{}, password), mrOk);
    EXPECT_EQ(password, "sesame");
    EXPECT_EQ(ui.shown.size(), 1u);
}

// While the page engine gathers what pages met, boxes that only inform are held (in the
// innermost gathering); questions still reach the user, and nothing is held afterwards.
TEST(UiServices, OnlyBoxesThatInformAreHeld) {
    FakeUi ui;
    {
        HeldMessages outer;
        EXPECT_EQ(ShowMessageBox("a.cbr", "broken", mbOK, TMsgKind::Error), mrOk);
        {
            HeldMessages inner;
            ShowMessageBox("a.cbr", "inner");
            EXPECT_EQ(inner.held.size(), 1u);
        }
        ui.answers = {mrCancel};
        EXPECT_EQ(ShowMessageBox("a.c00", "Insert disk", mbOKCancel), mrCancel);
        ASSERT_EQ(outer.held.size(), 1u);
        EXPECT_EQ(outer.held[0].text, "broken");
        EXPECT_EQ(outer.held[0].kind, TMsgKind::Error);
    }
    ShowMessageBox("c", "after");
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].text, "Insert disk");
    EXPECT_EQ(ui.shown[1].text, "after");
}

// A box told from within a gathering shows; a gathering opened inside it holds again, and
// the outer one holds again once the scope ends.
TEST(UiServices, UnheldMessagesShowInsideAGathering) {
    FakeUi ui;
    HeldMessages outer;
    {
        UnheldMessages unheld;
        ShowMessageBox("a.cbr", "told");
        {
            HeldMessages inner;
            ShowMessageBox("a.cbr", "held inside");
            EXPECT_EQ(inner.held.size(), 1u);
        }
        ShowMessageBox("a.cbr", "told too");
    }
    ShowMessageBox("a.cbr", "held again");
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].text, "told");
    EXPECT_EQ(ui.shown[1].text, "told too");
    ASSERT_EQ(outer.held.size(), 1u);
    EXPECT_EQ(outer.held[0].text, "held again");
}

}  // namespace
}  // namespace vellicor::test
