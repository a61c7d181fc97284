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

std::string decode_text(const uint8_t* p, size_t width) {
    std::string out(reinterpret_cast<const char*>(p), width);
    out.resize(clean_text(p, reinterpret_cast<uint8_t*>(out.data()), width));
    return out;
}

}  // namespace karvo::format
