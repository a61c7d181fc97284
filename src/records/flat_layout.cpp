#include "records/flat_layout.hpp"

#include <cstring>

namespace karvo::format {
namespace {

bool same(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(a, b) == 0;
}

// Appends the fixed part of `recipe` at `base`; returns false at a step that
// repeats records (their count is data, not layout).
bool append(const Recipe& recipe, FlatLayout& out, uint32_t& at, const char* parent) {
    for (const Step& step : recipe.steps) {
        switch (step.kind) {
            case StepKind::Block: {
                uint32_t start = at;
                for (const Field& f : step.block->fields) {
                    if (f.kind == Kind::Bit)
                        out.fields.push_back({f.name, f.kind, start, 0, f.bit, parent});
                    else if (f.kind != Kind::Skip)
                        out.fields.push_back({f.name, f.kind, at, f.width, 0, parent});
                    at += f.width;
                }
                break;
            }
            case StepKind::Text:
                out.fields.push_back({step.attr, Kind::Text, at, step.width, 0, parent});
                at += step.width;
                break;
            case StepKind::Nested: {
                const Recipe* nested = find_recipe(step.class_name);
                if (!nested || !append(*nested, out, at, step.attr)) return false;
                break;
            }
            case StepKind::BaseInit: {
                const Recipe* base = find_recipe(recipe.base_name ? recipe.base_name : "");
                if (!base || !append(*base, out, at, parent)) return false;
                break;
            }
            case StepKind::List:
            case StepKind::Directory:
                out.tail = &step;
                return false;
        }
    }
    return true;
}

}  // namespace

const FlatField* FlatLayout::find(std::string_view name, const char* parent) const {
    for (const FlatField& f : fields)
        if (name == f.name && same(parent, f.parent)) return &f;
    return nullptr;
}

const Recipe* find_recipe(std::string_view class_name) {
    for (const Recipe& r : record_recipes())
        if (class_name == r.class_name) return &r;
    return nullptr;
}

FlatLayout flat_layout(std::string_view class_name) {
    FlatLayout out;
    const Recipe* recipe = find_recipe(class_name);
    if (!recipe) return out;
    uint32_t at = 0;
    append(*recipe, out, at, nullptr);
    out.size = at;
    return out;
}

}  // namespace karvo::format
