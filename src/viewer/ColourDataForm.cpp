#include "viewer/ColourDataForm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QCloseEvent>
#include <QVBoxLayout>

#include "trace/Trace.h"

namespace vellicor {

namespace {

constexpr int kSwatchSize = 24;

}  // namespace

ColourDataForm::ColourDataForm(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
    VTRACE("ColourDataForm::ColourDataForm");
    setWindowTitle("Colour Data");
    setToolTip(
        "This window enlarges the pixels and shows the numerical value of the central pixel at the cursor.  "
        "Press X to dismiss.");
    // It follows the cursor over the reader; it must not take the keys from it.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);

    auto* grid = new QGridLayout;
    grid->setSpacing(1);
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) {
            auto* sw = new QLabel(this);
            sw->setObjectName(QString("Colour%1%2").arg(col + 1).arg(row + 1));
            sw->setFixedSize(kSwatchSize, kSwatchSize);
            sw->setAutoFillBackground(true);
            swatches_[row][col] = sw;
            grid->addWidget(sw, row, col);
        }

    auto value = [this](const char* name) {
        auto* l = new QLabel("0", this);
        l->setObjectName(name);
        l->setMinimumWidth(36);
        return l;
    };
    redVal_ = value("RedVal");
    greenVal_ = value("GreenVal");
    blueVal_ = value("BlueVal");
    xVal_ = value("XVal");
    yVal_ = value("YVal");
    auto* values = new QGridLayout;
    const std::pair<const char*, QLabel*> rows[] = {
        {"Red:", redVal_}, {"Green", greenVal_}, {"Blue", blueVal_}, {"X:", xVal_}, {"Y:", yVal_}};
    int r = 0;
    for (const auto& [caption, label] : rows) {
        values->addWidget(new QLabel(caption, this), r, 0);
        values->addWidget(label, r, 1);
        ++r;
    }
    auto* box = new QHBoxLayout(this);
    box->addLayout(grid);
    box->addSpacing(8);
    box->addLayout(values);
    Values(TColourSample{});
}

void ColourDataForm::SetShowing(bool Showing) {
    VTRACE("ColourDataForm::SetShowing");
    showing_ = Showing;
    setVisible(Showing);
}

void ColourDataForm::closeEvent(QCloseEvent* event) {
    // Closed by its own close box: the next switch shows it again.
    showing_ = false;
    QWidget::closeEvent(event);
}

void ColourDataForm::Values(const TColourSample& Sample) {
    redVal_->setText(QString::number(Sample.Red[1][1]));
    greenVal_->setText(QString::number(Sample.Green[1][1]));
    blueVal_->setText(QString::number(Sample.Blue[1][1]));
    xVal_->setText(QString::number(Sample.X));
    yVal_->setText(QString::number(Sample.Y));
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) {
            QPalette pal = swatches_[row][col]->palette();
            pal.setColor(QPalette::Window, QColor(Sample.Red[row][col], Sample.Green[row][col], Sample.Blue[row][col]));
            swatches_[row][col]->setPalette(pal);
        }
}

QColor ColourDataForm::SwatchColour(int Row, int Column) const {
    return swatches_[Row][Column]->palette().color(QPalette::Window);
}

QString ColourDataForm::Text(const char* Name) const {
    auto* l = findChild<QLabel*>(Name);
    return l ? l->text() : QString();
}

}  // namespace vellicor
