#!/usr/bin/env bats
# Runs started at once in one directory, under names (so headers) of two
# lengths and a case's locks: however they interleave, when every run ends 0
# the file holds one run's whole picture, and a FIFO's reader gets each run's.
load helpers

# Four runs at once under WORDS, as many times as fit in five seconds (a
# hundred at most): unguarded runs mix within the first twenty or so, even in
# a slow build. Each must end 0 without a word, unless --or-report lets it
# report "could not write" instead; the file holds one whole picture unless
# a run reported, and a FIFO's reader, coming once every run waits for it,
# gets one whole picture a run.   runs_at_once [--or-report] [WORD...]
runs_at_once() {
  local may_report=no trial i runs failed pictures
  [[ $1 != --or-report ]] || { may_report=yes && shift; }
  "$PYTHON" "$E2E/picture.py" RidgeTexture > ../short && "$PYTHON" "$E2E/picture.py" "$LONG_NAME" > ../long
  local end=$((SECONDS + 5))
  for ((trial = 0; trial < 100 && SECONDS < end; trial++)); do
    runs=() failed=0
    for i in 0 1 2 3; do
      command_for "$i" "$@" -- "$( ((i % 2)) && echo "$LONG_NAME" || echo RidgeTexture)"
      launch "$i" &
      runs+=($!)
    done
    [[ ! -p RidgeTexture.ppm ]] || read_when_all_wait "${runs[@]}"
    for i in 0 1 2 3; do
      status=0 && wait "${runs[i]}" || status=$?
      [[ $may_report == yes && $status == 128 && $(cat "../err.$i") == "$NO_WRITE" ]] && failed=1 && continue
      [[ $status == 0 && ! -s ../err.$i ]] ||
        { echo "trial $trial, run $i: status $status, $(cat "../err.$i" "../wrappers.$i")" >&2 && return 1; }
    done
    ((failed)) && continue
    pictures=$("$PYTHON" "$E2E/picture.py" --count "${FIFO_READ:-RidgeTexture.ppm}" ../short ../long) &&
      [[ $pictures == "$([[ -p RidgeTexture.ppm ]] && echo 4 || echo 1)" ]] ||
      { echo "trial $trial: every run ended 0, but the file holds $pictures" >&2 && return 1; }
  done
  echo "# $trial trials" >&3
}

# The FIFO's reader comes once every run waits in its open for it.
read_when_all_wait() {
  local run
  for run in "$@"; do
    await_fifo_partner "$(run_pid "$run")" || return
  done
  cat RidgeTexture.ppm > ../read
  FIFO_READ=../read
}

@test "none" {
  runs_at_once
}

@test "shared_flock" {
  keep_lock flock,shared
  runs_at_once
}

@test "exclusive_flock" {
  keep_lock flock
  runs_at_once
}

# Each run under its own 'flock --fcntl RidgeTexture.ppm', or all under one:
# they take turns.
@test "each_under_flock_fcntl" {
  skip_unless_proc
  runs_at_once own:ofd
}

@test "all_under_one_flock_fcntl" {
  skip_unless_proc
  keep_lock ofd shared
  runs_at_once
}

# Another's flock keeps them from taking turns: they may report the mix.
@test "all_under_one_flock_fcntl_beside_a_shared_flock" {
  skip_unless_proc
  keep_lock ofd shared
  keep_lock flock,shared
  runs_at_once --or-report
}

@test "fifo_read_late" {
  mkfifo -m 666 RidgeTexture.ppm
  runs_at_once
}
