// Where the bytes of an opened file come from: a local descriptor read by
// position, or a source that fetches ranges from elsewhere (an object store,
// a web server, a file object). The structure check and the bulk readers see
// only this. Python-free.
#pragma once
#include "io/positioned.hpp"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    // Where the bytes of [at, end) that the file stores begin and end: the
    // first offset holding data (end when the rest is a hole of a sparse
    // file, stored nowhere and read as zeros), and the first hole after it
    // (end when none). A source that can't tell says all of it is stored.
    ByteRange stored_from(uint64_t at, uint64_t end) {
        if (at >= end || fetches()) return {at, end};
        off_t data = lseek(fd_, off_t(at), SEEK_DATA);
        if (data < 0) {
            // ENXIO: no data from `at` on, a hole to the end; or the file
            // became shorter meanwhile, whose reads then say so.
            struct stat st;
            bool hole = errno == ENXIO && fstat(fd_, &st) == 0 && uint64_t(st.st_size) >= end;
            return hole ? ByteRange{end, end} : ByteRange{at, end};
        }
        uint64_t from = std::min(uint64_t(data), end);
        off_t hole = lseek(fd_, off_t(from), SEEK_HOLE);
        return {from, hole < 0 ? end : std::clamp(uint64_t(hole), from, end)};
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
