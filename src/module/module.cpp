// Initialization of the karvoreader module: names are bound in a fixed
// order, each as soon as it exists; any failing step fails the import.
#include "io/native_file.hpp"
#include "file/spafile.hpp"
#include "host/function.hpp"
#include "host/generator.hpp"
#include "host/namespace.hpp"
#include "records/record_classes.hpp"
#include "series/linked_data.hpp"
#include "series/series.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <string_view>

namespace karvo::host {
namespace {

bool bind(PyObject* dict, const char* name, PyObject* value) {
    if (!value) return false;
    int r = PyDict_SetItemString(dict, name, value);
    Py_DECREF(value);
    return r == 0;
}

// The import-time line goes out once per process, at the first
// initialization that gets as far as printing it. Interpreters with GILs of
// their own may initialize at once: one claims the line, and gives it back
// when its print fails.
std::atomic<bool> g_banner_printed{false};

bool print_banner() {
    bool expected = false;
    if (!g_banner_printed.compare_exchange_strong(expected, true)) return true;
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed: the frame's builtins, not replaced while we print
    PyRef print = builtins ? PyRef::borrow(PyDict_GetItemWithError(builtins, KARVO_STR("print"))) : PyRef();
    if (!print && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "print is not available");
    PyRef r = print ? PyRef::steal(PyObject_CallOneArg(print.get(), KARVO_STR("karvoreader: compiled version"))) : PyRef();
    if (!r) g_banner_printed.store(false);
    return bool(r);
}

// Blocking reads let other threads of the reading thread's interpreter run.
// PyEval_SaveThread and PyEval_RestoreThread act on the calling thread's own
// state, so one pair serves every interpreter; it is set once per process.
void* release_gil() { return PyEval_SaveThread(); }
void restore_gil(void* state) { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }
std::once_flag g_hooks_set;

int exec_module(PyObject* module) {
    std::call_once(g_hooks_set, [] { io::set_blocking_hooks({release_gil, restore_gil}); });
    ModuleState* st = new (module_state(module)) ModuleState{};
    if (!intern_names(st)) return -1;
    ModuleScope scope(module);  // what is made now belongs to this module
    PyObject* dict = PyModule_GetDict(module);  // borrowed: the module's own
    st->ns = Py_NewRef(dict);
    Originals& orig = st->originals;
    st->function_type = make_function_type(module);
    if (!st->function_type) return -1;
    st->generator_type = make_generator_type(module);
    if (!st->generator_type) return -1;

    PyObject* struct_mod = PyImport_ImportModule("struct");
    if (!struct_mod) return -1;
    orig.struct_error = PyObject_GetAttrString(struct_mod, "error");
    if (!bind(dict, "struct", struct_mod) || !orig.struct_error) return -1;
    PyRef array_mod = PyRef::steal(PyImport_ImportModule("array"));
    if (!array_mod) return -1;
    orig.array_type = PyObject_GetAttrString(array_mod.get(), "array");
    if (!orig.array_type || PyDict_SetItemString(dict, "array", orig.array_type) < 0) return -1;
    PyRef io_mod = PyRef::steal(PyImport_ImportModule("io"));
    orig.open = io_mod ? PyObject_GetAttrString(io_mod.get(), "open") : nullptr;
    orig.element_types = Py_BuildValue("{isis}", 4, "f", 8, "d");
    if (!orig.open || !orig.element_types) return -1;

    if (!print_banner()) return -1;

    const struct { const char* name; long value; } constants[] = {
        {"ST_ID_LENGTH", 30}, {"FILE_ID_LENGTH", 256}, {"MAX_PATH", 260},
        {"FT_IRDATA", 1},     {"FT_GROUP", 10},        {"FT_SERIES", 11},
    };
    for (const auto& c : constants)
        if (!bind(dict, c.name, PyLong_FromLong(c.value))) return -1;

    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    orig.decode_string = PyCFunction_NewEx(&decode_string_def, module, module_name.get());
    orig.read_string = PyCFunction_NewEx(&read_string_def, module, module_name.get());
    if (!orig.decode_string || PyDict_SetItemString(dict, "decode_string", orig.decode_string) < 0) return -1;
    if (!orig.read_string || PyDict_SetItemString(dict, "read_string", orig.read_string) < 0) return -1;

    for (const format::Recipe& recipe : format::record_recipes()) {
        ClassAttrs extra;
        PyRef linked;
        if (std::string_view(recipe.class_name) == "DiskResidentArray") {
            linked = PyRef::steal(make_read_linked_data());
            if (!linked) return -1;
            extra.emplace_back("read_linked_data", linked.get());
        }
        if (!bind(dict, recipe.class_name, create_record_class(recipe, extra))) return -1;
    }

    // The section-type registry and its inverse, a copy made now.
    PyRef type_class = PyRef::steal(PyDict_New());
    if (!type_class) return -1;
    const struct { long type; const char* cls; } registry[] = {
        {2, "MainSpectralHeader"}, {325, "SeriesHeader"}, {300, "DiskResidentArray"},
    };
    for (const auto& entry : registry) {
        PyRef cls = lookup(entry.cls);
        PyRef key = PyRef::steal(PyLong_FromLong(entry.type));
        if (!cls || !key || PyDict_SetItem(type_class.get(), key.get(), cls.get()) < 0) return -1;
    }
    if (PyDict_SetItemString(dict, "TYPE_CLASS", type_class.get()) < 0) return -1;
    PyRef class_type = PyRef::steal(PyDict_New());
    if (!class_type) return -1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(type_class.get(), &pos, &key, &value))
        if (PyDict_SetItem(class_type.get(), value, key) < 0) return -1;
    if (PyDict_SetItemString(dict, "CLASS_TYPE", class_type.get()) < 0) return -1;

    if (!bind(dict, "SPAFile", create_spafile_class())) return -1;
    if (!bind(dict, "Series", create_series_class())) return -1;
    if (!bind(dict, "open_file", PyCFunction_NewEx(&open_file_def, module, module_name.get()))) return -1;
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = module_state(module);
    return st ? traverse_module_state(st, visit, arg) : 0;
}

int clear_module(PyObject* module) {
    if (ModuleState* st = module_state(module)) clear_module_state(st, false);
    return 0;
}

void free_module(void* module) {
    if (ModuleState* st = module_state(static_cast<PyObject*>(module))) clear_module_state(st, true);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Interpreters with a GIL of their own: every object the module uses
    // (types, names, classes) belongs to its state, and what is shared
    // across the process is plain data, set once.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "karvoreader",
    nullptr,  // no documentation string
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace karvo::host

// Multi-phase initialization: every import makes a module object of its own,
// with its own namespace, classes and functions.
PyMODINIT_FUNC PyInit_karvoreader() { return PyModuleDef_Init(&karvo::host::module_def); }
