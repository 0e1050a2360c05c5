#!/usr/bin/env bash
# Every strict check after the test suite, the quick ones first: the format,
# clang-tidy and cppcheck; then the optimised build with clang++, warnings as
# errors on both compilers, the sanitizers; last the Debian package, twice.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }
# The last step's second build runs on disorderfs, a FUSE file system: said
# now, not after the rest. In a chroot, bind the host's: mount --rbind /dev DIR/dev
[[ -c /dev/fuse ]] || { echo "check.sh: reprotest's disorderfs needs /dev/fuse" >&2; exit 1; }
units=(src/*.cpp tests/*.cpp bench/*.cpp)

step "clang-format"
clang-format --dry-run --Werror "${units[@]}" src/*.hpp tests/*.hpp ||
  { echo "to fix: clang-format -i ${units[*]} src/*.hpp tests/*.hpp" >&2; exit 1; }

# clang-tidy and cppcheck read the compilation database a configure writes.
cmake --preset dev-clang > /dev/null
step "clang-tidy"
# clang-tidy counts what it suppressed in system headers, one line a file:
# only real diagnostics are shown.
clang-tidy --quiet -p out/build/dev-clang "${units[@]}" 2>&1 |
  { grep -Ev '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' || true; }

step "cppcheck"
cppcheck --project=out/build/dev-clang/compile_commands.json --library=googletest \
  --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
  --suppress=missingIncludeSystem --suppress=normalCheckLevelMaxBranches --error-exitcode=1 -q

for preset in release-clang dev-gcc dev-clang sanitize; do
  step "preset $preset"
  cmake --preset "$preset" && cmake --build --preset "$preset" && ctest --preset "$preset"
done

# The package, made as the README says (its build runs the unit and
# end-to-end tests) by reprotest, twice, the second time in another place,
# under another umask, clock, locale, time zone and file order: the two must
# be the same to the bit, lintian must have nothing to say, and the tool must
# need libc alone. CI installs it on a bare Debian 12, runs it and autopkgtest.
step "Debian package"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
bash scripts/worktree.sh "$scratch/ridgetexture"
# Quiet unless something fails: then the whole log. The host and domain
# name stay, as varying them takes a user namespace, which a chroot can't make.
(cd "$scratch/ridgetexture" && reprotest --vary=build_path,-user_group,-domain_host \
  --store-dir "$scratch/store" . -- null > "$scratch/reprotest.log" 2>&1) ||
  { cat "$scratch/reprotest.log" >&2; exit 1; }
tail -n 3 "$scratch/reprotest.log"
deb=$(echo "$scratch"/store/control/ridgetexture_*.deb)
lintian --allow-root -I --fail-on error,warning,info "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || { echo "Depends: $depends" >&2; exit 1; }

step "all strict checks passed"
