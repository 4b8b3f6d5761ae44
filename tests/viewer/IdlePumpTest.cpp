#include "viewer/IdlePump.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <memory>

namespace vellicor {
namespace {

class IdlePumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QCoreApplication::instance()) return;
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    // Runs the loop until quit, failing (and quitting) after a generous time limit.
    static bool RunLoop(int limitMs = 10000) {
        bool timedOut = false;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            timedOut = true;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
            QCoreApplication::quit();
        });
        guard.start(limitMs);
        QCoreApplication::exec();
        return !timedOut;
    }

    int argc_ = 1;
    char arg0_[8] = "test";
    char* argv_[2] = {arg0_, nullptr};
    std::unique_ptr<QApplication> app_;
};

TEST_F(IdlePumpTest, StepsRunBackToBackWhileThereIsWork) {
    int steps = 0;
    TIdlePump pump([&] {
        if (++steps == 1000) QCoreApplication::quit();
        return steps < 1000;
    });
    pump.Start();
    EXPECT_TRUE(pump.Active());
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(RunLoop());
    EXPECT_EQ(steps, 1000);
    // Without the wake-up each step would wait for some other event.
    EXPECT_LT(t.elapsed(), 5000);
}

TEST_F(IdlePumpTest, ItKeepsRunningInsideAModalDialog) {
    int steps = 0, stepsInDialog = 0;
    QDialog dialog;
    TIdlePump pump([&] {
        ++steps;
        if (dialog.isVisible() && ++stepsInDialog == 50) dialog.accept();
        return true;
    });
    pump.Start();
    int result = -1;
    QTimer::singleShot(0, [&] {
        result = dialog.exec();
        QCoreApplication::quit();
    });
    ASSERT_TRUE(RunLoop());
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(stepsInDialog, 50);
}

TEST_F(IdlePumpTest, AStepThatLetsEventsThroughIsNotReentered) {
    int depth = 0, deepest = 0, steps = 0;
    TIdlePump pump([&] {
        ++depth;
        deepest = std::max(deepest, depth);
        QCoreApplication::processEvents();
        --depth;
        if (++steps == 20) QCoreApplication::quit();
        return steps < 20;
    });
    pump.Start();
    ASSERT_TRUE(RunLoop());
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(steps, 20);
}

TEST_F(IdlePumpTest, AnIdleStepRunsAgainOnlyAfterAnEvent) {
    int steps = 0;
    TIdlePump pump([&] {
        ++steps;
        return false;
    });
    pump.Start();
    QTimer::singleShot(200, [] { QCoreApplication::quit(); });
    ASSERT_TRUE(RunLoop());
    // A few passes of the loop, not a busy spin.
    EXPECT_GE(steps, 1);
    EXPECT_LT(steps, 50);
    pump.Stop();
    EXPECT_FALSE(pump.Active());
}

}  // namespace
}  // namespace vellicor
