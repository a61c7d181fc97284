#include "io/positioned.hpp"

#include <cerrno>
#include <climits>
#include <unistd.h>

#include <algorithm>

namespace karvo::io {

long long pread_full(int fd, void* dst, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        if (at + done > uint64_t(INT64_MAX)) break;  // nothing lies past the largest offset
        ssize_t r = ::pread(fd, static_cast<uint8_t*>(dst) + done, n - done, off_t(at + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += size_t(r);
    }
    return (long long)done;
}

long long preadv_full(int fd, const iovec* pieces, size_t count, uint64_t at) {
    // Work on a window of copies: a partial read leaves a piece half filled.
    constexpr size_t kWindow = IOV_MAX < 1024 ? IOV_MAX : 1024;
    iovec window[kWindow];
    size_t next = 0, held = 0, first = 0;
    long long total = 0;
    for (;;) {
        // Slide the window and top it up.
        if (first > 0) {
            std::copy(window + first, window + held, window);
            held -= first;
            first = 0;
        }
        while (held < kWindow && next < count) window[held++] = pieces[next++];
        if (held == 0) break;
        ssize_t r = ::preadv(fd, window, int(held), off_t(at + uint64_t(total)));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        total += r;
        size_t left = size_t(r);
        while (left && first < held) {
            if (left >= window[first].iov_len) {
                left -= window[first].iov_len;
                ++first;
            } else {
                window[first].iov_base = static_cast<uint8_t*>(window[first].iov_base) + left;
                window[first].iov_len -= left;
                left = 0;
            }
        }
        // Skip empty pieces so that an all-empty window can't loop.
        while (first < held && window[first].iov_len == 0) ++first;
    }
    return total;
}

}  // namespace karvo::io
