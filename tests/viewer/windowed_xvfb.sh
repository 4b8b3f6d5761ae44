#!/usr/bin/env bash
# Windowed mode and help under a real window manager (openbox on Xvfb), as a user meets them:
# W gives a framed window whose title bar is on the screen and whose menu bar can be read;
# File opens its menu; C opens the settings dialog, F1 there shows the help above it and wholly
# on the screen, Esc closes the help and the dialog, and Esc ends the reader whose menu bar was
# used. Usage: windowed_xvfb.sh <vellicor>
# VELLICOR_WINDOWED_SHOTS=folder keeps the screenshots.
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xvfb_prologue.sh" openbox xdotool xwininfo xprop import
"$PY" - "$work" <<'PY'
import sys
from PIL import Image
# A dark page: a menu in the system's light colours stands out from it.
Image.new("RGB", (400, 600), (40, 20, 60)).save(sys.argv[1] + "/page1.bmp")
PY
# Checks a screenshot of the windowed reader: "bar", its menu bar can be read; "menu", so can
# the File menu below it. The client area's place is in client.txt.
cat > "$work/shot.py" <<'PY'
import sys, re
from PIL import Image
d, shot, part = sys.argv[1:4]
t = open(f"{d}/client.txt").read()
cx, cy = (int(re.search(k + r":\s+(-?\d+)", t).group(1)) for k in ("Absolute upper-left X", "Absolute upper-left Y"))
def luminance(box):
    im = Image.open(f"{d}/{shot}").convert("RGB")
    return [(r * 299 + g * 587 + b * 114) // 1000 for r, g, b in im.crop(box).getdata()]
if part == "bar":
    bar = luminance((cx, cy, cx + 250, cy + 18))
    assert max(bar) - min(bar) > 100, f"the menu bar is one colour (luminance {min(bar)}..{max(bar)})"
    assert sum(v > 150 for v in bar) > len(bar) // 2, "the menu bar is not in the system's light colours"
else:
    menu = luminance((cx + 4, cy + 30, cx + 120, cy + 150))
    assert sum(v > 150 for v in menu) > len(menu) // 2, "File opened no menu in the system's colours"
    assert max(menu) - min(menu) > 100, "the File menu's items cannot be read"
PY
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
why="$work/why.txt"
. "$here/xvfb_steps.sh"
start_openbox "$work"
trap 'kill \$wm 2>/dev/null' EXIT
"$exe" "$work/page1.bmp" > "$work/app.log" 2>&1 &
pid=\$!
win=\$(find_window 'page1.bmp') || fail "the reader showed no window"
focus "\$win" || fail "the reader's window did not get the keyboard"
xdotool key w
poll framed "\$win" || fail "W gave no framed window"
# Once the frame is known the reader places it (title bar included) where its bounds say.
placed() {
  settled "\$win" && xwininfo -id "\$(top_of \$win)" > "$work/frame.txt" &&
    awk '/Absolute upper-left X/ {x = \$4} /Absolute upper-left Y/ {y = \$4} END {exit !(x >= 0 && y >= 0)}' "$work/frame.txt"
}
poll placed || fail "the frame stayed off the screen: \$(grep Absolute "$work/frame.txt" | tr -s ' \\n' ' ')"
xwininfo -id "\$win" > "$work/client.txt"
# Painted: the screenshot passes, or its last check says why not.
shot() { import -window root "$work/\$1" && "$PY" "$work/shot.py" "$work" "\$1" "\$2" 2> "$work/shot.err"; }
poll shot windowed.png bar || fail "\$(tail -1 "$work/shot.err")"
# The menu bar lies at the top of the client area: File is its first item.
x=\$(awk '/Absolute upper-left X/ {print \$4}' "$work/client.txt")
y=\$(awk '/Absolute upper-left Y/ {print \$4}' "$work/client.txt")
xdotool mousemove \$((x + 18)) \$((y + 10)) click 1
poll menu_open || fail "clicking File opened no menu"
poll shot menu.png menu || fail "\$(tail -1 "$work/shot.err")"
xdotool key Escape
poll menu_closed || fail "Esc did not close the File menu"
focus "\$win" || fail "the reader did not get the keyboard back"
xdotool key c
dlg=\$(find_window '^Configure\$') || fail "C opened no settings dialog"
focus "\$dlg" || fail "the settings dialog did not get the keyboard"
xdotool key F1
help=\$(find_window 'Vellicor Help') || fail "F1 in the settings dialog showed no help"
poll framed "\$help" || fail "the help got no frame"
poll settled "\$help" || fail "the help did not settle"
# The windows' frames; xwininfo lists the root's children from the top down.
{ echo "dialog \$(top_of \$dlg)"; echo "help \$(top_of \$help)"; } > "$work/frames.txt"
xwininfo -root -children | awk '/^ +0x/ {print \$1}' | while read id; do printf '%d\\n' \$id; done > "$work/stack.txt"
xwininfo -id "\$(top_of \$help)" > "$work/help.txt"
import -window root "$work/help.png"
focus "\$help" || fail "the help did not get the keyboard"
xdotool key Escape
poll no_window 'Vellicor Help' || fail "Esc did not close the help"
# Asked for again, it comes back at the same place.
focus "\$dlg" || fail "the settings dialog did not get the keyboard back"
xdotool key F1
help=\$(find_window 'Vellicor Help') || fail "F1 showed no help the second time"
poll framed "\$help" || fail "the help got no frame the second time"
poll settled "\$help" || fail "the help did not settle the second time"
xwininfo -id "\$(top_of \$help)" > "$work/help2.txt"
# Leave as a user does: Esc closes the help and the dialog, and Esc ends the reader, whose
# menu bar was used above.
focus "\$help" || fail "the help did not get the keyboard the second time"
xdotool key Escape
poll no_window 'Vellicor Help' || fail "Esc did not close the help the second time"
focus "\$dlg" || fail "the settings dialog did not get the keyboard at the end"
xdotool key Escape
poll no_window '^Configure\$' || fail "Esc did not close the settings dialog"
focus "\$win" || fail "the reader did not get the keyboard at the end"
xdotool key Escape
poll ended \$pid || fail "Esc did not end the reader after its menu bar was used"
exit 0
RUN
chmod +x "$work/run.sh"
ok=1; on_xvfb "$work/run.sh" || ok=0
if [ -n "${VELLICOR_WINDOWED_SHOTS:-}" ]; then
  mkdir -p "$VELLICOR_WINDOWED_SHOTS"; cp "$work"/*.png "$VELLICOR_WINDOWED_SHOTS"/ 2>/dev/null || true
fi
if [ "$ok" = 0 ]; then
  echo "FAIL: $(cat "$work/why.txt" 2>/dev/null || echo 'the run stopped without a reason')"
  cat "$work/why.txt.steps" "$work/app.log" 2>/dev/null; exit 1
fi
for f in frame.txt client.txt menu.png help.txt help2.txt; do
  [ -s "$work/$f" ] || { echo "FAIL: the run stopped before it wrote $f"; cat "$work/app.log"; exit 1; }
done
"$PY" - "$work" <<'PY'
import sys, re
d = sys.argv[1]
def geometry(name):
    t = open(f"{d}/{name}").read()
    g = lambda k: int(re.search(k + r":\s+(-?\d+)", t).group(1))
    return g("Absolute upper-left X"), g("Absolute upper-left Y"), g("Width"), g("Height")
sw, sh = 1024, 768
fx, fy, fw, fh = geometry("frame.txt")
cx, cy, cw, ch = geometry("client.txt")
assert fy >= 0 and fx >= 0, f"the frame's top-left {fx},{fy} is off the screen"
assert cy > fy, f"no title bar above the client area (frame top {fy}, client top {cy})"
assert fy + fh <= sh and fx + fw <= sw, f"the frame {fx},{fy} {fw}x{fh} runs off the screen"

try:
    frames = dict(l.split() for l in open(f"{d}/frames.txt"))
except OSError:
    raise SystemExit("FAIL: F1 in the settings dialog showed no help")
stack = [l.strip() for l in open(f"{d}/stack.txt")]
assert frames["help"] in stack and frames["dialog"] in stack, f"frames {frames} not among the root's windows"
assert stack.index(frames["help"]) < stack.index(frames["dialog"]), "the help is under the settings dialog"
hx, hy, hw, hh = geometry("help.txt")
assert hx >= 0 and hy >= 0 and hx + hw <= sw and hy + hh <= sh, f"the help {hx},{hy} {hw}x{hh} is not wholly on the screen"
assert geometry("help2.txt") == (hx, hy, hw, hh), f"shown again, the help moved to {geometry('help2.txt')}"
print("windowed test passed: frame on screen, readable menu bar and menu, help above the dialog, Esc closes it, "
      "Esc ends the reader")
PY
