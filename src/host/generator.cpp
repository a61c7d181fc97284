#include "host/generator.hpp"

#include "host/namespace.hpp"

#include <structmember.h>

namespace karvo::host {

struct Generator {
    PyObject_HEAD
    StreamBody* body;  // null once finished
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    PyObject* home;  // module of the operation that made the stream
    ModuleState* home_state;
    PyObject* scope_before;  // module in scope when another stream entered this one
    ModuleState* scope_before_state;
    bool running;
    bool started;
};

namespace {

Generator* as_gen(PyObject* o) { return reinterpret_cast<Generator*>(o); }

// Ends the stream: the body lets go of its files and references. A pending
// error (the reason the stream ends) survives the cleanup.
void finish(Generator* g) {
    StreamBody* body = g->body;
    if (!body) return;
    g->body = nullptr;
    ErrorGuard keep;
    {
        ModuleScope scope(g->home, g->home_state);
        body->release();
        delete body;
    }
    // An ended stream holds nothing, its module included.
    g->home_state = nullptr;
    Py_CLEAR(g->home);
}

bool refuse_if_running(Generator* g) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return true;
    }
    return false;
}

PyObject* gen_iternext(PyObject* self) {
    Generator* g = as_gen(self);
    if (refuse_if_running(g)) return nullptr;
    if (!g->body) return nullptr;
    g->started = true;
    g->running = true;
    ModuleScope scope(g->home, g->home_state);
    PyObject* item = g->body->next();
    g->running = false;
    if (!item) finish(g);
    return item;
}

PyObject* gen_send(PyObject* self, PyObject* value) {
    Generator* g = as_gen(self);
    if (!g->started && value != Py_None && g->body && !g->running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = gen_iternext(self);
    if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Generator* g = as_gen(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    // The argument is checked first: a refused request leaves the stream as
    // it was, as with the host's own generators.
    bool is_class = PyExceptionClass_Check(typ);
    if (!is_class && !PyExceptionInstance_Check(typ)) {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (!is_class && val != Py_None) {
        PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
        return nullptr;
    }
    if (refuse_if_running(g)) return nullptr;
    // Nothing in a stream handles an exception: it ends the stream and propagates.
    finish(g);
    if (is_class) PyErr_SetObject(typ, val);
    else PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    if (tb != Py_None) {
        PyObject *t, *v, *old;
        PyErr_Fetch(&t, &v, &old);
        PyErr_NormalizeException(&t, &v, &old);
        Py_XDECREF(old);
        PyErr_Restore(t, v, Py_NewRef(tb));
    }
    return nullptr;
}

PyObject* gen_close(PyObject* self, PyObject*) {
    Generator* g = as_gen(self);
    if (refuse_if_running(g)) return nullptr;
    finish(g);
    Py_RETURN_NONE;
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Generator* g = as_gen(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->home);
    return g->body ? g->body->traverse(visit, arg) : 0;
}

int gen_clear(PyObject* self) {
    Generator* g = as_gen(self);
    if (!g->running) finish(g);
    return 0;
}

void gen_finalize(PyObject* self) {
    Generator* g = as_gen(self);
    if (!g->running) finish(g);
}

void gen_dealloc(PyObject* self) {
    Generator* g = as_gen(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    finish(g);
    Py_XDECREF(g->name);
    Py_XDECREF(g->qualname);
    Py_XDECREF(g->home);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of a heap type hold their type
}

PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->qualname, self);
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->running); }
PyObject* get_suspended(PyObject* self, void*) {
    Generator* g = as_gen(self);
    return PyBool_FromLong(g->started && g->body && !g->running);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr},
};

PyMemberDef gen_members[] = {
    {"__name__", T_OBJECT, offsetof(Generator, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Generator, qualname), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Generator, weakrefs), READONLY, nullptr},
    {nullptr},
};

PyGetSetDef gen_getset[] = {
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr},
};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(gen_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_tp_methods, gen_methods},
    {Py_tp_members, gen_members},
    {Py_tp_getset, gen_getset},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "karvoreader.generator",
    sizeof(Generator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

// Ours, from whichever module: every module's generator type has this deallocator.
bool is_ours(PyObject* gen) { return Py_TYPE(gen)->tp_dealloc == gen_dealloc; }

}  // namespace

PyObject* make_generator_type(PyObject* module) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, &gen_spec, nullptr));
    if (!type) return nullptr;
    // Present the type as a generator, as other compiled generators do.
    PyRef abc = PyRef::steal(PyImport_ImportModule("_collections_abc"));
    if (!abc) return nullptr;
    PyRef gen_abc = attr(abc.get(), KARVO_STR("Generator"));
    if (!gen_abc) return nullptr;
    PyRef r = PyRef::steal(call_method(gen_abc.get(), KARVO_STR("register"), type.get()));
    return r ? type.release() : nullptr;
}

PyObject* make_generator(std::unique_ptr<StreamBody> body, PyObject* name, PyObject* qualname) {
    ModuleState* st = current_state();
    if (!st || !st->generator_type) {
        PyErr_SetString(PyExc_SystemError, "karvoreader: the module's generator type is gone");
        return nullptr;  // the body goes with its unique_ptr
    }
    Generator* g = PyObject_GC_New(Generator, reinterpret_cast<PyTypeObject*>(st->generator_type));
    if (!g) return nullptr;
    g->body = body.release();
    g->name = Py_NewRef(name);
    g->qualname = Py_NewRef(qualname);
    g->weakrefs = nullptr;
    g->home = Py_XNewRef(current_module());
    g->home_state = current_state();
    g->scope_before = nullptr;
    g->scope_before_state = nullptr;
    g->running = false;
    g->started = false;
    PyObject_GC_Track(g);
    return reinterpret_cast<PyObject*>(g);
}

StreamBody* generator_body(PyObject* gen) {
    return is_ours(gen) ? as_gen(gen)->body : nullptr;
}

bool generator_enter(PyObject* gen) {
    Generator* g = as_gen(gen);
    if (refuse_if_running(g)) return false;
    g->running = true;
    g->started = true;
    // Until generator_leave, the stream's own module is in scope.
    g->scope_before = current_module();
    g->scope_before_state = current_state();
    ModuleScope::enter(g->home, g->home_state);
    return true;
}

void generator_leave(PyObject* gen, bool more) {
    Generator* g = as_gen(gen);
    g->running = false;
    ModuleScope::enter(g->scope_before, g->scope_before_state);
    g->scope_before = nullptr;
    if (!more) finish(g);
}

void generator_finish(PyObject* gen) {
    if (is_ours(gen)) {
        if (!as_gen(gen)->running) finish(as_gen(gen));
    } else {
        ErrorGuard keep;
        PyRef r = PyRef::steal(call_method(gen, KARVO_STR("close")));
    }
}

}  // namespace karvo::host
