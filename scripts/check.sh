#!/usr/bin/env bash
# Every strict check after the test suite: the optimised build with clang++,
# warnings as errors on both compilers, the sanitizers, clang-tidy, cppcheck
# and the format. Each build's tests include the reader, manual page, install
# and package checks.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }

for preset in release-clang dev-gcc dev-clang sanitize; do
  step "workflow $preset"
  cmake --workflow --preset "$preset"
done

units=(src/*.cpp tests/*.cpp bench/*.cpp)

step "clang-tidy"
# clang-tidy counts what it suppressed in system headers, one line a file:
# only real diagnostics are shown.
clang-tidy --quiet -p out/build/dev-clang "${units[@]}" 2>&1 |
  { grep -Ev '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' || true; }

step "cppcheck"
cppcheck --project=out/build/dev-clang/compile_commands.json --library=googletest \
  --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
  --suppress=missingIncludeSystem --suppress=normalCheckLevelMaxBranches --error-exitcode=1 -q

step "clang-format"
clang-format --dry-run --Werror "${units[@]}" src/*.hpp

# The package, made as the README says from two copies of the working tree
# in different places, one of them built under a strict umask, must come out
# the same to the bit.
step "reproducible package"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
clones=("$scratch/one/RidgeTexture" "$scratch/second/clone/of/it")
for clone in "${clones[@]}"; do
  (
    [[ $clone == "${clones[0]}" ]] || umask 077
    bash scripts/worktree.sh "$clone" && cd "$clone"
    # Quiet unless something fails: then the whole log.
    {
      cmake -S . -B build && cmake --build build &&
        (cd build && umask 022 && SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) cpack -G DEB)
    } > build.log 2>&1 || { cat build.log >&2; exit 1; }
  )
done
debs=("${clones[0]}"/build/ridgetexture_*.deb "${clones[1]}"/build/ridgetexture_*.deb)
sha256sum "${debs[@]}"
cmp "${debs[@]}" || { echo "the two packages differ (diffoscope shows how)" >&2; exit 1; }

step "all strict checks passed"
