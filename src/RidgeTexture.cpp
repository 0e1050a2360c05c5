// RidgeTexture: writes a 256 x 256 grey ridge picture to RidgeTexture.ppm in
// the current directory; arguments after the program name are ignored.
#include <cstdio>
#include <cstdlib>

#include "image.hpp"
#include "output.hpp"
#include "ppm.hpp"
#include "ridge.hpp"

namespace {

constexpr const char* OUTPUT_PATH = "RidgeTexture.ppm";
constexpr const char* PROGRAM_NAME = "RidgeTexture";
constexpr int EXIT_CREATE_FAILED = 128;
constexpr int EXIT_WRITE_FAILED = 128;  // the same status; the message tells them apart

}  // namespace

// main's parameters keep their standard form.
// cppcheck-suppress constParameter
int main(int /*argc*/, char* argv[])
{
    // A process started with no arguments at all (which Linux turns into one
    // empty argument) has no name to put in the header: its own stands in.
    const char* program_name = argv[0];
    if (program_name == nullptr || program_name[0] == '\0') {
        program_name = PROGRAM_NAME;
    }

    // Computed before the file system is touched, so a file is only created to be
    // written at once; static, as 192 KiB on a small stack would kill the process.
    static ImageBuffer image;
    render_ridge(image);

    // Take the file, in turn with other runs; on failure nothing has changed.
    std::FILE* out = take_output(OUTPUT_PATH);
    if (out == nullptr) {
        std::fprintf(stderr, "could not create file %s\n", OUTPUT_PATH);
        std::exit(EXIT_CREATE_FAILED);
    }

    // Write, then make sure the file holds this picture alone: a full disk,
    // or another run writing over part of it, must not pass as a finished
    // picture. What the file holds is left; the status says it is not that.
    write_ppm(out, image, program_name);
    if (!finish_output(out, image, program_name)) {
        std::fprintf(stderr, "could not write file %s\n", OUTPUT_PATH);
        std::exit(EXIT_WRITE_FAILED);
    }

    std::exit(EXIT_SUCCESS);
}
