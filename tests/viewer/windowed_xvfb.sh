#!/usr/bin/env bash
# Windowed mode and help under a real window manager (openbox on Xvfb), as a user meets them:
# W gives a framed window whose title bar is on the screen and whose menu bar can be read;
# File opens its menu; C opens the settings dialog, F1 there shows the help above it and wholly
# on the screen, and Esc closes the help. Usage: windowed_xvfb.sh <vellicor>
# VELLICOR_WINDOWED_SHOTS=folder keeps the screenshots.
set -euo pipefail
exe=$1
. "$(dirname "$0")/xvfb_prologue.sh" openbox xdotool xwininfo xprop import
"$PY" - "$work" <<'PY'
import sys
from PIL import Image
# A dark page: a menu in the system's light colours stands out from it.
Image.new("RGB", (400, 600), (40, 20, 60)).save(sys.argv[1] + "/page1.bmp")
PY
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
# openbox keeps its files in the scratch folder.
XDG_CONFIG_HOME="$work/xdg" XDG_CACHE_HOME="$work/xdg" openbox > "$work/wm.log" 2>&1 &
wm=\$!
for i in \$(seq 1 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done
"$exe" "$work/page1.bmp" > "$work/app.log" 2>&1 &
pid=\$!
top_of() { w=\$1; while :; do p=\$(xwininfo -id \$w -children | awk '/Parent window id/ {print \$4}'); r=\$(xwininfo -id \$w -children | awk '/Root window id/ {print \$4}'); [ "\$p" = "\$r" ] && break; w=\$p; done; printf '%d\n' \$w; }
wait_name() { for i in \$(seq 1 300); do xdotool search --onlyvisible --name "\$1" 2>/dev/null | head -1 | grep . && return 0; sleep 0.1; done; return 1; }
win=\$(wait_name 'page1.bmp')
sleep 0.5
xdotool windowactivate --sync "\$win" 2>/dev/null; sleep 0.3
xdotool key w; sleep 2
xwininfo -id "\$(top_of \$win)" > "$work/frame.txt"
xwininfo -id "\$win" > "$work/client.txt"
import -window root "$work/windowed.png"
# The menu bar lies at the top of the client area: File is its first item.
x=\$(awk '/Absolute upper-left X/ {print \$4}' "$work/client.txt")
y=\$(awk '/Absolute upper-left Y/ {print \$4}' "$work/client.txt")
xdotool mousemove \$((x + 18)) \$((y + 10)) click 1; sleep 1
import -window root "$work/menu.png"
xdotool key Escape; sleep 0.5
xdotool windowactivate --sync "\$win" 2>/dev/null; sleep 0.3
xdotool key c
dlg=\$(wait_name '^Configure\$')
sleep 0.5
xdotool windowactivate --sync "\$dlg" 2>/dev/null; sleep 0.3
xdotool key F1
help=\$(wait_name 'Vellicor Help')
sleep 1
# The windows' frames; xwininfo lists the root's children from the top down.
[ -n "\$help" ] && [ -n "\$dlg" ] && { echo "dialog \$(top_of \$dlg)"; echo "help \$(top_of \$help)"; } > "$work/frames.txt"
xwininfo -root -children | awk '/^ +0x/ {print \$1}' | while read id; do printf '%d\n' \$id; done > "$work/stack.txt"
[ -n "\$help" ] && xwininfo -id "\$(top_of \$help)" > "$work/help.txt"
import -window root "$work/help.png"
[ -n "\$help" ] && { xdotool windowactivate --sync "\$help" 2>/dev/null; sleep 0.3; xdotool key Escape; sleep 0.8; }
xdotool search --onlyvisible --name 'Vellicor Help' > "$work/help-after-esc.txt" 2>/dev/null
# Asked for again, it comes back at the same place.
xdotool windowactivate --sync "\$dlg" 2>/dev/null; sleep 0.3
xdotool key F1
help=\$(wait_name 'Vellicor Help')
sleep 1
[ -n "\$help" ] && xwininfo -id "\$(top_of \$help)" > "$work/help2.txt"
kill \$pid 2>/dev/null
for i in \$(seq 1 50); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
kill -9 \$pid 2>/dev/null
kill \$wm 2>/dev/null
exit 0
RUN
chmod +x "$work/run.sh"
xvfb-run "${xvfb_server[@]}" -s "-screen 0 1024x768x24" "$work/run.sh"
if [ -n "${VELLICOR_WINDOWED_SHOTS:-}" ]; then
  mkdir -p "$VELLICOR_WINDOWED_SHOTS"; cp "$work"/*.png "$VELLICOR_WINDOWED_SHOTS"/ 2>/dev/null || true
fi
for f in frame.txt client.txt menu.png; do
  [ -s "$work/$f" ] || { echo "FAIL: no $f"; cat "$work/app.log"; exit 1; }
done
"$PY" - "$work" <<'PY'
import sys, re
from PIL import Image
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

def luminance(im, box):
    return [(r * 299 + g * 587 + b * 114) // 1000 for r, g, b in im.crop(box).getdata()]

plain = Image.open(f"{d}/windowed.png").convert("RGB")
bar = luminance(plain, (cx, cy, cx + 250, cy + 18))
assert max(bar) - min(bar) > 100, f"the menu bar is one colour (luminance {min(bar)}..{max(bar)})"
assert sum(v > 150 for v in bar) > len(bar) // 2, "the menu bar is not in the system's light colours"
menu = luminance(Image.open(f"{d}/menu.png").convert("RGB"), (cx + 4, cy + 30, cx + 120, cy + 150))
assert sum(v > 150 for v in menu) > len(menu) // 2, "File opened no menu in the system's colours"
assert max(menu) - min(menu) > 100, "the File menu's items cannot be read"

try:
    frames = dict(l.split() for l in open(f"{d}/frames.txt"))
except OSError:
    raise SystemExit("FAIL: F1 in the settings dialog showed no help")
stack = [l.strip() for l in open(f"{d}/stack.txt")]
assert frames["help"] in stack and frames["dialog"] in stack, f"frames {frames} not among the root's windows"
assert stack.index(frames["help"]) < stack.index(frames["dialog"]), "the help is under the settings dialog"
hx, hy, hw, hh = geometry("help.txt")
assert hx >= 0 and hy >= 0 and hx + hw <= sw and hy + hh <= sh, f"the help {hx},{hy} {hw}x{hh} is not wholly on the screen"
assert not open(f"{d}/help-after-esc.txt").read().strip(), "Esc did not close the help"
assert geometry("help2.txt") == (hx, hy, hw, hh), f"shown again, the help moved to {geometry('help2.txt')}"
print("windowed test passed: frame on screen, readable menu bar and menu, help above the dialog, Esc closes it")
PY
