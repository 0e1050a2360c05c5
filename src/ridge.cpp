#include "ridge.hpp"

#include <array>
#include <cstddef>
#include <cstring>

#include "image.hpp"

namespace {

constexpr std::size_t SIZE = IMAGE_SIZE;

// How far along a row a pixel can be from the diagonal and still be lit: the
// formula falls as the distance grows, so the first black distance ends it.
constexpr std::size_t REACH = [] {
    int d = 0;
    while (d + 1 < IMAGE_SIZE && ridge_value(d + 1, 0) > 0) {
        ++d;
    }
    return static_cast<std::size_t>(d);
}();

// A pixel depends only on x - y, so every row's lit pixels are a piece of the
// same run: the pixels from REACH left of the diagonal to REACH right of it.
constexpr std::size_t BAND_PIXELS = 2 * REACH + 1;
using Band = std::array<unsigned char, BAND_PIXELS * CHANNELS>;

constexpr Band make_band()
{
    Band band{};
    for (std::size_t k = 0; k < BAND_PIXELS; ++k) {
        // Band pixel k is the pixel in column k of row REACH.
        const auto value =
            static_cast<unsigned char>(ridge_value(static_cast<int>(k), static_cast<int>(REACH)));
        for (std::size_t c = 0; c < CHANNELS; ++c) {
            band[k * CHANNELS + c] = value;
        }
    }
    return band;
}

constexpr Band BAND = make_band();

}  // namespace

// Most of the picture is black, and in memory the black between the lit
// pixels of one row and those of the next is one unbroken stretch. So the
// image is written front to back as alternating black stretches and pieces
// of the band, every byte once, in a few hundred bulk stores rather than one
// store per pixel.
void render_ridge(ImageBuffer& image)
{
    unsigned char* const pixels = image.data();
    std::size_t done = 0;
    for (std::size_t y = 0; y < SIZE; ++y) {
        // Lit columns of row y, cut off at the picture's left and right edges.
        const std::size_t first = y > REACH ? y - REACH : 0;
        const std::size_t last = y + REACH < SIZE ? y + REACH : SIZE - 1;
        const std::size_t begin = y * ROW_BYTES + first * CHANNELS;
        const std::size_t end = y * ROW_BYTES + (last + 1) * CHANNELS;

        std::memset(pixels + done, 0, begin - done);
        std::memcpy(pixels + begin, BAND.data() + (first + REACH - y) * CHANNELS, end - begin);
        done = end;
    }
    std::memset(pixels + done, 0, IMAGE_BYTES - done);
}
