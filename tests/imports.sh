#!/usr/bin/env bash
# Our code allocates nothing from the heap: the tool must not import an
# allocator (libc's stdio allocates its own buffer inside libc).
#   usage: imports.sh TOOL     (exits 77, skipped, without nm)
set -euo pipefail
command -v nm >/dev/null || { echo "SKIPPED: nm (binutils) is not installed" >&2; exit 77; }
# Demangled, so operator new and delete show whatever their mangling on the
# target (_Znwm on 64-bit, _Znwj on 32-bit, and the aligned forms).
imports=$(nm -D --undefined-only --demangle "$1") || { echo "FAIL: nm could not read $1" >&2; exit 1; }
# A binary nm reads without error may still show no imports at all (a static
# one): the list must at least hold the stdio the tool can't do without.
grep -Eq ' fwrite(@|$)' <<< "$imports" ||
  { echo "FAIL: $1 imports no fwrite: not the dynamically linked tool" >&2; exit 1; }
if grep -E ' ((malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc)(@|$)|operator (new|delete))' <<< "$imports"; then
  echo "FAIL: the tool imports an allocator" >&2
  exit 1
fi
