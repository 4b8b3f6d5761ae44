#include "viewer/ThumbForm.h"

#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>

#include "trace/Trace.h"
#include "viewer/Help.h"

namespace vellicor {

TThumbGrid ThumbGridFor(int ScreenW, int ScreenH, int TW, int TH, int N, int B, int S) {
    TThumbGrid g;
    g.Columns = std::max(1, std::min((ScreenW - S - 1 - 4 * B) / (TW + 1), N));
    g.Rows = (N + g.Columns - 1) / g.Columns;
    g.VisibleRows = std::min(g.Rows, (ScreenH - 1 - 4 * B) / (TH + 1));
    g.ScrollBarNeeded = ScreenH < (TH + 1) * g.Rows + 4 * B + 1;
    g.BoxWidth = (TW + 1) * g.Columns + 5 + (g.ScrollBarNeeded ? S : 0);
    g.BoxHeight = (TH + 1) * std::max(g.VisibleRows, 1) + 5;
    return g;
}

TThumbImage::TThumbImage(TThumbForm* Form, int Tag_, QWidget* Parent) : QLabel(Parent), Tag(Tag_), Form_(Form) {
    setScaledContents(true);
    setAutoFillBackground(true);
}

void TThumbImage::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() == Qt::LeftButton) Form_->ThumbClick(Tag);
}

TThumbForm::TThumbForm(QWidget* Parent) : QDialog(Parent, Qt::FramelessWindowHint | Qt::Dialog) {
    setObjectName("ThumbForm");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    ThumbPanel = new QFrame(this);
    ThumbPanel->setObjectName("ThumbPanel");
    ThumbPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    ThumbPanel->setLineWidth(kBevelWidth);
    layout->addWidget(ThumbPanel);
    auto* inner = new QVBoxLayout(ThumbPanel);
    inner->setContentsMargins(kBevelWidth, kBevelWidth, kBevelWidth, kBevelWidth);
    ThumbScroll = new QScrollArea(ThumbPanel);
    ThumbScroll->setObjectName("ThumbScroll");
    ThumbScroll->viewport()->setStyleSheet("background: black;");  // not the scroll bar: it must stay visible
    ThumbScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ThumbScroll->verticalScrollBar()->setObjectName("ScrollBar");
    ThumbScroll->verticalScrollBar()->setFixedWidth(kScrollBarWidth);  // the width the grid allows for
    ThumbScroll->setFrameStyle(QFrame::NoFrame);
    ThumbScroll->setFocusPolicy(Qt::NoFocus);  // arrow keys move the selection, not the view
    setFocusPolicy(Qt::StrongFocus);
    inner->addWidget(ThumbScroll);
}

void TThumbForm::showEvent(QShowEvent* Event) {
    DisplayThumbs();  // each showing rebuilds the grid from the current list
    QDialog::showEvent(Event);
    setFocus();
}

void TThumbForm::DisplayThumbs() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    const QRect r = s ? s->geometry() : QRect(0, 0, 1024, 768);
    DisplayThumbs(r.width(), r.height());
}

void TThumbForm::DisplayThumbs(int ScreenW, int ScreenH) {
    VTRACE("TThumbForm::DisplayThumbs");
    for (auto* t : Thumbs) delete t;
    Thumbs.clear();
    delete ThumbBox;
    const int tw = ThumbImages ? ThumbImages->Width() : kThumbWidth;
    const int th = ThumbImages ? ThumbImages->Height() : kThumbHeight;
    const int n = std::max(Pages, ThumbImages ? ThumbImages->Count() : 0);
    ThumbCount = n;
    const TThumbGrid g = ThumbGridFor(ScreenW, ScreenH, tw, th, n, kBevelWidth, kScrollBarWidth);
    ThumbBox = new QWidget();
    ThumbBox->setStyleSheet("background: black;");
    ThumbBox->setFixedSize((tw + 1) * g.Columns + 1, (th + 1) * std::max(g.Rows, 1) + 1);
    for (int i = 0; i < n; ++i) {
        auto* img = new TThumbImage(this, i, ThumbBox);
        img->setGeometry((tw + 1) * (i % g.Columns) + 1, (th + 1) * (i / g.Columns) + 1, tw, th);
        if (i < ThumbHints.Count()) img->setToolTip(QString::fromStdString(ThumbHints[i]));
        Thumbs.push_back(img);
        SetImage(i);
    }
    ThumbScroll->setWidget(ThumbBox);
    ThumbScroll->setVerticalScrollBarPolicy(g.ScrollBarNeeded ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    ThumbScroll->setFixedSize(g.BoxWidth, g.BoxHeight);
    // A wheel notch (three steps) moves one row of thumbnails.
    ThumbScroll->verticalScrollBar()->setSingleStep(std::max((th + 1) / 3, 1));
    adjustSize();
    move((ScreenW - width()) / 2, (ScreenH - height()) / 2);
    Highlight(std::clamp(SelectedThumb, 0, std::max(n - 1, 0)));
}

void TThumbForm::SetImage(int Index) {
    TThumbImage* img = Thumbs[static_cast<size_t>(Index)];
    if (ThumbImages && Index < ThumbImages->Count()) {
        const TBitmap b = ThumbImages->Image(Index);
        QImage q(b.Bits(), b.Width(), b.Height(), static_cast<qsizetype>(b.Stride()), QImage::Format_BGR888);
        img->setPixmap(QPixmap::fromImage(q.copy()));
        img->setText(QString());
    } else {
        // Not made yet: a grey box with the page number.
        img->setPixmap(QPixmap());
        img->setAlignment(Qt::AlignCenter);
        img->setText(QString::number(Index + 1));
    }
    SetStyle(Index);
}

void TThumbForm::SetStyle(int Index) {
    TThumbImage* img = Thumbs[static_cast<size_t>(Index)];
    QString style = img->pixmap().isNull() ? "background: #404040; color: #c0c0c0;" : "background: black;";
    // A bright frame shows on dark pages as well as light ones.
    if (Index == Highlighted) style += " border: 3px solid #ffc000;";
    img->setStyleSheet(style);
}

void TThumbForm::RefreshThumbs() {
    for (int i = 0; i < static_cast<int>(Thumbs.size()); ++i)
        if (ThumbImages && i < ThumbImages->Count() && Thumbs[static_cast<size_t>(i)]->pixmap().isNull()) SetImage(i);
}

void TThumbForm::Highlight(int Index) {
    if (Thumbs.empty()) return;
    const int old = Highlighted;
    Highlighted = std::clamp(Index, 0, static_cast<int>(Thumbs.size()) - 1);
    if (old >= 0 && old < static_cast<int>(Thumbs.size())) SetStyle(old);
    SetStyle(Highlighted);
    ThumbScroll->ensureWidgetVisible(Thumbs[static_cast<size_t>(Highlighted)], 0, 0);
}

void TThumbForm::ThumbClick(int Tag) {
    VTRACE("TThumbForm::ThumbClick");
    SelectedThumb = Tag;
    hide();
    done(QDialog::Accepted);
}

void TThumbForm::keyPressEvent(QKeyEvent* Event) {
    const int columns = Thumbs.empty() ? 1 : std::max(1, ThumbBox->width() / (Thumbs[0]->width() + 1));
    switch (Event->key()) {
        case Qt::Key_Escape:
            hide();
            done(QDialog::Rejected);
            return;
        case Qt::Key_F1: ShowHelpContext(kHelpContext); return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (!Thumbs.empty()) ThumbClick(Highlighted);
            return;
        case Qt::Key_Left: Highlight(Highlighted - 1); return;
        case Qt::Key_Right: Highlight(Highlighted + 1); return;
        case Qt::Key_Up: Highlight(Highlighted - columns); return;
        case Qt::Key_Down: Highlight(Highlighted + columns); return;
        case Qt::Key_Home: Highlight(0); return;
        case Qt::Key_End: Highlight(ThumbCount - 1); return;
        default: break;
    }
    Event->accept();
}

}  // namespace vellicor
