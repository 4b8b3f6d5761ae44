#!/bin/sh
# Adds the rar files of the shared test data that fit the fuzzer's length limit to a corpus.
dest=$1
src=$2
mkdir -p "$dest"
for f in "$src"/libarchive/*.rar "$src"/patool/*.rar "$src"/unrar-js/*.rar; do
  if [ -f "$f" ] && [ "$(stat -c %s "$f")" -le 65536 ]; then cp -f "$f" "$dest/"; fi
done
exit 0
