// finish_output on streams whose writes, flush or close fail, and on files
// that no longer hold what was written when they are read back.
#include "output.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "image.hpp"
#include "picture.hpp"
#include "ppm.hpp"

namespace {

// A stream whose writes or whose close fail on demand: a full disk, or a
// network file system or quota that reports a lost write only at close.
struct Sink {
    bool fail_writes = false;
    bool fail_close = false;
    std::size_t bytes = 0;  // accepted by successful writes
    bool closed = false;
};

ssize_t sink_write(void* cookie, const char* /*data*/, std::size_t size)
{
    auto* sink = static_cast<Sink*>(cookie);
    if (sink->fail_writes) {
        errno = ENOSPC;
        return -1;
    }
    sink->bytes += size;
    return static_cast<ssize_t>(size);
}

int sink_close(void* cookie)
{
    auto* sink = static_cast<Sink*>(cookie);
    sink->closed = true;
    if (sink->fail_close) {
        errno = EIO;
        return -1;
    }
    return 0;
}

// A real file instead of the sink, one the run may read back with the whole
// picture in it, and what another does to it before the finish.
enum class File : std::uint8_t { none, untouched, cut_short, byte_changed, byte_added };

struct FinishCase {
    const char* label = "";
    bool whole_file = false;  // the picture, beyond the buffer; else what the flush writes
    bool fail_writes = false;
    bool fail_close = false;
    File file = File::none;
    const char* name = "RidgeTexture";
    bool finished = false;  // what finish_output must report
};

void PrintTo(const FinishCase& c, std::ostream* os)
{
    *os << c.label;
}

class FinishStream : public testing::TestWithParam<FinishCase> {};

// What another does to the file before the finish, past the first 16 KiB of
// the piece the raster is written in: false where it couldn't.
bool change(std::FILE* f, File how)
{
    struct stat file = {};
    const int fd = fileno(f);
    if (std::fflush(f) != 0 || fstat(fd, &file) != 0) {
        return false;
    }
    const off_t end = file.st_size;
    switch (how) {
    case File::none:
    case File::untouched:
        return true;
    case File::cut_short:
        return ftruncate(fd, end - 1000) == 0;
    case File::byte_changed:
        return pwrite(fd, "x", 1, end - 1000) == 1;
    case File::byte_added:
        return pwrite(fd, "x", 1, end) == 1;
    }
    return false;
}

TEST_P(FinishStream, ReportsAnyLossAndAlwaysCloses)
{
    const FinishCase& param = GetParam();
    Sink sink{.fail_writes = param.fail_writes, .fail_close = param.fail_close};
    const bool real = param.file != File::none;
    std::FILE* f = real ? std::tmpfile()
                        : fopencookie(&sink, "wb", {nullptr, sink_write, nullptr, sink_close});
    if (f == nullptr) {
        GTEST_FAIL() << std::strerror(errno);
    }
    static const ImageBuffer image{};
    if (param.whole_file || real) {
        write_ppm(f, image, param.name);
    } else {
        std::fputs("P6\n", f);
    }
    if (real) {
        EXPECT_TRUE(change(f, param.file)) << std::strerror(errno);
    }

    EXPECT_EQ(finish_output(f, image, param.name), param.finished);
    EXPECT_TRUE(real || sink.closed) << "the stream must be closed whatever failed";
    if (param.finished && !real) {
        EXPECT_EQ(sink.bytes,
                  param.whole_file ? expected_header(param.name).size() + IMAGE_BYTES : 3);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FinishStream,
    testing::Values(FinishCase{.label = "whole_file_written", .whole_file = true, .finished = true},
                    FinishCase{.label = "few_bytes_written", .finished = true},
                    // Fails inside fwrite: only the stream's error indicator remembers it.
                    FinishCase{.label = "write_fails", .whole_file = true, .fail_writes = true},
                    FinishCase{.label = "flush_fails", .fail_writes = true},
                    FinishCase{.label = "close_fails", .whole_file = true, .fail_close = true},
                    FinishCase{.label = "all_fail", .fail_writes = true, .fail_close = true},
                    // Read back, whole or changed: a reader that stopped at the first short
                    // read would never end. A long name makes a picture of over 200,000 bytes.
                    FinishCase{
                        .label = "file_untouched", .file = File::untouched, .finished = true},
                    FinishCase{.label = "file_cut_short", .file = File::cut_short},
                    FinishCase{.label = "file_byte_changed", .file = File::byte_changed},
                    FinishCase{.label = "file_byte_added", .file = File::byte_added},
                    FinishCase{.label = "long_name_file_untouched",
                               .file = File::untouched,
                               .name = long_path().c_str(),
                               .finished = true},
                    FinishCase{.label = "long_name_file_byte_changed",
                               .file = File::byte_changed,
                               .name = long_path().c_str()}),
    [](const testing::TestParamInfo<FinishCase>& param_info) {
        return std::string(param_info.param.label);
    });

}  // namespace
