#!/usr/bin/env bash
# Names each skipped test with the reason it gave (GoogleTest's or bats'),
# which CTest's summary leaves out, from the JUnit report the test presets
# have CTest write, under a heading.
# Prints nothing where none was skipped, and never fails.   usage: skipped.sh JUNIT_FILE
[[ -f $1 ]] || exit 0
awk '/<testcase / { match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7) }
  { line = $0; sub(/^[ \t]*<system-out>/, "", line) }
  line ~ /^SKIPPED: |# skip/ || previous ~ /: Skipped$/ {
    sub(/^(ok [0-9]+ .* )?# skip:? /, "", line)
    gsub(/&apos;/, "\047", line); gsub(/&quot;/, "\"", line); gsub(/&lt;/, "<", line)
    gsub(/&gt;/, ">", line); gsub(/&amp;/, "\\&", line); if (!shown++) print "Why tests were skipped:"
    print "  " name ": " line }
  { previous = line }' "$1" || true
