#include "viewer/QtUiServices.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

#include "viewer/CaptionRoom.h"
#include "viewer/PasswordDlg.h"

namespace vellicor {

namespace {
// Swallows tool tips while hints are off.
class HintFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent* e) override { return e->type() == QEvent::ToolTip; }
};
}  // namespace

QtUiServices::QtUiServices() { SetUiServices(this); }

void QtUiServices::SetShowHints(bool show) {
    if (show && hintFilter_) {
        qApp->removeEventFilter(hintFilter_);
        delete hintFilter_;
        hintFilter_ = nullptr;
    } else if (!show && !hintFilter_) {
        hintFilter_ = new HintFilter(qApp);
        qApp->installEventFilter(hintFilter_);
    }
}

QtUiServices::~QtUiServices() {
    if (waitCursor_) QApplication::restoreOverrideCursor();
    SetShowHints(true);
    SetUiServices(nullptr);
}

int QtUiServices::MessageBox(const std::string& caption, const std::string& text, int buttons, TMsgKind kind) {
    QMessageBox box(parent_);
    box.setWindowTitle(QString::fromUtf8(caption.c_str()));
    box.setText(QString::fromUtf8(text.c_str()));
    switch (kind) {
        case TMsgKind::Warning: box.setIcon(QMessageBox::Warning); break;
        case TMsgKind::Error: box.setIcon(QMessageBox::Critical); break;
        case TMsgKind::Question: box.setIcon(QMessageBox::Question); break;
        default: box.setIcon(QMessageBox::Information); break;
    }
    QMessageBox::StandardButtons sb;
    if (buttons & mbYesNoCancel) sb = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    else if (buttons & mbYesNo) sb = QMessageBox::Yes | QMessageBox::No;
    else if (buttons & mbOKCancel) sb = QMessageBox::Ok | QMessageBox::Cancel;
    else if (buttons & mbAbortRetryIgnore) sb = QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    else if (buttons & mbRetryCancel) sb = QMessageBox::Retry | QMessageBox::Cancel;
    else sb = QMessageBox::Ok;
    box.setStandardButtons(sb);
    // The box takes the width its layout needs at least.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(CaptionRoom(box.windowTitle(), &box), 0, QSizePolicy::Fixed, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    // A modal box must show the normal cursor even while the core has the wait cursor on.
    if (waitCursor_) QApplication::setOverrideCursor(Qt::ArrowCursor);
    int r = box.exec();
    if (waitCursor_) QApplication::restoreOverrideCursor();
    switch (r) {
        case QMessageBox::Ok: return mrOk;
        case QMessageBox::Cancel: return mrCancel;
        case QMessageBox::Yes: return mrYes;
        case QMessageBox::No: return mrNo;
        case QMessageBox::Abort: return mrAbort;
        case QMessageBox::Retry: return mrRetry;
        case QMessageBox::Ignore: return mrIgnore;
        default: return (buttons & (mbYesNo | mbYesNoCancel | mbOKCancel | mbRetryCancel)) ? mrCancel : mrOk;
    }
}

int QtUiServices::AskPassword(const PasswordRequest& request, std::string& password) {
    if (passwordHandler) return passwordHandler(request, password);
    return AskPasswordWithDialog(parent_, request, password);
}

void QtUiServices::SetWaitCursor(bool on) {
    if (on == waitCursor_) return;
    waitCursor_ = on;
    if (on) QApplication::setOverrideCursor(Qt::WaitCursor);
    else QApplication::restoreOverrideCursor();
}

// Long operations call this between rows; a pass through the event loop at most every
// 8 ms keeps the window as responsive (well within a frame) at a fraction of the cost.
void QtUiServices::ProcessMessages() {
    constexpr auto kInterval = std::chrono::milliseconds(8);
    if (std::chrono::steady_clock::now() - lastPass_ < kInterval) return;
    QCoreApplication::processEvents();
    lastPass_ = std::chrono::steady_clock::now();
}

}  // namespace vellicor
