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
