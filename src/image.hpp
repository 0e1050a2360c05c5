// The in-memory picture shared by the renderer and the file writer.
#pragma once

#include <array>
#include <cstddef>

inline constexpr int IMAGE_SIZE = 256;  // width and height, in pixels
inline constexpr int MAX_SAMPLE = 255;  // brightest sample; also the file's maxval

inline constexpr std::size_t CHANNELS = 3;  // red, green, blue
inline constexpr std::size_t ROW_BYTES = static_cast<std::size_t>(IMAGE_SIZE) * CHANNELS;
inline constexpr std::size_t IMAGE_BYTES = ROW_BYTES * static_cast<std::size_t>(IMAGE_SIZE);

// Rows top to bottom, pixels left to right, samples red, green, blue: byte
// y * ROW_BYTES + x * CHANNELS + c. This is also the PPM raster layout, so the
// writer can hand the whole block to the stream as it stands.
using ImageBuffer = std::array<unsigned char, IMAGE_BYTES>;
static_assert(sizeof(ImageBuffer) == IMAGE_BYTES, "the buffer must be one packed block");
