// The writer: exact header and raster bytes for a table of program names.
#include "ppm.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "image.hpp"
#include "picture.hpp"

namespace {

struct NameCase {
    const char* label;
    const char* name;     // program name handed to the writer
    const char* comment;  // the name as the header's comment must show it
};

void PrintTo(const NameCase& c, std::ostream* os)
{
    *os << c.label;
}

class WritePpm : public testing::TestWithParam<NameCase> {};

// Every byte value a name can hold, 1 to 255: as given, and as the header
// must hold it, with only CR and LF replaced.
const std::string& every_byte(bool as_written)
{
    static const std::array<std::string, 2> names = [] {
        std::array<std::string, 2> both;
        for (int b = 1; b < 256; ++b) {
            const auto c = static_cast<char>(b);
            both[0] += c;
            both[1] += c == '\r' || c == '\n' ? '?' : c;
        }
        return both;
    }();
    return names[as_written ? 1 : 0];
}

TEST_P(WritePpm, HeaderThenRasterVerbatim)
{
    const NameCase& param = GetParam();

    // A raster where every byte differs from its neighbours, so a shifted,
    // reordered or truncated copy shows.
    static ImageBuffer image;
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<unsigned char>((i * 7) % 251);
    }

    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&buffer, &size);
    ASSERT_NE(f, nullptr) << std::strerror(errno);
    write_ppm(f, image, param.name);
    const bool written = std::fflush(f) == 0 && std::ferror(f) == 0;
    std::fclose(f);
    const std::string bytes(buffer, size);
    std::free(buffer);
    ASSERT_TRUE(written);

    // Compared whole, so a failure shows the header as text.
    const std::string want = expected_header(param.comment) +
                             std::string(reinterpret_cast<const char*>(image.data()), IMAGE_BYTES);
    EXPECT_TRUE(bytes == want) << first_difference(bytes, want);
}

INSTANTIATE_TEST_SUITE_P(
    Names, WritePpm,
    testing::Values(NameCase{"plain", "RidgeTexture", "RidgeTexture"},
                    NameCase{"long_path", long_path().c_str(), long_path().c_str()},
                    NameCase{"empty", "", ""},
                    NameCase{"spaces_and_percent", "two words\t%s %n", "two words\t%s %n"},
                    NameCase{"every_byte", every_byte(false).c_str(), every_byte(true).c_str()},
                    // Line breaks would end the comment early: one '?' for each.
                    NameCase{"line_feed", "Ridge\nTexture", "Ridge?Texture"},
                    NameCase{"cr_lf", "\r\n", "??"},
                    NameCase{"fake_header_lines", "\n256 256\n", "?256 256?"}),
    [](const testing::TestParamInfo<NameCase>& param_info) {
        return std::string(param_info.param.label);
    });

}  // namespace
