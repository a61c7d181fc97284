// What karvo._native keeps per interpreter, and how its failures become
// Python errors.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "karvo_native/structure.hpp"

namespace karvo::native {

struct ModuleState {
    PyObject* file_type;         // karvo._native.File
    PyObject* format_error;      // karvo.FormatError
    PyObject* truncated_error;   // karvo.TruncatedError
};

inline ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// Sets the error for `f`: the host's OSError (naming `path`) for a system
// error, karvo.FormatError or karvo.TruncatedError ("path: reason") otherwise;
// an interrupted read keeps the error its signal handler raised.
void raise_failure(ModuleState* st, PyObject* path, const bulk::Failure& f);

}  // namespace karvo::native
