# Sourced by the Xvfb tests: skips (exit 77) when a tool they need is missing, and sets up
# PY, a real X window platform and a scratch folder with its own settings.
# Usage: . xvfb_prologue.sh tool...
# Debian's python3 carries PIL; another python3 may come first on the PATH.
PY=/usr/bin/python3; [ -x "$PY" ] || PY=python3
for tool in xvfb-run "$@"; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done
"$PY" -c 'import PIL' 2>/dev/null || { echo "SKIP: python3-pil missing"; exit 77; }
# A real window on the X server, whatever platform the other GUI tests use.
export QT_QPA_PLATFORM=xcb
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
export VELLICOR_CONFIG_DIR=$work/config
# VELLICOR_XVFB_SERVERNUM picks the X display number; otherwise the first free one.
if [ -n "${VELLICOR_XVFB_SERVERNUM:-}" ]; then xvfb_server=(-n "$VELLICOR_XVFB_SERVERNUM"); else xvfb_server=(-a); fi
# Runs a script on a fresh X server. Two servers started at the same moment can race for a
# display number and one of them then fails: a run that never started is tried again.
# The script's steps (xvfb_steps.sh) mark the start.
on_xvfb() {
  local rc=1
  for _ in 1 2 3; do
    rm -f "$work/started"
    XVFB_STARTED=$work/started xvfb-run "${xvfb_server[@]}" -s "-screen 0 1024x768x24" "$@" && return 0
    rc=$?
    [ -f "$work/started" ] && break
  done
  [ -f "$work/started" ] || echo "the X server did not start" >> "$work/why.txt"
  return $rc
}
