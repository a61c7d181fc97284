// Bulk reads of a series' data blob into caller memory: whole runs of
// spectra, their values packed row after row, and their mini headers.
// Python-free and thread-safe (positioned reads only). A source that fetches
// from elsewhere is told every range of a call before its first read.
#pragma once
#include "karvo_native/structure.hpp"

#include <cstdint>

namespace karvo::bulk {

// Values of spectra [first, first + count) into dst, count * values_size
// bytes. Rows interleaved with mini headers are read in large chunks and
// packed here, or scattered straight into dst when the rows are long.
Failure read_values(ByteSource& src, const Structure& s, uint64_t first, uint64_t count, uint8_t* dst);

// Values of the spectra listed in `index` (each below s.held) into dst, in
// that order. Runs of consecutive spectra are one read each; short rows
// close to each other are read together through a chunk. With `order` (a
// permutation of 0..n-1), entry order[j] is read j-th, still into its own
// row of dst: a list sorted that way is read forward through the file.
Failure read_listed(ByteSource& src, const Structure& s, const int64_t* index, uint64_t n, uint8_t* dst,
                    const uint64_t* order = nullptr);

// Mini headers of spectra [first, first + count) into dst, count * mini_size
// bytes, with their string fields cleaned as text (ASCII up to the first
// NUL, bytes 128..255 dropped, NUL-padded).
Failure read_minis(ByteSource& src, const Structure& s, uint64_t first, uint64_t count, uint8_t* dst);

// np.linspace(start, stop, num)[:count], computed the same way, into out.
void linspace(double start, double stop, uint64_t num, uint64_t count, double* out);

}  // namespace karvo::bulk
