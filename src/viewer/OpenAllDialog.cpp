#include "viewer/OpenAllDialog.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QLineEdit>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QItemSelectionModel>
#include <QListView>
#include <QPainter>
#include <QSet>
#include <QSettings>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "archives/UnArchive.h"
#include "pages/PageBMP.h"
#include "pages/ProcessFiles.h"
#include "platform/Registry.h"
#include "platform/Streams.h"
#include "platform/StringList.h"
#include "pages/Utilsunit.h"
#include "settings/Configuration.h"
#include "trace/Trace.h"
#include "viewer/Help.h"

namespace vellicor {

const char* const TOpenAllDialog::kFilters[3] = {
    "JPeg PNG GIF and Info (*.jpg *.jpeg *.png *.gif *.bmp *.txt *.nfo *.sfv *.md5 *.par)",
    "JPeg PNG GIF Info and Archives (*.jpg *.jpeg *.png *.gif *.bmp *.zip *.cbz *.rar *.cbr *.ace *.cba *.tar *.cbt "
    "*.txt *.nfo *.sfv *.md5 *.par)",
    "JPeg GIF and PNG (*.jpg *.jpeg *.png *.gif *.bmp *.sfv *.md5 *.par)",
};

QRect PreviewRect(int PW, int PH, int BW, int BH) {
    if (PW <= 0 || PH <= 0) return {};
    const int sw = static_cast<int>((static_cast<int64_t>(PW) * BH + PH / 2) / PH);
    if (sw > BW) return {0, 0, sw, BH};
    return {0, 0, BW, static_cast<int>((static_cast<int64_t>(PH) * BW + PW / 2) / PW)};
}

std::string PreviewCandidate(const std::string& Folder, const std::vector<std::pair<std::string, bool>>& Items) {
    bool taken = false;
    std::string candidate;
    for (const auto& [text, selected] : Items) {
        const std::string full = Folder + text;
        const QFileInfo info(QString::fromStdString(full));
        if (!info.exists() || info.isDir()) continue;
        if (IsImageFile(full) || IsArchiveFile(full)) {
            if (!taken) {
                if (candidate.empty() || full < candidate || selected) candidate = full;
            } else if (candidate.empty() && selected) {
                candidate = full;
            }
            if (selected) taken = true;
        } else if (selected && !taken) {
            taken = true;
            candidate.clear();  // a selected info file blocks the preview of unselected images
        }
    }
    return candidate;
}

void KeepQtSettingsAway() {
    VTRACE("KeepQtSettingsAway");
    // Below a file that is no folder: Qt finds nothing there and cannot create it.
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        for (QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
            QSettings::setPath(format, scope, "/dev/null");
}

namespace {

const char kHistoryValue[] = "OpenDialogHistory";
const char kViewModeValue[] = "OpenDialogViewMode";
const char kPlacesWidthValue[] = "OpenDialogPlacesWidth";
constexpr int kHistoryKept = 30;  // the newest folders

// The dialog's base is made after Qt's settings are pointed away: it reads them as it is made.
QWidget* WithoutQtSettings(QWidget* Parent) {
    VTRACE("OpenAllDialog::WithoutQtSettings");
    static const bool away = (KeepQtSettingsAway(), true);
    (void)away;
    return Parent;
}

// Dates as "2026-12-09 20:02": the toolkit's long form ("9 Dec 2026 20:02:20") takes room
// the file names need. Only the text shown changes; the list still sorts by the time itself.
class TShortDateDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* Option, const QModelIndex& Index) const override {
        QStyledItemDelegate::initStyleOption(Option, Index);
        const auto* model = qobject_cast<const QFileSystemModel*>(Index.model());
        if (!model) return;
        const QDateTime time = model->lastModified(Index);
        if (time.isValid()) Option->text = time.toString("yyyy-MM-dd HH:mm");
    }
};

}  // namespace

TPreviewBox::TPreviewBox(TOpenAllDialog* Dialog, QWidget* Parent) : QWidget(Parent), Dialog_(Dialog) {
    setObjectName("PaintBox");
}

void TPreviewBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    const QImage& pic = Dialog_->Picture;
    if (pic.width() > 0) p.drawImage(PreviewRect(pic.width(), pic.height(), width(), height()), pic);
}

TOpenAllDialog::TOpenAllDialog(TProcessFilesForm* Queue, QWidget* Parent)
    : QFileDialog(WithoutQtSettings(Parent)), Queue_(Queue) {
    VTRACE("TOpenAllDialog::TOpenAllDialog");
    setOption(QFileDialog::DontUseNativeDialog, true);
    setFileMode(QFileDialog::ExistingFiles);
    setAcceptMode(QFileDialog::AcceptOpen);
    setNameFilters({kFilters[0], kFilters[1], kFilters[2]});
    setOption(QFileDialog::HideNameFilterDetails, true);  // the filter list shows the descriptions
    setWindowTitle("Open");
    setSizeGripEnabled(true);
    resize(820, 500);
    PicturePanel = new QFrame(this);
    PicturePanel->setObjectName("PicturePanel");
    // As narrow as its frame allows: at the dialog's first size the file names need the room.
    // The layout's spacing already parts it from the list, so no margin on that side.
    PicturePanel->setMinimumHeight(169);
    auto* outer = new QVBoxLayout(PicturePanel);
    outer->setContentsMargins(0, 5, 6, 6);
    PaintPanel = new QFrame(PicturePanel);
    PaintPanel->setObjectName("PaintPanel");
    PaintPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    PaintPanel->setMinimumSize(145, 157);
    auto* inner = new QVBoxLayout(PaintPanel);
    inner->setContentsMargins(2, 2, 2, 2);
    PaintBox = new TPreviewBox(this, PaintPanel);
    PaintBox->setMinimumSize(141, 153);
    inner->addWidget(PaintBox);
    outer->addWidget(PaintPanel);
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) grid->addWidget(PicturePanel, 0, grid->columnCount(), grid->rowCount(), 1);
    if (auto* box = findChild<QDialogButtonBox*>("buttonBox")) {
        HelpButton = box->addButton(QDialogButtonBox::Help);
        HelpButton->setAutoDefault(false);
        connect(box, &QDialogButtonBox::helpRequested, this, [this] { HelpButtonClick(); });
    }
    qApp->installEventFilter(this);
    ChangeTimer = new QTimer(this);
    ChangeTimer->setSingleShot(true);
    ChangeTimer->setInterval(500);
    connect(ChangeTimer, &QTimer::timeout, this, [this] { OnChangeTimer(); });
    connect(this, &QFileDialog::currentChanged, this, [this] { CheckFolderForPictures(); });
    connect(this, &QFileDialog::filesSelected, this, [this] { CheckFolderForPictures(); });
    connect(this, &QFileDialog::filterSelected, this, [this] { CheckFolderForPictures(); });  // the list changed
    if (auto* model = findChild<QFileSystemModel*>()) {
        // Every way of entering a folder (the list, the path box, a typed folder name) sets
        // the model's root. Once the dialog has finished entering it the list shows the
        // folder, the name box is cleared, and the completions of a typed folder are done with.
        connect(model, &QFileSystemModel::rootPathChanged, this, [this] {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    HideCompletion();
                    SelectAll();
                    CheckFolderForPictures();
                },
                Qt::QueuedConnection);
        });
        // The folder's files arrive in the background: select them once they are listed.
        // Only the folder shown: the model also loads folders for completing a typed name.
        connect(model, &QFileSystemModel::directoryLoaded, this, [this](const QString& Path) {
            if (QDir(Path) != directory()) return;
            SelectAll();
            CheckFolderForPictures();
            FitColumns();
        });
        // The types are looked up after the names are listed, and another filter brings in
        // other files: fit again whenever the rows change, once for a burst of changes.
        auto* fit = new QTimer(this);
        fit->setSingleShot(true);
        fit->setInterval(0);
        connect(fit, &QTimer::timeout, this, [this] { FitColumns(); });
        const auto refit = [fit] {
            if (!fit->isActive()) fit->start();
        };
        connect(model, &QAbstractItemModel::dataChanged, fit, refit);
        connect(model, &QAbstractItemModel::rowsInserted, fit, refit);
        connect(model, &QAbstractItemModel::layoutChanged, fit, refit);
        connect(model, &QAbstractItemModel::modelReset, fit, refit);
    }
    if (auto* view = findChild<QListView*>("listView"))
        connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { CheckFolderForPictures(); });
    if (auto* tree = findChild<QTreeView*>("treeView")) {
        QHeaderView* header = tree->header();
        header->setStretchLastSection(false);
        if (header->count() == 4) {
            header->setSectionResizeMode(0, QHeaderView::Stretch);
            header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
            header->setSectionResizeMode(2, QHeaderView::Interactive);
            header->setSectionResizeMode(3, QHeaderView::ResizeToContents);
            tree->setItemDelegateForColumn(3, new TShortDateDelegate(tree));
        }
    }
    RestoreOwnState();
}

void TOpenAllDialog::RestoreOwnState() {
    VTRACE("TOpenAllDialog::RestoreOwnState");
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKeyReadOnly(TConfigureForm::kSettingsKey)) return;
    if (auto history = reg.ReadString(kHistoryValue)) {
        TStringList list;
        list.SetCommaText(*history);
        QStringList folders;
        for (const std::string& f : list)
            if (!f.empty() && f[0] == '/') folders << QString::fromStdString(f);
        setHistory(folders.mid(std::max<qsizetype>(0, folders.size() - kHistoryKept)));
    }
    if (auto mode = reg.ReadInteger(kViewModeValue)) setViewMode(*mode == 1 ? QFileDialog::List : QFileDialog::Detail);
    auto* splitter = findChild<QSplitter*>("splitter");
    auto width = reg.ReadInteger(kPlacesWidthValue);
    if (splitter && splitter->count() == 2 && width && *width >= 0) {
        // As Qt brought back its own: the places at their width, the list at its natural one.
        splitter->setSizes({std::min(*width, 2000), splitter->widget(1)->sizeHint().width()});
    }
}

void TOpenAllDialog::SaveOwnState() {
    VTRACE("TOpenAllDialog::SaveOwnState");
    const QStringList visited = history();
    TStringList list;
    for (const QString& f : visited.mid(std::max<qsizetype>(0, visited.size() - kHistoryKept)))
        list.Add(f.toStdString());
    const std::string folders = list.CommaText();
    const int mode = viewMode() == QFileDialog::List ? 1 : 0;
    auto* splitter = findChild<QSplitter*>("splitter");
    const int width = splitter && splitter->count() == 2 ? splitter->sizes()[0] : -1;
    TRegistry reg(HKEY::CURRENT_USER);
    if (!reg.OpenKey(TConfigureForm::kSettingsKey, true)) return;
    // Written only when changed, in one rewrite of the store.
    TRegistryBatch batch;
    if (reg.ReadString(kHistoryValue) != folders) reg.WriteString(kHistoryValue, folders);
    if (reg.ReadInteger(kViewModeValue) != mode) reg.WriteInteger(kViewModeValue, mode);
    if (width >= 0 && reg.ReadInteger(kPlacesWidthValue) != width) reg.WriteInteger(kPlacesWidthValue, width);
}

void TOpenAllDialog::FitColumns() {
    auto* tree = findChild<QTreeView*>("treeView");
    if (!tree || tree->header()->count() != 4 || !tree->model()) return;
    QHeaderView* header = tree->header();
    // The type whole ("comic book archive (zip container)" included): a cut name still
    // tells its file, a cut type tells nothing. Measured over the whole folder, not only
    // the rows laid out (none while the dialog is hidden): once for each type there is.
    const QAbstractItemModel* model = tree->model();
    const QModelIndex root = tree->rootIndex();
    QSet<QString> seen;
    int type = header->sectionSizeHint(2);
    for (int r = 0; r < model->rowCount(root); ++r) {
        const QModelIndex index = model->index(r, 2, root);
        if (!seen.contains(index.data().toString())) {
            seen.insert(index.data().toString());
            type = std::max(type, tree->sizeHintForIndex(index).width());
        }
    }
    header->resizeSection(2, std::max(type, header->minimumSectionSize()));
}

void TOpenAllDialog::FitPlaces() {
    auto* places = findChild<QListView*>("sidebar");
    auto* splitter = findChild<QSplitter*>("splitter");
    if (!places || !splitter || splitter->count() != 2 || splitter->indexOf(places) != 0) return;
    QList<int> sizes = splitter->sizes();
    const int need = places->sizeHintForColumn(0) + places->width() - places->viewport()->width();
    // Widened only, and only while the list keeps room; a place list closed by hand stays so.
    // Qt brings back the width it had last time, whatever the names need now.
    const int more = need - sizes[0];
    if (sizes[0] == 0 || more <= 0 || sizes[1] - more < sizes[0]) return;
    sizes[0] += more;
    sizes[1] -= more;
    splitter->setSizes(sizes);
}

void TOpenAllDialog::resizeEvent(QResizeEvent* Event) {
    QFileDialog::resizeEvent(Event);
    FitColumns();
}

TOpenAllDialog::~TOpenAllDialog() {
    if (Queue_) Queue_->OnPreviewReady = nullptr;
}

bool TOpenAllDialog::Execute(const std::string& Directory, int& FilterIndex, std::vector<std::string>& Files) {
    VTRACE("TOpenAllDialog::Execute");
    Picture = QImage();
    SavedFileName.clear();
    if (!Directory.empty()) setDirectory(QString::fromStdString(Directory));
    selectNameFilter(kFilters[std::clamp(FilterIndex, 1, 3) - 1]);
    // Each showing starts with no file name; what was typed last time is gone.
    if (auto* name = findChild<QLineEdit*>("fileNameEdit")) name->clear();
    SelectAll();
    const bool ok = exec() == QDialog::Accepted;
    SaveOwnState();
    // A completion list left open would outlive the dialog and hold the reader's input.
    HideCompletion();
    QToolTip::hideText();
    ChangeTimer->stop();
    Picture = QImage();
    SavedFileName.clear();
    if (Queue_) Queue_->OnPreviewReady = nullptr;
    if (!ok) return false;
    if (SelectedFilterIndex() > 0) FilterIndex = SelectedFilterIndex();
    Files.clear();
    for (const QString& f : selectedFiles()) Files.push_back(f.toStdString());
    return true;
}

void TOpenAllDialog::HelpButtonClick() {
    VTRACE("TOpenAllDialog::HelpButtonClick");
    ShowHelpContext(kHelpContext);
}

bool TOpenAllDialog::eventFilter(QObject* Watched, QEvent* Event) {
    // F1 wherever the focus is: the dialog's file name box takes every key it is given.
    if (Event->type() == QEvent::KeyPress && Watched->isWidgetType() &&
        static_cast<QWidget*>(Watched)->window() == this) {
        const auto* key = static_cast<QKeyEvent*>(Event);
        if (key->key() == Qt::Key_F1 && key->modifiers() == Qt::NoModifier) {
            HelpButtonClick();
            return true;
        }
    }
    return QFileDialog::eventFilter(Watched, Event);
}

void TOpenAllDialog::HideCompletion() {
    auto* name = findChild<QLineEdit*>("fileNameEdit");
    if (name && name->completer() && name->completer()->popup()) name->completer()->popup()->hide();
}

int TOpenAllDialog::SelectedFilterIndex() const {
    // With the details hidden the dialog names the filter by its description alone.
    const QString chosen = selectedNameFilter();
    for (int i = 0; i < 3; ++i) {
        const QString f = kFilters[i];
        if (chosen == f || f.startsWith(chosen + " (")) return i + 1;
    }
    return 0;
}

// The dialog lives hidden from start-up, and its model lists folders meanwhile: a preview
// is made only while it is shown (a hidden one would decode a picture nobody sees).
void TOpenAllDialog::CheckFolderForPictures() {
    if (isVisible()) ChangeTimer->start(500);
}

void TOpenAllDialog::showEvent(QShowEvent* Event) {
    QFileDialog::showEvent(Event);
    FitColumns();
    FitPlaces();
    CheckFolderForPictures();
}

void TOpenAllDialog::OnChangeTimer() {
    VTRACE("TOpenAllDialog::OnChangeTimer");
    // A preview being decoded below us lets messages through: look again once it is done.
    if (Previewing_) {
        ChangeTimer->start(500);
        return;
    }
    ChangeTimer->stop();
    std::string folder = directory().absolutePath().toStdString();
    if (folder.empty() || folder.back() != '/') folder += '/';
    QStringList selected;
    for (const QString& f : selectedFiles()) selected << QFileInfo(f).fileName();
    // The files the list shows: those of the chosen filter, in name order.
    const QString filter = SelectedFilterIndex() > 0 ? kFilters[SelectedFilterIndex() - 1] : selectedNameFilter();
    const qsizetype open = filter.lastIndexOf('('), close = filter.lastIndexOf(')');
    QStringList patterns;
    if (open >= 0 && close > open) patterns = filter.mid(open + 1, close - open - 1).split(' ', Qt::SkipEmptyParts);
    std::vector<std::pair<std::string, bool>> items;
    const QDir dir(QString::fromStdString(folder), QString(), QDir::Name | QDir::IgnoreCase, QDir::Files);
    for (const QString& name : dir.entryList(patterns, QDir::Files, QDir::Name | QDir::IgnoreCase))
        items.push_back({name.toStdString(), selected.contains(name)});
    const std::string candidate = PreviewCandidate(folder, items);
    if (candidate != SavedFileName) {
        if (candidate.empty()) {
            Picture = QImage();
            SavedFileName.clear();
        } else if (IsImageFile(candidate)) {
            SavedFileName = candidate;
            // Through the reader's own page decoders, at a reduced scale for large JPEGs.
            TPageBMP page(candidate);
            page.JpegScaleLimit = 2 * std::max({PaintBox->width(), PaintBox->height(), 1});
            TFileStream file;
            if (file.Open(candidate, vellicor::FileMode::OpenRead)) {
                Previewing_ = true;
                page.LoadFromStream(&file);
                Previewing_ = false;
            }
            if (!file.IsOpen() || page.LoadError || page.Empty()) {
                Picture = QImage();  // a corrupt file: no preview, no message
                SavedFileName.clear();
            } else {
                Picture = QImage(page.Bits(), page.Width(), page.Height(), static_cast<qsizetype>(page.Stride()),
                                 QImage::Format_BGR888)
                              .copy();
            }
        } else {
            Picture = QImage();
            SavedFileName = candidate;
            if (Queue_) {
                Queue_->OnPreviewReady = [this](TProcessFilesForm& Sender, std::unique_ptr<TBitmap> Bitmap) {
                    // A preview of an archive that is no longer selected is dropped.
                    if (Sender.PreviewArchive() != SavedFileName || !Bitmap) return;
                    QImage q(Bitmap->Bits(), Bitmap->Width(), Bitmap->Height(), static_cast<qsizetype>(Bitmap->Stride()),
                             QImage::Format_BGR888);
                    PreviewReady(q.copy());
                };
                Queue_->GetPreviewFromArchive(candidate, PaintBox->width(), PaintBox->height());
            }
        }
    }
    PaintBox->update();
}

void TOpenAllDialog::PreviewReady(const QImage& Bitmap) {
    Picture = Bitmap;
    PaintBox->update();
}

void TOpenAllDialog::SelectAll() {
    VTRACE("TOpenAllDialog::SelectAll");
    auto* view = findChild<QListView*>("listView");
    if (!view || !view->model()) return;
    QAbstractItemModel* model = view->model();
    const QModelIndex root = view->rootIndex();
    const std::string folder = directory().absolutePath().toStdString() + "/";
    QItemSelection selection;
    for (int r = 0; r < model->rowCount(root); ++r) {
        const QModelIndex index = model->index(r, 0, root);
        const std::string full = folder + index.data().toString().toStdString();
        const QFileInfo info(QString::fromStdString(full));
        if (!info.exists() || info.isDir()) continue;
        if (IsImageFile(full) || IsInfoFile(full) || IsChecksumFile(full)) selection.select(index, index);
    }
    if (!selection.isEmpty()) view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    // The names now stand in the file name box: typing replaces them, as a typed folder or
    // name should, instead of being added after them.
    if (auto* name = findChild<QLineEdit*>("fileNameEdit")) name->selectAll();
}

}  // namespace vellicor
