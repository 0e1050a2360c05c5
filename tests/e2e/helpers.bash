# What the end-to-end cases share: each runs the tool in a working directory of
# its own, under the wrappers it names, then checks the exit status, both
# standard streams and what the directory holds against what it held before.
# The tool is RIDGETEXTURE_COMMAND: a path, or a qemu-user command and a tool
# built for its architecture ("qemu-s390x -L /usr/s390x-linux-gnu TOOL");
# else the build's, which ctest names in RIDGETEXTURE_BUILT.

LOCK_WAIT_MS=2000 # the longest a run waits for another's lock
NO_CREATE="could not create file RidgeTexture.ppm"
NO_WRITE="could not write file RidgeTexture.ppm"
LONG_NAME=/$(printf 'd%.0s' {1..6000})/RidgeTexture # a header several pages long
E2E=$BATS_TEST_DIRNAME
PYTHON=/usr/bin/python3 # Debian's, whatever else PATH finds first
[[ -x $PYTHON ]] || PYTHON=python3
read -ra COMMAND <<< "${RIDGETEXTURE_COMMAND:-${RIDGETEXTURE_BUILT:?RIDGETEXTURE_COMMAND names the tool to test}}"

setup() {
  umask 004 # no system's: a new picture gets 0662, so a fixed mode shows
  chmod 755 "$BATS_TEST_TMPDIR"
  cp "${COMMAND[-1]}" "$BATS_TEST_TMPDIR/RidgeTexture" && chmod 755 "$BATS_TEST_TMPDIR/RidgeTexture"
  mkdir -m 755 "$BATS_TEST_TMPDIR/work"
  # Run as ../RidgeTexture from here, the copy is reachable by nobody under a
  # TMPDIR of mode 0700 too.
  cd "$BATS_TEST_TMPDIR/work" || return
  PATH_NAME=$PWD/RidgeTexture.ppm
}

# Runs a command as nobody where root runs the cases; without a preloaded
# library, as a faketime's (reprotest's build) keeps a shared clock that is
# root's alone and would fail nobody's runs at their start.
NOBODY=()
((EUID != 0)) || NOBODY=(env -u LD_PRELOAD setpriv --reuid=65534 --regid=65534 --clear-groups)
SHARED=- # the descriptor of a lock the runs inherit, as under one wrapper; else closed

# Keeps a lock of KIND (as lock.py takes it) on the file till the case ends:
# another's, on descriptor 6, or one that every run inherits, on 5, as under
# one wrapper:   keep_lock KIND [shared]
keep_lock() {
  local fd=6
  [[ -z ${2-} ]] || fd=5 SHARED=5
  eval "exec $fd<> RidgeTexture.ppm" && "$PYTHON" "$E2E/lock.py" shell "$1" 5<&$fd
}

teardown() {
  [[ -z ${RUN-} ]] || kill -KILL -- "-$RUN" 2> /dev/null || true
  chmod 755 .
}

skip_unless_proc() { [[ -r /proc/self/fdinfo ]] || skip "needs /proc, which ${1:-tells the run's own lock from another's}"; }
skip_unless_nobody() { "${NOBODY[@]}" true 2> /dev/null || skip "can't become uid and gid 65534 here"; }
skip_if_emulated() { ((${#COMMAND[@]} == 1)) || skip "under an emulator, $1"; }

# What a directory holds, entry by entry: name, type, mode, link target; a
# checksum of each regular file.
listing() { (cd "$1" && find . -mindepth 1 -printf '%P %y %m %l\n' -type f -exec cksum {} + | sort); }

# Sets CMD to run the tool named NAME (RidgeTexture) with ARGUMENTs, under
# the wrappers WORDS name, outermost first, each executing the rest:
#   command_for TAG [WORD...] [-- NAME [ARGUMENT...]]
# Run it with standard error on descriptor 4 and the wrappers' on 3.
# A run that never ends is killed after 30 s.
command_for() {
  # Perl, as bash would name the tool by a path that nobody may not pass.
  local name=RidgeTexture tool=(perl -e 'exec {"../RidgeTexture"} @ARGV or die "exec: $!\n"')
  # Leak checking can't work where a tracer is attached.
  local trace=(env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -qq -o "../trace.$1")
  local at_file=("${trace[@]}" -P RidgeTexture.ppm -P "$PATH_NAME")
  [[ " $* " != *" nobody "* ]] || skip_unless_nobody
  CMD=(timeout -s KILL 30 prlimit --core=0)
  shift
  while (($#)); do
    case $1 in
      --) name=${2-} && shift $(($# > 1 ? 2 : 1)) && break ;;
      another:* | wrapper:* | own:*) CMD+=("$PYTHON" "$E2E/lock.py" "${1%%:*}" "${1#*:}") ;;
      nobody) CMD+=("${NOBODY[@]}") ;;
      fsize=* | stack=*) CMD+=(prlimit "--$1") ;;
      sigxfsz-ignored) CMD+=(env --ignore-signal=XFSZ) ;;
      pause-kills) CMD+=("${trace[@]}" -e trace=/nanosleep -e 'inject=/nanosleep:signal=SIGSYS') ;;
      pauses-checked) CMD+=("${trace[@]}" -e trace=/nanosleep -e status=failed) ;; # logs a failed one
      sockets-refused) CMD+=("${trace[@]}" -e trace=/nanosleep,socket -e inject=socket:error=EACCES
        -e 'inject=/nanosleep:signal=SIGSYS') ;; # and a pause kills
      lock-kills) CMD+=("${at_file[@]}" -e trace=/fcntl -e inject=/fcntl:signal=SIGSYS) ;;
      truncation-refused) CMD+=("${trace[@]}" -e trace=/ftruncate -e inject=/ftruncate:error=EPERM) ;;
      # Stopped right after the first such call on the file, or each, till resumed.
      stopped-at=*) CMD+=("${at_file[@]}" -e "trace=/${1#*=}" -e "inject=/${1#*=}:signal=SIGSTOP:when=1") ;;
      stopped-at-each=*) CMD+=("${at_file[@]}" -e "trace=/${1#*=}" -e "inject=/${1#*=}:signal=SIGSTOP") ;;
      # /proc made private first, so hiding it never reaches the host's.
      no-proc) CMD+=(unshare -m --propagation unchanged bash -c '! mountpoint -q /proc ||
        { mount --make-rprivate /proc && mount -t tmpfs none /proc; } && exec "$@"' -) ;;
      no-arguments) tool=("$PYTHON" -c 'import ctypes; ctypes.CDLL(None).execv(b"../RidgeTexture", (ctypes.c_char_p * 1)())') ;;
      *) CMD+=("$1") ;;
    esac
    shift
  done
  if ((${#COMMAND[@]} > 1)); then tool=("${COMMAND[@]:0:${#COMMAND[@]}-1}" -0 "$name" ../RidgeTexture); else
    [[ ${tool[0]} == "$PYTHON" ]] || tool+=("$name"); fi
  CMD+=(bash -c 'exec 2>&4 3>&- 4>&- && exec "$@"' - "${tool[@]}" "$@")
}

# Becomes CMD, its streams in the files of TAG: in a subshell, or in the
# background, where $! is then its process group.   launch TAG
launch() { exec "${CMD[@]}" > "../out.$1" 3> "../wrappers.$1" 4> "../err.$1" 2>&3 5>&"$SHARED" 6>&-; }

# Runs the tool as command_for says, in the foreground: sets status, and how
# long it took in took (milliseconds).   ridge [WORD...] [-- NAME [ARGUMENT...]]
ridge() {
  command_for run "$@"
  rm -rf ../before && cp -a . ../before
  local start
  start=$(date +%s%N)
  status=0
  (launch run) || status=$?
  took=$((($(date +%s%N) - start) / 1000000))
}

# Starts the tool in the background, and returns once it has stopped as its
# words say (stopped-at=CALL): resume lets it go on.   start_ridge [WORD...] [-- NAME ...]
start_ridge() {
  command_for stopped "$@"
  rm -rf ../before && cp -a . ../before
  launch stopped &
  RUN=$!
  await_stops 1
}

# Waits till the stopped run has stopped N times in all; fails if it ends first.
await_stops() {
  local tries
  for ((tries = 0; tries < 3000; tries++)); do
    (($(cat ../trace.stopped 2> /dev/null | grep -c 'stopped by SIGSTOP') >= $1)) && return
    kill -0 "$RUN" 2> /dev/null || return 1
    sleep 0.01
  done
  echo "the run never stopped: $(cat ../trace.stopped ../wrappers.stopped)" >&2 && return 1
}

# Lets the stopped run go on; sets stopped_status once it has ended.
resume() {
  kill -CONT -- "-$RUN" 2> /dev/null || true # it may have gone on already
  stopped_status=0
  wait "$RUN" || stopped_status=$?
  RUN=
}

# The run's pid once past its wrappers: the newest in RUN's group, or GROUP.
run_pid() { pgrep -n -g "${1:-$RUN}"; }

# Waits till process PID waits for the other end of a FIFO to be opened.
await_fifo_partner() {
  skip_unless_proc "shows whether a process waits for a FIFO's other end"
  local tries
  for ((tries = 0; tries < 3000; tries++)); do
    [[ $(cat "/proc/$1/wchan" 2> /dev/null) != wait_for_partner ]] || return 0
    [[ -e /proc/$1 ]] || { echo "process $1 ended without waiting for the FIFO's other end" >&2 && return 1; }
    sleep 0.01
  done
  echo "process $1 never waited in its open of the FIFO" >&2 && return 1
}

given() {
  case $1 in
    older_file) printf 'an older picture' > RidgeTexture.ppm && chmod 644 RidgeTexture.ppm ;;
    larger_file) head -c 1048576 /dev/zero > RidgeTexture.ppm && chmod 604 RidgeTexture.ppm ;;
    link_to_older_file) printf 'an older picture' > older.ppm && ln -s older.ppm RidgeTexture.ppm ;;
    read_only_file) chmod 777 . && given older_file && chmod 444 RidgeTexture.ppm ;;
    write_only_file)
      ((EUID == 0)) || skip "only root can look inside a file its owner may not read"
      given older_file && chmod 222 RidgeTexture.ppm
      ;;
    directory) mkdir RidgeTexture.ppm ;;
    unwritable_directory) chmod 555 . ;;
    full_disk) ln -s /dev/full RidgeTexture.ppm ;;
  esac
}

# The last run ended with STATUS, writing nothing to standard output and
# TEXT, a line, to standard error:   expect_run [stopped] STATUS [TEXT]
expect_run() {
  local got=$status tag=run
  [[ $1 != stopped ]] || { got=$stopped_status tag=stopped && shift; }
  [[ $got == "$1" && ! -s ../out.$tag && $(cat "../err.$tag") == "${2-}" ]] && return
  printf 'status %s (want %s), took %s ms; standard error:\n%s\nwrappers:\n%s\n' \
    "$got" "$1" "${took-}" "$(cat "../err.$tag")" "$(cat "../wrappers.$tag")" >&2
  [[ ! -s ../out.$tag ]] || echo "standard output: $(head -c 200 "../out.$tag")" >&2
  return 1
}

expect_waited() {
  ((took >= LOCK_WAIT_MS)) || { echo "done in $took ms, without waiting for the lock" >&2 && return 1; }
}

# The directory holds what it held before the run, but for WANT's changes.
expect_holds() {
  listing ../want > ../want.list && listing . > ../got.list
  diff -u ../want.list ../got.list >&2
}

expect_unchanged() { rm -rf ../want && cp -a ../before ../want && expect_holds; }

# What the directory held, but for the picture, whose header names NAME, in
# RidgeTexture.ppm (a link's target): an existing file keeps its mode.
expect_picture() {
  rm -rf ../want && cp -a ../before ../want
  local target=../want/RidgeTexture.ppm
  [[ ! -L $target ]] || target=../want/$(readlink "$target")
  "$PYTHON" "$E2E/picture.py" "${1-RidgeTexture}" > "$target" && expect_holds
}

# FILE holds a proper, non-empty beginning of the picture.
expect_part_of_picture() {
  "$PYTHON" "$E2E/picture.py" RidgeTexture > ../whole
  local size
  size=$(stat -c %s "$1")
  ((size > 0 && size < $(stat -c %s ../whole))) && cmp -n "$size" "$1" ../whole
}
