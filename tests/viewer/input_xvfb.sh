#!/usr/bin/env bash
# Reading with the mouse under Xvfb, as a user would: zoom images on (Ctrl+Z), the glass
# follows the pointer over a fitted page, the colour readout opens with Ctrl+Shift+C, and a
# left double click in the right half turns the page. Usage: input_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
. "$(dirname "$0")/xvfb_prologue.sh" xdotool import
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
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
"$exe" "$work/page1.bmp" "$work/page2.bmp" > "$work/app.log" 2>&1 &
pid=\$!
for i in \$(seq 1 600); do xdotool search --name 'page1.bmp' >/dev/null 2>&1 && break; sleep 0.1; done
win=\$(xdotool search --name 'page1.bmp' | head -1)
sleep 0.5
xdotool windowfocus --sync "\$win" 2>/dev/null; sleep 0.2
xdotool key ctrl+z; sleep 3  # the page and its zoom image are prepared again
xdotool mousemove 450 350; sleep 0.5; import -window root "$work/a.png"
xdotool mousemove 560 420; sleep 0.5; import -window root "$work/b.png"
xdotool key ctrl+shift+c
for i in \$(seq 1 30); do
  xdotool search --onlyvisible --name 'Colour Data' > "$work/readout.txt" 2>/dev/null && break; sleep 0.1
done
xdotool key ctrl+shift+c; sleep 0.3
xdotool key z; sleep 0.3
xdotool mousemove 700 384; sleep 0.2
xdotool click --repeat 2 --delay 60 1
for i in \$(seq 1 30); do
  xdotool getwindowname "\$win" > "$work/caption.txt"; grep -q page2 "$work/caption.txt" && break; sleep 0.1
done
xdotool key Escape
for i in \$(seq 1 100); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
kill \$pid 2>/dev/null
exit 0
RUN
chmod +x "$work/run.sh"
xvfb-run "${xvfb_server[@]}" -s "-screen 0 1024x768x24" "$work/run.sh"
for f in a.png b.png; do [ -f "$work/$f" ] || { echo "FAIL: no screenshot $f"; cat "$work/app.log"; exit 1; }; done
[ -s "$work/readout.txt" ] || { echo "FAIL: the colour readout did not open"; exit 1; }
grep -q 'page2.bmp' "$work/caption.txt" || { echo "FAIL: a double click did not turn the page: $(cat "$work/caption.txt")"; exit 1; }
"$PY" - "$work/a.png" "$work/b.png" <<'PY'
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
print("input test passed: glass follows the pointer, readout opens, double click turns")
PY
