// Records as data: every fixed block of the format is a table of field names
// and kinds, and every record is a short recipe of reading steps. The
// tables know nothing of Python; the host layer turns them into classes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace karvo::format {

enum class Kind : uint8_t {
    U16,   // unsigned 16-bit
    U32,   // unsigned 32-bit
    U64,   // unsigned 64-bit
    I32,   // signed 32-bit
    F32,   // single precision, widened to double
    Raw,   // raw bytes of fixed width, kept undecoded
    Text,  // string field of fixed width inside a block
    Skip,  // consumed, not stored
    Bit,   // one flag of the block's leading 32-bit word; takes no room
};

struct Field {
    const char* name;
    Kind kind;
    uint16_t width;
    uint8_t bit = 0;
};

constexpr Field u16(const char* n) { return {n, Kind::U16, 2}; }
constexpr Field u32(const char* n) { return {n, Kind::U32, 4}; }
constexpr Field u64(const char* n) { return {n, Kind::U64, 8}; }
constexpr Field i32(const char* n) { return {n, Kind::I32, 4}; }
constexpr Field f32(const char* n) { return {n, Kind::F32, 4}; }
constexpr Field raw(const char* n, uint16_t w) { return {n, Kind::Raw, w}; }
constexpr Field text(const char* n, uint16_t w) { return {n, Kind::Text, w}; }
constexpr Field skip(uint16_t w) { return {nullptr, Kind::Skip, w}; }
constexpr Field flag(const char* n, uint8_t bit) { return {n, Kind::Bit, 0, bit}; }

// Most fields in one block: the decoder keeps a block's values on the stack.
inline constexpr size_t kMaxBlockFields = 40;

// A fixed block: read with one request of `size` bytes, decoded in one pass.
struct Block {
    std::span<const Field> fields;
    uint16_t size;
};

template <size_t N>
constexpr Block block(const Field (&fields)[N]) {
    uint16_t size = 0;
    for (const Field& f : fields) size = uint16_t(size + f.width);
    return Block{std::span<const Field>(fields, N), size};
}

enum class StepKind : uint8_t {
    Block,      // one fixed block
    Text,       // one string field, read on its own
    Nested,     // one record of another class, read from the same stream
    List,       // `count_attr` records of another class, back to back
    Directory,  // the section directory: entries of one of two classes
    BaseInit,   // the base class's constructor, found through the class hierarchy
};

struct Step {
    StepKind kind;
    const Block* block = nullptr;
    const char* attr = nullptr;        // attribute that the step sets
    uint16_t width = 0;                // Text: width when no constant names it
    const char* width_name = nullptr;  // Text: module constant holding the width
    const char* class_name = nullptr;  // Nested, List, Directory: record class
    const char* count_attr = nullptr;  // List, Directory: attribute holding the count
    const char* alt_class_name = nullptr;  // Directory: class of the extended form
    const char* marker_attr = nullptr;     // Directory: text that chooses the form
    const char* marker = nullptr;          // Directory: substring selecting the extended form
};

struct Recipe {
    const char* class_name;
    const char* base_name;  // nullptr: no base besides the root object
    const char* doc;
    std::span<const Step> steps;
};

// Every record class, in the order in which the module defines them.
std::span<const Recipe> record_recipes();

}  // namespace karvo::format
