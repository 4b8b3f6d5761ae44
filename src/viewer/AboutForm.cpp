#include "viewer/AboutForm.h"

#include <QKeyEvent>
#include <QVBoxLayout>

#include "platform/Version.h"

namespace vellicor {

const char* const TAboutForm::kCredits =
    "Vellicor\n"
    "\n"
    "A reader for sequences of images: scanned comics, magazines and books, one or two pages\n"
    "at a time, from loose files or straight from archives.\n"
    "\n"
    "Pages are decoded with libjpeg, zlib and the program's own PNG and GIF readers; archives\n"
    "are read with the program's own readers. The windows are built with Qt.\n";

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

}  // namespace vellicor
