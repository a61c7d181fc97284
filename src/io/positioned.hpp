// Positioned reads on a shared descriptor: no file position is used, so any
// number of threads may read one file at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

namespace karvo::io {

// Reads up to n bytes at `at`, going on after partial reads. Returns the
// bytes read (fewer only at the end of the file), or -1 with errno set.
long long pread_full(int fd, void* dst, size_t n, uint64_t at);

// The same, scattering the bytes from `at` on over `count` pieces.
long long preadv_full(int fd, const iovec* pieces, size_t count, uint64_t at);

}  // namespace karvo::io
