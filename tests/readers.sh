#!/usr/bin/env bash
# Hands freshly written pictures to image readers nobody here wrote: each must
# read a 256 x 256 picture whose pixels are the raster bytes the tool wrote.
#   usage: readers.sh netpbm|pillow|imagemagick TOOL
# Exits 77, which CTest reports as skipped, when the reader isn't installed.
set -euo pipefail
reader=$1
tool=$2

skip() { echo "SKIPPED: $1 is not installed" >&2; exit 77; }
fail() { echo "FAIL ($reader, name '$name'): $*" >&2; exit 1; }

python=/usr/bin/python3
case $reader in
  netpbm)
    for cmd in pamfile pnmtopng pngtopnm ppmtoppm; do command -v $cmd >/dev/null || skip "netpbm ($cmd)"; done ;;
  pillow)
    [[ -x $python ]] && "$python" -c 'import PIL' 2>/dev/null || skip "python3-pil" ;;
  imagemagick)
    for cmd in identify convert; do command -v $cmd >/dev/null || skip "imagemagick ($cmd)"; done ;;
  *) echo "unknown reader $reader" >&2; exit 2 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A plain name, and one whose line feed would break the header if written raw.
for name in RidgeTexture $'Ridge\nTexture'; do
  rm -rf "$work/run" && mkdir "$work/run"
  (cd "$work/run" && exec -a "$name" "$tool") || fail "the tool exited with $?"
  ppm=$work/run/RidgeTexture.ppm
  # The raster is what follows the header; a reader must give back just that.
  tail -c 196608 "$ppm" > "$work/raster.rgb"

  case $reader in
    netpbm)
      info=$(pamfile "$ppm") || fail "pamfile rejected the file"
      [[ $info == *"PPM raw, 256 by 256  maxval 255" ]] || fail "pamfile says: $info"
      pnmtopng "$ppm" > "$work/ridge.png" || fail "pnmtopng could not convert the file"
      # pnmtopng sees that the picture is grey and stores it so; ppmtoppm
      # turns it back into three samples a pixel.
      pngtopnm "$work/ridge.png" | ppmtoppm | tail -c 196608 | cmp -s - "$work/raster.rgb" ||
        fail "the pixels read back through PNG are not the file's raster bytes"
      ;;
    pillow)
      "$python" - "$ppm" "$work/raster.rgb" <<'PY' || fail "Pillow disagrees"
import sys
from PIL import Image
with Image.open(sys.argv[1]) as im:
    assert im.format == "PPM", im.format
    assert im.mode == "RGB", im.mode
    assert im.size == (256, 256), im.size
    pixels = im.tobytes()
with open(sys.argv[2], "rb") as f:
    assert pixels == f.read(), "Pillow's pixels are not the file's raster bytes"
PY
      ;;
    imagemagick)
      info=$(identify -format '%m %w %h %z' "$ppm") || fail "identify rejected the file"
      [[ $info == "PPM 256 256 8" ]] || fail "identify says: $info"
      convert "$ppm" -depth 8 rgb:- | cmp -s - "$work/raster.rgb" ||
        fail "ImageMagick's pixels are not the file's raster bytes"
      ;;
  esac
done
echo "$reader reads both pictures as expected"
