// Taking the output file for a run, and giving it back finished.
#pragma once

#include <cstdio>

// Opens path for writing, creating it or writing over it in place, once this
// run holds it alone or has waited long enough; output.cpp says how. Returns
// nullptr, having changed nothing, when the file can't be had.
std::FILE* take_output(const char* path);

// Flushes and closes out, and tells whether everything written to it reached
// the file: false when any write, the flush or the close failed. The stream
// is closed in every case, which also lets go of the file.
bool finish_output(std::FILE* out);
