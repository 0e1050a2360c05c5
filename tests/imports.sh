#!/usr/bin/env bash
# Our code allocates nothing from the heap: the tool must not import an
# allocator (libc's stdio allocates its own buffer inside libc).
#   usage: imports.sh TOOL     (exits 77, skipped, without nm)
set -euo pipefail
command -v nm >/dev/null || { echo "SKIPPED: nm (binutils) is not installed" >&2; exit 77; }
imports=$(nm -D --undefined-only "$1") || { echo "FAIL: nm could not read $1" >&2; exit 1; }
# A binary nm reads without error may still show no imports at all (a static
# one): the list must at least hold the stdio the tool can't do without.
grep -Eq ' fopen(64)?(@|$)' <<< "$imports" ||
  { echo "FAIL: $1 imports no fopen: not the dynamically linked tool" >&2; exit 1; }
if grep -E ' (malloc|calloc|realloc|free|aligned_alloc|posix_memalign|_Zn[wa]m[^ ]*|_Zd[la]Pv[^ ]*)(@|$)' <<< "$imports"; then
  echo "FAIL: the tool imports an allocator" >&2
  exit 1
fi
