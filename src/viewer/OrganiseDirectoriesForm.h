#pragma once
// Edits the twelve favourite directories (Shift+F1..F12) and the recent-directory history.
#include <QDialog>
#include <QLineEdit>
#include <QToolButton>
#include <array>
#include <functional>
#include <string>

namespace vellicor {

class TOrganiseDirectoriesForm : public QDialog {
    Q_OBJECT
public:
    explicit TOrganiseDirectoriesForm(QWidget* Parent = nullptr);

    std::array<QLineEdit*, 12> DirectoryEdit{};
    std::array<QLineEdit*, 12> HistoryEdit{};
    QToolButton *UpSpeedButton = nullptr, *DownSpeedButton = nullptr, *ClearSpeedButton = nullptr,
                *BrowseSpeedButton = nullptr, *ClearHistorySpeedButton = nullptr;
    std::string NewFavouriteDirs;
    std::string NewRecentDirs;
    int Current = -1;  // the favourite entry last entered; -1 none
    // The directory dialog; empty result: cancelled. Replaceable for tests.
    std::function<std::string(const std::string& Start)> SelectDirectory;

    void SetFavouriteDirs(const std::string& CommaText);
    void SetRecentDirs(const std::string& CommaText);
    void UpSpeedButtonClick();
    void DownSpeedButtonClick();
    void ClearSpeedButtonClick();
    void BrowseSpeedButtonClick();
    void ClearHistorySpeedButtonClick();
    void DirectoryEditEnter();
    void OkBitBtnClick();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void Exchange(int A, int B);
};

}  // namespace vellicor
