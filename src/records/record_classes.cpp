#include "records/record_classes.hpp"

#include "host/function.hpp"
#include "host/namespace.hpp"
#include "records/le.hpp"
#include "records/text.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace karvo::host {

using format::Field;
using format::Kind;
using format::StepKind;

// Interned names of what a step reads and sets (null where the step has none).
struct StepNames {
    PyRef attr;
    PyRef class_name;
    PyRef alt_class_name;
    PyRef count_attr;
    PyRef marker_attr;
    PyRef marker;
    PyRef width_name;
    std::vector<PyRef> fields;  // Block: one name per field (null when skipped)
};

namespace {

PyRef intern_or_null(const char* s) { return PyRef::steal(s ? PyUnicode_InternFromString(s) : nullptr); }

// --- decoding, one converter per field kind (the model: struct's format table)

using Convert = PyObject* (*)(const Field&, const uint8_t* at, const uint8_t* block);

PyObject* conv_u16(const Field&, const uint8_t* at, const uint8_t*) { return PyLong_FromLong(format::load_u16(at)); }
PyObject* conv_u32(const Field&, const uint8_t* at, const uint8_t*) {
    return PyLong_FromUnsignedLong(format::load_u32(at));
}
PyObject* conv_u64(const Field&, const uint8_t* at, const uint8_t*) {
    return PyLong_FromUnsignedLongLong(format::load_u64(at));
}
PyObject* conv_i32(const Field&, const uint8_t* at, const uint8_t*) { return PyLong_FromLong(format::load_i32(at)); }
PyObject* conv_f32(const Field&, const uint8_t* at, const uint8_t*) { return PyFloat_FromDouble(format::load_f32(at)); }
PyObject* conv_raw(const Field& f, const uint8_t* at, const uint8_t*) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(at), f.width);
}
PyObject* conv_text(const Field& f, const uint8_t* at, const uint8_t*) { return text_object(at, f.width); }
PyObject* conv_skip(const Field&, const uint8_t*, const uint8_t*) { return nullptr; }
PyObject* conv_bit(const Field& f, const uint8_t*, const uint8_t* block) {
    return PyBool_FromLong((format::load_u32(block) >> f.bit) & 1u);
}

constexpr Convert kConvert[] = {conv_u16, conv_u32, conv_u64, conv_i32, conv_f32,
                                conv_raw, conv_text, conv_skip, conv_bit};
static_assert(sizeof kConvert / sizeof kConvert[0] == size_t(Kind::Bit) + 1);

// Decodes a whole block first; attributes are set only once every field decoded.
bool run_block(const format::Block& block, const StepNames& names, PyObject* self, Source& src) {
    const uint8_t* p = src.read_block(block.size);
    if (!p) return false;
    PyObject* values[format::kMaxBlockFields];
    size_t n = block.fields.size();
    size_t off = 0;
    bool ok = true;
    for (size_t i = 0; i < n; ++i) {
        const Field& f = block.fields[i];
        values[i] = nullptr;
        if (f.kind == Kind::Text && ok) {
            // Looked up for each field: a decoder of a caller's may rebind the name.
            PyRef decoder = lookup(KARVO_STR("decode_string"));
            ok = bool(decoder);
            if (ok && decoder.get() != originals().decode_string) {
                PyRef raw = PyRef::steal(conv_raw(f, p + off, p));
                ok = raw && (values[i] = PyObject_CallOneArg(decoder.get(), raw.get()));
            } else if (ok) {
                ok = (values[i] = conv_text(f, p + off, p));
            }
        } else if (f.kind != Kind::Skip && ok) {
            ok = (values[i] = kConvert[size_t(f.kind)](f, p + off, p));
        }
        off += f.width;
    }
    // Our names are interned already: the generic setter is what setattr
    // would reach for a class without a __setattr__ of its own.
    setattrofunc set = Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr ? PyObject_GenericSetAttr : PyObject_SetAttr;
    for (size_t i = 0; i < n; ++i) {
        if (values[i]) {
            if (ok && set(self, names.fields[i].get(), values[i]) < 0) ok = false;
            Py_DECREF(values[i]);
        }
    }
    return ok;
}

Py_ssize_t as_count(PyObject* v) {
    PyRef idx = PyRef::steal(PyNumber_Index(v));
    return idx ? PyLong_AsSsize_t(idx.get()) : -1;
}

// read_string(f, max_len) of the library: the field's bytes, decoded by the
// `decode_string` bound when they have been read.
PyObject* read_string_native(Source& src, PyObject* width_obj) {
    Py_ssize_t w = as_count(width_obj);
    if (w == -1 && PyErr_Occurred()) return nullptr;
    PyRef decoder = peek(KARVO_STR("decode_string"));
    if (decoder && decoder.get() == originals().decode_string) return read_text(src, w);
    if (w < 0) return read_text(src, w);  // the host's error for a negative width
    const uint8_t* p = src.read_block(size_t(w));
    if (!p) return nullptr;
    PyRef raw = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), w));
    if (!raw) return nullptr;
    decoder = lookup(KARVO_STR("decode_string"));
    return decoder ? PyObject_CallOneArg(decoder.get(), raw.get()) : nullptr;
}

// One string field: natively, unless `read_string` was rebound.
PyObject* run_text(const format::Step& step, const StepNames& names, Source& src) {
    PyRef width;
    if (names.width_name) {
        width = lookup(names.width_name.get());
    } else {
        width = PyRef::steal(PyLong_FromLong(step.width));
    }
    if (!width) return nullptr;
    PyRef reader = lookup(KARVO_STR("read_string"));
    if (!reader) return nullptr;
    if (reader.get() == originals().read_string) return read_string_native(src, width.get());
    PyRef f = PyRef::borrow(src.file_object());
    if (!f) return nullptr;
    PyRef text = PyRef::steal(PyObject_CallFunctionObjArgs(reader.get(), f.get(), width.get(), nullptr));
    if (!text || !src.resync()) return nullptr;
    return text.release();
}

bool run_steps(const RecordClass& rc, PyObject* self, Source& src);
}  // namespace
PyObject* construct_native(const RecordClass& rc, PyObject* cls, Source& src);
namespace {

// The base class's constructor, found through the class hierarchy as
// super().__init__(f) finds it.
bool run_base_init(const RecordClass& rc, PyObject* self, Source& src) {
    PyObject* base = reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(rc.cls)->tp_base);
    const RecordClass* base_rc = pristine_record_class(base);
    // base_rc lives as long as its __init__, which caller code may replace.
    PyRef keep_base_init = PyRef::borrow(base_rc ? base_rc->init : nullptr);
    if (base_rc && Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(rc.cls)) return run_steps(*base_rc, self, src);
    PyRef sup = PyRef::steal(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), rc.cls, self, nullptr));
    if (!sup) return false;
    PyRef init = attr(sup.get(), KARVO_STR("__init__"));
    if (!init) return false;
    if (base_rc && PyMethod_Check(init.get()) && PyMethod_GET_FUNCTION(init.get()) == base_rc->init)
        return run_steps(*base_rc, self, src);
    PyRef f = PyRef::borrow(src.file_object());
    if (!f) return false;
    PyRef r = PyRef::steal(PyObject_CallOneArg(init.get(), f.get()));
    return r && src.resync();
}

bool set_new(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) return false;
    int r = PyObject_SetAttr(self, name, value);
    Py_DECREF(value);
    return r == 0;
}

bool run_list(const StepNames& names, PyObject* self, Source& src) {
    PyRef count_obj = attr(self, names.count_attr.get());
    if (!count_obj) return false;
    Py_ssize_t count = as_count(count_obj.get());
    if (count == -1 && PyErr_Occurred()) return false;
    // Grown one record at a time: the count is not trusted for an allocation.
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef cls = lookup(names.class_name.get());
        if (!cls) return false;
        PyRef item = PyRef::steal(construct_record(cls.get(), src));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return false;
    }
    return PyObject_SetAttr(self, names.attr.get(), list.get()) == 0;
}

// Entries kept out of the collector's sight while a directory is built, and
// handed back to it on every way out (held here meanwhile, whatever code of
// a caller's does with the list).
class UntrackedWhileBuilt {
public:
    explicit UntrackedWhileBuilt(bool active) : active_(active) {}
    ~UntrackedWhileBuilt() {
        for (PyRef& item : items_)
            if (!PyObject_GC_IsTracked(item.get())) PyObject_GC_Track(item.get());
    }
    void add(const PyRef& item) {
        if (!active_ || !PyObject_GC_IsTracked(item.get())) return;
        PyObject_GC_UnTrack(item.get());
        items_.push_back(item);
    }
    UntrackedWhileBuilt(const UntrackedWhileBuilt&) = delete;
    UntrackedWhileBuilt& operator=(const UntrackedWhileBuilt&) = delete;

private:
    bool active_;
    std::vector<PyRef> items_;
};

bool run_directory(const StepNames& names, PyObject* self, Source& src) {
    PyRef marker_text = attr(self, names.marker_attr.get());
    if (!marker_text) return false;
    int extended = PySequence_Contains(marker_text.get(), names.marker.get());
    if (extended < 0) return false;
    PyRef cls = lookup(extended ? names.alt_class_name.get() : names.class_name.get());
    if (!cls) return false;
    PyRef count_obj = attr(self, names.count_attr.get());
    if (!count_obj) return false;
    Py_ssize_t count = as_count(count_obj.get());
    if (count == -1 && PyErr_Occurred()) return false;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list || PyObject_SetAttr(self, names.attr.get(), list.get()) < 0) return false;
    const RecordClass* rc = pristine_record_class(cls.get());  // one class for the whole directory
    // rc lives as long as the class's __init__, which code run meanwhile (a
    // finalizer) may replace: held for the whole directory.
    PyRef keep_init = PyRef::borrow(rc ? rc->init : nullptr);
    // Tens of thousands of entries may be made in a row. Our own entries hold
    // only numbers, so they stay out of the collector's sight until the list
    // is whole: the young collections that their allocations set off then
    // have nothing of theirs to walk. The process-wide switch is not touched.
    UntrackedWhileBuilt untracked(rc != nullptr);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef item = PyRef::steal(rc ? construct_native(*rc, cls.get(), src) : construct_record(cls.get(), src));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return false;
        untracked.add(item);
    }
    return true;
}

// A record of one wide block, read for a fresh instance of our own class:
// its dictionary is made whole from a template holding the keys in layout
// order, then given to the instance as `self.__dict__ = d` would, rather
// than grown attribute by attribute past the size at which the host stops
// sharing instance keys. (The class was found free of data descriptors on
// the fields' names, and its __dict__ descriptor cannot be replaced.)
bool run_wide_block(const RecordClass& rc, PyObject* self, Source& src) {
    const format::Block& block = *rc.recipe->steps[0].block;
    const StepNames& names = rc.steps[0];
    const uint8_t* p = src.read_block(block.size);
    if (!p) return false;
    PyRef dict = PyRef::steal(PyDict_Copy(rc.template_dict.get()));
    if (!dict) return false;
    size_t off = 0;
    for (size_t i = 0; i < block.fields.size(); ++i) {
        const Field& f = block.fields[i];
        if (f.kind != Kind::Skip) {
            PyRef v = PyRef::steal(kConvert[size_t(f.kind)](f, p + off, p));
            if (!v || PyDict_SetItem(dict.get(), names.fields[i].get(), v.get()) < 0) return false;
        }
        off += f.width;
    }
    return PyObject_SetAttr(self, KARVO_STR("__dict__"), dict.get()) == 0;
}

bool run_steps(const RecordClass& rc, PyObject* self, Source& src) {
    const auto& steps = rc.recipe->steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        const format::Step& step = steps[i];
        const StepNames& names = rc.steps[i];
        bool ok = false;
        switch (step.kind) {
            case StepKind::Block:
                ok = run_block(*step.block, names, self, src);
                break;
            case StepKind::Text:
                ok = set_new(self, names.attr.get(), run_text(step, names, src));
                break;
            case StepKind::Nested: {
                PyRef cls = lookup(names.class_name.get());
                ok = cls && set_new(self, names.attr.get(), construct_record(cls.get(), src));
                break;
            }
            case StepKind::List:
                ok = run_list(names, self, src);
                break;
            case StepKind::Directory:
                ok = run_directory(names, self, src);
                break;
            case StepKind::BaseInit:
                ok = run_base_init(rc, self, src);
                break;
        }
        if (!ok) return false;
    }
    return true;
}

PyObject* record_init(Function* fn, PyObject* const* args) {
    const auto* rc = static_cast<const RecordClass*>(fn->context);
    PyFileSource src(args[1]);
    if (!run_steps(*rc, args[0], src)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* decode_string(PyObject*, PyObject* s) {
    Py_buffer view;
    if (PyObject_GetBuffer(s, &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* text = text_object(static_cast<const uint8_t*>(view.buf), size_t(view.len));
    PyBuffer_Release(&view);
    return text;
}

PyObject* read_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleScope scope(module);
    PyObject* const params[] = {KARVO_STR("f"), KARVO_STR("max_len")};
    PyObject* bound[2];
    if (!bind_arguments(KARVO_STR("read_string"), params, 2, args, size_t(nargs), kwnames, bound)) return nullptr;
    PyFileSource src(bound[0]);
    return read_string_native(src, bound[1]);
}

}  // namespace

PyMethodDef decode_string_def = {"decode_string", decode_string, METH_O, nullptr};
PyMethodDef read_string_def = {"read_string",
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_string)),
                               METH_FASTCALL | METH_KEYWORDS, nullptr};

PyObject* text_object(const uint8_t* p, size_t width) {
    size_t len = format::text_length(p, width);
    if (format::text_is_plain(p, len)) {
        PyObject* s = PyUnicode_New(Py_ssize_t(len), 127);
        if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), p, len);
        return s;
    }
    std::string text = format::decode_text(p, width);
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

PyObject* read_text(Source& src, Py_ssize_t width) {
    if (width < 0) {
        // The field's format would be "-Ns", which the host's struct refuses.
        raise_struct_error("bad char in struct format");
        return nullptr;
    }
    const uint8_t* p = src.read_block(size_t(width));
    return p ? text_object(p, size_t(width)) : nullptr;
}

// A fresh instance of our own class, read natively.
PyObject* construct_native(const RecordClass& rc, PyObject* cls, Source& src) {
    // rc belongs to the class's __init__: a caller's decoder may replace that
    // __init__ while the fields are read, so it is held as a call would hold it.
    PyRef keep_init = PyRef::borrow(rc.init);
    ModuleScope scope(rc.home, rc.home_state);  // as the class's own __init__ would run
    // What cls(f) does for our classes: object.__new__, then our __init__.
    PyRef no_args = PyRef::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    PyRef self =
        PyRef::steal(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls), no_args.get(), nullptr));
    if (!self) return nullptr;
    bool ok = rc.template_dict ? run_wide_block(rc, self.get(), src) : run_steps(rc, self.get(), src);
    return ok ? self.release() : nullptr;
}

namespace {
// The dictionary of `type` (owned): static types of the host keep theirs
// per interpreter from 3.12 on.
PyRef type_dict(PyObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
#else
    return PyRef::borrow(reinterpret_cast<PyTypeObject*>(type)->tp_dict);
#endif
}

// Whether a data descriptor is stored in `type`'s own dictionary under one
// of the names in `names`; true too when that cannot be told without running
// code of a caller's.
bool descriptor_under(PyObject* type, PyObject* names) {
    PyRef dict = type_dict(type);
    if (!dict) {
        PyErr_Clear();
        return true;
    }
    // The dictionaries are short and few of their values are data
    // descriptors: walking the entries costs less than looking each name up.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.get(), &pos, &key, &value)) {
        if (!Py_TYPE(value)->tp_descr_set) continue;
        // A key of a str subclass could run code of its own when compared.
        if (!PyUnicode_CheckExact(key)) return true;
        int found = PySet_Contains(names, key);
        if (found < 0) PyErr_Clear();
        if (found != 0) return true;
    }
    return false;
}
}  // namespace

bool fields_plain(const RecordClass& rc, PyObject* cls) {
    // Every class of the method resolution order is searched, each time:
    // what a caller changed since the last time is seen at once.
    PyRef mro = PyRef::borrow(reinterpret_cast<PyTypeObject*>(cls)->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) return false;
        bool fixed = PyType_HasFeature(reinterpret_cast<PyTypeObject*>(base), Py_TPFLAGS_IMMUTABLETYPE);
        if (fixed && std::any_of(rc.plain_fixed_bases.begin(), rc.plain_fixed_bases.end(),
                                 [base](const PyRef& known) { return known.get() == base; }))
            continue;
        if (descriptor_under(base, rc.names.get())) return false;
        if (fixed) rc.plain_fixed_bases.push_back(PyRef::borrow(base));
    }
    return true;
}

const RecordClass* pristine_record_class(PyObject* cls) {
    if (!PyType_Check(cls)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    // Ours are heap types; the host's own static types keep no tp_dict of
    // their own from 3.12 on (their dictionaries live per interpreter).
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    // A __new__ or __setattr__ set on the class must run: no fast path then.
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_setattro != PyObject_GenericSetAttr) return nullptr;
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, KARVO_STR("__init__"));  // str key: no caller code runs
    if (!init) {
        PyErr_Clear();
        return nullptr;
    }
    if (!is_function(init) || reinterpret_cast<Function*>(init)->impl != record_init) return nullptr;
    const auto* rc = static_cast<const RecordClass*>(reinterpret_cast<Function*>(init)->context);
    if (rc->cls != cls) return nullptr;
    // The wide fast path fills the instance dictionary without setattr: a
    // property (any data descriptor) on a field's name must run instead.
    return !rc->template_dict || fields_plain(*rc, cls) ? rc : nullptr;
}

PyObject* construct_record(PyObject* cls, Source& src) {
    if (const RecordClass* rc = pristine_record_class(cls)) return construct_native(*rc, cls, src);
    PyRef keep_cls = PyRef::borrow(cls);  // the caller's handle may be borrowed: opening runs audit hooks
    PyRef f = PyRef::borrow(src.file_object());
    if (!f) return nullptr;
    PyRef record = PyRef::steal(PyObject_CallOneArg(cls, f.get()));
    if (!record || !src.resync()) return nullptr;
    return record.release();
}

PyObject* create_record_class(const format::Recipe& recipe, const ClassAttrs& extra) {
    auto owned = std::make_unique<RecordClass>();
    RecordClass& rc = *owned;
    rc.recipe = &recipe;
    rc.home = current_module();
    rc.home_state = current_state();
    for (const format::Step& step : recipe.steps) {
        StepNames& n = rc.steps.emplace_back();
        n.attr = intern_or_null(step.attr);
        n.class_name = intern_or_null(step.class_name);
        n.alt_class_name = intern_or_null(step.alt_class_name);
        n.count_attr = intern_or_null(step.count_attr);
        n.marker_attr = intern_or_null(step.marker_attr);
        n.marker = intern_or_null(step.marker);
        n.width_name = intern_or_null(step.width_name);
        if (step.block)
            for (const Field& f : step.block->fields) n.fields.push_back(intern_or_null(f.name));
        if (PyErr_Occurred()) return nullptr;
    }
    rc.names = PyRef::steal(PyFrozenSet_New(nullptr));
    if (!rc.names) return nullptr;
    for (const StepNames& n : rc.steps) {
        if (n.attr && PySet_Add(rc.names.get(), n.attr.get()) < 0) return nullptr;
        for (const PyRef& field : n.fields)
            if (field && PySet_Add(rc.names.get(), field.get()) < 0) return nullptr;
    }
    // Wide one-block records get their instance dictionary from a template.
    constexpr size_t kSharedKeysLimit = 30;
    if (recipe.steps.size() == 1 && recipe.steps[0].kind == StepKind::Block &&
        recipe.steps[0].block->fields.size() > kSharedKeysLimit) {
        rc.template_dict = PyRef::steal(PyDict_New());
        if (!rc.template_dict) return nullptr;
        for (const PyRef& name : rc.steps[0].fields)
            if (name && PyDict_SetItem(rc.template_dict.get(), name.get(), Py_None) < 0) return nullptr;
    }
    PyRef base;
    if (recipe.base_name) {
        base = lookup(recipe.base_name);
        if (!base) return nullptr;
    }
    std::string qual = std::string(recipe.class_name) + ".__init__";
    PyRef init = PyRef::steal(make_function(qual.c_str(), {"self", "f"}, record_init, &rc));
    if (!init) return nullptr;
    auto* fn = reinterpret_cast<Function*>(init.get());
    fn->free_context = [](const void* p) { delete static_cast<const RecordClass*>(p); };
    owned.release();  // the function owns it now
    rc.init = init.get();
    ClassAttrs attrs = {{"__init__", init.get()}};
    attrs.insert(attrs.end(), extra.begin(), extra.end());
    PyObject* cls = make_class(recipe.class_name, base.get(), recipe.doc, attrs);
    if (!cls) return nullptr;
    rc.cls = cls;  // kept for the identity checks of the fast paths
    return cls;
}

}  // namespace karvo::host
