#!/usr/bin/env bash
# Checks what installing and packaging put in place.
#   usage: install.sh install|deb|lintian BUILD_DIR CONFIG VERSION FORTIFIED CMAKE CPACK DOCDIR
# CONFIG is the build configuration to install or package, FORTIFIED 1 when
# its libc calls are fortified, CMAKE and CPACK the programs of the build,
# DOCDIR where the copyright and changelog go, relative to the prefix. deb
# exits 77, skipped, without dpkg-dev, and lintian without lintian.
set -euo pipefail
mode=$1
build=$2
config=$3
version=$4
fortified=$5
cmake=$6
cpack=$7
docdir=$8
source_dir=$(cd "$(dirname "$0")/.." && pwd)

# Installing and packaging both rewrite the build directory's
# install_manifest.txt, the user's record of what they installed; this
# check's own staging must leave it as it was.
manifest=$build/install_manifest.txt
work=$(mktemp -d)
[[ ! -e $manifest ]] || cp -p "$manifest" "$work/manifest"
restore() {
  if [[ -e $work/manifest ]]; then cp -p "$work/manifest" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$work"
}
trap restore EXIT
fail() { echo "FAIL ($mode): $*" >&2; exit 1; }
need() {
  for cmd; do
    command -v "$cmd" >/dev/null || { echo "SKIPPED: $cmd is not installed" >&2; exit 77; }
  done
}

# The installed or packaged tool must run on its own and write the picture,
# beside its manual page, copyright and changelog.
check_tree() {
  local root=$1
  [[ -x $root/bin/RidgeTexture ]] || fail "no executable bin/RidgeTexture"
  local file
  for file in share/man/man1/RidgeTexture.1.gz "$docdir/copyright" "$docdir/changelog.gz"; do
    [[ -f $root/$file ]] || fail "no $file"
  done
  gzip -dc "$root/share/man/man1/RidgeTexture.1.gz" | cmp -s - "$build/RidgeTexture.1" ||
    fail "the installed manual page is not the one built"
  # The copyright file must carry LICENSE's terms, line for line.
  diff <(sed -n '/^License: /,$ { /^License: /d; s/^ //; s/^\.$//; p; }' \
    "$root/$docdir/copyright") \
    <(sed '1,/^Copyright/d' "$source_dir/LICENSE" | sed '1{/^$/d;}') >&2 ||
    fail "the copyright file's licence text differs from LICENSE"
  local tool=$root/bin/RidgeTexture
  mkdir "$work/run"
  (cd "$work/run" && "$tool") || fail "the installed tool exited with $?"
  local name_bytes
  name_bytes=$(printf %s "$tool" | wc -c)
  [[ $(stat -c %s "$work/run/RidgeTexture.ppm") == $((31 + name_bytes + 196608)) ]] ||
    fail "the installed tool wrote a file of the wrong size"
}

make_deb() {
  need dpkg-deb dpkg-shlibdeps
  (cd "$build" && "$cpack" -G DEB ${config:+-C "$config"} -B "$work/pkg" > "$work/cpack.log") ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
  deb=("$work"/pkg/ridgetexture_"$version"_*.deb)
  [[ -f ${deb[0]} ]] || fail "no ridgetexture_${version}_*.deb"
}

case $mode in
  install)
    "$cmake" --install "$build" ${config:+--config "$config"} --prefix "$work/prefix" > /dev/null
    check_tree "$work/prefix"
    ;;
  deb)
    need readelf nm
    make_deb
    field() { dpkg-deb -f "${deb[0]}" "$1"; }
    [[ $(field Package) == ridgetexture ]] || fail "Package: $(field Package)"
    [[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
    [[ $(field Depends) == *libc6* ]] || fail "Depends: $(field Depends)"
    [[ $(field Section) == graphics ]] || fail "Section: $(field Section)"
    description=$(field Description)
    [[ $(wc -l <<< "$description") -ge 3 ]] || fail "Description has no long text: $description"
    dpkg-deb -x "${deb[0]}" "$work/root"
    check_tree "$work/root/usr"
    changelog=$work/root/usr/$docdir/changelog.gz
    [[ $(gzip -dc "$changelog" | head -n 1) == "ridgetexture ($version) "* ]] ||
      fail "the changelog's latest entry is not $version"

    # The shipped binary is hardened as Debian's own are.
    elf=$work/root/usr/bin/RidgeTexture
    readelf -hW "$elf" | grep -Eq 'Type: +DYN' || fail "not a position-independent executable"
    readelf -lW "$elf" | grep -q GNU_RELRO || fail "no read-only relocations (GNU_RELRO)"
    readelf -dW "$elf" | grep -Eq '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) .*NOW' ||
      fail "symbols are not bound at start-up (BIND_NOW)"
    ! readelf -SW "$elf" | grep -q ' \.comment ' || fail "the binary has a .comment section"
    if [[ $fortified == 1 ]]; then
      nm -D --undefined-only "$elf" | grep -Eq ' __[a-z_]+_chk@' || fail "no fortified libc call"
    fi
    ;;
  lintian)
    need lintian
    make_deb
    # lintian garbles non-ASCII paths to its own scratch files, then reports
    # tags about the files it failed to read: under a TMPDIR so named, it
    # works on a copy of the package in /tmp.
    lab=$work
    if LC_ALL=C grep -q '[^[:print:]]' <<< "$work"; then
      lab=$(TMPDIR=/tmp mktemp -d) || fail "lintian needs an ASCII-named scratch directory in /tmp"
      trap 'rm -rf "$lab"; restore' EXIT
      cp "${deb[0]}" "$lab/"
      deb=("$lab/$(basename "${deb[0]}")")
    fi
    # Only optimised builds fortify their libc calls.
    suppress=()
    [[ $fortified == 1 ]] || suppress=(--suppress-tags hardening-no-fortify-functions)
    status=0
    tags=$(TMPDIR=$lab lintian -I "${suppress[@]}" "${deb[0]}" 2> "$lab/lintian.err") || status=$?
    # A check lintian could not run is a check not passed.
    problems=$(grep -v '^running with root privileges is not recommended!$' "$lab/lintian.err" || true)
    if [[ $status != 0 || -n $tags || -n $problems ]]; then
      printf '%s\n' "$tags" "$problems" >&2
      fail "lintian -I reported tags or could not check everything (status $status)"
    fi
    echo "lintian: no tags"
    exit 0
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
echo "$mode: binary, manual page, copyright and changelog in place"
