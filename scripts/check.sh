#!/usr/bin/env bash
# Every strict check after the test suite: warnings as errors on both
# compilers, the sanitizers, clang-tidy, cppcheck and the format. Each build's
# tests include the reader, manual page, install and package checks.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s\n' "$*"; }

for preset in dev-gcc dev-clang sanitize; do
  step "workflow $preset"
  cmake --workflow --preset "$preset"
done

units=(src/*.cpp tests/*.cpp bench/*.cpp)

step "clang-tidy"
clang-tidy --quiet -p out/build/dev-clang "${units[@]}"

step "cppcheck"
cppcheck --project=out/build/dev-clang/compile_commands.json --library=googletest \
  --enable=warning,style,performance,portability --std=c++20 --inline-suppr \
  --suppress=missingIncludeSystem --error-exitcode=1 -q

step "clang-format"
clang-format --dry-run --Werror "${units[@]}" src/*.hpp

step "all strict checks passed"
