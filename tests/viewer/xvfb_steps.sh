# Sourced by the scripts that drive the reader on the X server. Each step waits for what the
# server shows (a window, its frame, a menu, a focus change, an ended process) for up to
# STEP_WAIT seconds, polling: a loaded machine makes a run slower, never wrong. A step that
# does not happen ends the run; its reason goes to the file $why for the test to print.
: "${STEP_WAIT:=60}"
: "${why:?the file for the reason of a failure}"
[ -z "${XVFB_STARTED:-}" ] || : > "$XVFB_STARTED"

# Ends the run (and the reader, $pid) with a reason.
fail() {
  echo "$*" >> "$why"
  [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null
  exit 1
}

# Runs a command until it succeeds, for at most STEP_WAIT seconds; the steps and how long
# each took go to $why.steps.
poll() {
  local start=$SECONDS end=$((SECONDS + STEP_WAIT))
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$end" ]; then
      echo "$* failed after $((SECONDS - start)) s" >> "$why.steps"
      return 1
    fi
    sleep 0.1
  done
  echo "$* after $((SECONDS - start)) s" >> "$why.steps"
}

visible_named() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 | grep .; }
# Prints the first visible window whose name matches, once there is one.
find_window() { poll visible_named "$1" && visible_named "$1"; }
no_window() { ! visible_named "$1"; }
viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
# The window manager has put a frame around the window.
framed() { xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | grep -Eq '= .*[1-9]'; }
full_screen() { xprop -id "$1" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_FULLSCREEN; }
# The window is where it was a moment ago, at the same size.
settled() {
  local a b
  a=$(xwininfo -id "$1" 2>/dev/null | grep -E 'Absolute|Width|Height') || return 1
  sleep 0.3
  b=$(xwininfo -id "$1" 2>/dev/null | grep -E 'Absolute|Width|Height') || return 1
  [ "$a" = "$b" ]
}
focused() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }
# Asks for the keyboard focus (through the window manager when there is one) until it is there.
take_focus() {
  focused "$1" && return 0
  xdotool windowactivate "$1" 2>/dev/null || xdotool windowfocus "$1" 2>/dev/null
  sleep 0.2
  focused "$1"
}
focus() { poll take_focus "$1"; }
# A menu of the reader is open: one of its visible windows is not managed by the window manager.
menu_open() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
    xwininfo -id "$w" 2>/dev/null | grep -q 'Override Redirect State: yes' && return 0
  done
  return 1
}
menu_closed() { ! menu_open; }
ended() { ! kill -0 "$1" 2>/dev/null; }
# The caption of the window names a page.
caption_has() { xdotool getwindowname "$1" 2>/dev/null | grep -q "$2"; }

# A window manager runs: openbox, which has put its mark on the root window.
wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
# Starts openbox with its files in the folder $1 and waits until it manages the screen;
# $wm is its process.
start_openbox() {
  XDG_CONFIG_HOME="$1/xdg" XDG_CACHE_HOME="$1/xdg" openbox > "$1/wm.log" 2>&1 &
  wm=$!
  poll wm_up || fail "openbox did not start: $(tail -3 "$1/wm.log")"
}
# The outermost window of a client window: the frame the window manager put around it.
top_of() {
  local w=$1 p r
  while :; do
    p=$(xwininfo -id "$w" -children | awk '/Parent window id/ {print $4}')
    r=$(xwininfo -id "$w" -children | awk '/Root window id/ {print $4}')
    [ "$p" = "$r" ] && break
    w=$p
  done
  printf '%d\n' "$w"
}
