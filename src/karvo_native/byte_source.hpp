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

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // n bytes at `at` into dst (fewer only at the end of the object): the
    // bytes read, or -1 with errno set, or kRaised.
    virtual long long read(void* dst, size_t n, uint64_t at) = 0;
    // The same, scattering the bytes from `at` on over `count` pieces.
    virtual long long readv(const iovec* pieces, size_t count, uint64_t at) = 0;
    // The first offset of [at, at + len) that lies in a hole of a sparse file
    // (stored nowhere), or at + len when there is none or nobody tells.
    virtual uint64_t first_hole(uint64_t at, uint64_t len) { return at + len; }
    // The ranges that the reads of this call are about to take, in any order:
    // a source that pays per request fetches them together. False when that
    // failed (a Python error is set).
    virtual bool prefetch(std::vector<ByteRange>&&) { return true; }
    // Whether reads fetch from elsewhere: they then run with the interpreter
    // held (a fetch runs Python code), and are worth a prefetch.
    virtual bool fetches() const { return false; }
};

// A local regular file, read by position: the system's page cache is the
// only cache, and a prefetch is nothing.
class LocalSource final : public ByteSource {
public:
    explicit LocalSource(int fd) : fd_(fd) {}
    long long read(void* dst, size_t n, uint64_t at) override { return io::pread_full(fd_, dst, n, at); }
    long long readv(const iovec* pieces, size_t count, uint64_t at) override {
        return io::preadv_full(fd_, pieces, count, at);
    }
    uint64_t first_hole(uint64_t at, uint64_t len) override {
        if (len == 0) return at;
        off_t hole = lseek(fd_, off_t(at), SEEK_HOLE);
        return hole < 0 ? at + len : std::min(uint64_t(hole), at + len);
    }

private:
    int fd_;
};

}  // namespace karvo::bulk
