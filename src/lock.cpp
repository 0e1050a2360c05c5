// One try for the output file's lock (lock.hpp).
#include "lock.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr long long MS_PER_S = 1000;
constexpr long long NS_PER_MS = 1'000'000;
constexpr int DECIMAL = 10;
constexpr std::size_t FDINFO_BYTES = 1024;  // a descriptor's status and locks, and more

// Whether the fdinfo entry name, in the directory infos, shows a record or open
// file description lock for writing on the whole file. An entry lists only the
// descriptor's own and its process's; flock(2) locks ("FLOCK") meet no run's.
bool shows_whole_file_write_lock(int infos, const char* name)
{
    const int info = openat(infos, name, O_RDONLY | O_CLOEXEC);
    if (info < 0) {
        return false;
    }
    std::array<char, FDINFO_BYTES> text{};  // NUL-ended: its last byte is never read into
    const ssize_t got = read(info, text.data(), text.size() - 1);
    close(info);
    // Lines as "lock:\t1: OFDLCK ADVISORY  WRITE -1 fe:00:1234 0 EOF".
    for (const char* line = got > 0 ? std::strstr(text.data(), "lock:") : nullptr; line != nullptr;
         line = std::strstr(line + 1, "lock:")) {
        int record = 0;
        int description = 0;
        std::sscanf(line, "lock: %*s POSIX ADVISORY WRITE %*s %*s 0 EOF%n", &record);
        std::sscanf(line, "lock: %*s OFDLCK ADVISORY WRITE %*s %*s 0 EOF%n", &description);
        if (record > 0 || description > 0) {
            return true;
        }
    }
    return false;
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

// Whether a descriptor of the process on file shows such a lock. Each look has
// the kernel walk all the file's locks: past the deadline, one look is the last.
bool has_own_lock(const struct stat& file, long long deadline_ms)
{
    DIR* const infos = opendir("/proc/self/fdinfo");
    if (infos == nullptr) {
        return false;
    }
    const int dir = dirfd(infos);
    bool found = false;
    for (const dirent* entry = readdir(infos); dir >= 0 && entry != nullptr;
         entry = readdir(infos)) {
        if (!on_file(entry->d_name, file)) {
            continue;
        }
        found = shows_whole_file_write_lock(dir, entry->d_name);
        if (found || monotonic_ms() >= deadline_ms) {
            break;
        }
    }
    closedir(infos);
    return found;
}

// Whether this run has the turn among runs sharing one lock. No lock on the
// file can keep them apart (theirs covers it all; a flock(2) lock would meet
// anyone else's), so the turn is an abstract socket name for the file: one
// socket at a time binds it, and the process's end lets go of it.
bool takes_turn(const struct stat& file)
{
    sockaddr_un name = {.sun_family = AF_UNIX, .sun_path = {}};  // the leading NUL: abstract
    std::snprintf(&name.sun_path[1], sizeof name.sun_path - 1, "RidgeTexture %llx:%llx",
                  static_cast<unsigned long long>(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    const int turn = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (turn < 0) {
        return false;
    }
    if (bind(turn, reinterpret_cast<const sockaddr*>(&name), sizeof name) == 0) {
        return true;  // kept open till the process ends
    }
    close(turn);
    return false;
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
    if (fstat(fd, &file) != 0 || !has_own_lock(file, deadline_ms)) {
        return Try::in_the_way;
    }
    return takes_turn(file) ? Try::held : Try::in_the_way;
}

long long monotonic_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec * MS_PER_S) + (now.tv_nsec / NS_PER_MS);
}
