// Operations of the library's classes, as a callable type that behaves like
// a function written in Python: it binds as a method when looked up on an
// instance, is itself when looked up on the class, carries __name__ and
// __qualname__ ("SPAFile.read"), and takes its parameters by position or by
// keyword with the host's own wording for argument errors.
#pragma once
#include "host/pyref.hpp"

#include <cstddef>
#include <vector>

namespace karvo::host {

struct Function;
struct ModuleState;
// Receives the bound arguments, one per parameter, self first.
using FunctionImpl = PyObject* (*)(Function* fn, PyObject* const* args);

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    std::vector<PyObject*>* params;  // interned parameter names (owned)
    FunctionImpl impl;
    const void* context;             // what the implementation needs (a recipe, ...)
    void (*free_context)(const void*);  // frees `context` with the function, when set
    PyObject* owner;                 // class the operation was defined in, once known
    PyObject* home;                  // module that made it: its namespace serves the calls
    ModuleState* home_state;         // the home module's state
};

// Most parameters an operation takes: calls bind them into a stack array.
inline constexpr size_t kMaxParams = 8;

// Made in the module that is in scope (the one being initialized), of its
// own function type.
PyObject* make_function(const char* qualname, const char* const* params, size_t nparams, FunctionImpl impl,
                        const void* context);

// A new operation `qualname` taking `params` (self included).
template <size_t N>
PyObject* make_function(const char* qualname, const char* const (&params)[N], FunctionImpl impl,
                        const void* context = nullptr) {
    static_assert(N <= kMaxParams, "more parameters than a call binds");
    return make_function(qualname, params, N, impl, context);
}

// Whether `o` is one of our operations, made by any module of ours.
bool is_function(PyObject* o);

// Binds positional and keyword arguments to `params` as a Python function
// named `qualname` would; fills `out` (borrowed references). False with
// TypeError set when they do not fit.
bool bind_arguments(PyObject* qualname, PyObject* const* params, size_t nparams, PyObject* const* args,
                    size_t nargs, PyObject* kwnames, PyObject** out);

// The function type of `module`: a heap type of its own (new reference).
PyObject* make_function_type(PyObject* module);

}  // namespace karvo::host
