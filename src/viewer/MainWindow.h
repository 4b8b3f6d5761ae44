#pragma once
// The reader's main window on Qt: it hosts the display, the page label and the information
// text, owns the timers and forwards every event to TMainDisplayForm.
#include <QLabel>
#include <QMainWindow>
#include <QMargins>
#include <QMenu>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "viewer/Main.h"

class QDialog;

namespace vellicor {

class TConfigureDlg;
class ColourDataForm;
class TConfigureForm;
class TProcessFilesForm;
class MainWindow;

// Paints the back buffer; while a resize settles, the old buffer and a plain fill.
class ImageDisplay : public QWidget {
    Q_OBJECT
public:
    explicit ImageDisplay(MainWindow* owner);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    MainWindow* owner_;
};

class MainWindow : public QMainWindow, public IMainView {
    Q_OBJECT
public:
    MainWindow(TConfigureForm& Config, TProcessFilesForm& Queue, std::vector<std::string> CommandLine);
    ~MainWindow() override;

    TMainDisplayForm& Form() { return *form_; }
    const TBitmap& BackBuffer() const { return form_->BackBuffer(); }
    QLabel* PageLabel() const { return pageLabel_; }
    QLabel* Information() const { return information_; }

    // IMainView
    int ClientWidth() const override;
    int ClientHeight() const override;
    void InvalidateDisplay() override;
    void InvalidateDisplayArea(const TViewRect& Area) override;
    bool PaintPending() const override { return paintPending_; }
    void SetDisplayVisible(bool Visible) override;
    bool DisplayVisible() const override;
    void SetCaption(const std::string& Caption) override;
    void ClearHint() override;
    void SetSmallCursor(bool Small) override;
    void PlacePageLabel(const std::string& Text, int& Left, int& Top) override;
    void ShowPageLabel(bool Black) override;
    void HidePageLabel() override;
    int InformationHeight(const std::string& Text) override;
    void ShowInformation(const std::string& Text, int Left, int Top, bool Visible) override;
    void HideInformation() override;
    void SetInformationVisible(bool Visible) override;
    bool InformationVisible() const override;
    void StartTimer(TMainTimer Timer, int Interval) override;
    void StopTimer(TMainTimer Timer) override;
    bool TimerEnabled(TMainTimer Timer) const override;
    int DoubleClickTime() const override;
    void Minimise() override;
    void Terminate() override;
    bool IsWindowed() const override;
    bool IsMaximised() const override;
    TViewRect WindowBounds() const override;
    TViewRect WorkArea() const override;
    void SetFullScreen() override;
    void SetWindowed(const TViewRect& Bounds, bool Maximised) override;
    void ShowConfigureDialog() override;
    TViewPoint CursorPosition() const override;
    bool KeysBlocked() const override;
    bool ColourDataShowing() const override;
    void SetColourDataShowing(bool Showing) override;
    void ColourDataValues(const TColourSample& Sample) override;

    ColourDataForm* ColourData() const { return colourData_; }
    void CopyToClipboard(const TBitmap& Bitmap) override;
    bool AskSaveFileName(std::string& Name) override;
    void PopupMenuAtCursor() override;

    // The menus (built once; their enabling and the dynamic submenus at each opening).
    QMenu* PopupMenu() const { return popupMenu_; }
    QAction* MenuAction(const QString& Caption) const;
    void PreparePopupMenu();

signals:
    void firstPaint();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void ApplicationStartupComplete();

private:
    friend class ImageDisplay;
    std::unique_ptr<TMainDisplayForm> form_;
    std::unique_ptr<IMainDialogs> dialogs_;
    std::vector<std::string> commandLine_;
    ImageDisplay* display_ = nullptr;
    QLabel* pageLabel_ = nullptr;
    QLabel* information_ = nullptr;
    ColourDataForm* colourData_ = nullptr;
    std::map<TMainTimer, QTimer*> timers_;
    QCursor dotCursor_;
    bool windowed_ = false;
    bool terminating_ = false;
    bool painted_ = false;
    bool paintPending_ = false;  // an update asked for, not painted yet
    bool displayShown_ = false;
    int wheelAccumulated_ = 0;  // angle delta not yet given out as whole notches
    TConfigureForm* config_ = nullptr;
    TConfigureDlg* configureDlg_ = nullptr;  // made when first shown; a child of this window
    // Windowed bounds (frame included) still to be fitted once the frame is known.
    std::optional<TViewRect> frameBounds_;
    QMargins appliedMargins_;
    QTimer* frameTimer_ = nullptr;
    int frameChecks_ = 0;
    void ApplyFrameBounds();
    void FrameMaybeKnown();
    void BuildMenus();
    void RemovePathMenuPopup();
    void ApplyMenuState(bool Popup);
    QMenu* popupMenu_ = nullptr;
    QMenu* historyMenu_ = nullptr;  // "Favourites, Bookmarks and History" of the pop-up
    std::vector<QMenu*> pathMenus_;  // the submenus built at each pop-up
    std::map<QString, std::vector<QAction*>> actions_;  // by caption, pop-up and main menu
};

// The key code of the window's key map for a Qt key; 0 for keys the map does not know.
int VirtualKeyOf(int QtKey, bool Keypad);

}  // namespace vellicor
