#!/usr/bin/env bash
# Our code allocates nothing from the heap: the tool must not import an
# allocator (libc's stdio allocates its own buffer inside libc).
#   usage: imports.sh TOOL     (exits 77, skipped, without nm)
set -euo pipefail
command -v nm >/dev/null || { echo "SKIPPED: nm (binutils) is not installed" >&2; exit 77; }
if nm -D --undefined-only "$1" | grep -E ' (malloc|calloc|realloc|free|aligned_alloc|posix_memalign|_Zn[wa]m[^ ]*|_Zd[la]Pv[^ ]*)(@|$)'; then
  echo "FAIL: the tool imports an allocator" >&2
  exit 1
fi
