// Little-endian loads from unaligned bytes. The format stores every number
// little-endian with no alignment, so fields are copied out byte-wise.
#pragma once
#include <cstdint>
#include <cstring>

namespace karvo::format {

inline uint16_t load_u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

inline uint32_t load_u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint64_t load_u64(const uint8_t* p) { return uint64_t(load_u32(p)) | (uint64_t(load_u32(p + 4)) << 32); }

inline int32_t load_i32(const uint8_t* p) { return int32_t(load_u32(p)); }

// Single precision widened exactly; NaN payloads and infinities pass through.
inline double load_f32(const uint8_t* p) {
    uint32_t bits = load_u32(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return double(f);
}

}  // namespace karvo::format
