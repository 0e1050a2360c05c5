#!/usr/bin/env bats
# The installed or built tool end to end, a case a test: the setup, the run
# (or two), then what must hold of its status, its standard streams and the
# directory. Words before "--" wrap the run (helpers.bash says what each does).
load helpers

KILLED=$((128 + $(kill -l SYS))) # a call refused as a sandbox may: SIGSYS

@test "picture_written" {
  ridge
  expect_run 0 && expect_picture
}

@test "long_path_named_in_the_header" {
  ridge -- "$LONG_NAME"
  expect_run 0 && expect_picture "$LONG_NAME"
}

@test "extra_arguments_ignored" {
  ridge -- RidgeTexture --help -o other.ppm "" $'\n'
  expect_run 0 && expect_picture
}

@test "larger_file_replaced" {
  given larger_file
  ridge
  expect_run 0 && expect_picture
}

@test "only_line_breaks_in_the_name_replaced" { # as '?', not other control bytes
  ridge -- $'\x7f\vRidge\nTexture\r\f\x1b'
  expect_run 0 && expect_picture $'\x7f\vRidge?Texture?\f\x1b'
}

@test "no_arguments_at_all_named_as_the_tool" { # Linux hands it one empty argument
  skip_if_emulated "which always names the tool"
  ridge no-arguments
  expect_run 0 && expect_picture
}

@test "empty_name_named_as_the_tool" {
  ridge -- ""
  expect_run 0 && expect_picture
}

@test "small_stack_enough" { # the picture is far larger
  ridge stack=131072
  expect_run 0 && expect_picture
}

@test "directory_in_the_way" {
  given directory
  ridge
  expect_run 128 "$NO_CREATE" && expect_unchanged
}

@test "unwritable_directory" {
  given unwritable_directory
  ridge nobody
  expect_run 128 "$NO_CREATE" && expect_unchanged
}

@test "read_only_file" { # in a directory open to all: only its mode stands in the way
  given read_only_file
  ridge nobody
  expect_run 128 "$NO_CREATE" && expect_unchanged
}

@test "full_disk_reported" { # the link to /dev/full costs not a moment's pause
  given full_disk
  ridge pause-kills
  expect_run 128 "$NO_WRITE" && expect_unchanged
}

@test "write_only_file_replaced" {
  given write_only_file
  ridge nobody
  expect_run 0 && expect_picture
}

@test "file_size_limit_reported" { # what was written before the limit stays
  ridge fsize=65536 sigxfsz-ignored
  expect_run 128 "$NO_WRITE" && [[ $(ls -A) == RidgeTexture.ppm ]] && expect_part_of_picture RidgeTexture.ppm
}

@test "file_size_limit_signal_ends_it" { # with no word, where the signal keeps its default action
  ridge fsize=65536
  expect_run $((128 + $(kill -l XFSZ))) && [[ $(ls -A) == RidgeTexture.ppm ]] &&
    expect_part_of_picture RidgeTexture.ppm
}

@test "anothers_flock_costs_no_pause" {
  given older_file
  ridge another:flock pause-kills
  expect_run 0 && expect_picture
}

@test "anothers_record_lock_waited_for" { # two seconds, each pause taken, then written all the same
  given older_file
  ridge another:record pauses-checked
  expect_run 0 && expect_waited && expect_picture && [[ ! -s ../trace.run ]]
}

@test "anothers_lock_on_the_tail_waited_for" {
  given older_file
  ridge another:record,tail pause-kills
  expect_run "$KILLED" && expect_unchanged
}

@test "wait_timed_by_the_monotonic_clock" { # not by one that steps
  skip_if_emulated "whose clock a preloaded library would not reach"
  command -v faketime > /dev/null || skip "needs faketime"
  given older_file
  ridge another:record env DONT_FAKE_MONOTONIC=1 "ASAN_OPTIONS=${ASAN_OPTIONS-}:verify_asan_link_order=0" \
    faketime -f "+0 x10"
  expect_run 0 && expect_waited && expect_picture
}

# Under 'flock RidgeTexture.ppm RidgeTexture', 'flock --fcntl ...', a wrapper
# that takes a record lock, then execs, or both: not a moment's pause.
@test "flock_wrapper_costs_no_pause" {
  given older_file
  ridge wrapper:flock pause-kills
  expect_run 0 && expect_picture
}

@test "own_flock_fcntl_costs_no_pause" {
  skip_unless_proc
  ridge pause-kills own:ofd
  expect_run 0 && expect_picture
}

@test "own_record_lock_costs_no_pause" {
  skip_unless_proc
  ridge pause-kills own:record
  expect_run 0 && expect_picture
}

@test "own_record_lock_and_flock_on_one_descriptor_cost_no_pause" {
  skip_unless_proc
  ridge pause-kills own:flock+record
  expect_run 0 && expect_picture
}

@test "own_lock_beside_anothers_flock_costs_no_pause" {
  skip_unless_proc
  given older_file
  ridge another:flock pause-kills own:record
  expect_run 0 && expect_picture
}

@test "own_lock_beside_anothers_shared_flock_costs_no_pause" {
  skip_unless_proc
  given older_file
  ridge another:flock,shared pause-kills own:record
  expect_run 0 && expect_picture
}

@test "own_lock_inside_a_flock_wrapper_costs_no_pause" {
  skip_unless_proc
  given older_file
  ridge wrapper:flock pause-kills own:record
  expect_run 0 && expect_picture
}

# Runs sharing an open file description lock take turns by a flock on the
# file: another's flock, or a wrapper's, is in the way of such a run's turn.
@test "own_flock_fcntl_beside_anothers_flock_waited_for" {
  skip_unless_proc
  given older_file
  ridge another:flock own:ofd
  expect_run 0 && expect_waited && expect_picture
}

@test "flock_fcntl_inside_a_flock_wrapper_waited_for" {
  skip_unless_proc
  given older_file
  ridge wrapper:flock own:ofd
  expect_run 0 && expect_waited && expect_picture
}

# A lock of the process's that doesn't hold this whole file for writing is
# waited for like another's: the pause kills.
@test "own_lock_elsewhere_waited_for" {
  given older_file
  ridge another:record pause-kills own:ofd@../elsewhere
  expect_run "$KILLED" && expect_unchanged
}

@test "own_lock_on_the_tail_waited_for" {
  given older_file
  ridge pause-kills own:record,tail
  expect_run "$KILLED" && expect_unchanged
}

@test "own_shared_lock_waited_for" {
  given older_file
  ridge pause-kills own:ofd,shared
  expect_run "$KILLED" && expect_unchanged
}

@test "own_shared_record_lock_waited_for" {
  given older_file
  ridge pause-kills own:record,shared
  expect_run "$KILLED" && expect_unchanged
}

@test "flock_wrapper_beside_anothers_record_lock_waited_for" {
  given older_file
  ridge wrapper:flock another:record pause-kills
  expect_run "$KILLED" && expect_unchanged
}

# Without /proc nothing tells the run's own lock from another's: it is another's.
@test "anothers_lock_without_proc_waited_for" {
  ! grep -qa __asan_init ../RidgeTexture || skip "the sanitizers' runtime needs /proc"
  given write_only_file
  unshare -m --propagation unchanged true 2> /dev/null || skip "can't make a mount namespace here"
  ridge another:record no-proc nobody
  expect_run 128 "$NO_CREATE" && expect_unchanged
}

# The file waited for is moved away, or replaced: the path's file is written.
# So it is when the file is moved only once the wait is over.
@test "moved_file_let_go" {
  given older_file
  start_ridge another:record stopped-at=fcntl
  mv RidgeTexture.ppm keep.ppm && resume
  mv ../before/RidgeTexture.ppm ../before/keep.ppm
  expect_run stopped 0 && expect_picture
}

@test "replaced_file_let_go" { # at once: the path never names nothing
  given older_file
  start_ridge another:record stopped-at=fcntl
  printf 'a newer picture' > ../newer && chmod 662 ../newer
  ln RidgeTexture.ppm keep.ppm && mv ../newer RidgeTexture.ppm && resume
  mv ../before/RidgeTexture.ppm ../before/keep.ppm
  expect_run stopped 0 && expect_picture
}

@test "file_moved_once_the_wait_is_over_let_go" {
  given older_file
  start_ridge another:record stopped-at=fcntl
  sleep $((LOCK_WAIT_MS / 1000 + 1)) && mv RidgeTexture.ppm keep.ppm && resume
  mv ../before/RidgeTexture.ppm ../before/keep.ppm
  expect_run stopped 0 && expect_picture
}

# Past the wait, a name that another file takes at every open is given up:
# no file is written that the name no longer gives.
@test "name_replaced_at_each_open_given_up" {
  given older_file
  start_ridge stopped-at-each=openat
  local stops=1
  while printf 'an older picture' > ../older && chmod 644 ../older && mv ../older RidgeTexture.ppm &&
    kill -CONT -- "-$RUN" && await_stops $((++stops)); do :; done
  resume
  expect_run stopped 128 "$NO_CREATE" && expect_unchanged
}

# A FIFO that takes the name between the run's look and its open is written
# as any FIFO: its writer waits for a reader, one already waiting gets the
# whole picture, and one that leaves early ends the run by SIGPIPE.
fifo_takes_the_name() {
  skip_unless_proc "shows whether a process waits for a FIFO's other end"
  mkfifo -m 644 ../fifo
  # At its look at the name: strace counts each call apart, and libcs make
  # that stat, and fstat, by different ones.
  start_ridge 'stopped-at=^(stat|stat64|newfstatat|fstatat64|statx)$'
  mv ../fifo RidgeTexture.ppm
}

# The FIFO keeps the name; its reader got the picture, or its first N bytes.
expect_fifo_read() {
  [[ $(listing .) == "RidgeTexture.ppm p 644 " ]] && "$PYTHON" "$E2E/picture.py" RidgeTexture > ../whole &&
    cmp ${1+-n "$1"} ../read ../whole
}

@test "fifo_taking_the_name_at_the_open_read_whole" {
  fifo_takes_the_name
  cat RidgeTexture.ppm > ../read &
  await_fifo_partner $! && resume && wait
  expect_run stopped 0 && expect_fifo_read
}

@test "fifo_taking_the_name_waits_for_its_reader" {
  fifo_takes_the_name
  kill -CONT -- "-$RUN" && await_fifo_partner "$(run_pid)"
  cat RidgeTexture.ppm > ../read && resume
  expect_run stopped 0 && expect_fifo_read
}

@test "fifo_taking_the_name_ends_with_a_reader_that_stops_early" {
  fifo_takes_the_name
  head -c 1000 RidgeTexture.ppm > ../read &
  resume && wait
  expect_run stopped $((128 + $(kill -l PIPE))) && expect_fifo_read 1000
}

# Another run holds the file, stopped at its first write, while this one
# waits, writes its longer picture and ends; then it goes on, and must report
# the mix. Where this one can't read the file back, it writes nothing.
@test "stalled_run_over_the_picture_reports_the_mix" {
  start_ridge stopped-at=write
  ridge -- "$LONG_NAME"
  expect_run 0 && expect_picture "$LONG_NAME" && resume
  expect_run stopped 128 "$NO_WRITE"
}

@test "stalled_run_holding_the_turn_waited_for" { # under one 'flock --fcntl', two seconds at most
  skip_unless_proc
  keep_lock ofd shared
  start_ridge stopped-at=write
  ridge -- "$LONG_NAME"
  expect_run 0 && expect_waited && expect_picture "$LONG_NAME" && resume
  expect_run stopped 128 "$NO_WRITE"
}

@test "write_only_file_held_by_a_stalled_run_left_alone" {
  given write_only_file
  start_ridge stopped-at=write nobody
  ridge nobody
  expect_run 128 "$NO_CREATE" && expect_unchanged && resume
  expect_run stopped 0 && expect_picture
}

# Runs sharing one lock keep apart in any network namespace: one that can't
# read the file back and can't have the turn writes nothing.
@test "runs_sharing_a_lock_across_network_namespaces_never_mix" {
  skip_unless_proc
  unshare -n true 2> /dev/null || skip "can't make a network namespace here"
  chmod 777 . && given write_only_file
  keep_lock ofd shared
  start_ridge stopped-at=write unshare -n nobody -- "$LONG_NAME"
  ridge nobody
  expect_run 128 "$NO_CREATE" && expect_unchanged && resume
  expect_run stopped 0 && expect_picture "$LONG_NAME"
}

# Only someone able to open the file can delay a run: not a stranger who
# binds the name 1.3.1 took turns by, nor a sandbox that refuses sockets.
@test "stranger_binding_a_name_delays_no_run" {
  skip_unless_proc && skip_unless_nobody
  given older_file
  "${NOBODY[@]}" "$PYTHON" -c 'import os, socket, sys, time
file = os.stat("RidgeTexture.ppm")
name = b"\0RidgeTexture %x:%x" % (file.st_dev, file.st_ino)
held = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
held.bind(name.ljust(108, b"\0"))
print("bound", flush=True)
time.sleep(60)' > ../bound 3>&- &
  until [[ -s ../bound ]]; do kill -0 $! && sleep 0.01 || return; done
  ridge pause-kills own:ofd
  kill $!
  expect_run 0 && expect_picture
}

@test "sandbox_refusing_sockets_delays_no_run" {
  skip_unless_proc
  ridge sockets-refused own:ofd
  expect_run 0 && expect_picture
}

@test "linked_file_written_after_the_wait" { # its target is read back like any file
  given link_to_older_file
  ridge another:record
  expect_run 0 && expect_waited && expect_picture
}

@test "killed_before_the_lock_emptied_nothing" {
  given larger_file
  ridge lock-kills
  expect_run "$KILLED" && expect_unchanged
}

@test "refused_truncation_left_alone" { # where a sandbox refuses it, an old file stays as it was
  given larger_file
  ridge truncation-refused
  expect_run 128 "$NO_CREATE" && expect_unchanged
}

@test "refused_truncation_no_matter_for_a_new_file" {
  ridge truncation-refused
  expect_run 0 && expect_picture
}
