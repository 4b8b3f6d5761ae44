#!/usr/bin/env bash
# The reader keeps its state in its own settings folder: with a home folder of its own, a
# run that opens the open dialog (L), closes it (Esc) and ends (Esc) leaves nothing in the
# home folder (Qt's QtProject.conf among others) and the dialog's folders in the reader's
# store. Usage: qtstate_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/xvfb_prologue.sh" xdotool
mkdir -p "$work/home/.config" "$work/pages"
"$PY" -c 'import sys; from PIL import Image; Image.new("RGB", (400, 600), (40, 90, 60)).save(sys.argv[1])' "$work/pages/page1.bmp"
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
why="$work/why.txt"
. "$here/xvfb_steps.sh"
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" "$exe" "$work/pages/page1.bmp" > "$work/app.log" 2>&1 &
pid=\$!
win=\$(find_window 'page1.bmp') || fail "the reader showed no window"
focus "\$win" || fail "the reader's window did not get the keyboard"
xdotool key l
dialog=\$(find_window '^Open\$') || fail "L opened no open dialog"
focus "\$dialog" || fail "the open dialog did not get the keyboard"
xdotool key Escape
poll no_window '^Open\$' || fail "Esc did not close the open dialog"
focus "\$win" || fail "the reader did not get the keyboard back from the open dialog"
xdotool key Escape
poll ended \$pid || fail "Esc did not end the reader"
left=\$(cd "$work/home" && { find .config -mindepth 1; find . -name 'QtProject*'; })
[ -z "\$left" ] || fail "the run wrote into the home folder: \$left"
grep -q '^"OpenDialogHistory"=".*pages' "$work/config/registry.txt" ||
  fail "the dialog's folders are not in the reader's store: \$(grep OpenDialog "$work/config/registry.txt")"
exit 0
RUN
run_steps
echo "Qt state test passed: the open dialog opened and closed, nothing written outside the settings folder"
