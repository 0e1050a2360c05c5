#include "ridge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>

#include "image.hpp"

namespace {

// 255 - d - d*d by distance d from the diagonal, worked out by hand; 16 is the
// first distance where the formula goes negative and must clamp to black.
constexpr std::array<int, 17> VALUE_BY_DISTANCE = {255, 253, 249, 243, 235, 225, 213, 199, 183,
                                                   165, 145, 123, 99,  73,  45,  15,  0};

constexpr int LAST = IMAGE_SIZE - 1;

// Checked by the compiler: a wrong value breaks the build.
constexpr bool ridge_matches_table()
{
    for (int d = 0; d < IMAGE_SIZE; ++d) {
        const int want = d < static_cast<int>(VALUE_BY_DISTANCE.size())
                             ? VALUE_BY_DISTANCE[static_cast<std::size_t>(d)]
                             : 0;
        // Both sides of the diagonal, measured from both ends of it.
        if (ridge_value(d, 0) != want || ridge_value(0, d) != want ||
            ridge_value(LAST, LAST - d) != want || ridge_value(LAST - d, LAST) != want) {
            return false;
        }
    }
    return true;
}
static_assert(ridge_matches_table());
static_assert(ridge_value(0, 0) == MAX_SAMPLE && ridge_value(LAST, LAST) == MAX_SAMPLE);
static_assert(ridge_value(LAST, 0) == 0 && ridge_value(0, LAST) == 0);

// What the buffer holds before the render: a value no pixel has, so a byte
// the render leaves alone can't pass for a right one.
constexpr unsigned char STALE = 0x5A;
static_assert(std::ranges::find(VALUE_BY_DISTANCE, STALE) == VALUE_BY_DISTANCE.end());

// The renderer takes a shortcut; it must still agree with the formula at every
// byte, and must overwrite whatever the buffer held before.
TEST(RenderRidge, EveryByteMatchesTheFormula)
{
    static ImageBuffer image;
    image.fill(STALE);
    render_ridge(image);

    for (int y = 0; y < IMAGE_SIZE; ++y) {
        for (int x = 0; x < IMAGE_SIZE; ++x) {
            const std::size_t at =
                static_cast<std::size_t>(y) * ROW_BYTES + static_cast<std::size_t>(x) * CHANNELS;
            for (std::size_t c = 0; c < CHANNELS; ++c) {
                ASSERT_EQ(image[at + c], ridge_value(x, y))
                    << "column " << x << ", row " << y << ", sample " << c;
            }
        }
    }
}

}  // namespace
