#!/usr/bin/env bash
# The dialogs under Xvfb, as a user reaches them: a 60-page cbz opens, P shows the thumbnail
# window once its strip is made, F1 there opens the help at its topic, End and Enter go to the
# last page, Shift+P with a typed number goes to that page, and an info file travelling with
# the set is shown first (Windows-1252 text). Usage: dialogs_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xvfb_prologue.sh" xdotool xwininfo xprop import zip
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
# The grid: 6 columns of 157 pixels centred on a 1024-wide screen; thumbnail 1 near its top-left.
cat > "$work/grid.py" <<'PY'
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
colours = {im.getpixel((x, 150)) for x in range(100, 900, 157)}
assert len(colours) >= 4, f"the thumbnail grid is not on screen: {colours}"
PY
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
why="$work/why.txt"
. "$here/xvfb_steps.sh"
"$exe" "$work/book.cbz" > "$work/app.log" 2>&1 &
pid=\$!
info=\$(find_window 'readme.nfo') || fail "the info file was not shown"
import -window root "$work/info.png"
focus "\$info" || fail "the info window did not get the keyboard"
xdotool key space
poll no_window 'readme.nfo' || fail "Space did not dismiss the info window"
win=\$(find_window 'p001.jpg') || fail "the first page was not shown"
focus "\$win" || fail "the reader's window did not get the keyboard"
xdotool key p
# The thumbnail window has no title: the reader's other visible window.
other() { for id in \$(xdotool search --onlyvisible --classname vellicor 2>/dev/null); do [ "\$id" != "\$win" ] && echo \$id && return 0; done; return 1; }
poll other || fail "P opened no thumbnail window"
thumb=\$(other)
grid() { import -window root "$work/thumbs.png" && "$PY" "$work/grid.py" "$work/thumbs.png" 2> "$work/grid.err"; }
poll grid || fail "\$(tail -1 "$work/grid.err")"
focus "\$thumb" || fail "the thumbnail window did not get the keyboard"
xdotool key F1
find_window 'Vellicor Help' > /dev/null || fail "F1 in the thumbnail window opened no help"
focus "\$thumb" || fail "the thumbnail window did not get the keyboard back"
xdotool key End Return
poll caption_has "\$win" p060.jpg || fail "End, Enter in the thumbnails: \$(xdotool getwindowname "\$win")"
focus "\$win" || fail "the reader did not get the keyboard back from the thumbnails"
xdotool key shift+p
goto=\$(find_window 'Go To Page:') || fail "Shift+P opened no go-to-page dialog"
focus "\$goto" || fail "the go-to-page dialog did not get the keyboard"
xdotool key 2 5 Return
poll caption_has "\$win" p025.jpg || fail "typing 25 in go-to-page: \$(xdotool getwindowname "\$win")"
focus "\$win" || fail "the reader did not get the keyboard back from go-to-page"
xdotool key Escape
poll ended \$pid || fail "Esc did not end the reader"
exit 0
RUN
run_steps
echo "dialogs test passed: info file, thumbnails with help, go to page, Esc ends the reader"
