#!/usr/bin/env bash
# Windowed mode when the window manager (openbox on Xvfb) frames the window late, as on a
# loaded machine: openbox is held while W is pressed and let go a while later; the reader
# then still places the frame, title bar included, on the screen. Usage: frame_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xvfb_prologue.sh" openbox xdotool xwininfo xprop
"$PY" -c 'import sys; from PIL import Image; Image.new("RGB", (400, 600), (40, 20, 60)).save(sys.argv[1])' "$work/page1.bmp"
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
why="$work/why.txt"
. "$here/xvfb_steps.sh"
start_openbox "$work"
trap 'kill -CONT \$wm 2>/dev/null; kill \$wm 2>/dev/null' EXIT
"$exe" "$work/page1.bmp" > "$work/app.log" 2>&1 &
pid=\$!
win=\$(find_window 'page1.bmp') || fail "the reader showed no window"
focus "\$win" || fail "the reader's window did not get the keyboard"
kill -STOP \$wm
xdotool key w
# Longer than a window manager takes on an idle machine; not a limit the test relies on.
sleep 5
kill -CONT \$wm
poll framed "\$win" || fail "W gave no framed window"
placed() {
  settled "\$win" && xwininfo -id "\$(top_of \$win)" > "$work/frame.txt" &&
    awk '/Absolute upper-left X/ {x = \$4} /Absolute upper-left Y/ {y = \$4} END {exit !(x >= 0 && y >= 0)}' "$work/frame.txt"
}
poll placed || fail "the frame stayed off the screen: \$(grep Absolute "$work/frame.txt" | tr -s ' \\n' ' ')"
focus "\$win" || fail "the windowed reader did not get the keyboard"
xdotool key Escape
poll ended \$pid || fail "Esc did not end the reader"
exit 0
RUN
run_steps
echo "frame test passed: framed late, the window is still placed with its title bar on the screen"
