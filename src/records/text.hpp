// Fixed-width string fields: text runs to the first NUL byte and is read as
// ASCII, with bytes 128..255 dropped (not replaced).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace karvo::format {

// Length of the field's text part: the bytes before the first NUL.
size_t text_length(const uint8_t* p, size_t width);

// True when the text part holds no byte of 128 or above, so it is its own ASCII text.
bool text_is_plain(const uint8_t* p, size_t len);

// Leaves the field at q as its text, NUL to the end of the field, reading the
// field as stored from p; q holds a copy of p already (or is p). Returns the
// length of the text.
// Inline: it runs for every string field of every mini header read in bulk.
inline size_t clean_text(const uint8_t* p, uint8_t* q, size_t width) {
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

// The decoded text of a field.
std::string decode_text(const uint8_t* p, size_t width);

}  // namespace karvo::format
