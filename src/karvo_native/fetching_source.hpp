// Bytes of an object held elsewhere (an object store, a web server, a file
// object), fetched through a Python callable fetch(starts, ends) -> a list
// of bytes-like blocks, one per range [start, end).
//
// A request costs far more than the bytes it carries: the ranges that a call
// announces are merged across small gaps and cut into blocks of a few MiB,
// which are fetched together (concurrently, when the callable can) on the
// first read that needs them. One source lives for one call into the File:
// its blocks are dropped when the call returns, so no object is kept cached.
// Everything runs with the interpreter held; the callable may hand it over
// while it waits.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "host/pyref.hpp"
#include "karvo_native/byte_source.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace karvo::native {

// What a request costs, as the model that plans fetches sees it: a round of
// up to `concurrency` requests at once costs `latency` seconds, and every
// byte 1 / `bandwidth` seconds more.
struct FetchCosts {
    double latency = 0.03;
    double bandwidth = 100e6;
    uint64_t concurrency = 64;
};

class FetchingSource final : public bulk::ByteSource {
public:
    // fetch and name (str, for messages) are borrowed and held for the call.
    FetchingSource(PyObject* fetch, uint64_t size, PyObject* name, const FetchCosts& costs = {});
    ~FetchingSource() override;
    FetchingSource(const FetchingSource&) = delete;
    FetchingSource& operator=(const FetchingSource&) = delete;

    // The object that fetch returned for the block at offset 0, if one is
    // held and is at most `limit` bytes: what a later source of the same
    // file may start from (see seed). Null when there is none.
    host::PyRef first_block(uint64_t limit) const;
    // Holds `block` (bytes-like: the object's bytes from offset 0, as
    // first_block gave them) as fetched already. False: a Python error is set.
    bool seed(PyObject* block);

private:
    long long fetched_read(void* dst, size_t n, uint64_t at) override;
    long long fetched_readv(const iovec* pieces, size_t count, uint64_t at) override;
    bool fetched_prefetch(std::vector<bulk::ByteRange>&& ranges) override;

    struct Release {
        void operator()(Py_buffer* view) const {
            PyBuffer_Release(view);
            delete view;
        }
    };
    struct Block {
        uint64_t start, end;
        std::unique_ptr<Py_buffer, Release> view;  // holds the object that fetch returned
        const uint8_t* data() const { return static_cast<const uint8_t*>(view->buf); }
    };

    const Block* held_at(uint64_t at);
    // Fetches blocks from the one that holds `at` on (planned, or read ahead
    // from `at` when no announced range holds it). False: a Python error is set.
    bool fetch_from(uint64_t at, uint64_t want);
    bool fetch(const std::vector<bulk::ByteRange>& blocks);

    host::PyRef fetch_, name_;
    uint64_t size_;
    FetchCosts costs_;
    std::vector<bulk::ByteRange> planned_;  // sorted, apart, none longer than a block
    std::vector<bool> asked_;  // per planned block: fetched once already (maybe dropped since)
    std::vector<Block> held_;
    uint64_t held_bytes_ = 0;
    size_t last_ = 0;  // the block that served the last read: reads mostly go on from there
};

}  // namespace karvo::native
