#pragma once
// The thumbnail window: every page of the set as a grid of clickable thumbnails sized to the
// screen; returns the page chosen.
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QScrollArea>
#include <vector>

#include "pages/ThumbList.h"
#include "platform/StringList.h"

namespace vellicor {

struct TThumbGrid {
    int Columns = 1, Rows = 0, VisibleRows = 0;
    bool ScrollBarNeeded = false;
    int BoxWidth = 0, BoxHeight = 0;  // the scroll box
};
// The grid for N thumbnails of TW x TH on a screen; B the bevel width, S the scroll bar's.
TThumbGrid ThumbGridFor(int ScreenW, int ScreenH, int TW, int TH, int N, int B = 5, int S = 16);

class TThumbForm;

// One thumbnail; a page whose thumbnail is not made yet shows a placeholder.
class TThumbImage : public QLabel {
    Q_OBJECT
public:
    TThumbImage(TThumbForm* Form, int Tag, QWidget* Parent);
    int Tag;

protected:
    void mousePressEvent(QMouseEvent* Event) override;

private:
    TThumbForm* Form_;
};

class TThumbForm : public QDialog {
    Q_OBJECT
public:
    explicit TThumbForm(QWidget* Parent = nullptr);

    int ThumbCount = 0;
    std::vector<TThumbImage*> Thumbs;
    int SelectedThumb = 0;
    const TImageList* ThumbImages = nullptr;
    TStringList ThumbHints;
    int Pages = 0;        // pages in the set; those beyond ThumbImages get placeholders
    int Highlighted = 0;  // the thumbnail the arrow keys have reached

    QFrame* ThumbPanel = nullptr;
    QScrollArea* ThumbScroll = nullptr;
    QWidget* ThumbBox = nullptr;
    static constexpr int kScrollBarWidth = 16;
    static constexpr int kBevelWidth = 5;
    static constexpr int kHelpContext = 12;

    void DisplayThumbs();
    void DisplayThumbs(int ScreenW, int ScreenH);
    void ThumbClick(int Tag);
    // Takes up thumbnails made since the window was shown.
    void RefreshThumbs();

protected:
    void showEvent(QShowEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    void Highlight(int Index);
    void SetImage(int Index);
    void SetStyle(int Index);
};

}  // namespace vellicor
