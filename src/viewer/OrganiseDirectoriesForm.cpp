#include "viewer/OrganiseDirectoriesForm.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/StringList.h"
#include "platform/Text.h"
#include "trace/Trace.h"

namespace vellicor {

namespace {
QToolButton* SpeedButton(const char* caption, const char* hint, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setText(caption);
    b->setToolTip(hint);
    b->setFocusPolicy(Qt::NoFocus);  // the focus stays on the entry it acts on
    return b;
}
std::string Trimmed(const QLineEdit* e) { return e->text().trimmed().toStdString(); }
}  // namespace

TOrganiseDirectoriesForm::TOrganiseDirectoriesForm(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle("Organise Favourite Directories");
    auto* tabs = new QTabWidget(this);
    auto* favTab = new QWidget;
    auto* favGroup = new QGroupBox("Favourite Directories", favTab);
    auto* favForm = new QFormLayout(favGroup);
    for (int i = 0; i < 12; ++i) {
        DirectoryEdit[i] = new QLineEdit(favGroup);
        DirectoryEdit[i]->setObjectName(QString("DirectoryEdit%1").arg(i + 1));
        DirectoryEdit[i]->installEventFilter(this);
        // Typing into the current entry fills or empties it as Clear or Browse would.
        connect(DirectoryEdit[i], &QLineEdit::textEdited, this, [this, i] {
            if (Current == i) DirectoryEditEnter();
        });
        favForm->addRow(QString("Shift-F%1").arg(i + 1), DirectoryEdit[i]);
    }
    UpSpeedButton = SpeedButton("Up", "Move directory up", favTab);
    DownSpeedButton = SpeedButton("Down", "Move directory down", favTab);
    ClearSpeedButton = SpeedButton("Clear", "Clear directory entry", favTab);
    BrowseSpeedButton = SpeedButton("Browse", "Browse for directory", favTab);
    auto* ok = new QPushButton("OK", favTab);
    ok->setDefault(true);  // Enter in an entry is OK
    auto* cancel = new QPushButton("Cancel", favTab);
    auto* favButtons = new QHBoxLayout;
    for (QWidget* w : std::initializer_list<QWidget*>{UpSpeedButton, DownSpeedButton, ClearSpeedButton, BrowseSpeedButton})
        favButtons->addWidget(w);
    favButtons->addStretch();
    favButtons->addWidget(ok);
    favButtons->addWidget(cancel);
    auto* favLayout = new QVBoxLayout(favTab);
    favLayout->addWidget(favGroup);
    favLayout->addLayout(favButtons);
    tabs->addTab(favTab, "Favourite Directories");

    auto* histTab = new QWidget;
    auto* histGroup = new QGroupBox("History", histTab);
    auto* histForm = new QVBoxLayout(histGroup);
    for (int i = 0; i < 12; ++i) {
        HistoryEdit[i] = new QLineEdit(histGroup);
        HistoryEdit[i]->setObjectName(QString("HistoryEdit%1").arg(i + 1));
        histForm->addWidget(HistoryEdit[i]);
    }
    ClearHistorySpeedButton = SpeedButton("Clear", "Clear history", histTab);
    auto* cancel2 = new QPushButton("Cancel", histTab);
    auto* histButtons = new QHBoxLayout;
    histButtons->addWidget(ClearHistorySpeedButton);
    histButtons->addStretch();
    histButtons->addWidget(cancel2);
    auto* histLayout = new QVBoxLayout(histTab);
    histLayout->addWidget(histGroup);
    histLayout->addLayout(histButtons);
    tabs->addTab(histTab, "History");
    (new QVBoxLayout(this))->addWidget(tabs);
    resize(480, 480);

    connect(UpSpeedButton, &QToolButton::clicked, this, [this] { UpSpeedButtonClick(); });
    connect(DownSpeedButton, &QToolButton::clicked, this, [this] { DownSpeedButtonClick(); });
    connect(ClearSpeedButton, &QToolButton::clicked, this, [this] { ClearSpeedButtonClick(); });
    connect(BrowseSpeedButton, &QToolButton::clicked, this, [this] { BrowseSpeedButtonClick(); });
    connect(ClearHistorySpeedButton, &QToolButton::clicked, this, [this] { ClearHistorySpeedButtonClick(); });
    connect(ok, &QPushButton::clicked, this, [this] { OkBitBtnClick(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });
    connect(cancel2, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });
    SelectDirectory = [this](const std::string& start) {
        return QFileDialog::getExistingDirectory(this, QString(), QString::fromStdString(start)).toStdString();
    };
    // The focus elsewhere in the form (History, OK): no current entry.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* Now) {
        if (!Now || Now->window() != this) return;
        if (std::find(DirectoryEdit.begin(), DirectoryEdit.end(), Now) != DirectoryEdit.end()) return;
        Current = -1;
        DirectoryEditEnter();
    });
    DirectoryEditEnter();
}

bool TOrganiseDirectoriesForm::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::FocusIn) {
        for (int i = 0; i < 12; ++i)
            if (Watched == DirectoryEdit[i]) Current = i;
        DirectoryEditEnter();
    }
    return QDialog::eventFilter(Watched, Event);
}

void TOrganiseDirectoriesForm::SetFavouriteDirs(const std::string& CommaText) {
    TStringList l;
    l.SetCommaText(CommaText);
    for (int i = 0; i < 12; ++i) DirectoryEdit[i]->setText(i < l.Count() ? QString::fromStdString(l[i]) : QString());
    // Freshly loaded: an entry is current again only once it has the focus.
    Current = -1;
    for (int i = 0; i < 12; ++i)
        if (DirectoryEdit[i]->hasFocus()) Current = i;
    DirectoryEditEnter();
}

void TOrganiseDirectoriesForm::SetRecentDirs(const std::string& CommaText) {
    TStringList l;
    l.SetCommaText(CommaText);
    for (int i = 0; i < 12; ++i) HistoryEdit[i]->setText(i < l.Count() ? QString::fromStdString(l[i]) : QString());
}

void TOrganiseDirectoriesForm::Exchange(int A, int B) {
    const QString t = DirectoryEdit[A]->text();
    DirectoryEdit[A]->setText(DirectoryEdit[B]->text());
    DirectoryEdit[B]->setText(t);
    Current = B;
    DirectoryEdit[B]->setFocus();
    DirectoryEditEnter();
}

void TOrganiseDirectoriesForm::UpSpeedButtonClick() {
    if (Current > 0) Exchange(Current, Current - 1);
}

void TOrganiseDirectoriesForm::DownSpeedButtonClick() {
    if (Current >= 0 && Current < 11) Exchange(Current, Current + 1);
}

void TOrganiseDirectoriesForm::ClearSpeedButtonClick() {
    if (Current < 0) return;
    DirectoryEdit[Current]->clear();
    ClearSpeedButton->setEnabled(false);
}

void TOrganiseDirectoriesForm::BrowseSpeedButtonClick() {
    if (Current < 0) return;
    std::string start = Trimmed(DirectoryEdit[Current]);
    if (!DirectoryExists(start)) start.clear();  // no particular directory
    const std::string chosen = SelectDirectory ? SelectDirectory(start) : std::string();
    if (!chosen.empty()) DirectoryEdit[Current]->setText(QString::fromStdString(chosen));
    const bool filled = !DirectoryEdit[Current]->text().isEmpty();
    UpSpeedButton->setEnabled(filled);
    DownSpeedButton->setEnabled(filled);
    ClearSpeedButton->setEnabled(filled);
}

void TOrganiseDirectoriesForm::ClearHistorySpeedButtonClick() {
    for (auto* e : HistoryEdit) e->clear();
}

void TOrganiseDirectoriesForm::DirectoryEditEnter() {
    const bool any = Current >= 0;
    const bool filled = any && !DirectoryEdit[Current]->text().isEmpty();
    BrowseSpeedButton->setEnabled(any);
    ClearSpeedButton->setEnabled(filled);
    UpSpeedButton->setEnabled(filled && Current > 0);
    DownSpeedButton->setEnabled(filled && Current < 11);
}

void TOrganiseDirectoriesForm::OkBitBtnClick() {
    VTRACE("TOrganiseDirectoriesForm::OkBitBtnClick");
    TStringList favourites, recent;
    for (auto* e : DirectoryEdit) favourites.Add(Trimmed(e));
    for (auto* e : HistoryEdit)
        if (!Trimmed(e).empty()) recent.Add(Trimmed(e));
    NewFavouriteDirs = favourites.CommaText();
    NewRecentDirs = recent.CommaText();
    done(QDialog::Accepted);
}

}  // namespace vellicor
