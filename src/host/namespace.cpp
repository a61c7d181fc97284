#include "host/namespace.hpp"

namespace karvo::host {
namespace {
// Constant-initialized: ready before any slot registers.
InternedName* g_names = nullptr;
size_t g_name_count = 0;
}  // namespace

InternedName::InternedName(const char* t) : text(t), index(g_name_count++), next(g_names) { g_names = this; }

bool intern_names(ModuleState* st) {
    st->names = static_cast<PyObject**>(PyMem_Calloc(g_name_count ? g_name_count : 1, sizeof(PyObject*)));
    if (!st->names) {
        PyErr_NoMemory();
        return false;
    }
    st->name_count = g_name_count;
    for (InternedName* n = g_names; n; n = n->next)
        if (!(st->names[n->index] = PyUnicode_InternFromString(n->text))) return false;
    return true;
}

PyObject* name_outside_module(InternedName& n) {
    // Kept in the interpreter's own dictionary, which lives as long as the
    // interpreter: the reference handed out stays valid.
    PyObject* idict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!idict) {
        PyErr_SetString(PyExc_SystemError, "karvoreader: no interpreter dictionary");
        return nullptr;
    }
    PyRef key = PyRef::steal(PyUnicode_FromString("karvoreader.names"));
    if (!key) return nullptr;
    PyRef names = PyRef::borrow(PyDict_GetItemWithError(idict, key.get()));
    if (!names) {
        if (PyErr_Occurred()) return nullptr;
        names = PyRef::steal(PyDict_New());
        if (!names || PyDict_SetItem(idict, key.get(), names.get()) < 0) return nullptr;
    }
    PyRef s = PyRef::steal(PyUnicode_InternFromString(n.text));
    return s ? PyDict_SetDefault(names.get(), s.get(), s.get()) : nullptr;  // borrowed from the dictionary
}

namespace {
Originals g_no_originals;  // outside any module: nothing is ours
}  // namespace

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

int traverse_module_state(ModuleState* st, visitproc visit, void* arg) {
    Originals& o = st->originals;
    for (PyObject* p : {st->ns, o.read_string, o.decode_string, o.array_type, o.struct_error, o.open, o.element_types,
                        st->function_type, st->generator_type})
        Py_VISIT(p);
    return 0;
}

void clear_module_state(ModuleState* st, bool freeing) {
    Originals& o = st->originals;
    // What can lead back to the module (its dictionary, its own functions)
    // goes when a cycle is broken; the host's objects stay until the module
    // is freed, for operations that still run meanwhile (finalizers).
    // The types lead back to the module too (their instances keep their own
    // references). Names are plain strings, kept to the end as well.
    for (PyObject** p : {&st->ns, &o.read_string, &o.decode_string, &st->function_type, &st->generator_type})
        Py_CLEAR(*p);
    if (freeing) {
        for (PyObject** p : {&o.array_type, &o.struct_error, &o.open, &o.element_types}) Py_CLEAR(*p);
        for (size_t i = 0; i < st->name_count; ++i) Py_CLEAR(st->names[i]);
        PyMem_Free(st->names);
        st->names = nullptr;
        st->name_count = 0;
    }
}

namespace scope_detail {
thread_local constinit PyObject* t_module __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local constinit ModuleState* t_state __attribute__((tls_model("initial-exec"))) = nullptr;

void set(PyObject* module) {
    t_module = module;
    t_state = module ? module_state(module) : nullptr;
}
}  // namespace scope_detail

using scope_detail::t_state;

Originals& originals() { return t_state ? t_state->originals : g_no_originals; }

static PyObject* current_ns() { return t_state ? t_state->ns : nullptr; }

PyRef lookup(PyObject* name) {
    if (!name) return PyRef();  // the name could not be made
    PyObject* ns = current_ns();
    if (!ns) {
        PyErr_SetString(PyExc_SystemError, "karvoreader: the module's namespace is gone");
        return PyRef();
    }
    PyRef v = PyRef::borrow(PyDict_GetItemWithError(ns, name));
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

PyRef lookup(const char* name) {
    PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    return key ? lookup(key.get()) : PyRef();
}

PyRef peek(PyObject* name) {
    PyObject* ns = current_ns();
    PyRef v = PyRef::borrow(name && ns ? PyDict_GetItemWithError(ns, name) : nullptr);
    if (!v) PyErr_Clear();
    return v;
}

bool namespace_unchanged(const NamespaceMark& mark) {
#if PY_VERSION_HEX < 0x030C0000
    PyObject* ns = current_ns();
    return mark.set && ns && reinterpret_cast<PyDictObject*>(ns)->ma_version_tag == mark.version;
#else
    (void)mark;
    return false;
#endif
}

void set_mark(NamespaceMark& mark) {
#if PY_VERSION_HEX < 0x030C0000
    PyObject* ns = current_ns();
    mark.set = ns != nullptr;
    if (ns) mark.version = reinterpret_cast<PyDictObject*>(ns)->ma_version_tag;
#else
    (void)mark;
#endif
}

// The error class of the module bound as `struct` now.
static PyRef struct_error_class() {
    PyRef mod = peek(KARVO_STR("struct"));
    PyRef bound = mod ? PyRef::steal(PyObject_GetAttr(mod.get(), KARVO_STR("error"))) : PyRef();
    PyErr_Clear();
    if (bound && PyExceptionClass_Check(bound.get())) return bound;
    PyObject* original = originals().struct_error;
    return PyRef::borrow(original ? original : PyExc_ValueError);
}

void raise_short_read(Py_ssize_t n) {
    PyRef err = struct_error_class();
    PyErr_Format(err.get(), "unpack requires a buffer of %zd bytes", n);
}

void raise_struct_error(const char* message) {
    PyRef err = struct_error_class();
    PyErr_SetString(err.get(), message);
}

PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2) {
    PyObject* args[3] = {obj, arg1, arg2};
    size_t n = arg2 ? 3 : arg1 ? 2 : 1;
    return PyObject_VectorcallMethod(name, args, n, nullptr);
}

}  // namespace karvo::host
