#include "io/native_file.hpp"

#include "io/positioned.hpp"

#include <cerrno>
#include <cstring>
#include <cstdint>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <vector>

namespace karvo::io {
namespace {

// The first fill is small (a record or two is often all that an operation
// reads); each further fill doubles, up to the largest.
constexpr size_t kFirstFill = 4 * 1024;
constexpr size_t kBufferSize = 256 * 1024;

}  // namespace

int NativeFile::open(const char* path, bool inspect, bool nonblocking) {
    close();
    int fd;
    {
        Blocking b;
        do fd = ::open(path, O_RDONLY | O_CLOEXEC | (nonblocking ? O_NONBLOCK | O_NOCTTY : 0));
        while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) return errno_ = errno;
    fd_ = fd;
    pos_ = 0;
    buf_len_ = 0;
    next_fill_ = 0;
    // Uninspected, the file is taken as regular; a directory then fails its
    // first read with EISDIR, a pipe with ESPIPE.
    regular_ = true;
    size_known_ = false;
    if (inspect) {
        struct stat st;
        int e = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
        if (e) {
            close();
            return errno_ = e;
        }
        regular_ = S_ISREG(st.st_mode);
        size_ = regular_ ? uint64_t(st.st_size) : 0;
        size_known_ = regular_;
    }
    // Reads of a regular file wait for the disk as usual.
    if (nonblocking && regular_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return 0;
}

void NativeFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buf_len_ = 0;
}

void NativeFile::seek(uint64_t pos) { pos_ = pos; }

uint64_t NativeFile::remaining(uint64_t want) {
    if (!size_known_ || pos_ + want > size_ || pos_ + want < pos_) {
        struct stat st;
        if (fstat(fd_, &st) == 0) {
            size_ = uint64_t(st.st_size);
            size_known_ = true;
        }
    }
    return size_ > pos_ ? size_ - pos_ : 0;
}

long long NativeFile::pread_some(void* dst, size_t need, size_t max, uint64_t at) {
    Blocking b(max);
    long long got = io::pread_some(fd_, dst, need, max, at);
    if (got < 0) errno_ = errno;
    return got;
}

// Makes the buffer hold at least n bytes from pos_, or as many as the file has.
ReadResult NativeFile::fill(size_t n) {
    next_fill_ = next_fill_ ? (next_fill_ * 2 > kBufferSize ? kBufferSize : next_fill_ * 2) : kFirstFill;
    size_t want = n > next_fill_ ? n : next_fill_;
    if (want > kBufferSize || size_known_) {
        // Never a buffer larger than what the file holds.
        uint64_t avail = remaining(n);
        if (avail < want) want = size_t(avail);
    }
    if (want > buf_cap_) {
        buffer_.reset(new uint8_t[want]);
        buf_cap_ = want;
    }
    long long got = pread_some(buffer_.get(), n < want ? n : want, want, pos_);
    if (got < 0) {
        buf_len_ = 0;
        return ReadResult::Error;
    }
    buf_start_ = pos_;
    buf_len_ = size_t(got);
    return ReadResult::Ok;
}

ReadResult NativeFile::read(size_t n, const uint8_t** out) {
    bool in_buffer = pos_ >= buf_start_ && pos_ - buf_start_ <= buf_len_ &&
                     buf_len_ - size_t(pos_ - buf_start_) >= n;
    if (!in_buffer && fill(n) == ReadResult::Error) return ReadResult::Error;
    size_t off = size_t(pos_ - buf_start_);
    size_t have = buf_len_ - off;
    if (have < n) {
        pos_ += have;
        return ReadResult::Short;
    }
    *out = buffer_.get() + off;
    pos_ += n;
    return ReadResult::Ok;
}

ReadResult NativeFile::read_into(void* dst, size_t n) {
    uint8_t* d = static_cast<uint8_t*>(dst);
    // First whatever the buffer already holds at the position.
    if (pos_ >= buf_start_ && pos_ - buf_start_ < buf_len_) {
        size_t off = size_t(pos_ - buf_start_);
        size_t take = buf_len_ - off < n ? buf_len_ - off : n;
        std::memcpy(d, buffer_.get() + off, take);
        d += take;
        n -= take;
        pos_ += take;
    }
    if (n == 0) return ReadResult::Ok;
    if (n < kBufferSize / 4) {
        // Small reads go through the buffer, so the next record is already there.
        const uint8_t* p;
        ReadResult r = read(n, &p);
        if (r == ReadResult::Ok) std::memcpy(d, p, n);
        return r;
    }
    long long got = pread_some(d, n, n, pos_);
    if (got < 0) return ReadResult::Error;
    pos_ += uint64_t(got);
    return size_t(got) == n ? ReadResult::Ok : ReadResult::Short;
}

long long NativeFile::read_scatter(const Span* spans, size_t count) {
    size_t i = 0, used = 0;  // span i, bytes of it filled
    long long total = 0;
    // What the buffer already holds at the position comes first.
    while (i < count && pos_ >= buf_start_ && pos_ - buf_start_ < buf_len_) {
        size_t off = size_t(pos_ - buf_start_);
        size_t take = buf_len_ - off < spans[i].len - used ? buf_len_ - off : spans[i].len - used;
        std::memcpy(spans[i].data + used, buffer_.get() + off, take);
        pos_ += take;
        total += (long long)take;
        used += take;
        if (used == spans[i].len) ++i, used = 0;
    }
    std::vector<iovec> iov;
    for (size_t k = i; k < count; ++k) {
        size_t skip = k == i ? used : 0;
        if (spans[k].len > skip) iov.push_back({spans[k].data + skip, spans[k].len - skip});
    }
    size_t wanted = 0;
    for (const iovec& v : iov) wanted += v.iov_len;
    Blocking b(wanted);
    long long got = preadv_full(fd_, iov.data(), iov.size(), pos_);
    if (got < 0) {
        errno_ = errno;
        return -1;
    }
    pos_ += uint64_t(got);
    total += got;
    return total;
}

}  // namespace karvo::io
