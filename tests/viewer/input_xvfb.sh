#!/usr/bin/env bash
# Reading with the mouse under Xvfb, as a user would: zoom images on (Ctrl+Z), the glass
# follows the pointer over a fitted page, the colour readout opens with Ctrl+Shift+C, and a
# left double click in the right half turns the page, and Esc ends the reader.
# Usage: input_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xvfb_prologue.sh" xdotool xwininfo xprop import
"$PY" - "$work" <<'PY'
import sys
from PIL import Image, ImageDraw
d = sys.argv[1]
# A grid page that fits the screen, and a plain second page.
a = Image.new("RGB", (400, 300), (245, 240, 225)); g = ImageDraw.Draw(a)
for i in range(0, 400, 16): g.line((i, 0, i, 300), fill=(30, 30, 120))
for j in range(0, 300, 16): g.line((0, j, 400, j), fill=(150, 30, 30))
a.save(d + "/page1.bmp")
Image.new("RGB", (400, 300), (200, 100, 50)).save(d + "/page2.bmp")
PY
# The glass follows the pointer: the screen changed where the glass was, between the two shots.
cat > "$work/glass.py" <<'PY'
import sys
from PIL import Image, ImageChops
a, b = (Image.open(p).convert("RGB") for p in sys.argv[1:3])
box = ImageChops.difference(a, b).getbbox()
assert box, "the glass did not move with the pointer"
# The page lies at (312, 234)-(712, 534); the glass (a page wide, a sixth of its height tall)
# is centred on the pointer and never leaves the screen.
l, t, r, bt = box
assert t < 350 < bt and t < 420 < bt, f"changed area {box} is not where the glass was"
assert r - l > 300, f"changed area {box} is narrower than the glass"
PY
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
why="$work/why.txt"
. "$here/xvfb_steps.sh"
"$exe" "$work/page1.bmp" "$work/page2.bmp" > "$work/app.log" 2>&1 &
pid=\$!
win=\$(find_window 'page1.bmp') || fail "the reader showed no window"
focus "\$win" || fail "the reader's window did not get the keyboard"
xdotool key ctrl+z
# The page and its zoom image are prepared again; then the glass is drawn where the pointer is.
glass() {
  xdotool mousemove 450 350 && import -window root "$work/a.png" &&
  xdotool mousemove 560 420 && import -window root "$work/b.png" &&
  "$PY" "$work/glass.py" "$work/a.png" "$work/b.png" 2> "$work/glass.err"
}
poll glass || fail "\$(tail -1 "$work/glass.err")"
xdotool key ctrl+shift+c
find_window 'Colour Data' > /dev/null || fail "the colour readout did not open"
focus "\$win" || fail "the reader did not get the keyboard back from the readout"
xdotool key ctrl+shift+c
poll no_window 'Colour Data' || fail "Ctrl+Shift+C did not close the colour readout"
xdotool key z
xdotool mousemove 700 384
xdotool click --repeat 2 --delay 60 1
poll caption_has "\$win" page2.bmp || fail "a double click did not turn the page: \$(xdotool getwindowname "\$win")"
xdotool key Escape
poll ended \$pid || fail "Esc did not end the reader"
exit 0
RUN
run_steps
echo "input test passed: glass follows the pointer, readout opens, double click turns, Esc ends the reader"
