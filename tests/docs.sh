#!/usr/bin/env bash
# Checks the documents that ship against what they describe.
#   usage: docs.sh manpage|format|copyright PAGE TOOL
#   manpage    the page's source gives the tool's messages, header lines,
#              sizes and wait, and the README its wait, as the tool has them
#   format     the built page formats without a groff warning and carries the
#              latest debian/changelog entry's version and date (groff, dpkg-dev)
#   copyright  debian/copyright is machine-readable, covers every file of
#              the source tree and carries LICENSE's terms line for line
#              (needs Debian's python3-debian)
# A missing tool exits 77, which CTest reports as skipped.
set -euo pipefail
mode=$1 page=$2 tool=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)

fail() { echo "FAIL ($mode): $*" >&2; exit 1; }
need() { for cmd; do command -v "$cmd" >/dev/null || { echo "SKIPPED: $cmd is not installed" >&2; exit 77; }; done; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $mode in
  manpage)
    # The messages as the tool prints them: where the file can't be
    # created, and where it can't be written.
    mkdir -p "$work/create/RidgeTexture.ppm" "$work/write"
    ln -s /dev/full "$work/write/RidgeTexture.ppm"
    for case in create write; do
      message=$(cd "$work/$case" && "$tool" 2>&1 >/dev/null) && fail "the tool succeeded in $case"
      grep -Fxq "$message" "$page" || fail "the page doesn't give the message '$message'"
    done
    # The header lines as the page lists them, with NAME for the name, and
    # the sizes it gives, against what the tool writes under that name.
    mkdir "$work/named" && (cd "$work/named" && exec -a NAME "$tool") && file=$work/named/RidgeTexture.ppm
    listed=$(sed -n '/^\.IP [1-4]\. 4$/{n;s/^\.BI\{0,1\} //;s/^"\(.*\)" name.*/\1NAME/;s/^"\(.*\)"$/\1/;p}' "$page")
    written=$(head -n 4 "$file")
    [[ $listed == "$written" ]] ||
      fail "the page lists the header lines"$'\n'"$listed"$'\n'"where the tool writes"$'\n'"$written"
    sizes=$(sed -n 's/^The header is \([0-9]*\) + .*/\1/p; s/^The raster that follows is \([0-9]*\) bytes.*/\1/p' "$page")
    (( ${sizes/$'\n'/ + } + 4 == $(stat -c %s "$file") )) ||
      fail "the page gives sizes '$sizes' + n, but the tool wrote $(stat -c %s "$file") bytes under a 4-byte name"
    # The wait for another's lock as the page and the README state it, in words.
    ms=$(sed -n 's/.* LOCK_WAIT_MS = \([0-9]*\);/\1/p' "$source_dir/src/output.hpp")
    numbers=zero\|one\|two\|three\|four\|five\|six\|seven\|eight\|nine\|ten wait="$ms milliseconds"
    IFS='|' read -ra words <<< "$numbers"
    (( ms % 1000 != 0 )) || wait="${words[ms / 1000]:-$((ms / 1000))} seconds"
    for doc in "$page" "$source_dir/README.md"; do
      stated=$(grep -ow -E "($numbers|[0-9]+) (milli)?seconds?" "$doc" | sort -u)
      [[ $stated == "$wait" ]] || fail "${doc##*/} states a wait of '${stated//$'\n'/, }', not the $ms ms the tool waits"
    done
    ;;
  format)
    need groff dpkg-parsechangelog
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [[ -z $warnings ]] || fail "groff warns: $warnings"
    latest() { dpkg-parsechangelog -l "$source_dir/debian/changelog" -S "$1"; }
    date=$(LC_ALL=C date -u -d "$(latest Date)" '+%d %b %Y')
    want=".TH RIDGETEXTURE 1 \"$date\" \"RidgeTexture $(latest Version)\" "
    [[ $(head -n 1 "$page") == "$want"* ]] ||
      fail "the page begins '$(head -n 1 "$page")', where the changelog asks for '$want'"
    ;;
  copyright)
    python=/usr/bin/python3
    [[ -x $python ]] && "$python" -c 'import debian.copyright' 2>/dev/null || need python3-debian
    copyright=$source_dir/debian/copyright
    "$python" - "$copyright" "$source_dir" <<'PY' || fail "the copyright file is not as it must be"
import os
import sys
from debian.copyright import Copyright

with open(sys.argv[1], encoding="utf-8") as f:
    copyright = Copyright(f, strict=True)  # raises on a syntax error
texts = {p.license.synopsis for p in copyright.all_license_paragraphs()}
for paragraph in copyright.all_files_paragraphs():
    assert paragraph.copyright, f"no Copyright in {paragraph.files}"
    licence = paragraph.license
    assert licence.text or licence.synopsis in texts, f"no text for licence {licence.synopsis}"
source = sys.argv[2]
for top, dirs, files in os.walk(source):
    dirs[:] = [d for d in dirs if top != source or d not in (".git", "out", "build")]
    for name in files:
        path = os.path.relpath(os.path.join(top, name), source)
        assert copyright.find_files_paragraph(path), f"{path} is in no Files paragraph"
PY
    # Files, not process substitution, which needs /proc.
    sed -n '/^License: /,$ { /^License: /d; s/^ //; s/^\.$//; p; }' "$copyright" > "$work/stated"
    sed '1,/^Copyright/d' "$source_dir/LICENSE" | sed '1{/^$/d;}' > "$work/licence"
    diff "$work/stated" "$work/licence" >&2 || fail "the licence text differs from LICENSE"
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
echo "$mode: as it must be"
