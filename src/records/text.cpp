#include "records/text.hpp"

#include <cstring>

namespace karvo::format {

size_t text_length(const uint8_t* p, size_t width) {
    const void* nul = std::memchr(p, 0, width);
    return nul ? size_t(static_cast<const uint8_t*>(nul) - p) : width;
}

bool text_is_plain(const uint8_t* p, size_t len) {
    // Eight bytes at a time: any high bit set means a byte to drop.
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        any |= word;
    }
    for (; i < len; ++i) any |= p[i];
    return (any & 0x8080808080808080ull) == 0;
}

size_t clean_text(const uint8_t* p, uint8_t* q, size_t width) {
    constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    size_t i = 0;
    // Word by word while the text is plain: whole words are already in place.
    for (; i + 8 <= width; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        uint64_t nul = (w - kOnes) & ~w & kHighs;  // lowest set bit: the first NUL byte
        if (nul) {
            uint64_t before = (nul & -nul) - 1;     // bits of the bytes before it
            if (w & before & kHighs) break;         // a byte to drop before the NUL
            uint64_t kept = w & (before >> 7);
            std::memcpy(q + i, &kept, 8);
            size_t len = i + size_t(__builtin_ctzll(nul)) / 8;
            for (i += 8; i + 8 <= width; i += 8) std::memset(q + i, 0, 8);
            std::memset(q + i, 0, width - i);
            return len;
        }
        if (w & kHighs) break;
    }
    size_t kept = i;
    for (; i < width && p[i]; ++i)
        if (p[i] < 0x80) q[kept++] = p[i];
    std::memset(q + kept, 0, width - kept);
    return kept;
}

std::string decode_text(const uint8_t* p, size_t width) {
    std::string out(reinterpret_cast<const char*>(p), width);
    out.resize(clean_text(p, reinterpret_cast<uint8_t*>(out.data()), width));
    return out;
}

}  // namespace karvo::format
