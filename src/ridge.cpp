#include "ridge.hpp"

#include <cstring>

namespace {

// A pixel depends only on x - y, so every row is the same run of pixels
// shifted by one per row. This strip holds that run for x - y from
// -(IMAGE_SIZE - 1) to IMAGE_SIZE - 1; row y is the ROW_BYTES that start at
// pixel IMAGE_SIZE - 1 - y. Rendering is then one small copy per row out of a
// table that stays in L1, which costs about what copying the image costs.
constexpr std::size_t STRIP_PIXELS = 2 * static_cast<std::size_t>(IMAGE_SIZE) - 1;

using Strip = std::array<unsigned char, STRIP_PIXELS * CHANNELS>;

constexpr Strip make_strip()
{
    Strip strip{};
    for (int k = 0; k < static_cast<int>(STRIP_PIXELS); ++k) {
        // Strip pixel k is column k, row IMAGE_SIZE - 1 of an image twice as wide.
        const int d = k - (IMAGE_SIZE - 1);
        const auto value =
            static_cast<unsigned char>(d < 0 ? ridge_value(0, -d) : ridge_value(d, 0));
        for (std::size_t c = 0; c < CHANNELS; ++c) {
            strip[static_cast<std::size_t>(k) * CHANNELS + c] = value;
        }
    }
    return strip;
}

constexpr Strip STRIP = make_strip();

// The strip's centre is the diagonal, and the ends are the far corners.
static_assert(STRIP[(IMAGE_SIZE - 1) * CHANNELS] == MAX_SAMPLE);
static_assert(STRIP.front() == 0 && STRIP.back() == 0);

}  // namespace

void render_ridge(ImageBuffer& image)
{
    for (std::size_t y = 0; y < static_cast<std::size_t>(IMAGE_SIZE); ++y) {
        const std::size_t first = (static_cast<std::size_t>(IMAGE_SIZE) - 1 - y) * CHANNELS;
        std::memcpy(image.data() + y * ROW_BYTES, STRIP.data() + first, ROW_BYTES);
    }
}
