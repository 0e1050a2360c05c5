// Encoding of the picture as a raw (binary) PPM file.
#pragma once

#include <cstdio>

#include "image.hpp"

// Writes the header and the raster of image to out, which the caller opened
// and will flush and close. Write errors are left in out's error indicator
// for the caller to check; nothing is reported here.
void write_ppm(std::FILE* out, const ImageBuffer& image, const char* program_name);
