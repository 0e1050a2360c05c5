// One try for the output file's lock (lock.hpp).
#include "lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr long long MS_PER_S = 1000;
constexpr long long NS_PER_MS = 1'000'000;
constexpr int DECIMAL = 10;
constexpr std::size_t FDINFO_BYTES = 1024;  // a descriptor's status and locks, and more

// Which lock of the run's own holds the whole file for writing.
enum class Own : std::uint8_t { none, record, description };

// Which of the run's own locks, if any, the fdinfo entry name (in the
// directory infos) shows as a write lock on the whole file. An entry lists only
// the descriptor's own and its process's; flock(2) locks ("FLOCK") meet no run's.
Own own_lock_shown(int infos, const char* name)
{
    const int info = openat(infos, name, O_RDONLY | O_CLOEXEC);
    if (info < 0) {
        return Own::none;
    }
    std::array<char, FDINFO_BYTES> text{};  // NUL-ended: its last byte is never read into
    const ssize_t got = read(info, text.data(), text.size() - 1);
    close(info);
    // Lines as "lock:\t1: OFDLCK ADVISORY  WRITE -1 fe:00:1234 0 EOF", each looked at.
    for (const char* line = got > 0 ? std::strstr(text.data(), "lock:") : nullptr; line != nullptr;
         line = std::strstr(line + 1, "lock:")) {
        int record = 0;
        int description = 0;
        std::sscanf(line, "lock: %*s POSIX ADVISORY WRITE %*s %*s 0 EOF%n", &record);
        std::sscanf(line, "lock: %*s OFDLCK ADVISORY WRITE %*s %*s 0 EOF%n", &description);
        if (record > 0 || description > 0) {
            return record > 0 ? Own::record : Own::description;
        }
    }
    return Own::none;
}

// Whether the fdinfo entry name is of a descriptor on file ("." and ".." name none).
bool on_file(const char* name, const struct stat& file)
{
    if (name[0] == '.') {
        return false;
    }
    const auto fd = static_cast<int>(std::strtol(name, nullptr, DECIMAL));
    struct stat behind = {};
    return fstat(fd, &behind) == 0 && behind.st_dev == file.st_dev && behind.st_ino == file.st_ino;
}

// The lock of the process's own that a descriptor on file shows. Each look walks
// all the file's locks, each descriptor costs a stat: the deadline ends it all.
Own own_lock(const struct stat& file, long long deadline_ms)
{
    DIR* const infos = opendir("/proc/self/fdinfo");
    if (infos == nullptr) {
        return Own::none;
    }
    const int dir = dirfd(infos);
    Own own = Own::none;
    for (const dirent* entry = readdir(infos); dir >= 0 && entry != nullptr;
         entry = readdir(infos)) {
        if (on_file(entry->d_name, file)) {
            own = own_lock_shown(dir, entry->d_name);
        }
        if (own != Own::none || monotonic_ms() >= deadline_ms) {
            break;
        }
    }
    closedir(infos);
    return own;
}

}  // namespace

Try try_lock(int fd, long long deadline_ms)
{
    // Not a constant, which fcntl may write back into (glibc does on 32-bit).
    struct flock whole = {
        .l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 0, .l_pid = 0};
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0) {
        return Try::held;
    }
    if (errno != EAGAIN && errno != EACCES) {
        return Try::lockless;
    }
    struct stat file = {};
    const Own own = fstat(fd, &file) == 0 ? own_lock(file, deadline_ms) : Own::none;
    if (own == Own::none) {
        return Try::in_the_way;
    }
    // A record lock is one process's alone; an open file description lock may be
    // shared by runs forked under one wrapper, who take turns by a flock(2) lock:
    // the file's, in any namespace, and only for those who can open it.
    if (own == Own::record) {
        return Try::held;
    }
    return flock(fd, LOCK_EX | LOCK_NB) == 0 ? Try::held : Try::in_the_way;
}

long long monotonic_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec * MS_PER_S) + (now.tv_nsec / NS_PER_MS);
}
