// Plain classes for the module: made as type(name, bases, namespace) would,
// so they are ordinary Python classes (instances with a __dict__, open to
// subclassing), with __module__ "karvoreader".
#pragma once
#include "host/pyref.hpp"

#include <utility>
#include <vector>

namespace karvo::host {

using ClassAttrs = std::vector<std::pair<const char*, PyObject*>>;  // borrowed values, in definition order

// A new class; `base` may be null, `doc` null for no documentation string.
PyObject* make_class(const char* name, PyObject* base, const char* doc, const ClassAttrs& attrs);

}  // namespace karvo::host
