#!/usr/bin/env bash
# Copies the working tree as it is on disk into DEST, a new directory: a
# clone of HEAD with every uncommitted change, new file and deletion laid
# over it, leaving out what git ignores. What is checked there is what is
# here now, committed or not.
#   usage: scripts/worktree.sh DEST
set -euo pipefail
dest=$1
cd "$(dirname "$0")/.."
git clone -q . "$dest"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    if [[ -e $file || -L $file ]]; then printf '%s\0' "$file"; fi
  done |
  tar --null -T - -cf - | tar -xf - -C "$dest"
git ls-files -z --deleted | (cd "$dest" && xargs -0 -r rm -f --)
