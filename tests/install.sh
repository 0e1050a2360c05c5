#!/usr/bin/env bash
# Checks what the README's build and cmake --install give.
#   usage: install.sh readme|tree
#   readme   the README's build and the other optimised configurations build
#            the tool alone, optimised and hardened as far as the toolchain can
#   tree     cmake --install puts the tool, its manual page, copyright and
#            changelog in place, and the README's uninstall removes them
# The build's facts, TOOL the tool it built among them, come in the
# environment (tests/CMakeLists.txt); all is written in a scratch directory.
# Exits 77, skipped, when a tool is missing.
set -euo pipefail
mode=$1
build=$BUILD_DIR
source_dir=$(cd "$(dirname "$0")/.." && pwd)

# Installing writes the user's record of their install: it is put back as it was.
manifest=$build/install_manifest.txt
work=$(mktemp -d)
[[ ! -e $manifest ]] || cp -p "$manifest" "$work/manifest"
trap 'rm -f "$manifest"; [[ ! -e $work/manifest ]] || cp -p "$work/manifest" "$manifest"; rm -rf "$work"' EXIT
fail() { echo "FAIL ($mode): $*" >&2; exit 1; }
need() { for cmd; do command -v "$cmd" >/dev/null || { echo "SKIPPED: $cmd is not installed" >&2; exit 77; }; done; }
# grep -q would stop at the first match: under pipefail, the writer's SIGPIPE fails the pipe.
has() { grep "$@" > /dev/null; }
quietly() { "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; fail "$* failed"; }; }

# hardening-check (devscripts) on an optimised build of the tool, which must
# have each feature that a small program gets from the same compiler and flags
# with every hardening option on; what no program gets here is not asked for
# (such as the IBT/SHSTK note, as no Debian's C start files carry it).
check_hardened() {
  local elf=$1 probe=$work/probe option options=()
  printf '#include <cstdio>\nint main(int, char* argv[]) { std::fprintf(stderr, "%%s\\n", argv[0]); }\n' \
    > "$probe.cpp"
  # shellcheck disable=SC2086 # CXXFLAGS is a list of flags
  "$CXX" -O2 -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection -fcf-protection \
    -fPIE -pie -Wl,-z,relro,-z,now $CXXFLAGS "$probe.cpp" -o "$probe" 2>/dev/null ||
    "$CXX" -O2 -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fPIE -pie -Wl,-z,relro,-z,now \
      $CXXFLAGS "$probe.cpp" -o "$probe"
  hardening-check "$probe" > "$work/probe.txt" || true
  while IFS=: read -r feature verdict; do
    case $feature in
      *Position*) option=--nopie ;; *Stack\ protected*) option=--nostackprotector ;;
      *Fortify*) option=--nofortify ;; *Read-only*) option=--norelro ;;
      *Immediate*) option=--nobindnow ;; *Control\ flow*) option=--nocfprotection ;;
      *Branch*) option=--nobranchprotection ;; *) continue ;;
    esac
    [[ $verdict == " yes"* ]] || options+=("$option")
  done < "$work/probe.txt"
  hardening-check "${options[@]}" "$elf" >&2 || fail "$elf is not hardened as the toolchain can"
}

# The installed tool must run on its own and write the build's picture, beside
# its manual page, copyright and changelog. PREFIX, DOCS.
check_tree() {
  local prefix=$1 docs=$2
  [[ -x $prefix/bin/RidgeTexture ]] || fail "no executable bin/RidgeTexture"
  cmp -s "$prefix/share/man/man1/RidgeTexture.1" "$build/RidgeTexture.1" ||
    fail "no manual page, or not the one built"
  local file
  for file in copyright changelog; do
    cmp -s "$docs/$file" "$source_dir/debian/$file" || fail "no $file in ${docs#"$work"/}"
  done
  local tool=$prefix/bin/RidgeTexture
  mkdir "$work/run"
  (cd "$work/run" && "$tool" && mv RidgeTexture.ppm installed.ppm && exec -a "$tool" "$TOOL") ||
    fail "the installed tool, or the build's, exited with $?"
  cmp "$work/run/installed.ppm" "$work/run/RidgeTexture.ppm" >&2 ||
    fail "the installed tool wrote another picture than the build's under the same name"
}

# cmake --install as the README has it, into a prefix in the scratch directory;
# staged under DESTDIR where an absolute DOCDIR lies outside any prefix.
install_tree() {
  prefix=$work/prefix
  docs=$prefix/$DOCDIR
  local destdir=
  [[ $DOCDIR != /* ]] || { destdir=$work/dest; docs=$destdir$DOCDIR; }
  DESTDIR=$destdir quietly "$CMAKE" --install "$build" ${CONFIG:+--config "$CONFIG"} --prefix "$prefix"
  prefix=$destdir$prefix
}

# The README's uninstall command, run as it stands on the install just made.
uninstall_tree() {
  local command outside left
  [[ $DOCDIR != /* ]] ||
    { echo "NOTE: DOCDIR $DOCDIR is absolute: the README's uninstall would remove it there; not run"; return; }
  command=$(grep -m 1 -x 'xargs .* < build/install_manifest\.txt' "$source_dir/README.md") ||
    fail "README.md gives no uninstall command reading build/install_manifest.txt"
  # Anything listed outside the scratch install is the machine's own.
  outside=$(grep -v "^$work/prefix/" "$manifest" || true)
  [[ -z $outside ]] || fail "install_manifest.txt lists files the install did not make: $outside"
  mkdir "$work/clone" && ln -s "$build" "$work/clone/build"
  (cd "$work/clone" && bash -c "$command") || fail "the README's uninstall command failed"
  left=$(find "$work/prefix" ! -type d)
  [[ -z $left ]] || fail "left after the README's uninstall: $left"
}

case $mode in
  readme)
    [[ -n ${CMAKE_GENERATOR-} ]] || need make
    need nm hardening-check
    for type in "" RelWithDebInfo MinSizeRel; do
      tree=$work/build$type
      if [[ -z $type ]]; then
        # The README's command as it stands, bar the directories.
        mkdir "$work/run"
        (cd "$work/run" && quietly "$CMAKE" -S "$source_dir" -B "$tree" &&
          quietly "$CMAKE" --build "$tree" && quietly "$tree/RidgeTexture")
        [[ -f $work/run/RidgeTexture.ppm ]] || fail "the README's build wrote no picture"
      else
        quietly "$CMAKE" -S "$source_dir" -B "$tree" -DCMAKE_BUILD_TYPE="$type"
        quietly "$CMAKE" --build "$tree"
      fi
      built_tests=$(find "$tree" -name 'ridge_*_tests')
      [[ -z $built_tests ]] || fail "a build without BUILD_TESTING built the tests: $built_tests"
      # An unoptimised build keeps std::array's members out of line.
      ! nm -C "$tree/RidgeTexture" | has 'std::array<.*>::' ||
        fail "the ${type:-plain} build is not optimised"
      check_hardened "$tree/RidgeTexture"
    done
    echo "readme: the plain, RelWithDebInfo and MinSizeRel builds are optimised and hardened"
    exit 0
    ;;
  tree)
    install_tree
    check_tree "$prefix" "$docs"
    uninstall_tree
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
echo "$mode: binary, manual page, copyright and changelog in place"
