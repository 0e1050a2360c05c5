// How a run takes its output file, and gives it back, step by step:
//
// 1. open_output opens the path as fopen's "wb" would (a new file gets mode
//    0666 less the umask, an existing one is written over in place, a
//    symbolic link is followed, a FIFO or a device is written as it is), and
//    a regular file for reading too where the run may read it.
// 2. holds tries for a write lock on the whole file, an open file description
//    lock, which flock(2) locks never meet. A lock that the run's process
//    already has (a record lock taken before exec, or one behind a descriptor
//    it inherited, as under flock --fcntl) is its own; runs sharing one take
//    turns by a flock(2) lock on their own descriptors.
// 3. open_held tries again after a pause while another's lock is in the way,
//    LOCK_WAIT_MS at most from the open on; a file the path no longer names
//    (moved or replaced meanwhile) is let go and the path taken anew.
// 4. A run writes only while it holds the file or, once the wait is over (at
//    once without such locks), where it can read the file back. Anywhere else
//    (a FIFO, a device, a file it may write but not read) it changes nothing.
// 5. take_output empties a non-empty regular file; write_ppm writes; then
//    finish_output reads the file back while still holding it, so a mix with
//    another run's picture (one stalled holding the file, or one that went on
//    unguarded) is reported; the close lets go.
#include "output.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

constexpr mode_t NEW_FILE_MODE = 0666;      // less the umask, as for any new file
constexpr long long LONGEST_PAUSE_MS = 50;  // between two tries for the lock
constexpr long long MS_PER_S = 1000;
constexpr long long NS_PER_MS = 1'000'000;
constexpr int DECIMAL = 10;
constexpr std::size_t READ_BACK_BYTES = 16384;  // compared at a time
constexpr std::size_t FDINFO_BYTES = 1024;      // a descriptor's status and locks, and more

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

// Whether the file behind fd was opened for reading too, to be read back.
bool readable(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) == O_RDWR;
}

// Whether a "lock:" line of /proc/self/fdinfo is a write lock on the whole
// file, as "lock:  1: OFDLCK ADVISORY  WRITE -1 fe:00:1234 0 EOF" is.
bool whole_file_write_lock(const char* line)
{
    int end = 0;
    std::sscanf(line, "lock: %*s %*s ADVISORY WRITE %*s %*s 0 EOF%n", &end);
    return end > 0;
}

// Whether one of the run's descriptors on fd's file shows a write lock on the
// whole of it, which can then only be its own: /proc/self/fdinfo lists a
// descriptor's own open file description locks, and the record locks its
// process took through it, and no one else's. (It lists the descriptor's
// flock locks too, but the run's own flock then waits for such a one.)
bool held_already(int fd)
{
    struct stat file = {};
    DIR* infos = fstat(fd, &file) == 0 ? opendir("/proc/self/fdinfo") : nullptr;
    const int dir = infos != nullptr ? dirfd(infos) : -1;
    bool held = false;
    for (const dirent* entry = nullptr;
         infos != nullptr && !held && (entry = readdir(infos)) != nullptr;) {
        struct stat that = {};
        const auto other = static_cast<int>(std::strtol(entry->d_name, nullptr, DECIMAL));
        const int info = dir >= 0 && fstat(other, &that) == 0 && same_file(that, file)
                             ? openat(dir, entry->d_name, O_RDONLY | O_CLOEXEC)
                             : -1;
        std::array<char, FDINFO_BYTES> text{};  // NUL-ended: its last byte is never read into
        const ssize_t got = info >= 0 ? read(info, text.data(), text.size() - 1) : -1;
        for (const char* line = text.data();
             got > 0 && !held && (line = std::strstr(line, "lock:")) != nullptr; ++line) {
            held = whole_file_write_lock(line);
        }
        close(info);  // -1 too, harmlessly
    }
    if (infos != nullptr) {
        closedir(infos);
    }
    return held;
}

// One try for the file: whether the run holds it now. When not, errno is
// EAGAIN or EACCES where another's lock is in the way, else the file system
// has no such locks.
bool holds(int fd)
{
    // Not a constant, which fcntl may write back into (glibc does on 32-bit).
    struct flock whole = {
        .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 0, .l_pid = 0};
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0) {
        return true;
    }
    const int in_the_way = errno;
    if ((in_the_way == EAGAIN || in_the_way == EACCES) && held_already(fd)) {
        return flock(fd, LOCK_EX | LOCK_NB) == 0;
    }
    errno = in_the_way;
    return false;
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

// fd where the run can read the file back, else -1, the file let go as it was.
int checkable(int fd)
{
    if (readable(fd)) {
        return fd;
    }
    close(fd);
    return -1;
}

// Opens path and tries for the file until the run holds it while the path
// still names it, or the wait is over. Returns the descriptor and the file's
// status, or -1.
int open_held(const char* path, struct stat& file)
{
    int fd = -1;
    long long deadline_ms = 0;
    for (long long pause_ms = 1;; pause_ms = std::min(2 * pause_ms, LONGEST_PAUSE_MS)) {
        const bool retaken = fd < 0;
        fd = retaken ? open_output(path) : fd;
        if (fd < 0) {
            return -1;
        }
        deadline_ms = deadline_ms != 0 ? deadline_ms : monotonic_ms() + LOCK_WAIT_MS;
        const bool held = holds(fd);
        const bool lockless = !held && errno != EAGAIN && errno != EACCES;
        struct stat named = {};
        if (fstat(fd, &file) != 0) {
            close(fd);
            return -1;
        }
        const bool still_named = stat(path, &named) == 0 && same_file(named, file);
        // Judged after the path, so a file moved once the wait is over is let go
        // all the same; a path naming another file at each try is taken as it is.
        const bool late = lockless || monotonic_ms() >= deadline_ms;
        if (still_named ? held || late : late && retaken) {
            return held ? fd : checkable(fd);
        }
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
    if (!readable(file.fd)) {
        return true;  // written while held: no run writes unguarded where it can't read
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
