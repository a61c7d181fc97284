// karvo._native: the bulk reader under the karvo package. It shares the
// layout tables (src/records) and the native file reading (src/io) with
// karvoreader, checks a file's structure when it opens it, and reads whole
// blocks of spectra into memory that the Python layer allocates with numpy.
#include "host/pyref.hpp"
#include "io/native_file.hpp"
#include "karvo_native/file_object.hpp"
#include "karvo_native/module_state.hpp"
#include "karvo_native/references.hpp"
#include "karvo_native/text_table.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace {

using karvo::host::PyRef;
using namespace karvo::native;

// linspace(first, last, n, count): np.linspace(first, last, n)[:count] as float64 bytes.
PyObject* native_linspace(PyObject*, PyObject* args) {
    double first, last;
    unsigned long long n, count;
    if (!PyArg_ParseTuple(args, "ddKK:linspace", &first, &last, &n, &count)) return nullptr;
    if ((count < n ? count : n) > uint64_t(PY_SSIZE_T_MAX / 8)) return PyErr_NoMemory();
    return linspace_bytes(first, last, n, count);
}

PyMethodDef native_methods[] = {
    {"open", open_file, METH_O, "open(path) -> File: opens and checks a spectral data file."},
    {"open_many", open_many, METH_O,
     "open_many(paths) -> list: for each local path, (title, first_x, last_x, values) of a single spectrum, "
     "the open File of a series, or the exception that open(path) raises."},
    {"open_fetching", open_fetching, METH_VARARGS,
     "open_fetching(fetch, size, name, keep_head=False, head=None, costs=...) -> File: checks an object held "
     "elsewhere, read through fetch(starts, ends) -> a list of bytes-like blocks; head: its first bytes, fetched "
     "already; with keep_head, its first MiB is fetched at once and kept for the reads after; costs: (latency in "
     "seconds, bytes a second, requests at once) of fetch, which plan what a read fetches at once."},
    {"linspace", native_linspace, METH_VARARGS, "linspace(first, last, n, count) -> bytearray of float64."},
    {"text_rows", text_rows, METH_VARARGS,
     "text_rows(x, values, delimiter) -> bytes: a CSV row per point (x, then each spectrum's value)."},
    {"number_cells", number_cells, METH_O,
     "number_cells(values) -> list of str: each value of a 1-D float array as the rows write it."},
    {"long_rows", long_rows, METH_VARARGS,
     "long_rows(x, values, heads, tails, delimiter) -> bytes: a CSV row per value, between its spectrum's "
     "head and tail."},
    {"chunk_refs", chunk_refs, METH_VARARGS,
     "chunk_refs(name, url, first, stride, values_size, held, run, file_size) -> dict: the chunk references of "
     "a series, a run of spectra a chunk."},
    {"refs_json", refs_json, METH_O, "refs_json(refs) -> bytes: json.dumps(refs) for a dict of references."},
    {nullptr, nullptr, 0, nullptr},
};

void* save_thread() { return PyEval_SaveThread(); }
void restore_thread(void* t) { PyEval_RestoreThread(static_cast<PyThreadState*>(t)); }
int check_signals() { return PyErr_CheckSignals(); }

// The thread that runs signal handlers: the main thread, and in a forked
// child the thread that forked. Only it stops a long read for Ctrl-C.
std::atomic<unsigned long> g_signal_thread{0};
bool signals_here() { return PyThread_get_thread_ident() == g_signal_thread.load(std::memory_order_relaxed); }

// Installs the hooks once per process; learns the main thread from the main
// interpreter (a subinterpreter's threading module names its own).
bool install_blocking_hooks() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main() && g_signal_thread.load() == 0) {
        PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
        PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
        PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
        if (!ident) return false;
        unsigned long id = PyLong_AsUnsignedLong(ident.get());
        if (id == (unsigned long)-1 && PyErr_Occurred()) return false;
        g_signal_thread.store(id);
    }
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_atfork(nullptr, nullptr, [] { g_signal_thread.store(PyThread_get_thread_ident()); });
        karvo::io::set_blocking_hooks({save_thread, restore_thread, check_signals, signals_here});
    });
    return true;
}

int native_exec(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!install_blocking_hooks()) return -1;
    PyRef errors = PyRef::steal(PyImport_ImportModule("karvo._errors"));
    if (!errors) return -1;
    st->format_error = PyObject_GetAttrString(errors.get(), "FormatError");
    if (!st->format_error) return -1;
    st->truncated_error = PyObject_GetAttrString(errors.get(), "TruncatedError");
    if (!st->truncated_error) return -1;
    st->file_type = PyType_FromModuleAndSpec(module, &File_spec, nullptr);
    if (!st->file_type) return -1;
    if (PyModule_AddObjectRef(module, "File", st->file_type) < 0) return -1;
    return PyModule_AddStringConstant(module, "__version__", KARVO_VERSION);
}

int native_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    Py_VISIT(st->file_type);
    Py_VISIT(st->format_error);
    Py_VISIT(st->truncated_error);
    return 0;
}

int native_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    Py_CLEAR(st->file_type);
    Py_CLEAR(st->format_error);
    Py_CLEAR(st->truncated_error);
    return 0;
}

void native_free(void* module) { native_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(native_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT, "karvo._native", "Native bulk reader of the karvo package.", sizeof(ModuleState),
    native_methods, native_slots, native_traverse, native_clear, native_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&native_def); }
