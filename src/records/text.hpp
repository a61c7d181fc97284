// Fixed-width string fields: text runs to the first NUL byte and is read as
// ASCII, with bytes 128..255 dropped (not replaced).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace karvo::format {

// Length of the field's text part: the bytes before the first NUL.
size_t text_length(const uint8_t* p, size_t width);

// True when the text part holds no byte of 128 or above, so it is its own ASCII text.
bool text_is_plain(const uint8_t* p, size_t len);

// Leaves the field at q as its text, NUL to the end of the field, reading the
// field as stored from p; q holds a copy of p already (or is p). Returns the
// length of the text.
size_t clean_text(const uint8_t* p, uint8_t* q, size_t width);

// The decoded text of a field.
std::string decode_text(const uint8_t* p, size_t width);

}  // namespace karvo::format
