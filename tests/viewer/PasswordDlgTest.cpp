// The password dialog on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QScreen>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "QtTestApp.h"
#include "viewer/PasswordDlg.h"

using namespace vellicor;

// fontconfig keeps a cache for the life of the process; the leak checker must not count it.
// Weak, so another test of this program may state the same.
extern "C" __attribute__((weak, used)) const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace {
QApplication* App() { return &test::App(); }

int Shown(const TPasswordDlg& d) {
    int n = 0;
    for (auto* b : d.Buttons) n += b != nullptr;
    return n;
}
}  // namespace

TEST(PasswordDlg, LayoutFollowsTheButtonSet) {
    App();
    TPasswordDlg one(nullptr, {});
    EXPECT_EQ(Shown(one), 1);
    EXPECT_EQ(one.width(), 159);
    EXPECT_EQ(one.height(), 137);
    EXPECT_EQ(one.PasswordEdit->width(), 114);
    EXPECT_EQ(one.Buttons[0]->text(), "&Ok");

    TPasswordDlg all(nullptr, {pwbCancel, pwbCancelAll, pwbAbort});
    ASSERT_EQ(Shown(all), 4);
    EXPECT_EQ(all.width(), 531);
    EXPECT_EQ(all.PasswordEdit->width(), 486);
    const char* captions[] = {"&Ok", "&Cancel", "Cancel all", "Abort"};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(all.Buttons[k]->text(), captions[k]);
        EXPECT_EQ(all.Buttons[k]->geometry(), QRect(20 + 124 * k, 72, 114, 28));
    }
    EXPECT_EQ(all.MessageLabel->geometry(), QRect(20, 8, 297, 18));

    // Buttons fill the positions from the first on, in their fixed order.
    TPasswordDlg some(nullptr, {pwbAbort, pwbCancel});
    ASSERT_EQ(Shown(some), 3);
    EXPECT_EQ(some.Buttons[1]->text(), "&Cancel");
    EXPECT_EQ(some.Buttons[2]->text(), "Abort");
    EXPECT_EQ(some.width(), 124 * 3 + 35);
    EXPECT_EQ(some.PasswordEdit->echoMode(), QLineEdit::Password);
}

TEST(PasswordDlg, AtMostEightyCharactersCanBeTyped) {
    App();
    TPasswordDlg d(nullptr, {pwbCancel});
    for (int i = 0; i < 100; ++i) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
        QApplication::sendEvent(d.PasswordEdit, &press);
    }
    EXPECT_EQ(d.PasswordEdit->text().size(), 80);
}

TEST(PasswordDlg, ModalResultsAndTheAnswer) {
    App();
    struct Case {
        int button;
        int result;
        std::string answer;
    } cases[] = {{0, mrOk, "hunter2"}, {1, mrCancel, ""}, {2, mrAll, ""}, {3, mrAbort, ""}};
    for (const auto& c : cases) {
        TPasswordDlg d(nullptr, {pwbCancel, pwbCancelAll, pwbAbort});
        QTimer::singleShot(0, &d, [&d, &c] {
            d.PasswordEdit->setText("hunter2");
            d.Buttons[c.button]->click();
        });
        EXPECT_EQ(d.ShowModalPwdDlg("Password", "Enter Password "), c.answer);
        EXPECT_EQ(d.result(), c.result);
        EXPECT_EQ(d.windowTitle(), "Password");
        EXPECT_EQ(d.MessageLabel->text(), "Enter Password ");
    }
    // Escape gives Cancel.
    TPasswordDlg e(nullptr, {pwbCancel});
    QTimer::singleShot(0, &e, [&e] {
        e.PasswordEdit->setText("x");
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&e, &esc);
    });
    EXPECT_EQ(e.ShowModalPwdDlg("t", "m"), "");
    EXPECT_EQ(e.result(), mrCancel);
}

TEST(PasswordDlg, AnswersTheUiServicesQuestion) {
    App();
    PasswordRequest r;
    r.caption = "Password protected archive";
    r.prompt = "/tmp/a.rar";
    r.buttons = 1 << pwbCancel;
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<TPasswordDlg*>(w); d && d->isVisible()) {
                d->PasswordEdit->setText("pw");
                d->Buttons[0]->click();
            }
    });
    std::string pw;
    EXPECT_EQ(AskPasswordWithDialog(nullptr, r, pw), mrOk);
    EXPECT_EQ(pw, "pw");
}

// The window manager shows the caption in a bold title bar beside the window's icon and three
// buttons; a dialog as narrow as its two buttons would cut the rar and ace caption short. The
// title bar's font here is a desktop's larger one, not the dialog's own.
TEST(PasswordDlg, IsWideEnoughForItsCaption) {
    App();
    const QFont was = QApplication::font("QMdiSubWindowTitleBar");
    QFont title = was;
    title.setPixelSize(15);
    QApplication::setFont(title, "QMdiSubWindowTitleBar");
    title.setBold(true);
    const QFontMetrics fm(title);
    struct Case {
        QString caption;
        bool capped;
    } cases[] = {{"Password protected archive", false}, {"t", false}, {QString(300, 'W'), true}};
    for (const Case& c : cases) {
        TPasswordDlg d(nullptr, {pwbCancel});
        int width = 0;
        QTimer::singleShot(0, &d, [&d, &width] {
            width = d.width();
            d.Buttons[1]->click();
        });
        d.ShowModalPwdDlg(c.caption.toStdString(), "/tmp/a.ace");
        EXPECT_GE(width, 124 * 2 + 35) << c.caption.toStdString();
        EXPECT_EQ(d.height(), 137);
        if (c.capped) {
            EXPECT_NE(d.screen(), nullptr);
            if (d.screen()) {
                EXPECT_LE(width, std::max(124 * 2 + 35, d.screen()->availableGeometry().width() / 2));
            }
        } else {
            // The caption, an icon and three buttons at least a line high each.
            EXPECT_GE(width, fm.horizontalAdvance(c.caption) + 4 * fm.height()) << c.caption.toStdString();
        }
    }
    QApplication::setFont(was, "QMdiSubWindowTitleBar");
}

// A question that names its member and archive has three lines: the dialog grows to show
// them all (the edit and buttons move down with them) and widens for the longest line; a
// name wider than half the screen loses its middle.
TEST(PasswordDlg, ShowsEveryLineOfAQuestionThatNamesItsMember) {
    App();
    for (bool huge : {false, true}) {
        SCOPED_TRACE(huge);
        TPasswordDlg d(nullptr, {pwbCancel});
        const QFontMetrics fm(d.MessageLabel->font());
        QString member = ".jpg";
        while (fm.horizontalAdvance(member) <= (huge ? 4000 : d.MessageLabel->width() + 10)) member.prepend('m');
        int width = 0, height = 0;
        QTimer::singleShot(0, &d, [&d, &width, &height] {
            width = d.width();
            height = d.height();
            d.Buttons[1]->click();
        });
        d.ShowModalPwdDlg("Password", "Enter Password\n" + member.toStdString() + "\nin book.cbz");
        const QStringList lines = d.MessageLabel->text().split('\n');
        ASSERT_EQ(lines.size(), 3);
        EXPECT_EQ(lines[0], "Enter Password");
        EXPECT_EQ(lines[2], "in book.cbz");
        EXPECT_GE(d.MessageLabel->height(), 3 * fm.lineSpacing());
        EXPECT_GE(d.MessageLabel->width(), fm.horizontalAdvance(lines[1]));
        EXPECT_GE(width, d.MessageLabel->x() + d.MessageLabel->width());
        EXPECT_GE(d.PasswordEdit->y(), d.MessageLabel->y() + d.MessageLabel->height());
        EXPECT_GE(d.Buttons[0]->y(), d.PasswordEdit->y() + d.PasswordEdit->height());
        EXPECT_GE(height, d.Buttons[0]->y() + d.Buttons[0]->height());
        EXPECT_GT(height, 137);
        if (huge) {
            EXPECT_NE(lines[1], member) << "elided";
            EXPECT_TRUE(lines[1].endsWith(".jpg"));
            if (d.screen()) {
                EXPECT_LE(width, std::max(124 * 2 + 35, d.screen()->availableGeometry().width() / 2));
            }
        } else {
            EXPECT_EQ(lines[1], member);
        }
    }
}
