#!/usr/bin/env bash
# Checks the documents the package ships against what they describe.
#   usage: docs.sh manpage|changelog|copyright BUILD_DIR TOOL CMAKE
#   manpage    formats without a groff warning, quotes the tool's own
#              messages, and is dated with the month of the latest release
#              in CHANGELOG.md (needs groff)
#   changelog  the Debian changelog made from CHANGELOG.md parses without a
#              warning, every entry is for unstable, and the weekday is right
#              for dates all through the year (needs dpkg-parsechangelog)
#   copyright  the copyright file is machine-readable and covers every file
#              of the source tree (needs Debian's python3-debian)
# A missing tool exits 77, which CTest reports as skipped.
set -euo pipefail
mode=$1
build=$2
tool=$3
cmake=$4
source_dir=$(cd "$(dirname "$0")/.." && pwd)

fail() { echo "FAIL ($mode): $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null || { echo "SKIPPED: $1 is not installed" >&2; exit 77; }; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $mode in
  manpage)
    need groff
    page=$build/RidgeTexture.1
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [[ -z $warnings ]] || fail "groff warns: $warnings"
    # The messages as the tool prints them: where the file can't be
    # created, and where it can't be written.
    mkdir -p "$work/create/RidgeTexture.ppm" "$work/write"
    ln -s /dev/full "$work/write/RidgeTexture.ppm"
    for case in create write; do
      message=$(cd "$work/$case" && "$tool" 2>&1 >/dev/null) && fail "the tool succeeded in $case"
      grep -Fxq "$message" "$page" || fail "the page doesn't give the message '$message'"
    done
    heading=$(grep -m 1 -E '^## [^ ]+ — [0-9]{4}-[0-9]{2}-[0-9]{2}$' "$source_dir/CHANGELOG.md") ||
      fail "CHANGELOG.md has no dated release"
    released=$(LC_ALL=C date -u -d "${heading##* }" '+%B %Y')
    dated=$(sed -n -E 's/^\.TH [^ ]+ [0-9] "([^"]*)".*/\1/p' "$page")
    [[ $dated == "$released" ]] || fail "the page is dated '$dated', the latest release '$released'"
    ;;
  changelog)
    need dpkg-parsechangelog
    parse() { # file: every entry as RFC 822 paragraphs; any warning fails
      dpkg-parsechangelog -l "$1" --all --format rfc822 2> "$work/warnings" ||
        fail "dpkg-parsechangelog rejects $1: $(cat "$work/warnings")"
      [[ ! -s $work/warnings ]] || fail "dpkg-parsechangelog warns: $(cat "$work/warnings")"
    }
    distributions=$(parse "$build/changelog" | sed -n 's/^Distribution: //p' | sort -u)
    [[ $distributions == unstable ]] || fail "entries for '$distributions', not only unstable"
    # The first of every month, leap days and century years, newest first,
    # made into a Debian changelog the way the build does it.
    dates=(2100-03-01 2100-02-28 2028-03-01 2028-02-29 2027-12-31)
    for month in 12 11 10 09 08 07 06 05 04 03 02 01; do dates+=("2027-$month-01"); done
    dates+=(2026-12-08 2000-03-01 2000-02-29 2000-01-01)
    {
      echo "# Changelog"
      n=${#dates[@]}
      for date in "${dates[@]}"; do
        printf '\n## 0.%s — %s\n\n- Entry %s.\n' "$n" "$date" "$n"
        n=$((n - 1))
      done
    } > "$work/CHANGELOG.md"
    cat > "$work/make.cmake" <<EOF
include("$source_dir/cmake/DebianChangelog.cmake")
ridge_debian_changelog("$work/CHANGELOG.md" "$work/changelog" ridgetexture
  "Someone <someone@example.invalid>" released)
EOF
    "$cmake" -P "$work/make.cmake" || fail "cmake could not make a changelog of the dates"
    got=$(parse "$work/changelog" | sed -n 's/^Date: //p')
    want=$(for date in "${dates[@]}"; do LC_ALL=C date -u -d "$date" '+%a, %d %b %Y 00:00:00 +0000'; done)
    diff <(echo "$want") <(echo "$got") >&2 || fail "dates differ (expected <, written >)"
    ;;
  copyright)
    python=/usr/bin/python3
    [[ -x $python ]] && "$python" -c 'import debian.copyright' 2>/dev/null || need python3-debian
    "$python" - "$build/copyright" "$source_dir" <<'PY' || fail "the copyright file is not as it must be"
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
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
echo "$mode: as it must be"
