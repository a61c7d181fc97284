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
    size_t len = text_length(p, width);
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i)
        if (p[i] < 0x80) out.push_back(char(p[i]));
    return out;
}

}  // namespace karvo::format
