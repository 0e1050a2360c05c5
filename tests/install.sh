#!/usr/bin/env bash
# Checks what the README's build, installing and packaging give.
#   usage: install.sh readme|tree|deb|lintian
#   readme   the README's build, and the other optimised configurations:
#            the tool alone, optimised and hardened as far as the toolchain
#            can harden it
#   tree     cmake --install puts a working tool, its manual page, copyright
#            and changelog in place, and the README's uninstall removes them
#   deb      the package likewise, with its control fields, modes and
#            hardening; made after an install, it leaves the install's
#            record to the README's uninstall
#   lintian  lintian -I finds nothing to say about the package
# The build's facts come in the environment (tests/CMakeLists.txt): BUILD_DIR,
# CONFIG (its configuration), VERSION, SANITIZE (1 for a sanitized build), CXX
# and CXXFLAGS (its compiler and flags), CMAKE, CPACK and DOCDIR (the
# documentation directory, absolute or relative to the prefix). Everything is
# written under a scratch directory: installs go through DESTDIR, so even an
# absolute DOCDIR stays in it. Exits 77, skipped, when a tool is missing.
set -euo pipefail
mode=$1
build=$BUILD_DIR
source_dir=$(cd "$(dirname "$0")/.." && pwd)

# Installing writes the build directory's install_manifest.txt, the user's
# record of what they installed, and packaging its install_manifest_*.txt:
# they are put back as they were.
manifest=$build/install_manifest.txt
work=$(mktemp -d)
mkdir "$work/manifests"
find "$build" -maxdepth 1 -name 'install_manifest*.txt' -exec cp -p {} "$work/manifests/" \;
restore() {
  rm -f "$build"/install_manifest*.txt
  find "$work/manifests" -type f -exec cp -p {} "$build/" \;
  rm -rf "$work"
}
trap restore EXIT
fail() { echo "FAIL ($mode): $*" >&2; exit 1; }
need() {
  for cmd; do
    command -v "$cmd" >/dev/null || { echo "SKIPPED: $cmd is not installed" >&2; exit 77; }
  done
}
# grep -q would stop reading at the first match, and under pipefail the
# writer's SIGPIPE would fail the pipe.
has() { grep "$@" > /dev/null; }
quietly() { "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; fail "$* failed"; }; }

# What the toolchain can give, asked of a small program built with the
# build's compiler and flags rather than of the build itself: fortified libc
# calls when optimised; x86 control-flow protection, the ENDBR64 landing pads
# in the code, and the IBT/SHSTK note that lets the kernel enforce it (which
# needs C runtime start files marked for it, as glibc's are not on Debian 12,
# 13 or sid). Sets gives_fortify, gives_endbr and gives_cet_note to 1 or 0,
# building the probe once.
calls_fortified() { nm -D --undefined-only "$1" | has -E ' __[a-z_]+_chk@'; }
probe_toolchain() {
  [[ -z ${gives_fortify-} ]] || return 0
  gives_fortify=0 gives_endbr=0 gives_cet_note=0
  local probe=$work/probe
  printf '#include <cstdio>\nint main(int, char* argv[]) { std::fprintf(stderr, "%%s\\n", argv[0]); }\n' \
    > "$probe.cpp"
  # shellcheck disable=SC2086 # CXXFLAGS is a list of flags
  if "$CXX" -O2 -D_FORTIFY_SOURCE=2 $CXXFLAGS "$probe.cpp" -o "$probe-fortify" 2>/dev/null &&
    calls_fortified "$probe-fortify"; then
    gives_fortify=1
  fi
  # shellcheck disable=SC2086
  if "$CXX" -fcf-protection $CXXFLAGS "$probe.cpp" -o "$probe-cf" 2>/dev/null; then
    if objdump -d --disassemble=main "$probe-cf" | has endbr64; then gives_endbr=1; fi
    if readelf -nW "$probe-cf" | has 'IBT, SHSTK'; then gives_cet_note=1; fi
  fi
}
# Whether this build's libc calls must come out fortified.
fortify_expected() {
  probe_toolchain
  [[ $CONFIG =~ ^(Release|RelWithDebInfo|MinSizeRel)$ && $SANITIZE != 1 && $gives_fortify == 1 ]]
}

# ELF, then 1 when its libc calls must be fortified.
check_hardened() {
  local elf=$1
  probe_toolchain
  readelf -hW "$elf" | has -E 'Type: +DYN' || fail "$elf: not a position-independent executable"
  readelf -lW "$elf" | has GNU_RELRO || fail "$elf: no read-only relocations (GNU_RELRO)"
  readelf -dW "$elf" | has -E '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) .*NOW' ||
    fail "$elf: symbols are not bound at start-up (BIND_NOW)"
  if [[ $2 == 1 ]]; then
    calls_fortified "$elf" ||
      fail "$elf: no fortified libc call, though the toolchain fortifies at -O2"
  fi
  # A stripped binary has no main to look at.
  if [[ $gives_endbr == 1 ]] && nm "$elf" 2>/dev/null | has ' T main$'; then
    objdump -d --disassemble=main "$elf" | has endbr64 ||
      fail "$elf: main starts with no ENDBR64, though the toolchain adds one with -fcf-protection"
  fi
  # Sanitizer runtimes are not marked, so their builds can't carry the note.
  if [[ $SANITIZE != 1 && $gives_cet_note == 1 ]]; then
    readelf -nW "$elf" | has 'IBT, SHSTK' ||
      fail "$elf: no IBT/SHSTK note, though the toolchain gives one with -fcf-protection"
  fi
}

# The installed or packaged tool must run on its own and write the picture,
# beside its manual page, copyright and changelog. PREFIX, DOCS.
check_tree() {
  local prefix=$1 docs=$2
  [[ -x $prefix/bin/RidgeTexture ]] || fail "no executable bin/RidgeTexture"
  local file
  for file in "$prefix/share/man/man1/RidgeTexture.1.gz" "$docs/copyright" "$docs/changelog.gz"; do
    [[ -f $file ]] || fail "no ${file#"$work"/}"
  done
  gzip -dc "$prefix/share/man/man1/RidgeTexture.1.gz" | cmp -s - "$build/RidgeTexture.1" ||
    fail "the installed manual page is not the one built"
  # The copyright file must carry LICENSE's terms, line for line.
  diff <(sed -n '/^License: /,$ { /^License: /d; s/^ //; s/^\.$//; p; }' "$docs/copyright") \
    <(sed '1,/^Copyright/d' "$source_dir/LICENSE" | sed '1{/^$/d;}') >&2 ||
    fail "the copyright file's licence text differs from LICENSE"
  [[ $(gzip -dc "$docs/changelog.gz" | head -n 1) == "ridgetexture ($VERSION) "* ]] ||
    fail "the changelog's latest entry is not $VERSION"
  local tool=$prefix/bin/RidgeTexture
  mkdir "$work/run"
  (cd "$work/run" && "$tool") || fail "the installed tool exited with $?"
  local name_bytes
  name_bytes=$(printf %s "$tool" | wc -c)
  [[ $(stat -c %s "$work/run/RidgeTexture.ppm") == $((31 + name_bytes + 196608)) ]] ||
    fail "the installed tool wrote a file of the wrong size"
}

# cmake --install as the README has it, into a prefix in the scratch
# directory. An absolute DOCDIR lies outside any prefix: then the install
# is staged under DESTDIR.
install_tree() {
  prefix=$work/prefix
  docs=$prefix/$DOCDIR
  local destdir=
  if [[ $DOCDIR == /* ]]; then
    destdir=$work/dest
    docs=$destdir$DOCDIR
  fi
  DESTDIR=$destdir quietly "$CMAKE" --install "$build" ${CONFIG:+--config "$CONFIG"} --prefix "$prefix"
  prefix=$destdir$prefix
}

# The README's uninstall command, run as it stands on the install just made.
uninstall_tree() {
  local command outside left
  if [[ $DOCDIR == /* ]]; then
    echo "NOTE: DOCDIR $DOCDIR is absolute: the README's uninstall would remove it there; not run"
    return
  fi
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

make_deb() {
  need dpkg-deb dpkg-shlibdeps file
  # Under the strictest umask, whatever the suite's own: the package's
  # directories must still be open to all.
  (umask 077 && cd "$build" && quietly "$CPACK" -G DEB ${CONFIG:+-C "$CONFIG"} -B "$work/pkg")
  deb=("$work"/pkg/ridgetexture_"$VERSION"_*.deb)
  [[ -f ${deb[0]} ]] || fail "no ridgetexture_${VERSION}_*.deb"
}

case $mode in
  readme)
    [[ -n ${CMAKE_GENERATOR-} ]] || need make
    need readelf nm objdump
    SANITIZE=0  # these builds are the plain ones, whatever this one is
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
      check_hardened "$tree/RidgeTexture" $gives_fortify
    done
    echo "readme: the plain, RelWithDebInfo and MinSizeRel builds are optimised and hardened"
    exit 0
    ;;
  tree)
    install_tree
    check_tree "$prefix" "$docs"
    uninstall_tree
    ;;
  deb)
    need readelf nm objdump
    install_tree
    make_deb
    uninstall_tree
    field() { dpkg-deb -f "${deb[0]}" "$1"; }
    [[ $(field Package) == ridgetexture ]] || fail "Package: $(field Package)"
    [[ $(field Version) == "$VERSION" ]] || fail "Version: $(field Version)"
    [[ $(field Section) == graphics ]] || fail "Section: $(field Section)"
    description=$(field Description)
    [[ $(wc -l <<< "$description") -ge 3 ]] || fail "Description has no long text: $description"
    modes=$(dpkg-deb -c "${deb[0]}" | awk '{ print $1 }' | sort -u | tr '\n' ' ')
    [[ $modes == "-rw-r--r-- -rwxr-xr-x drwxr-xr-x " ]] || fail "modes in the package: $modes"
    dpkg-deb -x "${deb[0]}" "$work/root"
    check_tree "$work/root/usr" "$work/root/usr/share/doc/ridgetexture"

    elf=$work/root/usr/bin/RidgeTexture
    fortified=0
    fortify_expected && fortified=1
    check_hardened "$elf" $fortified
    ! readelf -SW "$elf" | has ' \.comment ' || fail "the binary has a .comment section"
    # The tool needs libc alone, from the version its newest symbol came in;
    # a sanitized build needs the sanitizers' runtimes too.
    depends=$(field Depends)
    if [[ $SANITIZE == 1 ]]; then
      depends=$(sed -E 's/(, )?lib(a|ub)san[0-9]+( \([^)]*\))?//g; s/^, //' <<< "$depends")
    fi
    [[ $depends =~ ^libc6\ \(\>=\ ([0-9.]+)\)$ ]] || fail "Depends: '$depends', not libc6 alone, versioned"
    needed=$(readelf -VW "$elf" | grep -oE 'GLIBC_[0-9.]+' | sed 's/^GLIBC_//' | sort -V | tail -n 1)
    dpkg --compare-versions "${BASH_REMATCH[1]}" ge "$needed" ||
      fail "Depends: '$depends', but the binary needs GLIBC_$needed"
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
    fortify_expected || suppress=(--suppress-tags hardening-no-fortify-functions)
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
