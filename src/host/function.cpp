#include "host/function.hpp"

#include "host/namespace.hpp"

#include <cstring>

#include <structmember.h>

namespace karvo::host {
namespace {

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(self);
    ModuleScope scope(fn->home, fn->home_state);
    PyObject* bound[kMaxParams];
    if (!bind_arguments(fn->qualname, fn->params->data(), fn->params->size(), args, PyVectorcall_NARGS(nargsf),
                        kwnames, bound))
        return nullptr;
    return fn->impl(fn, bound);
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(fn->name);
    Py_XDECREF(fn->qualname);
    Py_XDECREF(fn->module);
    Py_XDECREF(fn->owner);
    Py_XDECREF(fn->home);
    if (fn->free_context) fn->free_context(fn->context);
    if (fn->params)
        for (PyObject* p : *fn->params) Py_DECREF(p);
    delete fn->params;
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of a heap type hold their type
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Function*>(self)->owner);
    Py_VISIT(reinterpret_cast<Function*>(self)->home);
    return 0;
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {nullptr},
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the host's list of missing names.
PyObject* format_missing(const std::vector<PyObject*>& names) {
    PyRef out = PyRef::steal(PyUnicode_FromString(""));
    size_t n = names.size();
    for (size_t i = 0; i < n && out; ++i) {
        const char* sep = i == 0 ? "" : (n == 2 ? " and " : (i + 1 == n ? ", and " : ", "));
        out = PyRef::steal(PyUnicode_FromFormat("%U%s'%U'", out.get(), sep, names[i]));
    }
    return out.release();
}

}  // namespace

bool bind_arguments(PyObject* qualname, PyObject* const* params, size_t np, PyObject* const* args,
                    size_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > np) {
        PyErr_Format(PyExc_TypeError, "%U() takes %zu positional argument%s but %zu %s given", qualname, np,
                     np == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (size_t i = 0; i < np; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        size_t slot = np;
        for (size_t i = 0; i < np; ++i) {
            if (params[i] == key) { slot = i; break; }
        }
        if (slot == np) {
            for (size_t i = 0; i < np; ++i) {
                int eq = PyUnicode_Compare(params[i], key) == 0;
                if (eq) { slot = i; break; }
            }
        }
        if (slot == np) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", qualname, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", qualname, key);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    std::vector<PyObject*> missing;
    for (size_t i = 0; i < np; ++i)
        if (!out[i]) missing.push_back(params[i]);
    if (!missing.empty()) {
        PyRef names = PyRef::steal(format_missing(missing));
        if (!names) return false;
        PyErr_Format(PyExc_TypeError, "%U() missing %zu required positional argument%s: %U", qualname,
                     missing.size(), missing.size() == 1 ? "" : "s", names.get());
        return false;
    }
    return true;
}

namespace {
PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "karvoreader.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};
}  // namespace

PyObject* make_function_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &function_spec, nullptr); }

// The deallocator tells our operations apart from anything else: every
// module's function type has it, and no other type does.
bool is_function(PyObject* o) { return Py_TYPE(o)->tp_dealloc == function_dealloc; }

PyObject* make_function(const char* qualname, const char* const* params, size_t nparams, FunctionImpl impl,
                        const void* context) {
    if (nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for an operation");
        return nullptr;
    }
    ModuleState* st = current_state();
    if (!st || !st->function_type) {
        PyErr_SetString(PyExc_SystemError, "karvoreader: the module's function type is gone");
        return nullptr;
    }
    Function* fn = PyObject_GC_New(Function, reinterpret_cast<PyTypeObject*>(st->function_type));
    if (!fn) return nullptr;
    fn->vectorcall = function_vectorcall;
    fn->params = new std::vector<PyObject*>();
    fn->impl = impl;
    fn->context = context;
    fn->free_context = nullptr;
    fn->owner = nullptr;
    fn->home = Py_XNewRef(current_module());
    fn->home_state = current_state();
    const char* dot = std::strrchr(qualname, '.');
    fn->name = PyUnicode_InternFromString(dot ? dot + 1 : qualname);
    fn->qualname = PyUnicode_InternFromString(qualname);
    fn->module = Py_NewRef(KARVO_STR("karvoreader"));
    PyObject_GC_Track(fn);
    PyRef guard = PyRef::steal(reinterpret_cast<PyObject*>(fn));
    if (!fn->name || !fn->qualname) return nullptr;
    for (size_t i = 0; i < nparams; ++i) {
        PyObject* s = PyUnicode_InternFromString(params[i]);
        if (!s) return nullptr;
        fn->params->push_back(s);
    }
    return guard.release();
}

}  // namespace karvo::host
