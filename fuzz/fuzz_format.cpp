// libFuzzer target for the Python-free code: string fields, the record
// tables, and NativeFile checked against the bytes it reads.
//
// Input: 2 bytes script length L, L script bytes, then the file's content.
// The script is a list of (op, argument) steps run on a NativeFile opened on
// a memory file holding the content; every result is compared with what the
// content says (a differential check), so a wrong byte, a wrong position or
// a wrong short/ok answer aborts.
//
// Build (see fuzz/sanitize.sh): clang++ -std=c++20 -g -O1
//   -fsanitize=fuzzer,address,undefined -Isrc fuzz/fuzz_format.cpp
//   src/records/text.cpp src/records/layouts.cpp src/io/native_file.cpp
//   src/io/positioned.cpp src/io/blocking.cpp
#include "io/native_file.hpp"
#include "records/layout.hpp"
#include "records/le.hpp"
#include "records/text.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using namespace karvo;

#define CHECK(c)                                                              \
    do {                                                                      \
        if (!(c)) {                                                           \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #c, __LINE__); \
            std::abort();                                                     \
        }                                                                     \
    } while (0)

namespace {

void check_text(const uint8_t* p, size_t n) {
    size_t len = format::text_length(p, n);
    CHECK(len <= n);
    CHECK(std::memchr(p, 0, len) == nullptr);
    CHECK(len == n || p[len] == 0);
    std::string t = format::decode_text(p, n);
    std::string want;
    for (size_t i = 0; i < len; ++i)
        if (p[i] < 0x80) want.push_back(char(p[i]));
    CHECK(t == want);
    CHECK(format::text_is_plain(p, len) == (want.size() == len));
}

// Decodes every block of every recipe from the bytes, as the host layer does.
void check_tables(const uint8_t* data, size_t size) {
    for (const format::Recipe& r : format::record_recipes()) {
        for (const format::Step& s : r.steps) {
            if (s.kind != format::StepKind::Block) continue;
            const format::Block& b = *s.block;
            size_t sum = 0;
            bool bits = false;
            for (const format::Field& f : b.fields) {
                sum += f.width;
                bits |= f.kind == format::Kind::Bit;
            }
            CHECK(sum == b.size);
            CHECK(!bits || b.size >= 4);
            if (size < b.size) continue;
            volatile double acc = 0;
            size_t off = 0;
            for (const format::Field& f : b.fields) {
                const uint8_t* at = data + off;
                switch (f.kind) {
                    case format::Kind::U16: acc = acc + format::load_u16(at); break;
                    case format::Kind::U32: acc = acc + format::load_u32(at); break;
                    case format::Kind::U64: acc = acc + double(format::load_u64(at)); break;
                    case format::Kind::I32: acc = acc + format::load_i32(at); break;
                    case format::Kind::F32: acc = acc + format::load_f32(at); break;
                    case format::Kind::Text: check_text(at, f.width); break;
                    case format::Kind::Bit: acc = acc + ((format::load_u32(data) >> f.bit) & 1u); break;
                    default: break;
                }
                off += f.width;
            }
        }
    }
}

void check_file(const uint8_t* script, size_t nscript, const uint8_t* content, size_t size) {
    static int fd = -1;
    if (fd < 0) fd = memfd_create("karvo-fuzz", 0);
    CHECK(fd >= 0);
    CHECK(ftruncate(fd, 0) == 0);
    size_t done = 0;
    while (done < size) {
        ssize_t w = pwrite(fd, content + done, size - done, off_t(done));
        CHECK(w > 0);
        done += size_t(w);
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    io::NativeFile nf;
    CHECK(nf.open(path, true) == 0);
    CHECK(nf.is_regular());
    std::vector<uint8_t> dst;
    uint64_t pos = 0;
    for (size_t i = 0; i + 3 <= nscript; i += 3) {
        uint8_t op = script[i] % 5;
        size_t arg = size_t(script[i + 1]) | (size_t(script[i + 2]) << 8);
        if (script[i] & 0x80) arg <<= 6;  // reach past the buffer sizes
        CHECK(nf.position() == pos);
        uint64_t left = pos < size ? size - pos : 0;
        CHECK(nf.remaining(0) == left);
        switch (op) {
            case 0: {  // seek, sometimes far past the end
                pos = (script[i] & 0x40) ? uint64_t(arg) * 1000003u : arg % (size + 64);
                nf.seek(pos);
                break;
            }
            case 1: {
                const uint8_t* p = nullptr;
                io::ReadResult r = nf.read(arg, &p);
                CHECK(r != io::ReadResult::Error);
                if (arg <= left) {
                    CHECK(r == io::ReadResult::Ok);
                    CHECK(arg == 0 || std::memcmp(p, content + pos, arg) == 0);
                    pos += arg;
                } else {
                    CHECK(r == io::ReadResult::Short);
                    pos = nf.position();
                }
                break;
            }
            case 2: {
                dst.assign(arg + 1, 0xEE);  // never a null destination
                io::ReadResult r = nf.read_into(dst.data(), arg);
                CHECK(r != io::ReadResult::Error);
                if (arg <= left) {
                    CHECK(r == io::ReadResult::Ok);
                    CHECK(arg == 0 || std::memcmp(dst.data(), content + pos, arg) == 0);
                    pos += arg;
                } else {
                    CHECK(r == io::ReadResult::Short);
                    pos = nf.position();
                }
                break;
            }
            case 3:
                CHECK(nf.remaining(arg) == left);
                break;
            case 4: {  // scatter read into up to four pieces of the argument's sizes
                size_t lens[4] = {arg & 0xFF, (arg >> 4) & 0x3FF, arg, 1 + (arg >> 8)};
                size_t pieces = 1 + (script[i] >> 4) % 4, total = 0;
                std::vector<std::vector<uint8_t>> bufs(pieces);
                std::vector<io::NativeFile::Span> spans;
                for (size_t k = 0; k < pieces; ++k) {
                    bufs[k].assign(lens[k] + 1, 0xEE);
                    spans.push_back({bufs[k].data(), lens[k]});
                    total += lens[k];
                }
                long long got = nf.read_scatter(spans.data(), spans.size());
                CHECK(got >= 0);
                CHECK(uint64_t(got) == (total < left ? total : left));
                size_t at = 0;
                for (size_t k = 0; k < pieces && at < size_t(got); ++k) {
                    size_t n = lens[k] < size_t(got) - at ? lens[k] : size_t(got) - at;
                    CHECK(n == 0 || std::memcmp(bufs[k].data(), content + pos + at, n) == 0);
                    at += n;
                }
                pos += uint64_t(got);
                break;
            }
        }
    }
    nf.close();
    CHECK(!nf.is_open());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_text(data, size);
    check_tables(data, size);
    if (size < 2) return 0;
    size_t nscript = size_t(data[0]) | (size_t(data[1] & 0x3) << 8);
    if (nscript > size - 2) nscript = size - 2;
    check_file(data + 2, nscript, data + 2 + nscript, size - 2 - nscript);
    return 0;
}
