#!/usr/bin/env bash
# Run by CTest once the tests have run (CTEST_CUSTOM_POST_TEST): names each
# skipped test with the reason it gave, which CTest's summary leaves out.
log=Testing/Temporary/LastTest.log
[[ -f $log.tmp ]] && log=$log.tmp  # still being written
awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 }
  /^SKIPPED: / || previous ~ /: Skipped$/ { print "Skipped " name ": " $0 }
  { previous = $0 }' "$log"
