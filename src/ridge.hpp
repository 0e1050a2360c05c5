// The ridge picture: white on the main diagonal, falling off quadratically
// to black 16 pixels away from it.
#pragma once

#include "image.hpp"

// Value of the pixel in column x, row y (both 0 to IMAGE_SIZE - 1): the plain
// formula, kept as the reference the fast renderer is checked against.
// All intermediates fit easily in int: the largest is 255 * 255.
constexpr int ridge_value(int x, int y)
{
    const int d = x > y ? x - y : y - x;  // distance from the diagonal along a row
    const int r = MAX_SAMPLE - d;         // linear ridge
    const int v = r - (MAX_SAMPLE - r) * (MAX_SAMPLE - r);
    return v < 0 ? 0 : v;
}

// Writes every byte of image; allocates nothing and can't fail.
void render_ridge(ImageBuffer& image);
