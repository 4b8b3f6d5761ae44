#!/usr/bin/env bash
# Starts the reader under Xvfb on generated pages, as a user would, waits until the first
# page is shown (the caption becomes its file name) and painted (the screen's pixels are the
# page's), turns to page 2 and leaves with Esc. Usage: smoke_xvfb.sh <vellicor> [files|cbt|cbz]
set -euo pipefail
exe=$1; mode=${2:-files}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xvfb_prologue.sh" xwininfo xprop xdotool import
"$PY" - "$work" <<'PY'
import sys
from PIL import Image
d = sys.argv[1]
# A light page with a dark square in its middle, and a second page of another colour.
a = Image.new("RGB", (300, 400), (250, 240, 200)); a.paste((20, 30, 160), (100, 150, 200, 250)); a.save(d + "/page1.jpg", quality=95)
b = Image.new("RGB", (300, 400), (200, 60, 60)); b.save(d + "/page2.bmp")
PY
case "$mode" in
  files) open=("$work/page1.jpg" "$work/page2.bmp") ;;
  cbt) tar -cf "$work/book.cbt" -C "$work" page2.bmp page1.jpg; open=("$work/book.cbt") ;;
  cbz) command -v zip >/dev/null || { echo "SKIP: zip missing"; exit 77; }
       (cd "$work" && zip -q book.cbz page2.bmp page1.jpg); open=("$work/book.cbz") ;;
esac
# Full screen, page 1 unscaled and centred: the dark square lies at the screen's centre.
cat > "$work/centre.py" <<'PY'
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
w, h = im.size
def near(p, q, tol=40): return all(abs(a - b) <= tol for a, b in zip(p, q))
centre = im.getpixel((w // 2, h // 2))
paper = im.getpixel((w // 2, h // 2 - 120))
assert near(centre, (20, 30, 160)), f"centre pixel {centre}"
assert near(paper, (250, 240, 200)), f"paper pixel {paper}"
PY
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
why="$work/why.txt"
. "$here/xvfb_steps.sh"
"$exe" ${open[*]} > "$work/app.log" 2>&1 &
pid=\$!
win=\$(find_window 'page1.jpg') || fail "the page was never shown"
xwininfo -root -tree > "$work/tree.txt" 2>&1
# Painted: the screenshot passes, or its last check says why not.
shot() { import -window root "$work/shot.png" && "$PY" "$work/centre.py" "$work/shot.png" 2> "$work/shot.err"; }
poll shot || fail "\$(tail -1 "$work/shot.err")"
# Turn to page 2, then leave with Esc: the reader minimises and ends by itself.
focus "\$win" || fail "the reader's window did not get the keyboard"
xdotool key Next
poll caption_has "\$win" page2.bmp || fail "Page Down did not turn to page 2"
xdotool key Escape
poll ended \$pid || fail "Esc did not end the reader"
exit 0
RUN
run_steps
[ -f "$work/shot.png" ] || { echo "FAIL: no screenshot"; cat "$work/app.log"; exit 1; }
# VELLICOR_SMOKE_SHOT=file keeps the screenshot for a look.
[ -z "${VELLICOR_SMOKE_SHOT:-}" ] || cp "$work/shot.png" "$VELLICOR_SMOKE_SHOT"
grep -q 'page1.jpg' "$work/tree.txt" || { echo "FAIL: the page was never shown"; cat "$work/app.log"; exit 1; }
# The caption is the page's file name and nothing after it.
grep -q 'page1.jpg": (' "$work/tree.txt" || { echo "FAIL: caption is not the file name alone"; grep page1 "$work/tree.txt"; exit 1; }
"$PY" - "$VELLICOR_CONFIG_DIR" <<'PY'
import sys, glob
store = open(glob.glob(sys.argv[1] + "/registry.txt")[0], encoding="latin-1").read() if glob.glob(sys.argv[1] + "/registry.txt") else ""
assert "FitWidthIfOversize" in store and "PageBufferSize" in store, "defaults were not written"
assert '"RecentPages"=dword:00000001' in store, "the current page was not saved on exit"
print("smoke test passed: page shown full screen, defaults stored, page saved on exit")
PY
