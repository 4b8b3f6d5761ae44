#include "viewer/QtTextRenderer.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

namespace vellicor {

namespace {
QFont FontOfHeight(int height) {
    QFont f;
    f.setPixelSize(height > 0 ? height : 1);
    return f;
}
}  // namespace

QtTextRenderer::QtTextRenderer() { SetTextRenderer(this); }
QtTextRenderer::~QtTextRenderer() { SetTextRenderer(nullptr); }

int QtTextRenderer::TextWidth(const std::string& Text, int FontHeight) {
    return QFontMetrics(FontOfHeight(FontHeight)).horizontalAdvance(QString::fromUtf8(Text.c_str()));
}

void QtTextRenderer::TextOut(TBitmap& Dest, int X, int Y, const std::string& Text, int FontHeight, TColor Color) {
    QImage::Format format;
    switch (Dest.PixelFormat()) {
        case TPixelFormat::pf24bit: format = QImage::Format_BGR888; break;
        case TPixelFormat::pf32bit: format = QImage::Format_RGB32; break;
        default: return;
    }
    if (Dest.Empty()) return;
    // Paints straight into the bitmap's rows; QPainter clips to the image.
    QImage img(Dest.Bits(), Dest.Width(), Dest.Height(), static_cast<qsizetype>(Dest.Stride()), format);
    QPainter p(&img);
    p.setFont(FontOfHeight(FontHeight));
    p.setPen(QColor(GetRValue(Color), GetGValue(Color), GetBValue(Color)));
    QFontMetrics m(p.font());
    p.drawText(X, Y + m.ascent(), QString::fromUtf8(Text.c_str()));
}

}  // namespace vellicor
