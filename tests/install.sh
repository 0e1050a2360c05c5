#!/usr/bin/env bash
# Checks what the README's build and cmake --install give.
#   usage: install.sh readme|tree
#   readme   the README's build and the other optimised configurations build
#            the tool alone, optimised and hardened as far as the toolchain can
#   tree     cmake --install puts the tool, its manual page, copyright and
#            changelog in place, and the README's uninstall removes them
# The build's facts come in the environment (tests/CMakeLists.txt); all is
# written in a scratch directory. Exits 77, skipped, when a tool is missing.
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

# What the toolchain gives a small program built with the build's compiler and
# flags (gives_fortify, gives_endbr, gives_cet_note: 1 or 0): fortified libc calls
# when optimised; x86 ENDBR64 landing pads, and the IBT/SHSTK note that lets the
# kernel enforce them (which needs C start files marked so, as no Debian's are).
probe_toolchain() {
  gives_fortify=0 gives_endbr=0 gives_cet_note=0
  local probe=$work/probe
  printf '#include <cstdio>\nint main(int, char* argv[]) { std::fprintf(stderr, "%%s\\n", argv[0]); }\n' \
    > "$probe.cpp"
  # shellcheck disable=SC2086 # CXXFLAGS is a list of flags
  "$CXX" -O2 -D_FORTIFY_SOURCE=2 $CXXFLAGS "$probe.cpp" -o "$probe-fortify" 2>/dev/null &&
    calls_fortified "$probe-fortify" && gives_fortify=1
  # shellcheck disable=SC2086
  "$CXX" -fcf-protection $CXXFLAGS "$probe.cpp" -o "$probe-cf" 2>/dev/null || return 0
  ! objdump -d --disassemble=main "$probe-cf" | has endbr64 || gives_endbr=1
  ! readelf -nW "$probe-cf" | has 'IBT, SHSTK' || gives_cet_note=1
}
calls_fortified() { nm -D --undefined-only "$1" | has -E ' __[a-z_]+_chk@'; }

# An optimised build of the tool must be hardened as far as the toolchain can.
check_hardened() {
  local elf=$1
  readelf -hW "$elf" | has -E 'Type: +DYN' || fail "$elf: not a position-independent executable"
  readelf -lW "$elf" | has GNU_RELRO || fail "$elf: no read-only relocations (GNU_RELRO)"
  readelf -dW "$elf" | has -E '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) .*NOW' ||
    fail "$elf: symbols are not bound at start-up (BIND_NOW)"
  [[ $gives_fortify == 0 ]] || calls_fortified "$elf" ||
    fail "$elf: no fortified libc call, though the toolchain fortifies at -O2"
  [[ $gives_endbr == 0 ]] || objdump -d --disassemble=main "$elf" | has endbr64 ||
    fail "$elf: main starts with no ENDBR64, though the toolchain adds one with -fcf-protection"
  [[ $gives_cet_note == 0 ]] || readelf -nW "$elf" | has 'IBT, SHSTK' ||
    fail "$elf: no IBT/SHSTK note, though the toolchain gives one with -fcf-protection"
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
  (cd "$work/run" && "$tool" && mv RidgeTexture.ppm installed.ppm && exec -a "$tool" "$build/RidgeTexture") ||
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
    need readelf nm objdump
    probe_toolchain
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
