// Positioned reads on a shared descriptor: no file position is used, so any
// number of threads may read one file at once. Reads go in pieces of a few
// MiB, and stop between pieces when a signal handler raised (see
// blocking.hpp): -1 with errno EINTR.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

namespace karvo::io {

// Reads up to `max` bytes at `at`, going on after a partial read only while
// fewer than `need` came (a short read past that is taken as the end of the
// file). Returns the bytes read, or -1 with errno set.
long long pread_some(int fd, void* dst, size_t need, size_t max, uint64_t at);

// Reads n bytes at `at` (fewer only at the end of the file).
inline long long pread_full(int fd, void* dst, size_t n, uint64_t at) { return pread_some(fd, dst, n, n, at); }

// The same, scattering the bytes from `at` on over `count` pieces.
long long preadv_full(int fd, const iovec* pieces, size_t count, uint64_t at);

}  // namespace karvo::io
