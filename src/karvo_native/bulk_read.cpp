#include "karvo_native/bulk_read.hpp"

#include "io/positioned.hpp"
#include "records/text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace karvo::bulk {
namespace {

// Rows at least this long are scattered straight into place by the system;
// shorter ones are read in chunks of the whole region and packed here.
constexpr uint64_t kScatterFrom = 4096;
constexpr uint64_t kChunk = 1 << 20;
constexpr size_t kPiecesPerCall = 1024;

Failure short_read(const Structure& s, uint64_t at) {
    char buf[200];
    std::snprintf(buf, sizeof buf, "the file became shorter than %llu bytes while it was read (it had %llu)",
                  (unsigned long long)at, (unsigned long long)s.size);
    return {Problem::Truncated, 0, buf};
}

Failure read_exact(int fd, const Structure& s, void* dst, uint64_t n, uint64_t at) {
    long long got = io::pread_full(fd, dst, size_t(n), at);
    if (got < 0) return {Problem::System, errno, {}};
    if (uint64_t(got) < n) return short_read(s, at + n);
    return {};
}

uint64_t row_at(const Structure& s, uint64_t row) { return s.data_start + row * s.stride; }

// Calls take(j, bytes) for every row j of [first, first + count), with the
// bytes of the row from its first byte (mini header) on, `need` of them.
template <class Take>
Failure visit_chunked(int fd, const Structure& s, uint64_t first, uint64_t count, uint64_t skip, uint64_t need,
                      Take take) {
    uint64_t per_chunk = std::max<uint64_t>(1, kChunk / s.stride);
    uint64_t rows = std::min(per_chunk, count);
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[size_t((rows - 1) * s.stride + need)]);
    for (uint64_t done = 0; done < count;) {
        uint64_t n = std::min(rows, count - done);
        uint64_t len = (n - 1) * s.stride + need;
        uint64_t at = row_at(s, first + done) + skip;
        if (Failure f = read_exact(fd, s, scratch.get(), len, at); f.problem != Problem::None) return f;
        for (uint64_t j = 0; j < n; ++j) take(done + j, scratch.get() + j * s.stride);
        done += n;
    }
    return {};
}

void clean_texts(const format::FlatLayout& layout, uint8_t* record) {
    for (const format::FlatField& f : layout.fields) {
        if (f.kind != format::Kind::Text) continue;
        uint8_t* p = record + f.offset;
        size_t len = format::text_length(p, f.width), kept = 0;
        for (size_t i = 0; i < len; ++i)
            if (p[i] < 0x80) p[kept++] = p[i];
        std::memset(p + kept, 0, f.width - kept);
    }
}

}  // namespace

Failure read_values(int fd, const Structure& s, uint64_t first, uint64_t count, uint8_t* dst) {
    const uint64_t V = s.values_size, M = s.mini_size;
    if (count == 0 || V == 0) return {};
    if (M == 0 || count == 1) return read_exact(fd, s, dst, count * V, row_at(s, first) + M);
    if (V >= kScatterFrom) {
        // Values straight into place; every mini header into the same scrap.
        uint8_t scrap[128];
        static_assert(sizeof scrap >= 100);
        if (M > sizeof scrap) std::abort();
        iovec pieces[kPiecesPerCall];
        const uint64_t rows_per_call = (kPiecesPerCall + 1) / 2;
        for (uint64_t done = 0; done < count;) {
            uint64_t n = std::min(rows_per_call, count - done);
            size_t k = 0;
            for (uint64_t j = 0; j < n; ++j) {
                if (j) pieces[k++] = {scrap, size_t(M)};
                pieces[k++] = {dst + (done + j) * V, size_t(V)};
            }
            uint64_t at = row_at(s, first + done) + M, want = n * s.stride - M;
            long long got = io::preadv_full(fd, pieces, k, at);
            if (got < 0) return {Problem::System, errno, {}};
            if (uint64_t(got) < want) return short_read(s, at + want);
            done += n;
        }
        return {};
    }
    return visit_chunked(fd, s, first, count, M, V,
                         [&](uint64_t j, const uint8_t* row) { std::memcpy(dst + j * V, row, size_t(V)); });
}

Failure read_minis(int fd, const Structure& s, uint64_t first, uint64_t count, uint8_t* dst) {
    const uint64_t M = s.mini_size;
    if (count == 0 || M == 0) return {};
    const format::FlatLayout& layout = s.mini_v3 ? layouts().mini_v3 : layouts().mini;
    if (s.stride <= kChunk) {
        Failure f = visit_chunked(fd, s, first, count, 0, M, [&](uint64_t j, const uint8_t* row) {
            std::memcpy(dst + j * M, row, size_t(M));
        });
        if (f.problem != Problem::None) return f;
    } else {
        // Long rows: one small read per mini header beats reading the values.
        for (uint64_t j = 0; j < count; ++j)
            if (Failure f = read_exact(fd, s, dst + j * M, M, row_at(s, first + j)); f.problem != Problem::None)
                return f;
    }
    for (uint64_t j = 0; j < count; ++j) clean_texts(layout, dst + j * M);
    return {};
}

void linspace(double start, double stop, uint64_t num, uint64_t count, double* out) {
    count = std::min(count, num);
    if (count == 0) return;
    const double delta = stop - start;
    const uint64_t div = num - 1;
    if (div > 0) {
        const double step = delta / double(div);
        if (step == 0) {
            for (uint64_t i = 0; i < count; ++i) out[i] = double(i) / double(div) * delta + start;
        } else {
            for (uint64_t i = 0; i < count; ++i) out[i] = double(i) * step + start;
        }
        if (count == num) out[num - 1] = stop;
    } else {
        out[0] = 0.0 * delta + start;
    }
}

}  // namespace karvo::bulk
