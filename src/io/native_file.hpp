// A file read by absolute position (pread) through a small buffer of its own.
// Used where the reader owns the file outright: the descriptor's own offset
// is never moved, so a host file object sharing the descriptor stays valid.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "io/blocking.hpp"

namespace karvo::io {

enum class ReadResult { Ok, Short, Error };

class NativeFile {
public:
    NativeFile() = default;
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;
    ~NativeFile() { close(); }

    // Opens `path` read-only. Returns 0 or the errno of the failure. With
    // `inspect`, the file's kind and size are taken at once (a directory
    // fails with EISDIR, as the host's open does); without, on demand.
    // `nonblocking` opens without waiting (a FIFO's open would wait for a
    // writer) and never as a controlling terminal, for a caller that reads
    // regular files only: it looks at is_regular() before reading (a socket
    // fails with ENXIO).
    int open(const char* path, bool inspect, bool nonblocking = false);
    void close();

    bool is_open() const { return fd_ >= 0; }
    bool is_regular() const { return regular_; }
    // The size taken when the file was inspected (regular files).
    uint64_t size() const { return size_; }
    int fd() const { return fd_; }
    int error() const { return errno_; }

    uint64_t position() const { return pos_; }
    void seek(uint64_t pos);

    // Bytes that the file holds from the position on; re-reads the size when
    // `want` is more than was known, since the file may have grown.
    uint64_t remaining(uint64_t want);

    // Exactly n bytes at the position, valid until the next call. On Short
    // the position is left at the end of the file, like a short read.
    ReadResult read(size_t n, const uint8_t** out);
    // Exactly n bytes into dst, past the buffer for large reads.
    ReadResult read_into(void* dst, size_t n);

    struct Span {
        uint8_t* data;
        size_t len;
    };
    // Fills the spans, in order, with the bytes from the position on, in as
    // few system calls as the system allows. Returns the bytes delivered
    // (fewer at the end of the file), or -1 on error.
    long long read_scatter(const Span* spans, size_t count);

private:
    ReadResult fill(size_t n);
    long long pread_some(void* dst, size_t need, size_t max, uint64_t at);

    int fd_ = -1;
    bool regular_ = false;
    int errno_ = 0;
    uint64_t size_ = 0;
    bool size_known_ = false;
    uint64_t pos_ = 0;
    // buffer_ holds file bytes [buf_start_, buf_start_ + buf_len_)
    std::unique_ptr<uint8_t[]> buffer_;
    size_t buf_cap_ = 0;
    uint64_t buf_start_ = 0;
    size_t buf_len_ = 0;
    size_t next_fill_ = 0;
};

}  // namespace karvo::io
