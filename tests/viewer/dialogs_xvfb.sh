#!/usr/bin/env bash
# The dialogs under Xvfb, as a user reaches them: a 60-page cbz opens, P shows the thumbnail
# window once its strip is made, F1 there opens the help at its topic, End and Enter go to the
# last page, Shift+P with a typed number goes to that page, and an info file travelling with
# the set is shown first (Windows-1252 text). Usage: dialogs_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
. "$(dirname "$0")/xvfb_prologue.sh" xdotool import zip
"$PY" - "$work" <<'PY'
import sys, os
from PIL import Image, ImageDraw
d = sys.argv[1]
os.makedirs(d + "/pages")
for i in range(1, 61):
    im = Image.new("RGB", (400, 600), ((i * 40) % 256, (i * 90) % 256, 200))
    ImageDraw.Draw(im).rectangle((20, 20, 380, 580), outline=(0, 0, 0), width=6)
    im.save(d + "/pages/p%03d.jpg" % i, quality=80)
with open(d + "/pages/readme.nfo", "wb") as f:
    f.write(b"Caf\xe9 notes\r\n")
PY
(cd "$work/pages" && zip -q -0 ../book.cbz ./*.jpg readme.nfo)
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
"$exe" "$work/book.cbz" > "$work/app.log" 2>&1 &
pid=\$!
# Waits (up to 30 s) for the reader's caption to name a page, then notes the caption.
caption() { for i in \$(seq 1 300); do xdotool getwindowname "\$win" | grep -q "\$1" && break; sleep 0.1; done; xdotool getwindowname "\$win" >> "$work/captions.txt"; }
wait_name() { for i in \$(seq 1 300); do xdotool search --onlyvisible --name "\$1" >/dev/null 2>&1 && return 0; sleep 0.1; done; return 1; }
wait_name 'readme.nfo' && echo info >> "$work/seen.txt"
import -window root "$work/info.png"
xdotool key space; sleep 0.5                       # dismisses the info window
wait_name 'p001.jpg'
win=\$(xdotool search --name 'p001.jpg' | head -1)
xdotool windowfocus --sync "\$win" 2>/dev/null; sleep 0.3
xdotool key p
# The thumbnail window has no title: the reader's other visible window.
other() { for id in \$(xdotool search --onlyvisible --classname vellicor 2>/dev/null); do [ "\$id" != "\$win" ] && echo \$id && return; done; }
for i in \$(seq 1 300); do thumb=\$(other); [ -n "\$thumb" ] && echo thumbs >> "$work/seen.txt" && break; sleep 0.1; done
sleep 0.5
import -window root "$work/thumbs.png"
xdotool key F1
wait_name 'Vellicor Help' && echo help >> "$work/seen.txt"
xdotool windowfocus --sync "\$thumb" 2>/dev/null; sleep 0.2
xdotool key End Return
caption p060.jpg
xdotool windowfocus --sync "\$win" 2>/dev/null
xdotool key shift+p
wait_name 'Go To Page:' && echo goto >> "$work/seen.txt"
xdotool key 2 5 Return
caption p025.jpg
kill \$pid 2>/dev/null
for i in \$(seq 1 50); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
kill -9 \$pid 2>/dev/null
exit 0
RUN
chmod +x "$work/run.sh"
xvfb-run "${xvfb_server[@]}" -s "-screen 0 1024x768x24" "$work/run.sh"
touch "$work/seen.txt" "$work/captions.txt"
grep -q info "$work/seen.txt" || { echo "FAIL: the info file was not shown"; cat "$work/app.log"; exit 1; }
grep -q thumbs "$work/seen.txt" || { echo "FAIL: P opened no thumbnail window"; exit 1; }
grep -q help "$work/seen.txt" || { echo "FAIL: F1 in the thumbnail window opened no help"; exit 1; }
grep -q goto "$work/seen.txt" || { echo "FAIL: Shift+P opened no go-to-page dialog"; exit 1; }
sed -n 1p "$work/captions.txt" | grep -q 'p060.jpg' || { echo "FAIL: End, Enter in the thumbnails: $(cat "$work/captions.txt")"; exit 1; }
sed -n 2p "$work/captions.txt" | grep -q 'p025.jpg' || { echo "FAIL: typing 25 in go-to-page: $(cat "$work/captions.txt")"; exit 1; }
"$PY" - "$work/thumbs.png" <<'PY'
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
# The grid: 6 columns of 157 pixels centred on a 1024-wide screen; thumbnail 1 near its top-left.
colours = {im.getpixel((x, 150)) for x in range(100, 900, 157)}
assert len(colours) >= 4, f"the thumbnail grid is not on screen: {colours}"
print("dialogs test passed: info file, thumbnails with help, go to page")
PY
