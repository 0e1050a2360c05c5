// Taking the output file for a run, and giving it back finished.
#pragma once

#include <cstdio>

#include "image.hpp"

// The longest a run waits for another's lock, from the open on: runs hold the
// file a millisecond or so, so those started at once get it in turn well within
// this. README.md and the manual page state it in words; tests' timings follow.
inline constexpr long long LOCK_WAIT_MS = 2000;

// Opens path for writing, creating it or writing over it in place, once this
// run holds it alone, or once the wait is over where the run can read the
// file back; output.cpp says how. Returns nullptr, having changed nothing,
// when the file can't be had.
std::FILE* take_output(const char* path);

// Flushes and closes out, which lets go of the file, and tells whether the
// file holds what write_ppm wrote to it from image and program_name alone:
// false when a write, the flush or the close failed, or the file read back
// differs.
bool finish_output(std::FILE* out, const ImageBuffer& image, const char* program_name);
