#!/usr/bin/env bash
# Esc while a large page is being made, under Xvfb as a user would press it: the reader is
# started on one big page, Esc goes 2 s after its window maps, and the time from Esc to the
# end of the process is printed with the peak memory the reader had reached by then. Pages:
# a JPEG of a few hundred bytes whose header claims 65500x65500 (whole, and cut inside its
# data), a genuine 16384x16384 PNG, a 16384x16384 16-bit Adam7 PNG, an 8000x8000 GIF and a
# genuine 8192x8192 BMP, loose and as the page of a cbt and of a stored cbz. Timings are
# printed only; the test fails when the reader is still running 20 s after Esc (the same
# limit for the sanitizer build: nothing after Esc may run on in proportion to the page there
# either), or when it ended by itself before Esc or by a signal.
# Usage: bigpage_xvfb.sh <vellicor>
set -euo pipefail
exe=$1
. "$(dirname "$0")/xvfb_prologue.sh" xdotool
"$PY" - "$work" <<'PY'
import io, struct, sys, zlib
from PIL import Image
d = sys.argv[1]
# A 16x16 baseline JPEG whose frame header is made to claim 65500 x 65500.
buf = io.BytesIO(); Image.new("RGB", (16, 16), (200, 120, 40)).save(buf, "JPEG", quality=50)
j = bytearray(buf.getvalue()); sof = j.index(b"\xff\xc0")
j[sof + 5:sof + 9] = struct.pack(">HH", 65500, 65500)
open(d + "/claims.jpg", "wb").write(j)
open(d + "/claims-cut.jpg", "wb").write(j[:j.index(b"\xff\xda") + 20])
# 16384 x 16384 RGB: a gentle pattern, deflated a row at a time.
w = h = 16384
def chunk(name, data):
    return struct.pack(">I", len(data)) + name + data + struct.pack(">I", zlib.crc32(name + data) & 0xFFFFFFFF)
z = zlib.compressobj(6); idat = []
base = bytes((x * 3 // 64) & 255 for x in range(w * 3))
for y in range(h):
    idat.append(z.compress(b"\x00" + (base if (y // 512) % 2 == 0 else base[::-1])))
idat.append(z.flush())
with open(d + "/big.png", "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
    f.write(chunk(b"IDAT", b"".join(idat)) + chunk(b"IEND", b""))
# 16384 x 16384, 16 bits a sample, Adam7. Each row is deflated on its own behind a full flush,
# so a pass's rows share one piece of deflate data: made in a second, not a minute.
w = h = 16384
ramp = b"".join(struct.pack(">H", (x % 96) * 683) for x in range(w * 3))
z = zlib.compressobj(1); data = [z.compress(b"")]; adler = 1
for sc, sr, cs, rs in ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)):
    row = b"\x00" + ramp[:(w - sc + cs - 1) // cs * 6]
    piece = z.compress(row) + z.flush(zlib.Z_FULL_FLUSH)
    rows = (h - sr + rs - 1) // rs
    data.append(piece + (z.compress(row) + z.flush(zlib.Z_FULL_FLUSH)) * (rows - 1))
    for _ in range(rows): adler = zlib.adler32(row, adler)
data.append(b"\x03\x00" + struct.pack(">I", adler))  # an empty last block, then the check
with open(d + "/big16.png", "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 16, 2, 0, 0, 1)))
    f.write(chunk(b"IDAT", b"".join(data)) + chunk(b"IEND", b""))
# 8000 x 8000 GIF: a grey ramp.
Image.linear_gradient("L").resize((8000, 8000)).convert("P").save(d + "/big.gif")
# 8192 x 8192 24-bit BMP, bottom-up.
w = h = 8192; row = bytes((x * 7) & 255 for x in range(w * 3))
with open(d + "/big.bmp", "wb") as f:
    f.write(b"BM" + struct.pack("<IHHI", 54 + w * h * 3, 0, 0, 54))
    f.write(struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, w * h * 3, 2835, 2835, 0, 0))
    for y in range(h): f.write(row)
# The same BMP as the page of a cbt and of a stored cbz: members read in pieces.
import tarfile, zipfile
with tarfile.open(d + "/big.cbt", "w", format=tarfile.USTAR_FORMAT) as t:
    t.add(d + "/big.bmp", arcname="big.bmp")
with zipfile.ZipFile(d + "/big.cbz", "w", zipfile.ZIP_STORED) as z:
    z.write(d + "/big.bmp", "big.bmp")
PY
# On disk before the reader starts: its settings are synced when it ends, which would
# otherwise wait for the 200 MB just written.
sync "$work"/claims.jpg "$work"/claims-cut.jpg "$work"/big.png "$work"/big16.png "$work"/big.gif "$work"/big.bmp \
  "$work"/big.cbt "$work"/big.cbz
cat > "$work/run.sh" <<RUN
#!/usr/bin/env bash
set -u
ms() { echo \$(( \$(date +%s%N) / 1000000 )); }
for page in claims.jpg claims-cut.jpg big.png big16.png big.gif big.bmp big.cbt big.cbz; do
  "$exe" "$work/\$page" > "$work/app-\$page.log" 2>&1 &
  pid=\$!
  win=
  for i in \$(seq 1 600); do
    win=\$(xdotool search --onlyvisible --pid \$pid 2>/dev/null | head -1)
    [ -n "\$win" ] && break
    sleep 0.05
  done
  sleep 2
  peak=\$(awk '/VmHWM/ {print int(\$2 / 1024)}' /proc/\$pid/status 2>/dev/null)
  # A reader that ended by itself (a crash) has nothing left to answer Esc: that fails.
  state=\$(awk '/^State:/ {print \$2}' /proc/\$pid/status 2>/dev/null)
  if [ -z "\$state" ] || [ "\$state" = Z ]; then
    wait \$pid 2>/dev/null; rc=\$?
    echo "\$page ended-before-Esc (exit status \$rc)" | tee -a "$work/results.txt"
    tail -20 "$work/app-\$page.log"
    continue
  fi
  [ -n "\$win" ] && xdotool windowfocus "\$win" 2>/dev/null
  start=\$(ms)
  xdotool key Escape
  gone=
  while :; do
    # An ended child stays a zombie until it is waited for: that counts as gone.
    state=\$(awk '/^State:/ {print \$2}' /proc/\$pid/status 2>/dev/null)
    if [ -z "\$state" ] || [ "\$state" = Z ]; then gone=yes; break; fi
    now=\$(awk '/VmHWM/ {print int(\$2 / 1024)}' /proc/\$pid/status 2>/dev/null)
    [ -n "\$now" ] && peak=\$now
    [ \$(( \$(ms) - start )) -gt 20000 ] && break
    sleep 0.02
  done
  took=\$(( \$(ms) - start ))
  if [ -z "\$gone" ]; then kill \$pid 2>/dev/null; echo "\$page still-running" >> "$work/results.txt"; fi
  wait \$pid 2>/dev/null; rc=\$?
  # Killed by a signal of its own (not ours, sent only when it was still running): a crash.
  if [ -n "\$gone" ] && [ \$rc -gt 128 ]; then
    echo "\$page crashed-on-Esc (exit status \$rc)" | tee -a "$work/results.txt"
    tail -20 "$work/app-\$page.log"
  fi
  printf '%-16s %9d bytes: Esc to exit %d.%03d s, peak %5s MB\n' "\$page" "\$(stat -c %s "$work/\$page")" \
    \$(( took / 1000 )) \$(( took % 1000 )) "\${peak:-?}" | tee -a "$work/results.txt"
done
exit 0
RUN
chmod +x "$work/run.sh"
on_xvfb "$work/run.sh" || true
[ -f "$work/results.txt" ] || { echo "FAIL: nothing measured"; exit 1; }
cat "$work/results.txt"
if grep -q still-running "$work/results.txt"; then echo "FAIL: the reader was still running 20 s after Esc"; exit 1; fi
if grep -q -e ended-before-Esc -e crashed-on-Esc "$work/results.txt"; then echo "FAIL: the reader ended by itself"; exit 1; fi
echo "big page test passed"
