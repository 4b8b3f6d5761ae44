#pragma once
// The open dialog: the toolkit's own (non-native) file dialog with a preview column showing
// the selected image, or the first page of a selected archive, and a select-all of the
// viewable files whenever the folder changes.
#include <QFileDialog>
#include <QFrame>
#include <QImage>
#include <QPushButton>
#include <QTimer>
#include <string>
#include <utility>
#include <vector>

namespace vellicor {

class TProcessFilesForm;

// The drawing rectangle of a PW x PH picture in a BW x BH box: it covers the whole box at
// its own aspect, from the top-left corner (what lies beyond is cut off).
QRect PreviewRect(int PW, int PH, int BW, int BH);
// The file to preview among the folder's files in list order (name, selected): the first
// selected image or archive; with none selected, the one whose full name sorts first; none
// when the first selected file is neither.
std::string PreviewCandidate(const std::string& Folder, const std::vector<std::pair<std::string, bool>>& Items);

// Qt keeps its dialogs' state in a file of its own outside the reader's settings folder,
// rewritten under a lock at every exit: pointed at a place where nothing can be read or
// made, it writes nothing, and the open dialog keeps its state in the reader's store.
// Before any dialog exists; once is enough.
void KeepQtSettingsAway();

class TOpenAllDialog;

class TPreviewBox : public QWidget {
public:
    explicit TPreviewBox(TOpenAllDialog* Dialog, QWidget* Parent);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    TOpenAllDialog* Dialog_;
};

class TOpenAllDialog : public QFileDialog {
    Q_OBJECT
public:
    TOpenAllDialog(TProcessFilesForm* Queue, QWidget* Parent = nullptr);
    ~TOpenAllDialog() override;

    QImage Picture;
    QFrame* PicturePanel = nullptr;
    QFrame* PaintPanel = nullptr;
    TPreviewBox* PaintBox = nullptr;
    QTimer* ChangeTimer = nullptr;
    QPushButton* HelpButton = nullptr;
    std::string SavedFileName;
    static constexpr int kHelpContext = 5;

    static const char* const kFilters[3];
    // Runs the dialog with filter FilterIndex (1-based) chosen.
    bool Execute(const std::string& Directory, int& FilterIndex, std::vector<std::string>& Files);
    // The filter chosen, 1-based; 0 when it is none of ours.
    int SelectedFilterIndex() const;
    void CheckFolderForPictures();
    void OnChangeTimer();
    void PreviewReady(const QImage& Bitmap);
    void SelectAll();
    void HelpButtonClick();
    void HideCompletion();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void showEvent(QShowEvent* Event) override;

private:
    TProcessFilesForm* Queue_;
    bool Previewing_ = false;  // a loose picture's preview is being decoded
    // The folders visited, the view and the width of the places beside the list, kept in
    // the reader's store (values OpenDialog*), read on creation, written when they changed.
    void RestoreOwnState();
    void SaveOwnState();
    // Size, type and date as wide as they need; the name has the rest.
    void FitColumns();
    // The places beside the list as wide as their names, at each showing.
    void FitPlaces();
};

}  // namespace vellicor
