#!/usr/bin/env bash
# Checks what installing and packaging put in place.
#   usage: install.sh install BUILD_DIR
#          install.sh deb BUILD_DIR VERSION   (exits 77, skipped, without dpkg-dev)
set -euo pipefail
mode=$1
build=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL ($mode): $*" >&2; exit 1; }

# The installed or packaged tool must run on its own and write the picture.
check_tree() {
  local root=$1
  [[ -x $root/bin/RidgeTexture ]] || fail "no executable bin/RidgeTexture"
  [[ -f $root/share/man/man1/RidgeTexture.1 ]] || fail "no share/man/man1/RidgeTexture.1"
  local tool=$root/bin/RidgeTexture
  mkdir "$work/run"
  (cd "$work/run" && "$tool") || fail "the installed tool exited with $?"
  [[ $(stat -c %s "$work/run/RidgeTexture.ppm") == $((31 + ${#tool} + 196608)) ]] ||
    fail "the installed tool wrote a file of the wrong size"
}

case $mode in
  install)
    cmake --install "$build" --prefix "$work/prefix" > /dev/null
    check_tree "$work/prefix"
    ;;
  deb)
    version=$3
    for cmd in cpack dpkg-deb dpkg-shlibdeps; do
      command -v $cmd >/dev/null || { echo "SKIPPED: $cmd is not installed" >&2; exit 77; }
    done
    (cd "$build" && cpack -G DEB -B "$work/pkg" > "$work/cpack.log") || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
    deb=("$work"/pkg/ridgetexture_"$version"_*.deb)
    [[ -f ${deb[0]} ]] || fail "no ridgetexture_${version}_*.deb"
    field() { dpkg-deb -f "${deb[0]}" "$1"; }
    [[ $(field Package) == ridgetexture ]] || fail "Package: $(field Package)"
    [[ $(field Version) == "$version" ]] || fail "Version: $(field Version)"
    [[ $(field Depends) == *libc6* ]] || fail "Depends: $(field Depends)"
    [[ $(field Section) == graphics ]] || fail "Section: $(field Section)"
    description=$(field Description)
    [[ $(wc -l <<< "$description") -ge 3 ]] || fail "Description has no long text: $description"
    contents=$(dpkg-deb -c "${deb[0]}")
    for path in ./usr/bin/RidgeTexture ./usr/share/man/man1/RidgeTexture.1; do
      grep -q " $path\$" <<< "$contents" || fail "the package lacks $path"
    done
    dpkg-deb -x "${deb[0]}" "$work/root"
    check_tree "$work/root/usr"
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
echo "$mode: binary and manual page in place"
