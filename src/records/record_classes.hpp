// The record classes, built from the layout tables, and the two string-field
// functions of the module.
#pragma once
#include "host/classes.hpp"
#include "records/layout.hpp"
#include "records/sources.hpp"

#include <vector>

namespace karvo::host {

struct StepNames;
struct ModuleState;

// One record class as a module created it. Owned by the class's own
// __init__, which keeps the class and its module alive: the two object
// pointers are borrowed from it.
struct RecordClass {
    const format::Recipe* recipe = nullptr;
    PyObject* cls = nullptr;   // the class object (the __init__'s owner)
    PyObject* init = nullptr;  // its own __init__
    PyObject* home = nullptr;  // the module that made the class
    ModuleState* home_state = nullptr;
    std::vector<StepNames> steps;
    PyRef names;               // frozenset of every name the steps set
    // Classes whose attributes cannot change (the host's own `object`) that
    // were found free of data descriptors under `names`: not walked again.
    mutable std::vector<PyRef> plain_fixed_bases;
    PyRef template_dict;       // keys in layout order, for wide one-block records
};

// Creates the class of `recipe` (its base looked up in the namespace by
// name), with `extra` operations after __init__.
PyObject* create_record_class(const format::Recipe& recipe, const ClassAttrs& extra);

// The record class for `cls` when it is one of ours and its constructor,
// __new__ and __setattr__ are still the ones it was made with; null otherwise.
const RecordClass* pristine_record_class(PyObject* cls);

// Whether no name that `rc` sets meets a data descriptor (a property, say)
// on `cls` or its bases: fast paths that store fields without setattr, or
// skip building the record, are taken only then. Runs no Python code.
bool fields_plain(const RecordClass& rc, PyObject* cls);

// cls(f) on the source's stream: natively for our own classes, through the
// host file object for any other callable.
PyObject* construct_record(PyObject* cls, Source& src);

// Text of a string field of `width` bytes read from the source.
PyObject* read_text(Source& src, Py_ssize_t width);
// Text of a string field held in memory.
PyObject* text_object(const uint8_t* p, size_t width);

// The module functions decode_string(s) and read_string(f, max_len).
extern PyMethodDef decode_string_def;
extern PyMethodDef read_string_def;

}  // namespace karvo::host
