#include "io/positioned.hpp"

#include "io/blocking.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <unistd.h>

#include <algorithm>

namespace karvo::io {
namespace {

// One system call reads at most this much: a few milliseconds from the page
// cache, so that a signal is seen soon; large enough to cost nothing.
constexpr size_t kPiece = size_t(4) << 20;

// Offsets end at the largest off_t: nothing lies past it, so a read that
// would reach beyond it is cut there (the system would refuse it whole).
size_t room_at(uint64_t at, size_t len) {
    constexpr uint64_t kLast = uint64_t(INT64_MAX);
    if (at >= kLast) return 0;
    return len > kLast - at ? size_t(kLast - at) : len;
}

long long stopped() {
    errno = EINTR;
    return -1;
}

}  // namespace

long long pread_some(int fd, void* dst, size_t need, size_t max, uint64_t at) {
    max = room_at(at, max);
    need = std::min(need, max);
    size_t done = 0;
    while (done < max) {
        if (interrupted()) return stopped();
        size_t want = std::min(max - done, kPiece);
        ssize_t r = ::pread(fd, static_cast<uint8_t*>(dst) + done, want, off_t(at + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += size_t(r);
        if (done >= need && size_t(r) < want) break;
    }
    return (long long)done;
}

long long preadv_full(int fd, const iovec* pieces, size_t count, uint64_t at) {
    // A window of at most kWindow pieces and kPiece bytes per call, the last
    // one cut to fit. Small enough (4 KiB) for the smallest thread stacks.
    constexpr size_t kWindow = IOV_MAX < 256 ? IOV_MAX : 256;
    iovec window[kWindow];
    size_t cur = 0, cur_done = 0;  // the piece being filled, and its bytes filled
    long long total = 0;
    while (cur < count) {
        if (cur_done == pieces[cur].iov_len) {
            ++cur, cur_done = 0;
            continue;
        }
        if (interrupted()) return stopped();
        uint64_t pos = at + uint64_t(total);
        size_t room = room_at(pos, kPiece);
        if (room == 0) break;
        size_t held = 0, bytes = 0;
        for (size_t k = cur; k < count && held < kWindow && bytes < room; ++k) {
            size_t skip = k == cur ? cur_done : 0;
            size_t len = std::min(pieces[k].iov_len - skip, room - bytes);
            if (len == 0) continue;
            window[held++] = {static_cast<uint8_t*>(pieces[k].iov_base) + skip, len};
            bytes += len;
        }
        ssize_t r = ::preadv(fd, window, int(held), off_t(pos));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        total += r;
        for (size_t left = size_t(r); left;) {
            size_t rest = pieces[cur].iov_len - cur_done;
            if (left < rest) {
                cur_done += left;
                break;
            }
            left -= rest;
            ++cur, cur_done = 0;
        }
    }
    return total;
}

}  // namespace karvo::io
