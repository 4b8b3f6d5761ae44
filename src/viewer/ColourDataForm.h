#pragma once
// The colour readout: a small tool window that stays on top of the reader and shows the
// pixel under the cursor and its eight neighbours, enlarged, with the centre's values.
#include <QLabel>
#include <QWidget>
#include <array>

#include "viewer/Main.h"

namespace vellicor {

class ColourDataForm : public QWidget {
    Q_OBJECT
public:
    explicit ColourDataForm(QWidget* parent = nullptr);

    bool Showing() const { return showing_; }
    void SetShowing(bool Showing);
    void Values(const TColourSample& Sample);

    // Swatch [row][column], as the sample orders them; for tests.
    QColor SwatchColour(int Row, int Column) const;
    QString Text(const char* Name) const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool showing_ = false;
    std::array<std::array<QLabel*, 3>, 3> swatches_{};
    QLabel *redVal_ = nullptr, *greenVal_ = nullptr, *blueVal_ = nullptr, *xVal_ = nullptr, *yVal_ = nullptr;
};

}  // namespace vellicor
