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

namespace karvo::host {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "karvoreader",
    nullptr,  // no documentation string
    -1,       // single-phase: one module per process
    nullptr,
};

bool bind(PyObject* dict, const char* name, PyObject* value) {
    if (!value) return false;
    int r = PyDict_SetItemString(dict, name, value);
    Py_DECREF(value);
    return r == 0;
}

bool print_banner() {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* print = builtins ? PyDict_GetItemString(builtins, "print") : nullptr;
    if (!print) {
        PyErr_SetString(PyExc_RuntimeError, "print is not available");
        return false;
    }
    PyRef r = PyRef::steal(PyObject_CallOneArg(print, KARVO_STR("karvoreader: compiled version")));
    return bool(r);
}

void* release_gil() { return PyEval_SaveThread(); }
void restore_gil(void* state) { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }

PyObject* init_module() {
    if (!ready_function_type() || !ready_generator_type()) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    set_ns(dict);
    Originals& orig = originals();

    PyObject* struct_mod = PyImport_ImportModule("struct");
    if (!struct_mod) return nullptr;
    orig.struct_error = PyObject_GetAttrString(struct_mod, "error");
    if (!bind(dict, "struct", struct_mod) || !orig.struct_error) return nullptr;
    PyRef array_mod = PyRef::steal(PyImport_ImportModule("array"));
    if (!array_mod) return nullptr;
    orig.array_type = PyObject_GetAttrString(array_mod.get(), "array");
    if (!orig.array_type || PyDict_SetItemString(dict, "array", orig.array_type) < 0) return nullptr;
    PyRef io_mod = PyRef::steal(PyImport_ImportModule("io"));
    orig.open = io_mod ? PyObject_GetAttrString(io_mod.get(), "open") : nullptr;
    orig.element_types = Py_BuildValue("{isis}", 4, "f", 8, "d");
    if (!orig.open || !orig.element_types) return nullptr;

    if (!print_banner()) return nullptr;

    const struct { const char* name; long value; } constants[] = {
        {"ST_ID_LENGTH", 30}, {"FILE_ID_LENGTH", 256}, {"MAX_PATH", 260},
        {"FT_IRDATA", 1},     {"FT_GROUP", 10},        {"FT_SERIES", 11},
    };
    for (const auto& c : constants)
        if (!bind(dict, c.name, PyLong_FromLong(c.value))) return nullptr;

    PyObject* name = PyModule_GetNameObject(module.get());
    if (!name) return nullptr;
    PyRef module_name = PyRef::steal(name);
    orig.decode_string = PyCFunction_NewEx(&decode_string_def, module.get(), module_name.get());
    orig.read_string = PyCFunction_NewEx(&read_string_def, module.get(), module_name.get());
    if (!orig.decode_string || PyDict_SetItemString(dict, "decode_string", orig.decode_string) < 0) return nullptr;
    if (!orig.read_string || PyDict_SetItemString(dict, "read_string", orig.read_string) < 0) return nullptr;

    for (const format::Recipe& recipe : format::record_recipes()) {
        ClassAttrs extra;
        PyRef linked;
        if (std::string_view(recipe.class_name) == "DiskResidentArray") {
            linked = PyRef::steal(make_read_linked_data());
            if (!linked) return nullptr;
            extra.emplace_back("read_linked_data", linked.get());
        }
        if (!bind(dict, recipe.class_name, create_record_class(recipe, extra))) return nullptr;
    }

    // The section-type registry and its inverse, a copy made now.
    PyRef type_class = PyRef::steal(PyDict_New());
    if (!type_class) return nullptr;
    const struct { long type; const char* cls; } registry[] = {
        {2, "MainSpectralHeader"}, {325, "SeriesHeader"}, {300, "DiskResidentArray"},
    };
    for (const auto& entry : registry) {
        PyRef cls = lookup(entry.cls);
        PyRef key = PyRef::steal(PyLong_FromLong(entry.type));
        if (!cls || !key || PyDict_SetItem(type_class.get(), key.get(), cls.get()) < 0) return nullptr;
    }
    if (PyDict_SetItemString(dict, "TYPE_CLASS", type_class.get()) < 0) return nullptr;
    PyRef class_type = PyRef::steal(PyDict_New());
    if (!class_type) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(type_class.get(), &pos, &key, &value))
        if (PyDict_SetItem(class_type.get(), value, key) < 0) return nullptr;
    if (PyDict_SetItemString(dict, "CLASS_TYPE", class_type.get()) < 0) return nullptr;

    if (!bind(dict, "SPAFile", create_spafile_class())) return nullptr;
    if (!bind(dict, "Series", create_series_class())) return nullptr;
    if (!bind(dict, "open_file", PyCFunction_NewEx(&open_file_def, module.get(), module_name.get()))) return nullptr;

    io::set_blocking_hooks({release_gil, restore_gil});
    return module.release();
}

}  // namespace
}  // namespace karvo::host

PyMODINIT_FUNC PyInit_karvoreader() {
    // The interpreter keeps single-phase modules; a second initialization in
    // the same process (a subinterpreter, say) is refused rather than printing twice.
    static bool initialized = false;
    if (initialized) {
        PyErr_SetString(PyExc_ImportError, "karvoreader can be initialized only once per process");
        return nullptr;
    }
    PyObject* m = karvo::host::init_module();
    if (m) initialized = true;
    return m;
}
