#!/bin/sh
# Writes into DIR the JPEG pages that the decoder's limits are measured on: genuine large
# pages that must show, and small files claiming huge pages. Needs cjpeg and python3;
# takes a few minutes and about 3 GB of space while it runs.
#   make-limit-files.sh DIR [genuine|small|all]
set -eu
dir=$1
what=${2:-all}
mkdir -p "$dir"
cd "$dir"

# Sets the size in the first frame header of a file (in out width height).
resize() {
    python3 - "$@" <<'PY'
import sys
d = bytearray(open(sys.argv[1], 'rb').read())
w, h = int(sys.argv[3]), int(sys.argv[4])
i = 2
while i < len(d):
    m, n = d[i + 1], d[i + 2] << 8 | d[i + 3]
    if m in (0xC0, 0xC1, 0xC2, 0xC9, 0xCA):
        d[i + 5:i + 9] = bytes([h >> 8, h & 255, w >> 8, w & 255])
        break
    i += 2 + n
open(sys.argv[2], 'wb').write(d)
PY
}

# A DC scan, then the AC band in NBANDS bands refined from bit 10 down to bit 0.
chain() {
    python3 - "$1" > "$2" <<'PY'
import sys
n = int(sys.argv[1]); w = 63 // n
bands = [(1 + w * i, 63 if i == n - 1 else w * (i + 1)) for i in range(n)]
print('0: 0 0 0 0;')
for a, b in bands: print('0: %d %d 0 10;' % (a, b))
for ah in range(10, 0, -1):
    for a, b in bands: print('0: %d %d %d %d;' % (a, b, ah, ah - 1))
PY
}

# Pages written row by row (ImageMagick's pixel cache is too small for them): a photo
# (grain over a gradient), a comic page (a frame, panel lines, a block of text-like marks)
# and a chapter's end page (one line of such marks at the top, white below).
page() {
    python3 - "$@" <<'PY'
import random, sys
kind, w, h, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
grey = out.endswith('.pgm')
n = 1 if grey else 3
f = open(out, 'wb')
f.write(b'%s %d %d 255\n' % (b'P5' if grey else b'P6', w, h))
random.seed(1)
if kind == 'photo':
    grain = bytes(random.randrange(64) for _ in range(w * n + 4099))
    tables = [bytes(min(255, v + g) for v in range(256)) for g in range(192)]
    for y in range(h):
        at = (y * 131) % 4099
        f.write(grain[at:at + w * n].translate(tables[y * 191 // h]))
else:
    white, black = b'\xff' * (w * n), b'\x00' * (w * n)
    marks = bytearray(white)
    for x in range(0, w - 40, 40):
        marks[x * n:(x + 24) * n] = b'\x00' * (24 * n)
    framed = bytearray(white)
    for x in (150, 151, 152, w - 153, w - 152, w - 151):
        framed[x * n:(x + 1) * n] = b'\x00' * n
    for y in range(h):
        if kind == 'end':
            f.write(bytes(marks) if 300 <= y < 500 and (y // 40) % 2 == 0 else white)
        elif y in (150, 151, 152, h // 2, h - 153, h - 152):
            f.write(black)
        elif 600 <= y < 1400 and (y // 40) % 2 == 0:
            f.write(bytes(marks))
        else:
            f.write(bytes(framed))
PY
}
photo() { page photo "$@"; }
comic() { page comic "$@"; }

if [ "$what" != small ]; then
    photo 9000 12000 p9k.ppm
    cjpeg -progressive -quality 90 p9k.ppm > prog420-9000x12000.jpg
    cjpeg -progressive -quality 90 -sample 1x1,1x1,1x1 p9k.ppm > prog444-9000x12000.jpg
    cjpeg -progressive -arithmetic -quality 90 p9k.ppm > arith-prog-photo-9000x12000.jpg
    cjpeg -progressive -arithmetic -restart 1 -quality 90 p9k.ppm > arith-prog-photo-r1-9000x12000.jpg
    rm p9k.ppm
    for s in 12000x16000 14000x18000; do
        photo ${s%x*} ${s#*x} p.ppm && cjpeg -progressive -quality 90 p.ppm > prog420-$s.jpg && rm p.ppm
    done
    photo 16000 22000 p.pgm
    cjpeg -progressive -quality 90 p.pgm > prog-grey-16000x22000.jpg && rm p.pgm
    photo 10000 14000 p.ppm
    printf '0: 0 63 0 0;\n1: 0 63 0 0;\n2: 0 63 0 0;\n' > seq.txt
    cjpeg -quality 90 -scans seq.txt p.ppm > noninterleaved-10000x14000.jpg && rm p.ppm seq.txt
    comic 8000 12000 c.ppm
    cjpeg -progressive -quality 90 c.ppm > comic-prog-8000x12000.jpg
    # ImageMagick's -interlace JPEG at quality 90 writes this (its pixel cache is too small
    # here for the page): libjpeg's progression, no chroma subsampling.
    cjpeg -progressive -quality 90 -sample 1x1,1x1,1x1 c.ppm > comic-im-8000x12000.jpg
    cjpeg -progressive -arithmetic -quality 90 c.ppm > arith-prog-comic-8000x12000.jpg
    cjpeg -progressive -arithmetic -restart 1 -quality 90 c.ppm > arith-prog-comic-r1-8000x12000.jpg
    rm c.ppm
    comic 20000 30000 c.ppm && cjpeg -quality 90 c.ppm > comic-baseline-20000x30000.jpg && rm c.ppm
    # A chapter's end page, arithmetic-coded; a page whose first scan is one chroma DC.
    page end 9000 12000 e.ppm
    cjpeg -progressive -arithmetic -quality 90 e.ppm > end-arith-prog-9000x12000.jpg
    cjpeg -progressive -quality 90 e.ppm > end-prog-9000x12000.jpg
    # Flat chroma takes a bit a block: its DC scan alone is far below a sixteenth of all.
    printf '1: 0 0 0 0;\n2: 0 0 0 0;\n0: 0 0 0 0;\n0: 1 63 0 0;\n1: 1 63 0 0;\n2: 1 63 0 0;\n' > chroma.txt
    cjpeg -quality 90 -sample 4x4,1x1,1x1 -scans chroma.txt e.ppm > chroma-first-4x4-9000x12000.jpg && rm e.ppm chroma.txt
fi

if [ "$what" != genuine ]; then
    python3 -c "import sys; sys.stdout.buffer.write(b'P5 64 64 255\n' + bytes([255]) * 4096)" > w.pgm
    python3 -c "import sys; sys.stdout.buffer.write(b'P6 64 64 255\n' + bytes([255]) * 12288)" > w.ppm
    # Blank pages coded arithmetic, whose data ends at once: as small as a genuine one.
    cjpeg -progressive -arithmetic w.pgm > t.jpg && resize t.jpg tiny-arith-prog-grey-23168.jpg 23168 23168
    cjpeg -progressive -arithmetic w.ppm > t.jpg && resize t.jpg tiny-arith-prog-420-18880.jpg 18880 18880
    printf '0: 0 63 0 0;\n1: 0 63 0 0;\n2: 0 63 0 0;\n' > seq.txt
    cjpeg -arithmetic -scans seq.txt w.ppm > t.jpg && resize t.jpg tiny-arith-noninterleaved-420-18880.jpg 18880 18880
    for s in grey:w.pgm: 420:w.ppm: 444:w.ppm:-sample=1x1,1x1,1x1; do
        name=${s%%:*} rest=${s#*:} in=${rest%%:*} opt=$(echo "${rest#*:}" | tr = ' ')
        cjpeg -arithmetic $opt "$in" > t.jpg && resize t.jpg tiny-arith-seq-$name-65500.jpg 65500 65500
    done
    # What the data decodes to once it has ended depends on the coder's state: here every
    # block of the rest comes out busy, the slowest such file found.
    python3 -c "import sys; sys.stdout.buffer.write(b'P6 16 16 255\n' + bytes([255]) * 768)" > w16.ppm
    cjpeg -arithmetic -quality 50 -sample 1x1,1x1,1x1 w16.ppm > t.jpg && resize t.jpg tiny-arith-seq-444-busy-65500.jpg 65500 65500
    rm w16.ppm
    # Many scans over a blank grey page: 9 bands (100 scans), 1 band (22 scans).
    chain 9 c9.txt && cjpeg -arithmetic -scans c9.txt w.pgm > t.jpg && resize t.jpg scans100-arith-grey-23168.jpg 23168 23168
    chain 1 c1.txt && cjpeg -arithmetic -scans c1.txt w.pgm > t.jpg && resize t.jpg scans22-arith-grey-23168.jpg 23168 23168
    # The same in Huffman coding needs the blank page's DC data (a bit a block): real size.
    python3 -c "import sys; sys.stdout.buffer.write(b'P5 23168 23168 255\n' + bytes([255]) * (23168 * 23168))" > big.pgm
    cjpeg -scans c9.txt big.pgm > scans100-huff-grey-23168.jpg
    cjpeg -progressive big.pgm > blank-prog-grey-23168.jpg
    rm -f big.pgm w.pgm w.ppm t.jpg seq.txt c9.txt c1.txt
fi
ls -l
