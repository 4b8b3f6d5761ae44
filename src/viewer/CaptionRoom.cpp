#include "viewer/CaptionRoom.h"

#include <QApplication>
#include <QFontMetrics>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace vellicor {

int CaptionRoom(const QString& caption, const QWidget* window) {
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    const QFontMetrics fm(font);
    const int buttons = 5 * (fm.height() + 6);  // window icon, three buttons, margins
    int room = fm.horizontalAdvance(caption) + buttons;
    if (const QScreen* screen = window->screen()) room = std::min(room, screen->availableGeometry().width() / 2);
    return room;
}

}  // namespace vellicor
