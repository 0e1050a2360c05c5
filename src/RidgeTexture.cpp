// RidgeTexture: writes a 256 x 256 grey ridge picture to RidgeTexture.ppm in
// the current directory. It takes no input; arguments after the program name
// are ignored. Exit status 0 once the file is complete, EXIT_CREATE_FAILED
// with one line on stderr when it can't be created or fully written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "image.hpp"
#include "ppm.hpp"
#include "ridge.hpp"

namespace {

constexpr const char* OUTPUT_PATH = "RidgeTexture.ppm";
constexpr const char* PROGRAM_NAME = "RidgeTexture";
constexpr int EXIT_CREATE_FAILED = 128;
constexpr mode_t NEW_FILE_MODE = 0666;  // less the umask, as for any new file

// How long a run may wait for the file in all. A run holds it for about a
// millisecond, so runs started at once get it in turn well within this, even
// slowed down by sanitizers or emulation; anyone else may hold it for as long
// as they like (a wrapper such as 'flock RidgeTexture.ppm RidgeTexture' does
// so for the whole run), and must only delay a run, never stop it.
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
// system offers no locks, where runs go on unguarded as they always could.
bool lock_by(int fd, long long deadline_ms)
{
    for (long long pause_ms = 1;; pause_ms = std::min(2 * pause_ms, LONGEST_PAUSE_MS)) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK) {
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

// Whether OUTPUT_PATH still names the file described by open_file, which
// may have been moved, removed or replaced while this run waited for it.
bool named_by_path(const struct stat& open_file)
{
    struct stat named = {};
    return stat(OUTPUT_PATH, &named) == 0 && open_file.st_dev == named.st_dev &&
           open_file.st_ino == named.st_ino;
}

// Opens OUTPUT_PATH for writing, creating it if need be, and waits until
// this run holds it alone and the path still names it, or the deadline
// passes: then the file the path names is taken as it is, held or not.
// Returns the descriptor with the file's status as it is once held, or -1
// when the file can't be opened.
int take_output(struct stat& file)
{
    const long long deadline_ms = monotonic_ms() + LOCK_WAIT_MS;
    for (bool last_try = false;;) {
        const int fd = open(OUTPUT_PATH, O_WRONLY | O_CREAT | O_CLOEXEC, NEW_FILE_MODE);
        if (fd < 0) {
            return -1;
        }
        const bool locked = lock_by(fd, deadline_ms);
        if (fstat(fd, &file) != 0) {
            close(fd);
            return -1;
        }
        if (last_try || named_by_path(file)) {
            return fd;
        }
        // What was waited for is no longer the output: take the path again.
        close(fd);
        last_try = !locked || monotonic_ms() >= deadline_ms;
    }
}

// Opens OUTPUT_PATH for writing as fopen's "wb" would, creating it or
// writing over it in place, except that the file is emptied only once this
// run holds it alone. Runs started at once in one directory would otherwise
// each truncate it and write at their own offsets, and a header of one run
// could end up in front of the raster of another. Returns nullptr, having
// changed nothing, when the file can't be had.
std::FILE* open_output()
{
    struct stat file = {};
    const int fd = take_output(file);
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
    // behind its picture fails. A FIFO or a device (a link to /dev/full, say)
    // is written as it is.
    if (S_ISREG(file.st_mode) && file.st_size > 0 && ftruncate(fd, 0) != 0) {
        std::fclose(out);
        return nullptr;
    }
    return out;
}

}  // namespace

// main's parameters keep their standard form.
// cppcheck-suppress constParameter
int main(int /*argc*/, char* argv[])
{
    // A process may be started with no arguments at all, which current Linux
    // kernels turn into a single empty one: either way there is no name to
    // put in the header, so the program's own name stands in.
    const char* program_name = argv[0];
    if (program_name == nullptr || program_name[0] == '\0') {
        program_name = PROGRAM_NAME;
    }

    // Compute the whole picture before touching the file system, so a file
    // is only ever created to be written at once. The image is main's alone,
    // but static: 192 KiB on the stack would kill the process without a word
    // under a small stack limit.
    static ImageBuffer image;
    render_ridge(image);

    // Create or take over the output; on failure nothing has been changed.
    std::FILE* out = open_output();
    if (out == nullptr) {
        std::fprintf(stderr, "could not create file %s\n", OUTPUT_PATH);
        std::exit(EXIT_CREATE_FAILED);
    }

    // Write, then make sure every byte landed: a full disk must not pass as
    // a finished picture. Whatever did reach the file is left for the user to
    // see; the exit status says it is not the picture.
    write_ppm(out, image, program_name);
    if (!finish_stream(out)) {
        std::fprintf(stderr, "could not write file %s\n", OUTPUT_PATH);
        std::exit(EXIT_CREATE_FAILED);
    }

    std::exit(EXIT_SUCCESS);
}
