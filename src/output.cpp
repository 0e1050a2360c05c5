// How a run takes its output file, and gives it back.
//
// take_output opens the file as fopen's "wb" would: a new file gets mode 0666
// less the umask, an existing one is written over in place (keeping its
// inode, mode, owner and links), a symbolic link is followed, and a FIFO or a
// device is written as it is. But runs started at once in one directory would
// each empty the file and write at their own offsets, leaving one run's header
// in front of another's raster, so:
//   - the file is emptied only once this run holds a write lock on the whole
//     of it, an open file description lock (fcntl F_OFD_SETLK), which the
//     close in finish_output lets go of;
//   - a lock of that kind, or a POSIX record lock (fcntl, lockf), that anyone
//     else holds is waited for LOCK_WAIT_MS in all at most; then the run goes
//     on unguarded, as it must never be stopped by another's lock (so such a
//     lock kept past the wait, or a run stalled past it while it holds the
//     file, can still let runs at once mix their pictures);
//   - flock(2) locks never conflict with these, so they cost a run nothing and
//     can't keep runs from taking the file in turn: "flock RidgeTexture.ppm
//     RidgeTexture" holds one all through the run;
//   - a file moved or removed while waited for is left alone, and the path is
//     taken anew within the same wait;
//   - only a non-empty regular file is emptied.
// Where the file system offers no such locks, runs go on unguarded.
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

constexpr mode_t NEW_FILE_MODE = 0666;  // less the umask, as for any new file

// How long a run may wait for the file in all. A run holds it for about a
// millisecond, so runs started at once get it in turn well within this, even
// slowed down by sanitizers or emulation; a lock someone else keeps longer
// only delays a run.
constexpr long long LOCK_WAIT_MS = 2000;
constexpr long long LONGEST_PAUSE_MS = 50;  // between two tries for the lock

constexpr long long MS_PER_S = 1000;
constexpr long long NS_PER_MS = 1'000'000;

long long monotonic_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec * MS_PER_S) + (now.tv_nsec / NS_PER_MS);
}

// Tries for the lock on fd until it is had or the deadline passes, the first
// pauses short, as another run lets go within a millisecond or so. Tells
// whether the lock is had: not when the deadline passed, nor where the file
// system offers no such locks.
bool lock_by(int fd, long long deadline_ms)
{
    // From the first byte to however far the file ever reaches; an open file
    // description lock must name no process.
    struct flock whole = {
        .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 0, .l_pid = 0};
    for (long long pause_ms = 1;; pause_ms = std::min(2 * pause_ms, LONGEST_PAUSE_MS)) {
        if (fcntl(fd, F_OFD_SETLK, &whole) == 0) {
            return true;
        }
        if (errno != EAGAIN && errno != EACCES) {
            return false;
        }
        const long long left_ms = deadline_ms - monotonic_ms();
        if (left_ms <= 0) {
            return false;
        }
        const long long ms = std::min(pause_ms, left_ms);
        const timespec pause = {.tv_sec = 0, .tv_nsec = static_cast<long>(ms * NS_PER_MS)};
        nanosleep(&pause, nullptr);
    }
}

// Whether path still names the file described by open_file, which may have
// been moved, removed or replaced while this run waited for it.
bool named_by(const char* path, const struct stat& open_file)
{
    struct stat named = {};
    return stat(path, &named) == 0 && open_file.st_dev == named.st_dev &&
           open_file.st_ino == named.st_ino;
}

// Opens path for writing, creating it if need be, and waits until this run
// holds it alone and the path still names it, or the deadline passes: then
// the file the path names is taken as it is, held or not. Returns the
// descriptor with the file's status as it is once held, or -1 when the file
// can't be opened.
int open_held(const char* path, struct stat& file)
{
    const long long deadline_ms = monotonic_ms() + LOCK_WAIT_MS;
    for (bool last_try = false;;) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, NEW_FILE_MODE);
        if (fd < 0) {
            return -1;
        }
        const bool locked = lock_by(fd, deadline_ms);
        if (fstat(fd, &file) != 0) {
            close(fd);
            return -1;
        }
        if (last_try || named_by(path, file)) {
            return fd;
        }
        // What was waited for is no longer the output: take the path again.
        close(fd);
        last_try = !locked || monotonic_ms() >= deadline_ms;
    }
}

}  // namespace

std::FILE* take_output(const char* path)
{
    struct stat file = {};
    const int fd = open_held(path, file);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        close(fd);
        return nullptr;
    }
    // Only a regular file has a length to cut, and an empty one (a file this
    // run has just made, say) needs no cut: where truncation is refused, as
    // in a sandbox without that right, only a run that would leave old bytes
    // behind its picture fails.
    if (S_ISREG(file.st_mode) && file.st_size > 0 && ftruncate(fd, 0) != 0) {
        std::fclose(out);
        return nullptr;
    }
    return out;
}

bool finish_output(std::FILE* out)
{
    // A write that failed earlier may leave nothing for the flush to fail
    // on: the stream's error indicator remembers it.
    const bool written = std::fflush(out) == 0 && std::ferror(out) == 0;
    // A close can fail too (a delayed write on a network file system, a
    // quota), and then the file is not what was written.
    const bool closed = std::fclose(out) == 0;
    return written && closed;
}
