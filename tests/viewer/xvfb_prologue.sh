# Sourced by the Xvfb tests: skips (exit 77) when a tool they need is missing, and sets up
# PY, a real X window platform and a scratch folder with its own settings.
# Usage: . xvfb_prologue.sh tool...
# Debian's python3 carries PIL; another python3 may come first on the PATH.
PY=/usr/bin/python3; [ -x "$PY" ] || PY=python3
for tool in Xvfb "$@"; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
"$PY" -c 'import PIL' 2>/dev/null || { echo "SKIP: python3-pil missing"; exit 77; }
# A real window on the X server, whatever platform the other GUI tests use.
export QT_QPA_PLATFORM=xcb
work=$(mktemp -d)
export VELLICOR_CONFIG_DIR=$work/config
xvfb_pid=
trap '[ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null; rm -rf "$work"' EXIT
# Runs a script on a fresh X server of its own. The server picks a free display number itself
# (-displayfd), so tests started together never share one and cannot pull the display from
# under each other; VELLICOR_XVFB_SERVERNUM=N asks for :N instead. -noreset: by default the
# server resets when its last client leaves, and a reader started in that moment cannot
# connect (Qt then aborts), which a loaded machine made frequent.
on_xvfb() {
  local display= rc
  rm -f "$work/started" "$work/display"
  if [ -n "${VELLICOR_XVFB_SERVERNUM:-}" ]; then
    Xvfb ":$VELLICOR_XVFB_SERVERNUM" -screen 0 1024x768x24 -nolisten tcp -noreset > "$work/xvfb.log" 2>&1 &
  else
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3> "$work/display" > "$work/xvfb.log" 2>&1 &
  fi
  xvfb_pid=$!
  local end=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$end" ] && kill -0 "$xvfb_pid" 2>/dev/null; do
    if [ -n "${VELLICOR_XVFB_SERVERNUM:-}" ]; then
      [ -S "/tmp/.X11-unix/X$VELLICOR_XVFB_SERVERNUM" ] && display=$VELLICOR_XVFB_SERVERNUM
    else
      display=$(tr -dc 0-9 < "$work/display" 2>/dev/null)
    fi
    [ -n "$display" ] && break
    sleep 0.1
  done
  if [ -z "$display" ]; then
    echo "the X server did not start: $(tail -2 "$work/xvfb.log" | tr '\n' ' ')" >> "$work/why.txt"
    kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; xvfb_pid=
    return 1
  fi
  XVFB_STARTED=$work/started DISPLAY=":$display" "$@"
  rc=$?
  kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; xvfb_pid=
  return $rc
}
# Runs $work/run.sh on its X server; a failed run prints its reason, its steps and the
# reader's log, and ends the test.
run_steps() {
  chmod +x "$work/run.sh"
  if ! on_xvfb "$work/run.sh"; then
    echo "FAIL: $(cat "$work/why.txt" 2>/dev/null || echo 'the run stopped without a reason')"
    cat "$work/why.txt.steps" "$work/app.log" 2>/dev/null
    exit 1
  fi
}
