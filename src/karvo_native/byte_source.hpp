// Where the bytes of an opened file come from: a local descriptor read by
// position, or a source that fetches ranges from elsewhere (an object store,
// a web server, a file object). The structure check and the bulk readers see
// only this. Python-free.
#pragma once
#include "io/positioned.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace karvo::bulk {

// Returned by a read whose failure is a Python error that is already set
// (a fetch that raised): passed on as it is.
constexpr long long kRaised = -2;

struct ByteRange {
    uint64_t start, end;  // [start, end)
};

// A local file's reads are inline calls to the positioned reads, as if the
// descriptor were used directly: a local read costs nothing more for the
// sources that fetch, which override the fetched_* hooks.
class ByteSource {
public:
    // A local regular file, read by position: the system's page cache is the
    // only cache, and a prefetch is nothing.
    explicit ByteSource(int fd) : fd_(fd) {}
    virtual ~ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // n bytes at `at` into dst (fewer only at the end of the object): the
    // bytes read, or -1 with errno set, or kRaised.
    long long read(void* dst, size_t n, uint64_t at) {
        return fetches() ? fetched_read(dst, n, at) : io::pread_full(fd_, dst, n, at);
    }
    // The same, scattering the bytes from `at` on over `count` pieces.
    long long readv(const iovec* pieces, size_t count, uint64_t at) {
        return fetches() ? fetched_readv(pieces, count, at) : io::preadv_full(fd_, pieces, count, at);
    }
    // The first offset of [at, at + len) that lies in a hole of a sparse file
    // (stored nowhere), or at + len when there is none or nobody tells.
    uint64_t first_hole(uint64_t at, uint64_t len) {
        if (len == 0 || fetches()) return at + len;
        off_t hole = lseek(fd_, off_t(at), SEEK_HOLE);
        return hole < 0 ? at + len : std::min(uint64_t(hole), at + len);
    }
    // The ranges that the reads of this call are about to take, in any order:
    // a source that pays per request fetches them together. False when that
    // failed (a Python error is set).
    bool prefetch(std::vector<ByteRange>&& ranges) { return !fetches() || fetched_prefetch(std::move(ranges)); }
    // Whether reads fetch from elsewhere: they then run with the interpreter
    // held (a fetch runs Python code), and are worth a prefetch.
    bool fetches() const { return fetching_; }

protected:
    ByteSource() : fetching_(true) {}
    virtual long long fetched_read(void*, size_t, uint64_t) { return -1; }
    virtual long long fetched_readv(const iovec*, size_t, uint64_t) { return -1; }
    virtual bool fetched_prefetch(std::vector<ByteRange>&&) { return true; }

private:
    int fd_ = -1;
    bool fetching_ = false;
};

}  // namespace karvo::bulk
