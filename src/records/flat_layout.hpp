// A record's fixed part as one flat table of fields with absolute offsets,
// derived from the reading recipes: blocks, string fields, nested records and
// base-class parts laid end to end. Lets bulk readers decode a record from
// bytes already in memory, and locate single fields, without a second copy
// of any layout.
#pragma once
#include "records/layout.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace karvo::format {

struct FlatField {
    const char* name;
    Kind kind;            // never Skip: skipped bytes only move the offsets
    uint32_t offset;      // from the record's first byte; Bit: the flag word's offset
    uint16_t width;
    uint8_t bit;
    const char* parent;   // attribute of the nested record holding it, or nullptr
};

struct FlatLayout {
    std::vector<FlatField> fields;
    uint32_t size = 0;              // bytes of the fixed part
    const Step* tail = nullptr;     // List or Directory step that follows it, if any

    const FlatField* find(std::string_view name, const char* parent = nullptr) const;
};

// The recipe of a record class by name, or nullptr.
const Recipe* find_recipe(std::string_view class_name);

// The fixed part of a record class. Unknown classes give an empty layout.
FlatLayout flat_layout(std::string_view class_name);

}  // namespace karvo::format
