// Taking the output file: opening it, and waiting while another holds it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "lock.hpp"
#include "output.hpp"

namespace {

constexpr mode_t NEW_FILE_MODE = 0666;      // less the umask, as for any new file
constexpr long long LONGEST_PAUSE_MS = 50;  // between two tries for the lock
constexpr long long NS_PER_MS = 1'000'000;

int open_write_only(const char* path)
{
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, NEW_FILE_MODE);
}

// Opens for writing only a FIFO that took the name as read_write was opened:
// held for reading, it could keep the run from ever ending. The bridge keeps a
// reader already there from seeing the end; opened once the run is no reader
// itself, the one kept waits for a reader, as any FIFO's writer does.
int reopened_write_only(const char* path, int read_write)
{
    const int bridge = open_write_only(path);
    close(read_write);
    const int write_only = open_write_only(path);
    close(bridge);  // -1 too, harmlessly
    return write_only;
}

// Opens path as fopen's "wb" does, emptying nothing, for reading too where it may.
int open_output(const char* path)
{
    struct stat seen = {};
    const bool maybe_regular = stat(path, &seen) != 0 || S_ISREG(seen.st_mode);
    const int read_write =
        maybe_regular ? open(path, O_RDWR | O_CREAT | O_CLOEXEC, NEW_FILE_MODE) : -1;
    if (read_write >= 0 && fstat(read_write, &seen) == 0 && S_ISREG(seen.st_mode)) {
        return read_write;
    }
    return read_write < 0 ? open_write_only(path) : reopened_write_only(path, read_write);
}

// Whether path still names fd's file, whose status is then in status.
bool still_named(int fd, const char* path, struct stat& status)
{
    struct stat named = {};
    return fstat(fd, &status) == 0 && stat(path, &named) == 0 && named.st_dev == status.st_dev &&
           named.st_ino == status.st_ino;
}

// fd where the run may read the file back, else -1, the file let go unchanged.
int readable(int fd)
{
    if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR) {
        return fd;
    }
    close(fd);
    return -1;
}

void pause_for(long long ms)
{
    const timespec pause = {.tv_sec = 0, .tv_nsec = static_cast<long>(ms * NS_PER_MS)};
    if (ms > 0) {
        nanosleep(&pause, nullptr);
    }
}

// Opens path and waits for the file as output.hpp's steps say: the descriptor,
// with the file's status in status, or -1 having changed nothing.
int open_held(const char* path, struct stat& status)
{
    int fd = open_output(path);
    const long long deadline_ms = monotonic_ms() + LOCK_WAIT_MS;
    bool opened_late = false;
    for (long long pause_ms = 1; fd >= 0; pause_ms = std::min(2 * pause_ms, LONGEST_PAUSE_MS)) {
        const Try got = try_lock(fd, deadline_ms);
        const bool late = got == Try::lockless || monotonic_ms() >= deadline_ms;
        // The path last, so a file moved once the wait is over is let go all the same.
        if (!still_named(fd, path, status)) {
            close(fd);
            fd = opened_late ? -1 : open_output(path);  // a name that keeps changing isn't chased
            opened_late = late;
        } else if (got == Try::held) {
            return fd;
        } else if (late) {
            return readable(fd);
        }
        pause_for(std::min(pause_ms, deadline_ms - monotonic_ms()));
    }
    return -1;
}

}  // namespace

std::FILE* take_output(const char* path)
{
    struct stat status = {};
    const int fd = open_held(path, status);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        close(fd);
        return nullptr;
    }
    // Only a non-empty regular file is cut, so where truncation is refused (a
    // sandbox), only a run that would leave old bytes behind its picture fails.
    if (S_ISREG(status.st_mode) && status.st_size > 0 && ftruncate(fd, 0) != 0) {
        std::fclose(out);
        return nullptr;
    }
    return out;
}
