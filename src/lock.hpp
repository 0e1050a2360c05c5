// One try for a write lock on the whole output file, which may find the run's
// own: a record lock taken before exec, or one behind an inherited descriptor.
#pragma once

#include <cstdint>

enum class Try : std::uint8_t {
    held,        // by this run now, or by its process already and this run's turn
    in_the_way,  // another's lock, or another run's turn under a lock they share
    lockless,    // the file system has no such locks
};

// Tries once, without waiting; a look for the run's own lock stops at deadline_ms.
Try try_lock(int fd, long long deadline_ms);

// Milliseconds on the monotonic clock, which the wait is timed by.
long long monotonic_ms();
