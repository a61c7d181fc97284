#include "host/pyref.hpp"
#include "karvo_native/module_state.hpp"

#include <cerrno>

namespace karvo::native {

using host::PyRef;

void raise_failure(ModuleState* st, PyObject* path, const bulk::Failure& f) {
    // a signal handler's or a fetch's error is set
    if (f.problem == bulk::Problem::Interrupted || f.problem == bulk::Problem::Raised) return;
    if (f.problem == bulk::Problem::NoMemory) {
        PyErr_NoMemory();
        return;
    }
    if (f.problem == bulk::Problem::System) {
        errno = f.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return;
    }
    // Held while the class's Python code runs.
    PyRef cls = PyRef::borrow(f.problem == bulk::Problem::Truncated ? st->truncated_error : st->format_error);
    PyRef where = PyRef::borrow(path);
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%U: %s", where.get(), f.reason.c_str()));
    if (!message) return;
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(cls.get(), message.get(), where.get(), nullptr));
    if (exc) PyErr_SetObject(cls.get(), exc.get());
}

}  // namespace karvo::native
