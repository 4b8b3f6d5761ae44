#include "viewer/MainWindow.h"

#include <QCursor>
#include <QDialog>

#include <QApplication>
#include <QBitmap>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QStyleHints>
#include <QUrl>
#include <QWindow>

#include "pages/ProcessFiles.h"
#include "platform/UiServices.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/ConfigureDlg.h"
#include "viewer/ColourDataForm.h"
#include "viewer/MainDialogsQt.h"
#include "viewer/HelpWindow.h"

namespace vellicor {

namespace {

const char* kHint = "Drop some files, right click, press f10.  Press F1 for more help.";

QCursor MakeDotCursor() {
    // A 3x3 dot with a light rim so it shows on dark and light pages.
    QPixmap pm(8, 8);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(Qt::white);
    p.drawRect(2, 2, 3, 3);
    p.fillRect(3, 3, 2, 2, Qt::black);
    p.end();
    return QCursor(pm, 3, 3);
}

TColor SystemColour(TColor c) {
    // The desktop colour and any other system colour: the palette's window colour.
    (void)c;
    QColor q = QApplication::palette().color(QPalette::Window);
    return RGBColor(static_cast<uint8_t>(q.red()), static_cast<uint8_t>(q.green()), static_cast<uint8_t>(q.blue()));
}

}  // namespace

ImageDisplay::ImageDisplay(MainWindow* owner) : QWidget(owner), owner_(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setAutoFillBackground(false);
}

void ImageDisplay::paintEvent(QPaintEvent* event) {
    VTRACE("ImageDisplay::paintEvent");
    owner_->paintPending_ = false;
    QPainter p(this);
    const TBitmap& buf = owner_->BackBuffer();
    int bw = 0, bh = 0;
    if (owner_->displayShown_ && !buf.Empty()) {
        QImage img(buf.Bits(), buf.Width(), buf.Height(), static_cast<qsizetype>(buf.Stride()), QImage::Format_BGR888);
        // Only what needs painting: a moving glass repaints a small part.
        const QRect r = event->rect() & img.rect();
        if (!r.isEmpty()) p.drawImage(r.topLeft(), img, r);
        bw = buf.Width();
        bh = buf.Height();
    }
    // Whatever the buffer does not cover (a larger window before the resize settles).
    if (bw < width()) p.fillRect(bw, 0, width() - bw, height(), Qt::black);
    if (bh < height()) p.fillRect(0, bh, std::min(bw, width()), height() - bh, Qt::black);
    if (!owner_->painted_ && bw > 0) {
        owner_->painted_ = true;
        emit owner_->firstPaint();
    }
}

namespace {

uint32_t HeldButtons(Qt::MouseButtons b) {
    uint32_t held = 0;
    if (b & Qt::LeftButton) held |= mbLeftBit;
    if (b & Qt::MiddleButton) held |= mbMiddleBit;
    if (b & Qt::RightButton) held |= mbRightBit;
    return held;
}

bool ButtonBit(Qt::MouseButton b, TMouseButtonBit& bit) {
    switch (b) {
        case Qt::LeftButton: bit = mbLeftBit; return true;
        case Qt::MiddleButton: bit = mbMiddleBit; return true;
        case Qt::RightButton: bit = mbRightBit; return true;
        default: return false;
    }
}

}  // namespace

void ImageDisplay::mousePressEvent(QMouseEvent* event) {
    TMouseButtonBit bit;
    if (ButtonBit(event->button(), bit)) {
        QPoint p = event->position().toPoint();
        owner_->Form().ImageDisplayMouseDown(bit, p.x(), p.y(), HeldButtons(event->buttons()) | bit);
    }
    event->accept();
}

// The window counts clicks itself: a second press is a press like the first.
void ImageDisplay::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void ImageDisplay::mouseMoveEvent(QMouseEvent* event) {
    QPoint p = event->position().toPoint();
    owner_->Form().ImageDisplayMouseMove(HeldButtons(event->buttons()), p.x(), p.y());
    event->accept();
}

void ImageDisplay::mouseReleaseEvent(QMouseEvent* event) {
    TMouseButtonBit bit;
    if (ButtonBit(event->button(), bit)) {
        QPoint p = event->position().toPoint();
        owner_->Form().ImageDisplayMouseUp(bit, p.x(), p.y());
    }
    event->accept();
}

MainWindow::MainWindow(TConfigureForm& Config, TProcessFilesForm& Queue, std::vector<std::string> CommandLine)
    : commandLine_(std::move(CommandLine)), config_(&Config) {
    VTRACE("MainWindow::MainWindow");
    RequestStop(false);  // a window of its own (tests make several) starts with its work allowed
    setWindowTitle("Vellicor Image Display");
    setAcceptDrops(true);
    setToolTip(kHint);
    SetSystemColourResolver(SystemColour);
    display_ = new ImageDisplay(this);
    setCentralWidget(display_);
    // Only the page area is black: the menu bar and its menus keep the system's colours.
    QPalette pal = display_->palette();
    pal.setColor(QPalette::Window, Qt::black);
    display_->setPalette(pal);

    pageLabel_ = new QLabel(this);
    QFont f = pageLabel_->font();
    f.setBold(true);
    pageLabel_->setFont(f);
    pageLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    pageLabel_->setAttribute(Qt::WA_TranslucentBackground);
    pageLabel_->hide();
    information_ = new QLabel(this);
    // The information box takes the tool-tip colours.
    QPalette infoPal = QApplication::palette();
    infoPal.setColor(QPalette::Window, infoPal.color(QPalette::ToolTipBase));
    infoPal.setColor(QPalette::WindowText, infoPal.color(QPalette::ToolTipText));
    information_->setPalette(infoPal);
    information_->setAutoFillBackground(true);
    information_->setMargin(4);
    information_->hide();
    colourData_ = new ColourDataForm(this);
    // Magnifier, side bands, following and the colour readout see every move.
    setMouseTracking(true);

    for (TMainTimer t : {TMainTimer::Shutdown, TMainTimer::Resize, TMainTimer::PageLabel, TMainTimer::Click,
                         TMainTimer::Slideshow, TMainTimer::HeldFailures}) {
        auto* timer = new QTimer(this);
        timers_[t] = timer;
        // A coarse timer may fire a twentieth of its interval late: the failure's box has a deadline.
        if (t == TMainTimer::HeldFailures) timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, t] { form_->OnTimer(t); });
    }
    dotCursor_ = MakeDotCursor();
    frameTimer_ = new QTimer(this);
    frameTimer_->setInterval(50);
    connect(frameTimer_, &QTimer::timeout, this, [this] {
        FrameMaybeKnown();
        if (!frameBounds_ || ++frameChecks_ >= 60) frameTimer_->stop();
    });
    menuBar()->hide();
    menuBar()->installEventFilter(this);

    form_ = std::make_unique<TMainDisplayForm>(*this, Config, Queue);
    dialogs_ = std::make_unique<TQtMainDialogs>(this, Queue);
    form_->Dialogs = dialogs_.get();
    form_->FormCreate();
    BuildMenus();
    InstallHelpService(this);
    QMetaObject::invokeMethod(this, "ApplicationStartupComplete", Qt::QueuedConnection);
}

MainWindow::~MainWindow() {
    form_->FormDestroy();
    form_.reset();
    SetSystemColourResolver(nullptr);
}

void MainWindow::ApplicationStartupComplete() { form_->ApplicationStartupComplete(commandLine_); }

int MainWindow::ClientWidth() const { return display_->width(); }
int MainWindow::ClientHeight() const { return display_->height(); }
void MainWindow::InvalidateDisplay() {
    VTRACE("MainWindow::InvalidateDisplay");
    paintPending_ = true;
    display_->update();
}
void MainWindow::InvalidateDisplayArea(const TViewRect& Area) {
    VTRACE("MainWindow::InvalidateDisplayArea");
    paintPending_ = true;
    display_->update(Area.Left, Area.Top, Area.Width, Area.Height);
}
// Hiding the display shows the bare window; the widget itself stays so that it keeps
// the size of the client area.
void MainWindow::SetDisplayVisible(bool Visible) {
    VTRACE("MainWindow::SetDisplayVisible");
    if (displayShown_ == Visible) return;
    displayShown_ = Visible;
    paintPending_ = true;
    display_->update();
}
bool MainWindow::DisplayVisible() const { return displayShown_; }
void MainWindow::SetCaption(const std::string& Caption) { setWindowTitle(QString::fromStdString(Caption)); }
void MainWindow::ClearHint() { setToolTip(QString()); }
void MainWindow::SetSmallCursor(bool Small) {
    if (Small) display_->setCursor(dotCursor_);
    else display_->unsetCursor();
}

void MainWindow::PlacePageLabel(const std::string& Text, int& Left, int& Top) {
    pageLabel_->setText(QString::fromStdString(Text));
    pageLabel_->adjustSize();
    QPoint origin = display_->mapTo(this, QPoint(0, 0));
    int x = ClientWidth() - pageLabel_->width() - 8;
    int y = ClientHeight() - pageLabel_->height() - 8;
    pageLabel_->move(origin.x() + x, origin.y() + y);
    Left = x;
    Top = y;
}

void MainWindow::ShowPageLabel(bool Black) {
    QPalette pal = pageLabel_->palette();
    pal.setColor(QPalette::WindowText, Black ? Qt::black : Qt::white);
    pageLabel_->setPalette(pal);
    pageLabel_->show();
    pageLabel_->raise();
}

void MainWindow::HidePageLabel() { pageLabel_->hide(); }

int MainWindow::InformationHeight(const std::string& Text) {
    information_->setText(QString::fromStdString(Text));
    information_->adjustSize();
    return information_->height();
}

void MainWindow::ShowInformation(const std::string& Text, int Left, int Top, bool Visible) {
    information_->setText(QString::fromStdString(Text));
    information_->adjustSize();
    QPoint origin = display_->mapTo(this, QPoint(0, 0));
    information_->move(origin.x() + Left, origin.y() + Top);
    information_->setVisible(Visible);
    if (Visible) information_->raise();
}

void MainWindow::HideInformation() { information_->hide(); }

void MainWindow::SetInformationVisible(bool Visible) {
    information_->setVisible(Visible);
    if (Visible) information_->raise();
}

bool MainWindow::InformationVisible() const { return information_->isVisible(); }

void MainWindow::StartTimer(TMainTimer Timer, int Interval) { timers_[Timer]->start(Interval); }
void MainWindow::StopTimer(TMainTimer Timer) { timers_[Timer]->stop(); }
bool MainWindow::TimerEnabled(TMainTimer Timer) const { return timers_.at(Timer)->isActive(); }
int MainWindow::DoubleClickTime() const {
    int t = QGuiApplication::styleHints()->mouseDoubleClickInterval();
    return t > 0 ? t : 500;
}

void MainWindow::Minimise() { showMinimized(); }

void MainWindow::Terminate() {
    terminating_ = true;
    RequestStop();  // a page in the making (nested below us) stops at its next pass
    QCoreApplication::quit();
}

bool MainWindow::IsWindowed() const { return windowed_; }
bool MainWindow::IsMaximised() const { return isMaximized(); }

// The stored bounds are the frame's, title bar included.
TViewRect MainWindow::WindowBounds() const {
    QRect g = frameGeometry();
    return {g.left(), g.top(), g.width(), g.height()};
}

TViewRect MainWindow::WorkArea() const {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    QRect r = s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
    return {r.left(), r.top(), r.width(), r.height()};
}

void MainWindow::SetFullScreen() {
    windowed_ = false;
    frameBounds_.reset();
    menuBar()->hide();
    // Without a window manager the full-screen state alone does not size the window.
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (s) setGeometry(s->geometry());
    showFullScreen();
}

void MainWindow::SetWindowed(const TViewRect& Bounds, bool Maximised) {
    windowed_ = true;
    showNormal();
    menuBar()->show();
    frameBounds_ = Bounds;
    ApplyFrameBounds();
    // The window manager may frame the window without moving or resizing it: look again
    // for a while until the frame is known.
    frameChecks_ = 0;
    frameTimer_->start();
    if (Maximised) showMaximized();
}

// The bounds are the frame's: the client area is smaller by the frame, and a window moved
// by its position is placed with its frame there. The window manager tells the frame's
// size only once it has framed the window, so the size is set again when it is known.
void MainWindow::ApplyFrameBounds() {
    if (!frameBounds_) return;
    // A copy: the resize below may reset the bounds through FrameMaybeKnown.
    const TViewRect b = *frameBounds_;
    const QMargins m = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    appliedMargins_ = m;
    resize(std::max(1, b.Width - m.left() - m.right()), std::max(1, b.Height - m.top() - m.bottom()));
    // A frame that came late leaves the window's idea of its position stale (the frame where the
    // window itself is meant to go), so that a move there would not be sent: place the frame.
    if (QWindow* w = windowHandle()) w->setFramePosition(QPoint(b.Left, b.Top));
    else move(b.Left, b.Top);
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    FrameMaybeKnown();
}

void MainWindow::FrameMaybeKnown() {
    if (!frameBounds_ || !windowHandle() || isMaximized()) return;
    const QMargins m = windowHandle()->frameMargins();
    if (m.isNull()) return;
    if (m != appliedMargins_) ApplyFrameBounds();
    frameBounds_.reset();
}

void MainWindow::ShowConfigureDialog() {
    VTRACE("MainWindow::ShowConfigureDialog");
    if (!configureDlg_) configureDlg_ = new TConfigureDlg(*config_, this);
    if (configureDlg_->isVisible()) return;
    configureDlg_->show();
    configureDlg_->raise();
    configureDlg_->activateWindow();
}

TViewPoint MainWindow::CursorPosition() const {
    QPoint p = display_->mapFromGlobal(QCursor::pos());
    return {p.x(), p.y()};
}

bool MainWindow::KeysBlocked() const {
    // The settings dialog, the thumbnails and the information box are dialogs; the colour
    // readout is not one.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && w->isVisible() && qobject_cast<QDialog*>(w)) return true;
    return false;
}

bool MainWindow::ColourDataShowing() const { return colourData_->Showing(); }

void MainWindow::SetColourDataShowing(bool Showing) {
    colourData_->SetShowing(Showing);
    if (Showing) colourData_->raise();
}

void MainWindow::ColourDataValues(const TColourSample& Sample) { colourData_->Values(Sample); }

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FrameMaybeKnown();
    if (form_) form_->FormResize();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    form_->FormClose();
    event->accept();
    QCoreApplication::quit();
}

int VirtualKeyOf(int QtKey, bool Keypad) {
    if (QtKey >= Qt::Key_A && QtKey <= Qt::Key_Z) return 'A' + (QtKey - Qt::Key_A);
    if (QtKey >= Qt::Key_F1 && QtKey <= Qt::Key_F12) return vkF1 + (QtKey - Qt::Key_F1);
    switch (QtKey) {
        case Qt::Key_Escape: return vkEscape;
        case Qt::Key_Space: return vkSpace;
        case Qt::Key_PageUp: return vkPrior;
        case Qt::Key_PageDown: return vkNext;
        case Qt::Key_End: return vkEnd;
        case Qt::Key_Home: return vkHome;
        case Qt::Key_Left: return vkLeft;
        case Qt::Key_Up: return vkUp;
        case Qt::Key_Right: return vkRight;
        case Qt::Key_Down: return vkDown;
        case Qt::Key_Menu: return vkApps;
        case Qt::Key_Plus: return Keypad ? vkAdd : 0;
        case Qt::Key_Minus: return Keypad ? vkSubtract : 0;
        default: return 0;
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    Qt::KeyboardModifiers m = event->modifiers();
    int key = VirtualKeyOf(event->key(), (m & Qt::KeypadModifier) != 0);
    if (key == 0) {
        QMainWindow::keyPressEvent(event);
        return;
    }
    form_->HandleKeyPress(key, (m & Qt::ShiftModifier) != 0, (m & Qt::AltModifier) != 0,
                          (m & Qt::ControlModifier) != 0);
    event->accept();
}

// After a menu was closed with Esc, or Alt was pressed alone, the menu bar keeps the keyboard
// (hidden in full screen too, as nothing else here takes focus): it would eat Esc and take
// letters and arrows for its own navigation. While none of its menus is open, the keys of
// the key map are the reader's; taking the focus back ends the bar's keyboard mode.
bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == menuBar() && event->type() == QEvent::KeyPress && !QApplication::activePopupWidget()) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (VirtualKeyOf(key->key(), (key->modifiers() & Qt::KeypadModifier) != 0) != 0) {
            setFocus(Qt::OtherFocusReason);
            keyPressEvent(key);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::wheelEvent(QWheelEvent* event) {
    // A modal window over the reader has the wheel.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != this) {
        event->ignore();
        return;
    }
    // Fine-grained wheels report parts of a notch: give them out in whole notches of 120.
    wheelAccumulated_ += event->angleDelta().y();
    uint32_t held = HeldButtons(event->buttons());
    while (wheelAccumulated_ >= 120 || wheelAccumulated_ <= -120) {
        int notch = wheelAccumulated_ > 0 ? 120 : -120;
        wheelAccumulated_ -= notch;
        form_->MouseWheel(notch, held);
    }
    event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    std::vector<std::string> files;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
    form_->HandleDropFiles(files);
    event->acceptProposedAction();
}

}  // namespace vellicor
