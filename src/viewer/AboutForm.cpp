#include "viewer/AboutForm.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>

#include "platform/Version.h"

namespace vellicor {

const char* const TAboutForm::kCredits =
    "Vellicor\n"
    "\n"
    "A reader for sequences of images: scanned comics, magazines and books, one or two pages at a "
    "time, full screen or in a window, from loose files or straight from archives.\n"
    "\n"
    "JPEG pages are decoded with libjpeg; PNG (on zlib), GIF and BMP pages with the program's own "
    "readers. Zip archives are read with zlib and libbz2, rar archives with libarchive, tar and ace archives "
    "with the program's own readers. The windows are built with Qt.\n";

std::string ProgramVersion() { return VELLICOR_VERSION; }

TAboutForm::TAboutForm(const std::string& Version, QWidget* Parent) : QDialog(Parent, Qt::Dialog | Qt::WindowStaysOnTopHint) {
    setWindowTitle("About Vellicor");
    resize(673, 428);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    Memo = new QPlainTextEdit(this);
    Memo->setReadOnly(true);
    QString text = kCredits;
    if (!Version.empty()) {
        const int eol = text.indexOf('\n');
        text.insert(eol < 0 ? text.size() : eol, QString(" - version ") + QString::fromStdString(Version));
    }
    Memo->setPlainText(text);
    layout->addWidget(Memo);
}

void TAboutForm::keyPressEvent(QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Escape) {
        hide();
        done(QDialog::Rejected);
        return;
    }
    QDialog::keyPressEvent(Event);
}

// Centred on the screen, not on the reader's window.
void TAboutForm::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        move(r.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
}

}  // namespace vellicor
