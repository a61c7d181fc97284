#include "karvo_native/bulk_read.hpp"

#include "records/text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace karvo::bulk {
namespace {

// Rows at least this long are scattered straight into place by the system;
// shorter ones are read in chunks of the whole region and packed here.
constexpr uint64_t kScatterFrom = 4096;
// Large reads: with a quarter of this, packing 100,000 short rows takes
// about a third more CPU time (the reads cost more than the cache saves).
constexpr uint64_t kChunk = 1024 * 1024;
// Pieces of one scattered read. They live on the stack of the calling thread,
// which may be as small as threading.stack_size() allows (32 KiB): 4 KiB here,
// as many in the window of io::preadv_full.
constexpr size_t kPiecesPerCall = 256;
// Listed rows this close are read through, rather than with a read each.
constexpr uint64_t kReadThrough = 8192;
// Mini headers of rows at least this far apart are read one small read each,
// skipping the values between. Measured with the file in the page cache, a
// read of a 100-byte mini header costs about 400 ns; reading through a row
// costs about 37 ns per KiB: the two meet near 11 KiB. (A spectrum of 4,096
// float32 is 16 KiB: its metadata then reads well under a hundredth of it.)
constexpr uint64_t kEachMiniFrom = 10 * 1024;


// A row of a few hundred bytes: inline moves beat a call per row.
inline void copy_row(uint8_t* d, const uint8_t* s, size_t n) {
    if (n >= 512) {
        std::memcpy(d, s, n);
        return;
    }
    size_t k = 0;
    for (; k + 32 <= n; k += 32) std::memcpy(d + k, s + k, 32);
    for (; k + 8 <= n; k += 8) std::memcpy(d + k, s + k, 8);
    for (; k < n; ++k) d[k] = s[k];
}

// Each thread keeps one chunk buffer: a fresh one per call would cost a
// page fault per page, every call. A read nested in another on the same
// thread (a signal handler's, run between the pieces of a long read) gets a
// buffer of its own: the outer read is still using the thread's.
class Chunk {
public:
    explicit Chunk(size_t n) {
        if (busy_) {
            own_.reset(new uint8_t[n]);
            data_ = own_.get();
            return;
        }
        if (n > size_) {
            buffer_.reset();
            size_ = 0;
            buffer_.reset(new uint8_t[n]);
            size_ = n;
        }
        busy_ = lent_ = true;
        data_ = buffer_.get();
    }
    ~Chunk() {
        if (lent_) busy_ = false;
    }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    uint8_t* data() const { return data_; }

private:
    static thread_local std::unique_ptr<uint8_t[]> buffer_;
    static thread_local size_t size_;
    static thread_local bool busy_;
    std::unique_ptr<uint8_t[]> own_;
    uint8_t* data_ = nullptr;
    bool lent_ = false;
};
thread_local std::unique_ptr<uint8_t[]> Chunk::buffer_;
thread_local size_t Chunk::size_ = 0;
thread_local bool Chunk::busy_ = false;

uint64_t row_at(const Structure& s, uint64_t row) { return s.data_start + row * s.stride; }

// Tells a fetching source the ranges that this call reads, which add(ranges)
// lists; a local source is told nothing (and nothing is allocated).
template <class Add>
Failure announce(ByteSource& src, Add add) {
    if (!src.fetches()) return {};
    std::vector<ByteRange> ranges;
    add(ranges);
    if (!src.prefetch(std::move(ranges))) return {Problem::Raised, 0, {}};
    return {};
}

// Calls take(j, bytes) for every row j of [first, first + count), with the
// bytes of the row from its first byte (mini header) on, `need` of them.
template <class Take>
Failure visit_chunked(ByteSource& src, const Structure& s, uint64_t first, uint64_t count, uint64_t skip, uint64_t need,
                      Take take) {
    uint64_t per_chunk = std::max<uint64_t>(1, kChunk / s.stride);
    uint64_t rows = std::min(per_chunk, count);
    Chunk chunk(size_t((rows - 1) * s.stride + need));
    uint8_t* scratch = chunk.data();
    for (uint64_t done = 0; done < count;) {
        uint64_t n = std::min(rows, count - done);
        uint64_t len = (n - 1) * s.stride + need;
        uint64_t at = row_at(s, first + done) + skip;
        if (Failure f = read_at(src, s, scratch, len, at); f.problem != Problem::None) return f;
        for (uint64_t j = 0; j < n; ++j) take(done + j, scratch + j * s.stride);
        done += n;
    }
    return {};
}

// The string fields of a record, where they lie.
struct TextSpan {
    uint32_t offset, width;
};

std::vector<TextSpan> text_spans(const format::FlatLayout& layout) {
    std::vector<TextSpan> out;
    for (const format::FlatField& f : layout.fields)
        if (f.kind == format::Kind::Text) out.push_back({f.offset, f.width});
    return out;
}

}  // namespace

namespace {

// read_values, its ranges announced by the caller.
Failure values_of(ByteSource& src, const Structure& s, uint64_t first, uint64_t count, uint8_t* dst) {
    const uint64_t V = s.values_size, M = s.mini_size;
    if (count == 0 || V == 0) return {};
    if (M == 0 || count == 1) return read_at(src, s, dst, count * V, row_at(s, first) + M);
    if (V >= kScatterFrom) {
        // Values straight into place; every mini header into the same scrap.
        uint8_t scrap[256];
        if (M > sizeof scrap) std::abort();  // mini headers are a hundred bytes or so
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
            long long got = src.readv(pieces, k, at);
            if (got < 0) return read_failure(got);
            if (uint64_t(got) < want) return became_shorter(s, at + want);
            done += n;
        }
        return {};
    }
    return visit_chunked(src, s, first, count, M, V,
                         [&](uint64_t j, const uint8_t* row) { copy_row(dst + j * V, row, size_t(V)); });
}

}  // namespace

Failure read_values(ByteSource& src, const Structure& s, uint64_t first, uint64_t count, uint8_t* dst) {
    const uint64_t V = s.values_size, M = s.mini_size;
    if (count == 0 || V == 0) return {};
    // Mini headers between the rows are read along: a request costs more than they do.
    if (Failure f = announce(src, [&](auto& r) { r.push_back({row_at(s, first) + M, row_at(s, first + count - 1) + M + V}); });
        f.problem != Problem::None)
        return f;
    return values_of(src, s, first, count, dst);
}

namespace {

// read_listed over its entries in turn: the j-th reads spectrum row(j) into
// row place(j) of dst. A run is one read only where its places follow on too.
template <class Row, class Place>
Failure listed(ByteSource& src, const Structure& s, uint64_t n, uint8_t* dst, Row row, Place place) {
    const uint64_t V = s.values_size, S = s.stride;
    if (V == 0) return {};
    if (Failure f = announce(src, [&](auto& r) {
            r.reserve(size_t(n));
            for (uint64_t k = 0; k < n; ++k)
                r.push_back({row_at(s, row(k)) + s.mini_size, row_at(s, row(k)) + s.mini_size + V});
        });
        f.problem != Problem::None)
        return f;
    for (uint64_t k = 0; k < n;) {
        uint64_t first = row(k), run = 1;
        while (k + run < n && row(k + run) == first + run && place(k + run) == place(k) + run) ++run;
        uint64_t near = 1;
        if (run == 1 && V < kScatterFrom && S <= kChunk / 2)
            while (k + near < n && row(k + near) > row(k + near - 1) &&
                   (row(k + near) - row(k + near - 1)) * S <= kReadThrough && (row(k + near) - first + 1) * S <= kChunk)
                ++near;
        if (near <= 2) {  // two reads cost no more than one through a chunk
            if (Failure f = values_of(src, s, first, run, dst + place(k) * V); f.problem != Problem::None) return f;
            k += run;
            continue;
        }
        uint64_t span = row(k + near - 1) - first;
        Chunk lease(size_t(span * S + V));
        uint8_t* chunk = lease.data();
        if (Failure f = read_at(src, s, chunk, span * S + V, row_at(s, first) + s.mini_size);
            f.problem != Problem::None)
            return f;
        for (uint64_t j = 0; j < near; ++j)
            copy_row(dst + place(k + j) * V, chunk + (row(k + j) - first) * S, size_t(V));
        k += near;
    }
    return {};
}

}  // namespace

Failure read_listed(ByteSource& src, const Structure& s, const int64_t* index, uint64_t n, uint8_t* dst,
                    const uint64_t* order) {
    if (!order)
        return listed(src, s, n, dst, [&](uint64_t j) { return uint64_t(index[j]); }, [](uint64_t j) { return j; });
    return listed(src, s, n, dst, [&](uint64_t j) { return uint64_t(index[order[j]]); },
                  [&](uint64_t j) { return order[j]; });
}

Failure read_minis(ByteSource& src, const Structure& s, uint64_t first, uint64_t count, uint8_t* dst) {
    const uint64_t M = s.mini_size;
    if (count == 0 || M == 0) return {};
    static const std::vector<TextSpan> texts = text_spans(layouts().mini);
    static const std::vector<TextSpan> texts_v3 = text_spans(layouts().mini_v3);
    const std::vector<TextSpan>& t = s.mini_v3 ? texts_v3 : texts;
    const uint64_t S = s.stride;
    if (Failure f = announce(src, [&](auto& r) {
            if (S < kEachMiniFrom) return r.push_back({row_at(s, first), row_at(s, first + count - 1) + M});
            r.reserve(size_t(count));
            for (uint64_t j = 0; j < count; ++j) r.push_back({row_at(s, first + j), row_at(s, first + j) + M});
        });
        f.problem != Problem::None)
        return f;
    if (S < kEachMiniFrom) {
        uint64_t per_chunk = std::max<uint64_t>(1, kChunk / S);
        Chunk lease(size_t((std::min(per_chunk, count) - 1) * S + M));
        uint8_t* chunk = lease.data();
        for (uint64_t done = 0; done < count;) {
            uint64_t n = std::min(per_chunk, count - done);
            if (Failure f = read_at(src, s, chunk, (n - 1) * S + M, row_at(s, first + done));
                f.problem != Problem::None)
                return f;
            for (uint64_t j = 0; j < n; ++j) {
                const uint8_t* row = chunk + j * S;
                uint8_t* out = dst + (done + j) * M;
                copy_row(out, row, size_t(M));
                for (const TextSpan& span : t) format::clean_text(row + span.offset, out + span.offset, span.width);
            }
            done += n;
        }
        return {};
    }
    // Long rows: one small read per mini header beats reading the values.
    // read_meta runs it without the interpreter from 64 KiB of mini headers on.
    for (uint64_t j = 0; j < count; ++j) {
        if (Failure f = read_at(src, s, dst + j * M, M, row_at(s, first + j)); f.problem != Problem::None)
            return f;
        for (const TextSpan& span : t) format::clean_text(dst + j * M + span.offset, dst + j * M + span.offset, span.width);
    }
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
