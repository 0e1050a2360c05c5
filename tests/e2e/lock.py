#!/usr/bin/env python3
"""Runs a command with a lock kept on a file.
usage: lock.py WHO KIND[+KIND][,shared][,tail][@FILE] COMMAND...
WHO is "another" (this process keeps the lock while the command runs, which
can't see it), "wrapper" (the command inherits the descriptor, as under
flock(1)), "own" (the lock is taken, then the command executed in this same
process, as a program that takes lockf and execs), or "shell" (on the
calling shell's descriptor 5, where it stays; no command). KIND is flock, record
(a POSIX record lock, lockf's) or ofd (an open file description lock, as
'flock --fcntl' takes); "+" takes two on one descriptor. shared: a read lock;
tail: from the second byte on. Only an own lock is waited for. FILE:
RidgeTexture.ppm unless given. The exit status is the command's, or 128 and
the number of the signal that ended it."""
import fcntl
import os
import struct
import sys

who, asked, *command = sys.argv[1:]
asked, _, path = asked.partition("@")
kinds, *options = asked.split(",")
wait = who == "own"  # as a wrapper would; where the test keeps it, it is taken at once
fd = 5 if who == "shell" else os.open(path or "RidgeTexture.ppm", os.O_RDWR | os.O_CREAT, 0o666)
for kind in kinds.split("+"):
    if kind == "flock":
        fcntl.flock(fd, (fcntl.LOCK_SH if "shared" in options else fcntl.LOCK_EX) | (0 if wait else fcntl.LOCK_NB))
        continue
    lock_type = fcntl.F_RDLCK if "shared" in options else fcntl.F_WRLCK
    whole = struct.pack("hhqqi", lock_type, os.SEEK_SET, 1 if "tail" in options else 0, 0, 0)
    record, description = (fcntl.F_SETLKW, fcntl.F_OFD_SETLKW) if wait else (fcntl.F_SETLK, fcntl.F_OFD_SETLK)
    fcntl.fcntl(fd, record if kind == "record" else description, whole)

if who == "shell":
    sys.exit()
os.set_inheritable(fd, who != "another")
if who == "own":
    os.execvp(command[0], command)
child = os.fork()
if child == 0:
    os.execvp(command[0], command)
code = os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])
sys.exit(code if code >= 0 else 128 - code)
