#!/usr/bin/env bash
# Starts the reader under Xvfb on generated pages, as a user would, waits until the first
# page is shown (the caption becomes its file name), takes a screenshot of the screen and
# compares pixels with the page. Usage: smoke_xvfb.sh <vellicor> [files|cbt|cbz]
set -euo pipefail
exe=$1; mode=${2:-files}
. "$(dirname "$0")/xvfb_prologue.sh" xwininfo import
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
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
"$exe" ${open[*]} > "$work/app.log" 2>&1 &
pid=\$!
for i in \$(seq 1 600); do
  if xwininfo -root -tree 2>/dev/null | grep -q 'page1.jpg'; then break; fi
  sleep 0.1
done
sleep 0.5
import -window root "$work/shot.png"
xwininfo -root -tree > "$work/tree.txt" 2>&1 || true
# Turn to page 2, then leave with Esc: the reader minimises and ends by itself.
if command -v xdotool >/dev/null; then
  win=\$(xdotool search --name 'page1.jpg' | head -1)
  if [ -n "\$win" ]; then
    xdotool windowfocus --sync "\$win" 2>/dev/null; sleep 0.3
    xdotool key Next; sleep 1
    xdotool key Escape
    for i in \$(seq 1 100); do kill -0 \$pid 2>/dev/null || break; sleep 0.1; done
  fi
fi
if kill -0 \$pid 2>/dev/null; then echo still-running > "$work/exit.txt"; kill \$pid; fi
wait \$pid 2>/dev/null
exit 0
RUN
chmod +x "$work/run.sh"
xvfb-run "${xvfb_server[@]}" -s "-screen 0 1024x768x24" "$work/run.sh"
[ -f "$work/shot.png" ] || { echo "FAIL: no screenshot"; cat "$work/app.log"; exit 1; }
# VELLICOR_SMOKE_SHOT=file keeps the screenshot for a look.
[ -z "${VELLICOR_SMOKE_SHOT:-}" ] || cp "$work/shot.png" "$VELLICOR_SMOKE_SHOT"
grep -q 'page1.jpg' "$work/tree.txt" || { echo "FAIL: the page was never shown"; cat "$work/app.log"; exit 1; }
# The caption is the page's file name and nothing after it.
grep -q 'page1.jpg": (' "$work/tree.txt" || { echo "FAIL: caption is not the file name alone"; grep page1 "$work/tree.txt"; exit 1; }
"$PY" - "$work/shot.png" "$VELLICOR_CONFIG_DIR" "$work/exit.txt" <<'PY'
import sys, glob
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
w, h = im.size
def near(p, q, tol=40): return all(abs(a - b) <= tol for a, b in zip(p, q))
# Full screen, page 1 unscaled and centred: the dark square lies at the screen's centre.
centre = im.getpixel((w // 2, h // 2))
paper = im.getpixel((w // 2, h // 2 - 120))
assert near(centre, (20, 30, 160)), f"centre pixel {centre}"
assert near(paper, (250, 240, 200)), f"paper pixel {paper}"
store = open(glob.glob(sys.argv[2] + "/registry.txt")[0], encoding="latin-1").read() if glob.glob(sys.argv[2] + "/registry.txt") else ""
assert "FitWidthIfOversize" in store and "PageBufferSize" in store, "defaults were not written"
import shutil, os
if shutil.which("xdotool"):
    assert not os.path.exists(sys.argv[3]), "Esc did not end the reader"
    assert '"RecentPages"=dword:00000001' in open(sys.argv[2] + "/registry.txt", encoding="latin-1").read(), \
        "the current page was not saved on exit"
print("smoke test passed: page shown full screen, defaults stored, page saved on exit")
PY
