// Finishing the output file: every failure checked, and the file read back.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "image.hpp"
#include "output.hpp"
#include "ppm.hpp"

namespace {

constexpr std::size_t READ_BACK_BYTES = 16384;  // compared at a time

// The file's bytes from offset at on, against what write_ppm writes again.
struct Comparison {
    int fd = -1;
    off_t at = 0;
    bool same = true;
};

ssize_t compare_with_file(void* cookie, const char* data, std::size_t size)
{
    auto& comparison = *static_cast<Comparison*>(cookie);
    std::array<char, READ_BACK_BYTES> chunk;  // only what pread filled is compared
    for (std::size_t done = 0; comparison.same && done < size;) {
        const ssize_t got =
            pread(comparison.fd, chunk.data(), std::min(size - done, chunk.size()), comparison.at);
        if (got <= 0) {
            comparison.same = false;  // the file ends early, or can't be read
            break;
        }
        comparison.same =
            std::memcmp(chunk.data(), data + done, static_cast<std::size_t>(got)) == 0;
        done += static_cast<std::size_t>(got);
        comparison.at += got;
    }
    return static_cast<ssize_t>(size);
}

// Whether the file behind out holds what write_ppm writes for image and
// program_name, no byte other, missing or after; one opened to write only, yes.
bool reads_back_as_written(std::FILE* out, const ImageBuffer& image, const char* program_name)
{
    Comparison comparison = {.fd = fileno(out), .at = 0, .same = true};
    const int mode = fcntl(comparison.fd, F_GETFL);
    if (mode < 0 || (mode & O_ACCMODE) != O_RDWR) {
        return true;
    }
    std::FILE* again = fopencookie(
        &comparison, "w",
        {.read = nullptr, .write = compare_with_file, .seek = nullptr, .close = nullptr});
    if (again == nullptr) {
        return false;
    }
    std::setvbuf(again, nullptr, _IONBF, 0);  // each piece compared as it is written
    write_ppm(again, image, program_name);
    std::fclose(again);
    char after = 0;
    return comparison.same && pread(comparison.fd, &after, 1, comparison.at) == 0;
}

}  // namespace

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
