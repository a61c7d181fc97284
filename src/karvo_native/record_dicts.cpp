#include "karvo_native/record_dicts.hpp"

#include "host/pyref.hpp"
#include "records/le.hpp"
#include "records/text.hpp"

#include <string>

namespace karvo::native {
namespace {

using host::PyRef;

PyObject* field_value(const format::FlatField& f, const uint8_t* p) {
    switch (f.kind) {
        case format::Kind::U16: return PyLong_FromUnsignedLong(format::load_u16(p));
        case format::Kind::U32: return PyLong_FromUnsignedLong(format::load_u32(p));
        case format::Kind::U64: return PyLong_FromUnsignedLongLong(format::load_u64(p));
        case format::Kind::I32: return PyLong_FromLong(format::load_i32(p));
        case format::Kind::F32: return PyFloat_FromDouble(format::load_f32(p));
        case format::Kind::Raw: return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), f.width);
        case format::Kind::Text: {
            std::string t = format::decode_text(p, f.width);
            return PyUnicode_DecodeASCII(t.data(), Py_ssize_t(t.size()), "strict");
        }
        case format::Kind::Bit: return PyBool_FromLong((format::load_u32(p) >> f.bit) & 1u);
        case format::Kind::Skip: break;
    }
    Py_RETURN_NONE;
}

// The fields of the record at `record`, by their names; nested records as
// dicts of their own.
PyObject* fields_dict(const format::FlatLayout& layout, const uint8_t* record) {
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    for (const format::FlatField& f : layout.fields) {
        PyObject* target = out.get();  // borrowed from `out`, which lives to the end
        PyRef nested;
        if (f.parent) {
            target = PyDict_GetItemString(out.get(), f.parent);
            if (!target) {
                nested = PyRef::steal(PyDict_New());
                if (!nested || PyDict_SetItemString(out.get(), f.parent, nested.get()) < 0) return nullptr;
                target = nested.get();
            }
        }
        PyRef v = PyRef::steal(field_value(f, record + f.offset));
        if (!v || PyDict_SetItemString(target, f.name, v.get()) < 0) return nullptr;
    }
    return out.release();
}

}  // namespace

PyObject* record_dict(const format::FlatLayout& layout, const std::vector<uint8_t>& raw) {
    if (raw.size() < layout.size) Py_RETURN_NONE;
    return fields_dict(layout, raw.data());
}

PyObject* record_dicts(const format::FlatLayout& layout, const std::vector<uint8_t>& raw) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (size_t at = 0; layout.size && raw.size() - at >= layout.size; at += layout.size) {
        PyRef d = PyRef::steal(fields_dict(layout, raw.data() + at));
        if (!d || PyList_Append(list.get(), d.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* dtype_description(const format::FlatLayout& layout) {
    PyRef names = PyRef::steal(PyList_New(0)), formats = PyRef::steal(PyList_New(0)),
          offsets = PyRef::steal(PyList_New(0));
    if (!names || !formats || !offsets) return nullptr;
    for (const format::FlatField& f : layout.fields) {
        std::string fmt;
        switch (f.kind) {
            case format::Kind::U16: fmt = "<u2"; break;
            case format::Kind::U32: fmt = "<u4"; break;
            case format::Kind::U64: fmt = "<u8"; break;
            case format::Kind::I32: fmt = "<i4"; break;
            case format::Kind::F32: fmt = "<f4"; break;
            case format::Kind::Text: fmt = "S" + std::to_string(f.width); break;
            case format::Kind::Raw: fmt = "V" + std::to_string(f.width); break;
            default: continue;
        }
        PyRef name = PyRef::steal(PyUnicode_FromString(f.name));
        PyRef format = PyRef::steal(PyUnicode_FromString(fmt.c_str()));
        PyRef offset = PyRef::steal(PyLong_FromUnsignedLong(f.offset));
        if (!name || !format || !offset || PyList_Append(names.get(), name.get()) < 0 ||
            PyList_Append(formats.get(), format.get()) < 0 || PyList_Append(offsets.get(), offset.get()) < 0)
            return nullptr;
    }
    return Py_BuildValue("{s:O,s:O,s:O,s:I}", "names", names.get(), "formats", formats.get(), "offsets",
                         offsets.get(), "itemsize", layout.size);
}

}  // namespace karvo::native
