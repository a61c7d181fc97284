#include "karvo_native/fetching_source.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace karvo::native {
namespace {

using bulk::ByteRange;
using host::PyRef;

// Blocks are cut at this size, so that a large read is fetched as several
// requests at once.
constexpr uint64_t kBlock = uint64_t(4) << 20;
// Announced ranges this close are always fetched as one: a request's own
// headers are about this long.
constexpr uint64_t kTinyGap = uint64_t(4) << 10;
// A read that no announced range holds fetches at least this much from where
// it starts: opening a file reads its headers one by one, mostly close to
// each other.
constexpr uint64_t kReadAhead = uint64_t(256) << 10;
// Bytes fetched by one call to fetch, and what is held at most before older
// blocks are dropped: memory stays bounded whatever the call reads. A call
// asks for as many blocks at once as the fetcher runs concurrently.
constexpr uint64_t kBatchBytes = uint64_t(64) << 20;

using U = unsigned long long;

// Which gaps between the sorted, apart `ranges` to fetch across, by the
// cost model: merging the m smallest gaps leaves n - m requests, fetched in
// ceil((n - m) / concurrency) rounds (and at least one per kBatchBytes), and
// adds their bytes. Of every round count, the fewest bytes that reach it;
// of those, the cheapest. Gaps of kTinyGap or less are always crossed.
std::vector<bool> gaps_to_cross(const std::vector<ByteRange>& ranges, const FetchCosts& costs) {
    const size_t n = ranges.size();
    std::vector<bool> cross(n ? n - 1 : 0, false);
    if (n < 2) return cross;
    std::vector<uint64_t> gaps(n - 1);
    uint64_t bytes = 0, blocks = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint64_t len = ranges[k].end - ranges[k].start;
        bytes += len;
        blocks += (len + kBlock - 1) / kBlock;
        if (k + 1 < n) gaps[k] = ranges[k + 1].start - ranges[k].end;
    }
    // A range of a block or more is fetched as blocks, merged or not:
    // crossing a gap beside one saves no request (tiny gaps aside).
    auto crossable = [&](size_t k) {
        return gaps[k] <= kTinyGap || (ranges[k].end - ranges[k].start < kBlock &&
                                       ranges[k + 1].end - ranges[k + 1].start < kBlock);
    };
    std::vector<uint64_t> sorted;
    for (size_t k = 0; k + 1 < n; ++k)
        if (crossable(k)) sorted.push_back(gaps[k]);
    std::sort(sorted.begin(), sorted.end());
    const double C = double(std::max<uint64_t>(1, costs.concurrency));
    const double L = std::max(0.0, costs.latency), B = std::max(1.0, costs.bandwidth);
    auto cost = [&](size_t m, uint64_t added) {
        double rounds = std::max(std::ceil(double(blocks - m) / C), std::ceil(double(bytes + added) / double(kBatchBytes)));
        return rounds * L + double(bytes + added) / B;
    };
    size_t always = size_t(std::upper_bound(sorted.begin(), sorted.end(), kTinyGap) - sorted.begin());
    size_t best_m = always;
    uint64_t added = 0;
    for (size_t m = 0; m < always; ++m) added += sorted[m];
    double best = cost(always, added);
    // Only a merge that saves a round can pay: for each count of rounds,
    // the fewest gaps crossed that reach it.
    const uint64_t C64 = std::max<uint64_t>(1, costs.concurrency), left = blocks - always;
    const size_t most_m = sorted.size();
    uint64_t sum = added;
    size_t m = always;
    for (uint64_t k = (left + C64 - 1) / C64; k >= 1; --k) {
        const size_t want = std::min(most_m, size_t(blocks - std::min(left, k * C64)));
        while (m < want) sum += sorted[m++];
        if (double c = cost(m, sum); c < best) best = c, best_m = m;
    }
    if (best_m == 0) return cross;
    // The best_m smallest gaps: those below the threshold, then ties in order.
    const uint64_t threshold = sorted[best_m - 1];
    size_t below = size_t(std::lower_bound(sorted.begin(), sorted.end(), threshold) - sorted.begin());
    size_t ties = best_m - below;
    for (size_t k = 0; k + 1 < n; ++k) {
        if (!crossable(k)) continue;
        if (gaps[k] < threshold) cross[k] = true;
        else if (gaps[k] == threshold && ties) cross[k] = true, --ties;
    }
    return cross;
}

}  // namespace

FetchingSource::FetchingSource(PyObject* fetch, uint64_t size, PyObject* name, const FetchCosts& costs)
    : fetch_(PyRef::borrow(fetch)), name_(PyRef::borrow(name)), size_(size), costs_(costs) {}

FetchingSource::~FetchingSource() {
    host::ErrorGuard keep;  // a fetch's error stays set while the blocks go
    held_.clear();
}

PyRef FetchingSource::first_block(uint64_t limit) const {
    for (const Block& b : held_)
        if (b.start == 0 && b.end <= limit && b.view->obj) return PyRef::borrow(b.view->obj);
    return {};
}

bool FetchingSource::seed(PyObject* block) {
    std::unique_ptr<Py_buffer, Release> view(new Py_buffer{});
    if (PyObject_GetBuffer(block, view.get(), PyBUF_SIMPLE) < 0) {
        delete view.release();  // nothing to release: the export failed
        return false;
    }
    uint64_t end = std::min<uint64_t>(uint64_t(view->len), size_);
    held_.push_back({0, end, std::move(view)});
    held_bytes_ += end;
    return true;
}

const FetchingSource::Block* FetchingSource::held_at(uint64_t at) {
    if (last_ < held_.size() && held_[last_].start <= at && at < held_[last_].end) return &held_[last_];
    for (size_t k = 0; k < held_.size(); ++k)
        if (held_[k].start <= at && at < held_[k].end) return &held_[last_ = k];
    return nullptr;
}

bool FetchingSource::fetched_prefetch(std::vector<ByteRange>&& ranges) {
    for (ByteRange& r : ranges) r.end = std::min(r.end, size_);
    std::erase_if(ranges, [](const ByteRange& r) { return r.start >= r.end; });
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
    // Ranges that overlap, touch or lie a tiny gap apart joined first: the
    // model then sees the runs as the blocks they will be fetched as.
    std::vector<ByteRange> apart;
    for (const ByteRange& r : ranges) {
        if (!apart.empty() && r.start <= apart.back().end + kTinyGap)
            apart.back().end = std::max(apart.back().end, r.end);
        else
            apart.push_back(r);
    }
    const std::vector<bool> cross = gaps_to_cross(apart, costs_);
    std::vector<ByteRange> merged;
    for (size_t k = 0; k < apart.size(); ++k) {
        if (k && cross[k - 1])
            merged.back().end = apart[k].end;
        else
            merged.push_back(apart[k]);
    }
    planned_.clear();
    for (const ByteRange& m : merged)
        for (uint64_t a = m.start; a < m.end; a += std::min(kBlock, m.end - a))
            planned_.push_back({a, std::min(m.end, a + kBlock)});
    asked_.assign(planned_.size(), false);
    return true;
}

bool FetchingSource::fetch_from(uint64_t at, uint64_t want) {
    if (held_bytes_ >= kBatchBytes) {
        held_.clear();
        held_bytes_ = 0;
        last_ = 0;
    }
    std::vector<ByteRange> batch;
    auto after = std::upper_bound(planned_.begin(), planned_.end(), at,
                                  [](uint64_t v, const ByteRange& r) { return v < r.start; });
    uint64_t bytes = 0;
    if (after != planned_.begin() && at < std::prev(after)->end) {
        // That block, then the others never fetched yet: the following first
        // (reads mostly go on forward), then those before (a listed read goes
        // back). One fetched and dropped since is fetched again only when read.
        const size_t n = planned_.size(), first = size_t(std::prev(after) - planned_.begin());
        const size_t most = size_t(std::max<uint64_t>(1, costs_.concurrency));
        for (size_t j = 0; j < n && batch.size() < most && bytes < kBatchBytes; ++j) {
            const size_t k = (first + j) % n;
            const ByteRange& r = planned_[k];
            if (j && (asked_[k] || held_at(r.start))) continue;
            asked_[k] = true;
            batch.push_back(r);
            bytes += r.end - r.start;
        }
    } else {
        uint64_t end = std::min({size_, at + std::max(want, kReadAhead), at + kBatchBytes});
        for (uint64_t a = at; a < end; a += std::min(kBlock, end - a)) batch.push_back({a, std::min(end, a + kBlock)});
    }
    return fetch(batch);
}

bool FetchingSource::fetch(const std::vector<ByteRange>& blocks) {
    const Py_ssize_t n = Py_ssize_t(blocks.size());
    PyRef starts = PyRef::steal(PyList_New(n)), ends = PyRef::steal(PyList_New(n));
    if (!starts || !ends) return false;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* a = PyLong_FromUnsignedLongLong(blocks[size_t(k)].start);
        if (!a) return false;
        PyList_SET_ITEM(starts.get(), k, a);
        PyObject* b = PyLong_FromUnsignedLongLong(blocks[size_t(k)].end);
        if (!b) return false;
        PyList_SET_ITEM(ends.get(), k, b);
    }
    PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(fetch_.get(), starts.get(), ends.get(), nullptr));
    if (!result) return false;
    // A tuple of its own: code run below (a block's buffer export) cannot change it.
    PyRef got = PyRef::steal(PySequence_Tuple(result.get()));
    if (!got) return false;
    if (PyTuple_GET_SIZE(got.get()) != n) {
        PyErr_Format(PyExc_OSError, "%U: asked for %zd byte ranges, the fetch returned %zd blocks", name_.get(), n,
                     PyTuple_GET_SIZE(got.get()));
        return false;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        const ByteRange& r = blocks[size_t(k)];
        std::unique_ptr<Py_buffer, Release> view(new Py_buffer{});
        if (PyObject_GetBuffer(PyTuple_GET_ITEM(got.get(), k), view.get(), PyBUF_SIMPLE) < 0) {
            delete view.release();  // nothing to release: the export failed
            return false;
        }
        if (uint64_t(view->len) != r.end - r.start) {
            PyErr_Format(PyExc_OSError, "%U: asked for bytes %llu to %llu (%llu), the fetch returned %zd",
                         name_.get(), U(r.start), U(r.end), U(r.end - r.start), view->len);
            return false;
        }
        held_.push_back({r.start, r.end, std::move(view)});
        held_bytes_ += r.end - r.start;
    }
    return true;
}

long long FetchingSource::fetched_read(void* dst, size_t n, uint64_t at) {
    if (at >= size_) return 0;
    n = size_t(std::min<uint64_t>(n, size_ - at));
    size_t done = 0;
    while (done < n) {
        uint64_t pos = at + done;
        const Block* b = held_at(pos);
        if (!b) {
            if (!fetch_from(pos, n - done)) return bulk::kRaised;
            if (!(b = held_at(pos))) {  // every fetched block was checked: never so
                PyErr_Format(PyExc_SystemError, "%U: no block holds offset %llu", name_.get(), U(pos));
                return bulk::kRaised;
            }
        }
        size_t k = size_t(std::min<uint64_t>(b->end - pos, n - done));
        std::memcpy(static_cast<uint8_t*>(dst) + done, b->data() + (pos - b->start), k);
        done += k;
    }
    return (long long)n;
}

long long FetchingSource::fetched_readv(const iovec* pieces, size_t count, uint64_t at) {
    long long total = 0;
    for (size_t k = 0; k < count; ++k) {
        long long got = fetched_read(pieces[k].iov_base, pieces[k].iov_len, at + uint64_t(total));
        if (got < 0) return got;
        total += got;
        if (size_t(got) < pieces[k].iov_len) break;
    }
    return total;
}

}  // namespace karvo::native
