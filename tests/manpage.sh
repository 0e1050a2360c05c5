#!/usr/bin/env bash
# The manual page must format without a single groff warning.
#   usage: manpage.sh PAGE      (exits 77, skipped, without groff)
set -euo pipefail
command -v groff >/dev/null || { echo "SKIPPED: groff is not installed" >&2; exit 77; }
warnings=$(groff -man -ww -z "$1" 2>&1)
if [[ -n $warnings ]]; then
  printf '%s\n' "$warnings" >&2
  exit 1
fi
