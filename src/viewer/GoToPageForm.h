#pragma once
// The go-to-page dialog: a slider with one position per page and the page number, which
// can also be typed.
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

namespace vellicor {

class TGoToPageForm : public QDialog {
    Q_OBJECT
public:
    explicit TGoToPageForm(QWidget* Parent = nullptr);

    int Page = 0;  // zero-based: the current page on entry, the chosen page on OK
    bool FirstKey = true;
    QSlider* GoToPageTrackBar = nullptr;
    QLabel* GoToPageLabel = nullptr;
    QPushButton* OKButton = nullptr;
    QPushButton* CancelButton = nullptr;

    // Prepares the slider for a set of Pages pages.
    void FormActivate(int Pages);
    void GoToPageTrackBarChange();
    void GoToPageOKButtonClick();
    void FormKeyPress(QChar Key);

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
};

}  // namespace vellicor
