#include "viewer/InfoWindow.h"

#include <QEvent>
#include <algorithm>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>

#include "platform/Text.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"

namespace vellicor {

QString InfoText(const std::string& Bytes) {
    QString text = QString::fromStdString(DecodeTextFile(Bytes));
    text.replace("\r\n", "\n");
    text.replace('\r', '\n');
    text.replace(QChar(0), ' ');  // a stray NUL would end the text on screen
    return text;
}

TQtProcessFilesForm::TQtProcessFilesForm(TConfigureForm& Config)
    : TProcessFilesForm(Config), Window_(new TInfoWindow(*this)) {}

TQtProcessFilesForm::~TQtProcessFilesForm() { delete Window_; }

void TQtProcessFilesForm::ShowInfo(const std::string& Caption, const std::string& Text) {
    VTRACE("TQtProcessFilesForm::ShowInfo");
    auto& c = Config();
    // Stored sizes may be nonsense: keep the window usable and on the screen.
    QSize most(4096, 4096);
    if (QScreen* s = QGuiApplication::primaryScreen()) most = s->availableGeometry().size();
    Window_->resize(std::clamp(c.InfoWidth, 100, std::max(most.width(), 100)),
                    std::clamp(c.InfoHeight, 80, std::max(most.height(), 80)));
    QFont font(QString::fromStdString(c.InfoFont.Name));
    if (c.InfoFont.Size > 0) font.setPointSize(c.InfoFont.Size);
    font.setBold((c.InfoFont.Style & 1) != 0);
    font.setItalic((c.InfoFont.Style & 2) != 0);
    Window_->InfoBox->setFont(font);
    const TColor bg = c.InfoBackgroundColour & 0x80000000u ? 0xFFFFFFu : c.InfoBackgroundColour;
    const TColor fg = c.InfoFont.Color & 0x80000000u ? 0u : c.InfoFont.Color;
    Window_->InfoBox->setStyleSheet(QString("QPlainTextEdit { background: rgb(%1,%2,%3); color: rgb(%4,%5,%6); }")
                                        .arg(GetRValue(bg)).arg(GetGValue(bg)).arg(GetBValue(bg))
                                        .arg(GetRValue(fg)).arg(GetGValue(fg)).arg(GetBValue(fg)));
    Window_->InfoBox->setPlainText(InfoText(Text));
    Window_->setWindowTitle(QString::fromStdString(Caption));
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        Window_->move(r.center() - QPoint(Window_->width() / 2, Window_->height() / 2));
    }
    Window_->show();
    Window_->raise();
    Window_->activateWindow();
}

void TQtProcessFilesForm::HideInfo() {
    if (Window_->isVisible()) Window_->hide();
}

TInfoWindow::TInfoWindow(TQtProcessFilesForm& Queue)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      Queue_(Queue) {
    setObjectName("ProcessFilesForm");
    setToolTip("File Info - double click or press a key to dismiss");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(29, 29, 29, 41);  // the four framing panels
    InfoBox = new QPlainTextEdit(this);
    InfoBox->setObjectName("InfoBox");
    InfoBox->setReadOnly(true);
    InfoBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    InfoBox->setToolTip(toolTip());
    InfoBox->installEventFilter(this);
    InfoBox->viewport()->installEventFilter(this);
    layout->addWidget(InfoBox);
}

bool TInfoWindow::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::MouseButtonDblClick) {
        Queue_.InitiateDisplayInfoFile();
        return true;
    }
    if (Event->type() == QEvent::KeyPress) {
        keyPressEvent(static_cast<QKeyEvent*>(Event));
        return true;
    }
    return QDialog::eventFilter(Watched, Event);
}

void TInfoWindow::keyPressEvent(QKeyEvent* Event) {
    // Any key, modifiers alone excepted.
    switch (Event->key()) {
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_Meta: return;
        default: Queue_.InitiateDisplayInfoFile();
    }
}

void TInfoWindow::mouseDoubleClickEvent(QMouseEvent*) { Queue_.InitiateDisplayInfoFile(); }

void TInfoWindow::hideEvent(QHideEvent* Event) {
    FormHide();
    QDialog::hideEvent(Event);
}

void TInfoWindow::FormHide() {
    auto& c = Queue_.Config();
    if (width() != c.InfoWidth) c.SetInfoWidth(width());
    if (height() != c.InfoHeight) c.SetInfoHeight(height());
}

}  // namespace vellicor
