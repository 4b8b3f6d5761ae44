#!/usr/bin/env bash
# The reader's keys after its menu bar was used, under a window manager (openbox on Xvfb), as
# a user meets them: in windowed mode (W), File clicked and its menu closed with Esc, or Alt
# pressed and released alone, and again back in full screen; then Esc ends the reader.
# Each way is a reader of its own with its own settings. Usage: menukeys_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xvfb_prologue.sh" openbox xdotool xwininfo xprop
"$PY" - "$work" <<'PY'
import sys
from PIL import Image
for i, colour in enumerate([(40, 20, 60), (60, 90, 20)], 1):
    Image.new("RGB", (400, 600), colour).save(f"{sys.argv[1]}/page{i}.bmp")
PY
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
XDG_CONFIG_HOME="$work/xdg" XDG_CACHE_HOME="$work/xdg" openbox > "$work/wm.log" 2>&1 &
wm=\$!
# One way of using the menu bar, in a reader of its own; its reasons go to why-<way>.txt.
way() {
  (
    why="$work/why-\$1.txt"
    . "$here/xvfb_steps.sh"
    poll wm_up || fail "openbox did not start: \$(tail -3 "$work/wm.log")"
    VELLICOR_CONFIG_DIR="$work/config-\$1" "$exe" "$work/page1.bmp" "$work/page2.bmp" > "$work/app-\$1.log" 2>&1 &
    pid=\$!
    win=\$(find_window 'page1.bmp') || fail "the reader showed no window"
    focus "\$win" || fail "the reader's window did not get the keyboard"
    xdotool key w
    poll framed "\$win" || fail "W gave no framed window"
    poll settled "\$win" || fail "the window did not settle"
    focus "\$win" || fail "the windowed reader did not get the keyboard"
    "\$1"
    # Esc as a user ends the reader: it minimises, then ends.
    xdotool key Escape
    poll ended \$pid || fail "Esc did not end the reader"
    echo passed > "$work/passed-\$1.txt"
  )
}
file_menu() {
  x=\$(xwininfo -id "\$win" | awk '/Absolute upper-left X/ {print \$4}')
  y=\$(xwininfo -id "\$win" | awk '/Absolute upper-left Y/ {print \$4}')
  xdotool mousemove \$((x + 18)) \$((y + 10)) click 1
  poll menu_open || fail "clicking File opened no menu"
  xdotool key Escape
  poll menu_closed || fail "Esc did not close the File menu"
}
alt_alone() { xdotool key alt; }
# Back in full screen after the menu was used, and a click on the page between.
full_screen_again() {
  file_menu
  xdotool mousemove \$((x + 100)) \$((y + 200)) click 1
  xdotool key w
  poll full_screen "\$win" || fail "W did not go back to full screen"
  focus "\$win" || fail "the full-screen reader did not get the keyboard"
}
for w in file_menu alt_alone full_screen_again; do way \$w; done
kill \$wm 2>/dev/null
exit 0
RUN
chmod +x "$work/run.sh"
on_xvfb "$work/run.sh" || { echo "FAIL: $(cat "$work/why.txt" 2>/dev/null)"; exit 1; }
failed=0
for w in file_menu alt_alone full_screen_again; do
  [ -f "$work/passed-$w.txt" ] && continue
  failed=1
  echo "FAIL ($w): $(cat "$work/why-$w.txt" 2>/dev/null || echo 'the run stopped without a reason')"
  cat "$work/why-$w.txt.steps" "$work/app-$w.log" 2>/dev/null || true
done
[ "$failed" = 0 ] || exit 1
echo "menu keys test passed: Esc ends the reader after File and Esc, after Alt alone, and back in full screen"
