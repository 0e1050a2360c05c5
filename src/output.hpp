// Taking the output file for a run, and giving it back finished, in steps:
//
// 1. take_output opens the path for writing, creating the file but emptying
//    nothing yet (a symbolic link is followed, a FIFO or a device written as
//    it is), a regular file for reading too where the run may read it.
// 2. It tries for a write lock on the whole file, an open file description
//    lock (lock.hpp tells when the lock in the way is the run's own). While
//    another's is, it tries again after a pause, LOCK_WAIT_MS at most from the
//    first open on. A file the path no longer names is let go and the path
//    opened anew; past the wait, a name giving yet another file is given up.
// 3. Runs sharing one lock (forked under one flock --fcntl) take turns by a
//    flock(2) lock: the file's, in any namespace; another's flock is in its way.
// 4. The run writes only while it holds the file or, once the wait is over
//    (at once without such locks), where it can read the file back; anywhere
//    else it changes nothing. A non-empty regular file is emptied.
// 5. write_ppm writes; finish_output reads the file back while still holding
//    it, so a mix with another run's picture is reported; the close lets go.
#pragma once

#include <cstdio>

#include "image.hpp"

// The longest a run waits for another's lock, from the open on: runs hold the
// file a millisecond or so, so those started at once get it in turn well within
// this. README.md and the manual page state it in words; tests' timings follow.
inline constexpr long long LOCK_WAIT_MS = 2000;

// Opens path for writing, creating it or writing over it in place, as the
// steps say. Returns nullptr, having changed nothing, when it can't be had.
std::FILE* take_output(const char* path);

// Flushes and closes out, which lets go of the file: false when a write, the
// flush or the close failed, or the file read back holds anything but what
// write_ppm wrote from image and program_name. A file the run can't read is
// never read back: the run wrote it only while holding it.
bool finish_output(std::FILE* out, const ImageBuffer& image, const char* program_name);
