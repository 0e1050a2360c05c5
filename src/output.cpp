// How a run takes its output file, and gives it back.
//
// take_output opens the file as fopen's "wb" would (a new file gets mode 0666
// less the umask, an existing one is written over in place, a symbolic link
// is followed, a FIFO or a device is written as it is), but keeps runs
// started at once from mixing their pictures: it empties a non-empty regular
// file only once it holds a write lock on the whole of it, an open file
// description lock. Another's lock of that kind, or record lock (fcntl,
// lockf), is waited for LOCK_WAIT_MS at most from the open on, then the run
// goes on unguarded; its own locks (behind a descriptor it inherited, or taken
// by its process before exec) and flock(2) locks cost none. A file moved or
// replaced meanwhile is left alone, and the path taken anew. What can still
// mix pictures (a lock kept past the wait, a stalled run, a file system
// without such locks) finish_output catches where it can read the file back.
#include "output.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "image.hpp"
#include "ppm.hpp"

namespace {

constexpr mode_t NEW_FILE_MODE = 0666;  // less the umask, as for any new file

// A run holds the file for about a millisecond, so runs started at once get
// it in turn well within this, even under sanitizers or emulation.
constexpr long long LOCK_WAIT_MS = 2000;
constexpr long long LONGEST_PAUSE_MS = 50;  // between two tries for the lock
constexpr long long MS_PER_S = 1000;
constexpr long long NS_PER_MS = 1'000'000;
constexpr int DECIMAL = 10;
constexpr std::size_t READ_BACK_BYTES = 16384;  // compared at a time

// However far the file reaches; an open file description lock names no pid.
// Only ever copied: fcntl may write back into the struct it is handed (glibc
// does so on 32-bit targets), so it must never be given this one.
constexpr struct flock WHOLE_FILE = {
    .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 0, .l_pid = 0};

long long monotonic_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec * MS_PER_S) + (now.tv_nsec / NS_PER_MS);
}

bool same_file(const struct stat& one, const struct stat& other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether only owner's locks keep fd's lock out: through view, which never
// meets them (query F_GETLK: the process's own record locks; F_OFD_GETLK:
// view's open file description's), nothing is in the way; through fd, they are.
bool only_own_in_the_way(int fd, int view, int query, pid_t owner)
{
    struct flock seen = WHOLE_FILE;
    struct flock in_the_way = WHOLE_FILE;
    return fcntl(view, query, &seen) == 0 && seen.l_type == F_UNLCK &&
           fcntl(fd, F_OFD_GETLK, &in_the_way) == 0 && in_the_way.l_type != F_UNLCK &&
           in_the_way.l_pid == owner;
}

// One try for the lock. Whether the run may write now: it holds the lock,
// only its own locks are in the way, or the file system has no such locks.
bool may_write(int fd)
{
    struct flock whole = WHOLE_FILE;
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0 || (errno != EAGAIN && errno != EACCES) ||
        only_own_in_the_way(fd, fd, F_GETLK, getpid())) {
        return true;
    }
    // An open file description lock names no process: try each descriptor.
    struct stat file = {};
    DIR* descriptors = fstat(fd, &file) == 0 ? opendir("/proc/self/fd") : nullptr;
    bool own = false;
    for (const dirent* entry = nullptr;
         descriptors != nullptr && !own && (entry = readdir(descriptors)) != nullptr;) {
        const auto other = static_cast<int>(std::strtol(entry->d_name, nullptr, DECIMAL));
        struct stat that = {};
        own = fstat(other, &that) == 0 && same_file(that, file) &&
              only_own_in_the_way(fd, other, F_OFD_GETLK, -1);
    }
    if (descriptors != nullptr) {
        closedir(descriptors);
    }
    return own;
}

// Opens path for writing as fopen's "wb" does, but a regular file this run
// may read for reading too, so that finish_output can read it back.
int open_output(const char* path)
{
    struct stat named = {};
    if (stat(path, &named) != 0 || S_ISREG(named.st_mode)) {
        const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, NEW_FILE_MODE);
        if (fd >= 0 || errno != EACCES) {
            return fd;
        }
    }
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, NEW_FILE_MODE);
}

// Opens path and waits until this run may write the file and the path still
// names it, or the wait is over: then the file the path names is taken as it
// is. Returns the descriptor and the file's status once held, or -1.
int open_held(const char* path, struct stat& file)
{
    int fd = -1;
    long long deadline_ms = 0;
    for (long long pause_ms = 1;; pause_ms = std::min(2 * pause_ms, LONGEST_PAUSE_MS)) {
        const bool late = deadline_ms != 0 && monotonic_ms() >= deadline_ms;
        const bool retaken = fd < 0;
        fd = retaken ? open_output(path) : fd;
        if (fd < 0) {
            return -1;
        }
        deadline_ms = deadline_ms != 0 ? deadline_ms : monotonic_ms() + LOCK_WAIT_MS;
        const bool writable = may_write(fd);
        struct stat named = {};
        if (fstat(fd, &file) != 0) {
            close(fd);
            return -1;
        }
        const bool still_named = stat(path, &named) == 0 && same_file(named, file);
        if (still_named ? writable || late : late && retaken) {
            return fd;
        }
        // A file no longer named is let go; whatever moves it may not be
        // done, so the path is taken anew after the pause.
        if (!still_named) {
            close(fd);
            fd = -1;
        }
        const long long ms = std::min(pause_ms, deadline_ms - monotonic_ms());
        const timespec pause = {.tv_sec = 0, .tv_nsec = static_cast<long>(ms * NS_PER_MS)};
        if (ms > 0) {
            nanosleep(&pause, nullptr);
        }
    }
}

// Where write_ppm writes the picture again, compared with the file's bytes.
struct Comparison {
    int fd = -1;
    off_t at = 0;
    bool same = true;
};

ssize_t compare_with_file(void* cookie, const char* data, std::size_t size)
{
    auto& file = *static_cast<Comparison*>(cookie);
    std::array<char, READ_BACK_BYTES> chunk;  // only what pread filled is compared
    for (std::size_t done = 0; file.same && done < size;) {
        const ssize_t got =
            pread(file.fd, chunk.data(), std::min(size - done, chunk.size()), file.at);
        file.same =
            got > 0 && std::memcmp(chunk.data(), data + done, static_cast<std::size_t>(got)) == 0;
        done += static_cast<std::size_t>(got);
        file.at += got;
    }
    return static_cast<ssize_t>(size);
}

// Whether the file behind out holds what write_ppm writes for image and
// program_name, no byte other, missing or after; true where it can't be read.
bool reads_back_as_written(std::FILE* out, const ImageBuffer& image, const char* program_name)
{
    Comparison file = {.fd = fileno(out), .at = 0, .same = true};
    const int flags = fcntl(file.fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDWR) {
        return true;
    }
    std::FILE* again = fopencookie(
        &file, "w",
        {.read = nullptr, .write = compare_with_file, .seek = nullptr, .close = nullptr});
    if (again == nullptr) {
        return false;
    }
    std::setvbuf(again, nullptr, _IONBF, 0);  // each piece compared as it is written
    write_ppm(again, image, program_name);
    std::fclose(again);
    char after = 0;
    return file.same && pread(file.fd, &after, 1, file.at) == 0;
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
    // Only a non-empty regular file needs a cut: where truncation is refused
    // (a sandbox without that right), only a run that would leave old bytes
    // behind its picture fails.
    if (S_ISREG(file.st_mode) && file.st_size > 0 && ftruncate(fd, 0) != 0) {
        std::fclose(out);
        return nullptr;
    }
    return out;
}

bool finish_output(std::FILE* out, const ImageBuffer& image, const char* program_name)
{
    // A failed write may leave nothing for the flush to fail on: the error
    // indicator remembers it. The file is read back while still held.
    const bool written = std::fflush(out) == 0 && std::ferror(out) == 0 &&
                         reads_back_as_written(out, image, program_name);
    // A close can fail too (a delayed write on a network file system, a
    // quota), and then the file is not what was written.
    const bool closed = std::fclose(out) == 0;
    return written && closed;
}
