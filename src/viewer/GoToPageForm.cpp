#include "viewer/GoToPageForm.h"

#include <QHBoxLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "trace/Trace.h"

namespace vellicor {

TGoToPageForm::TGoToPageForm(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle("Go To Page:");
    auto* layout = new QHBoxLayout(this);
    GoToPageTrackBar = new QSlider(Qt::Horizontal, this);
    GoToPageTrackBar->setTickPosition(QSlider::TicksBelow);
    GoToPageTrackBar->setTickInterval(1);
    GoToPageTrackBar->setToolTip("Use slider to select a page or type a page number");
    GoToPageLabel = new QLabel(this);
    QFont f = GoToPageLabel->font();
    f.setBold(true);
    f.setPixelSize(16);
    GoToPageLabel->setFont(f);
    GoToPageLabel->setMinimumWidth(50);
    GoToPageLabel->setToolTip("Page number selected");
    OKButton = new QPushButton("OK", this);
    OKButton->setDefault(true);
    OKButton->setToolTip("Press to go to page");
    CancelButton = new QPushButton("Cancel", this);
    CancelButton->setToolTip("Press to cancel go to page function");
    layout->addWidget(GoToPageTrackBar, 1);
    layout->addWidget(GoToPageLabel);
    layout->addWidget(OKButton);
    layout->addWidget(CancelButton);
    resize(600, 46);
    connect(GoToPageTrackBar, &QSlider::valueChanged, this, [this] { GoToPageTrackBarChange(); });
    connect(OKButton, &QPushButton::clicked, this, [this] { GoToPageOKButtonClick(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });
}

void TGoToPageForm::FormActivate(int Pages) {
    VTRACE("TGoToPageForm::FormActivate");
    FirstKey = true;
    GoToPageTrackBar->setRange(0, std::max(Pages - 1, 0));
    GoToPageTrackBar->setValue(Page);
    GoToPageTrackBar->setPageStep(std::max(Pages / 10, 2));
    GoToPageTrackBarChange();
}

void TGoToPageForm::GoToPageTrackBarChange() {
    GoToPageLabel->setText(QString::number(GoToPageTrackBar->value() + 1));
}

void TGoToPageForm::GoToPageOKButtonClick() {
    Page = GoToPageTrackBar->value();
    done(QDialog::Accepted);
}

void TGoToPageForm::FormKeyPress(QChar Key) {
    VTRACE("TGoToPageForm::FormKeyPress");
    const int position = GoToPageTrackBar->value();
    const int max = GoToPageTrackBar->maximum();
    if (Key.isDigit()) {
        const int d = Key.digitValue();
        int64_t n;
        if (FirstKey) {
            FirstKey = false;
            n = d;
        } else {
            n = static_cast<int64_t>(position + 1) * 10 + d;
        }
        const int target = static_cast<int>(std::clamp<int64_t>(n - 1, 0, max));
        if (target == position) GoToPageTrackBarChange();
        GoToPageTrackBar->setValue(target);
    } else if (Key == QChar('\b')) {
        FirstKey = false;
        const int n = (position + 1) / 10;
        GoToPageTrackBar->setValue(std::max(n - 1, 0));
        if (n == 0) {
            FirstKey = true;
            GoToPageLabel->clear();
        }
    }
}

void TGoToPageForm::keyPressEvent(QKeyEvent* Event) {
    const QString text = Event->text();
    if (Event->key() == Qt::Key_Backspace) {
        FormKeyPress(QChar('\b'));
        return;
    }
    if (text.size() == 1 && text[0].isDigit()) {
        FormKeyPress(text[0]);
        return;
    }
    QDialog::keyPressEvent(Event);  // Enter and Escape through the buttons
}

// Centred on the screen, not on the reader's window.
void TGoToPageForm::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        move(r.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
}

}  // namespace vellicor
