// RidgeTexture: writes a 256 x 256 grey ridge picture to RidgeTexture.ppm in
// the current directory. It takes no input; arguments after the program name
// are ignored. Exit status 0 once the file is complete, EXIT_CREATE_FAILED
// with one line on stderr when it can't be created or fully written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "image.hpp"
#include "ppm.hpp"
#include "ridge.hpp"

namespace {

constexpr const char* OUTPUT_PATH = "RidgeTexture.ppm";
constexpr const char* PROGRAM_NAME = "RidgeTexture";
constexpr int EXIT_CREATE_FAILED = 128;
constexpr mode_t NEW_FILE_MODE = 0666;  // less the umask, as for any new file

// Opens OUTPUT_PATH for writing as fopen's "wb" would, creating it or
// writing over it in place, except that the file is emptied only once this
// run holds it alone. Runs started at once in one directory would otherwise
// each truncate it and write at their own offsets, and a header of one run
// could end up in front of the raster of another. Where the file system
// offers no locks, the run goes on unguarded, as it always could. Returns
// nullptr, having written nothing, when the file can't be had.
std::FILE* open_output()
{
    const int fd = open(OUTPUT_PATH, O_WRONLY | O_CREAT | O_CLOEXEC, NEW_FILE_MODE);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        close(fd);
        return nullptr;
    }
    // Waits for any other run to finish its file; closing releases the lock.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    // Only a regular file has a length to cut: a FIFO or a device (a link
    // to /dev/full, say) is written as it is.
    struct stat file = {};
    if (fstat(fd, &file) != 0 || (S_ISREG(file.st_mode) && ftruncate(fd, 0) != 0)) {
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
