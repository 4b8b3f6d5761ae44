#pragma once
// The width a window needs for its whole caption in the window manager's title bar.
#include <QString>

class QWidget;

namespace vellicor {

// A window manager puts the caption in a title bar only as wide as the window, beside its
// icon and buttons: a narrow window would cut its caption short. The width the caption
// needs there, in the title bar's (usually bold) font; at most half the screen, as a window
// wider than that would rather wrap its text.
int CaptionRoom(const QString& caption, const QWidget* window);

}  // namespace vellicor
