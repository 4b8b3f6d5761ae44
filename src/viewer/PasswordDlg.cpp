#include "viewer/PasswordDlg.h"

#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QString>
#include <algorithm>

#include "trace/Trace.h"
#include "viewer/CaptionRoom.h"

namespace vellicor {

namespace {
constexpr int kButtonStep = 124;

struct ButtonKind {
    TPasswordButton which;
    int captionId;
    int modalResult;
};
const ButtonKind kKinds[4] = {
    {pwbOk, PW_Ok, mrOk},
    {pwbCancel, PW_Cancel, mrCancel},
    {pwbCancelAll, PW_CancelAll, mrAll},
    {pwbAbort, PW_Abort, mrAbort},
};
}  // namespace

TPasswordDlg::TPasswordDlg(QWidget* owner, TPasswordButtons buttons) : QDialog(owner) {
    VTRACE("TPasswordDlg::TPasswordDlg");
    buttons.Include(pwbOk);  // OK is always there
    int n = 0;
    for (const auto& k : kKinds) n += buttons.Contains(k.which) ? 1 : 0;

    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    QFont f("Arial");
    f.setPixelSize(12);
    f.setBold(true);
    setFont(f);
    setFixedSize(kButtonStep * n + 35, 137);

    MessageLabel = new QLabel(this);
    MessageLabel->setGeometry(20, 8, 297, 18);

    PasswordEdit = new QLineEdit(this);
    PasswordEdit->setGeometry(20, 40, kButtonStep * n - 10, 21);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    PasswordEdit->setStyleSheet("QLineEdit { lineedit-password-character: 42; }");  // '*'
    PasswordEdit->setMaxLength(80);

    int k = 0;
    for (const auto& kind : kKinds) {
        if (!buttons.Contains(kind.which)) continue;
        auto* b = new QPushButton(QString::fromStdString(TZipComponent::LoadZipStr(kind.captionId, "")), this);
        b->setGeometry(20 + kButtonStep * k, 72, 114, 28);
        int result = kind.modalResult;
        connect(b, &QPushButton::clicked, this, [this, result] { done(result); });
        if (kind.which == pwbOk) {
            b->setDefault(true);
            b->setAutoDefault(true);
        } else {
            b->setAutoDefault(false);
        }
        Buttons[k++] = b;
    }
    PasswordEdit->setFocus();
}

TPasswordDlg::~TPasswordDlg() { VTRACE("TPasswordDlg::~TPasswordDlg"); }

void TPasswordDlg::reject() {
    VTRACE("TPasswordDlg::reject");
    done(mrCancel);
}

std::string TPasswordDlg::ShowModalPwdDlg(const std::string& title, const std::string& message) {
    VTRACE("TPasswordDlg::ShowModalPwdDlg");
    setWindowTitle(QString::fromStdString(title));
    // The message names the member and its archive on lines of their own: the dialog grows
    // by the lines beyond the first, and widens for the longest one up to half the screen
    // (a longer name loses its middle).
    const QFontMetrics fm(MessageLabel->font());
    const int limit = screen() ? screen()->availableGeometry().width() / 2 - 40 : 600;
    QStringList lines = QString::fromStdString(message).split('\n');
    int textWidth = MessageLabel->width();
    for (QString& line : lines) {
        if (fm.horizontalAdvance(line) > limit) line = fm.elidedText(line, Qt::ElideMiddle, limit);
        textWidth = std::max(textWidth, fm.horizontalAdvance(line));
    }
    const int extra = std::max(0, static_cast<int>(lines.size()) * fm.lineSpacing() - MessageLabel->height());
    MessageLabel->setGeometry(MessageLabel->x(), MessageLabel->y(), textWidth, MessageLabel->height() + extra);
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w != MessageLabel && w->y() > MessageLabel->y()) w->move(w->x(), w->y() + extra);
    // The title bar is only as wide as the dialog: the width of two buttons would cut the
    // rar and ace caption short.
    setFixedSize(std::max({width(), CaptionRoom(windowTitle(), this), textWidth + 40}), height() + extra);
    MessageLabel->setText(lines.join('\n'));
    if (exec() == mrOk) return PasswordEdit->text().toStdString();
    return {};
}

int AskPasswordWithDialog(QWidget* owner, const PasswordRequest& request, std::string& password) {
    VTRACE("AskPasswordWithDialog");
    TPasswordDlg dlg(owner, TPasswordButtons::FromBits(static_cast<uint32_t>(request.buttons)));
    password = dlg.ShowModalPwdDlg(request.caption, request.prompt);
    return dlg.result();
}

}  // namespace vellicor
