// The formula against the table worked out by hand, at compile time, and the
// fast renderer against the formula at every byte.
#include "ridge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "image.hpp"

namespace {

// 255 - d - d*d by distance d from the diagonal, worked out by hand; the last is the
// first distance where the formula goes negative and clamps to black, as all after it must.
constexpr std::array VALUE_BY_DISTANCE = {255, 253, 249, 243, 235, 225, 213, 199, 183,
                                          165, 145, 123, 99,  73,  45,  15,  0};

constexpr int LAST = IMAGE_SIZE - 1;

// Where ridge_value first differs from the table, and the two values; all
// zero where it never does.
struct Mismatch {
    int distance = 0;
    int formula = 0;
    int table = 0;
};

constexpr Mismatch first_mismatch()
{
    for (int d = 0; d < IMAGE_SIZE; ++d) {
        const int want = std::cmp_less(d, VALUE_BY_DISTANCE.size())
                             ? VALUE_BY_DISTANCE[static_cast<std::size_t>(d)]
                             : 0;
        // Both sides of the diagonal, measured from both ends of it.
        const std::array got = {ridge_value(d, 0), ridge_value(0, d), ridge_value(LAST, LAST - d),
                                ridge_value(LAST - d, LAST)};
        const auto* wrong = std::ranges::find_if(got, [want](int value) { return value != want; });
        if (wrong != got.end()) {
            return {.distance = d, .formula = *wrong, .table = want};
        }
    }
    return {};
}

// Checked by the compiler: a wrong value breaks the build, and the error
// names the template's arguments, the distance and both values.
template <int Distance, int Formula, int Table> constexpr bool agrees_with_table()
{
    static_assert(Formula == Table, "ridge_value differs from VALUE_BY_DISTANCE at Distance");
    return true;
}
constexpr Mismatch MISMATCH = first_mismatch();
static_assert(agrees_with_table<MISMATCH.distance, MISMATCH.formula, MISMATCH.table>());
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
