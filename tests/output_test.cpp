// finish_output on streams whose writes, flush or close fail.
#include "output.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ostream>
#include <string>

#include "image.hpp"
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

struct FinishCase {
    const char* label = "";
    bool whole_file = false;  // the picture, beyond the buffer; else what the flush writes
    bool fail_writes = false;
    bool fail_close = false;
    bool finished = false;  // what finish_output must report
};

void PrintTo(const FinishCase& c, std::ostream* os)
{
    *os << c.label;
}

class FinishStream : public testing::TestWithParam<FinishCase> {};

TEST_P(FinishStream, ReportsAnyLossAndAlwaysCloses)
{
    const FinishCase& param = GetParam();
    Sink sink{.fail_writes = param.fail_writes, .fail_close = param.fail_close};
    std::FILE* f = fopencookie(&sink, "wb", {nullptr, sink_write, nullptr, sink_close});
    ASSERT_NE(f, nullptr);
    static const ImageBuffer image{};
    if (param.whole_file) {
        write_ppm(f, image, "RidgeTexture");
    } else {
        std::fputs("P6\n", f);
    }

    EXPECT_EQ(finish_output(f, image, "RidgeTexture"), param.finished);
    EXPECT_TRUE(sink.closed) << "the stream must be closed whatever failed";
    if (param.finished) {
        EXPECT_EQ(sink.bytes, param.whole_file ? 31 + 12 + IMAGE_BYTES : 3);
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
                    FinishCase{.label = "all_fail", .fail_writes = true, .fail_close = true}),
    [](const testing::TestParamInfo<FinishCase>& param_info) {
        return std::string(param_info.param.label);
    });

}  // namespace
