// The module namespace and the library's own originals. Every name that an
// operation uses is looked up in the namespace at the moment of use; the
// originals let fast paths check, by identity, that nobody replaced a name.
#pragma once
#include "host/pyref.hpp"

namespace karvo::host {

// Interned names for literals. Every KARVO_STR("...") in the library has a
// slot that registers itself, with an index of its own, when the extension
// loads. The strings themselves belong to a module's state (objects never
// cross interpreters): initialization makes them all (intern_names) before
// anything uses them, so a name is never null where it is used.
struct InternedName {
    explicit InternedName(const char* text);
    const char* text;
    size_t index;
    InternedName* next;
};

template <size_t N>
struct NameLiteral {
    constexpr NameLiteral(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    char text[N];
};

template <NameLiteral S>
inline InternedName name_slot{S.text};

struct ModuleState;
// Every registered name, interned into `st` (false with an error set).
bool intern_names(ModuleState* st);
// The name for code that runs with no module in scope: this interpreter's
// own string, kept alive by the interpreter (borrowed; null on error).
PyObject* name_outside_module(InternedName& n);
inline PyObject* interned(InternedName& n);

#define KARVO_STR(lit) (::karvo::host::interned(::karvo::host::name_slot<::karvo::host::NameLiteral(lit)>))

// What initialization bound, kept to recognise the library's own objects.
struct Originals {
    PyObject* read_string = nullptr;
    PyObject* decode_string = nullptr;
    PyObject* array_type = nullptr;       // the host's array.array
    PyObject* struct_error = nullptr;     // the host's struct.error
    PyObject* open = nullptr;             // the host's io.open
    PyObject* element_types = nullptr;    // {4: "f", 8: "d"}
};

// The state of one karvoreader module object: its namespace and the
// originals of its initialization. Every operation runs with the module
// that made it in scope, so its look-ups reach that module's namespace.
struct ModuleState {
    PyObject* ns;  // the module's dictionary
    Originals originals;
    PyObject** names;          // the interned names, one per slot (InternedName::index)
    size_t name_count;
    PyObject* function_type;   // the types of the module's operations and streams
    PyObject* generator_type;
};

ModuleState* module_state(PyObject* module);
int traverse_module_state(ModuleState* st, visitproc visit, void* arg);
void clear_module_state(ModuleState* st, bool freeing);

namespace scope_detail {
// The module in scope on this thread and its state, read on every call and
// look-up: the initial-exec model makes each access one load (two pointers
// fit the static TLS room that the C library keeps for modules loaded later).
extern thread_local constinit PyObject* t_module __attribute__((tls_model("initial-exec")));
extern thread_local constinit ModuleState* t_state __attribute__((tls_model("initial-exec")));
void set(PyObject* module);
}  // namespace scope_detail

// The module in scope on this thread (borrowed; null outside any operation),
// and its state.
inline PyObject* current_module() { return scope_detail::t_module; }
inline ModuleState* current_state() { return scope_detail::t_state; }

inline PyObject* interned(InternedName& n) {
    ModuleState* st = scope_detail::t_state;
    return st && n.index < st->name_count ? st->names[n.index] : name_outside_module(n);
}

// Puts `module` in scope for the lifetime of the guard (kept as it is when
// null). Guards nest: each restores what was in scope before it.
class ModuleScope {
public:
    explicit ModuleScope(PyObject* module)
        : prev_module_(scope_detail::t_module), prev_state_(scope_detail::t_state) {
        if (module && module != prev_module_) scope_detail::set(module);
    }
    // With the module's state at hand (kept by whoever holds the module).
    ModuleScope(PyObject* module, ModuleState* state)
        : prev_module_(scope_detail::t_module), prev_state_(scope_detail::t_state) {
        if (module) enter(module, state);
    }
    ~ModuleScope() {
        scope_detail::t_module = prev_module_;
        scope_detail::t_state = prev_state_;
    }
    ModuleScope(const ModuleScope&) = delete;
    ModuleScope& operator=(const ModuleScope&) = delete;
    // Puts `module` in scope with no guard, for code that must enter and
    // leave in two calls; the caller restores what was there.
    static void enter(PyObject* module, ModuleState* state) {
        scope_detail::t_module = module;
        scope_detail::t_state = state;
    }

private:
    PyObject* prev_module_;
    ModuleState* prev_state_;
};

// Value bound under `name` now; NameError when absent. The handle owns its
// reference: Python code that runs meanwhile may rebind the name.
PyRef lookup(PyObject* name);
PyRef lookup(const char* name);
// As lookup, but null without an error when the name is absent.
PyRef peek(PyObject* name);

// A mark of the namespace in scope: while its dictionary is unchanged since
// the mark was set, every name in it is bound as it was then, so a check made
// against the names can be reused without looking them up again. Only where
// the interpreter keeps a version on each dictionary (before 3.12); elsewhere
// a mark never holds and callers look the names up every time.
struct NamespaceMark {
    uint64_t version = 0;
    bool set = false;
};
bool namespace_unchanged(const NamespaceMark& mark);
void set_mark(NamespaceMark& mark);

// The originals of the module in scope.
Originals& originals();

// struct.error for a short read of an n-byte block, in the host's wording.
void raise_short_read(Py_ssize_t n);
void raise_struct_error(const char* message);

// Calls obj.name(args...) through the host's method lookup.
PyObject* call_method(PyObject* obj, PyObject* name, PyObject* arg1 = nullptr, PyObject* arg2 = nullptr);

// getattr with an interned name.
inline PyRef attr(PyObject* obj, PyObject* name) { return PyRef::steal(PyObject_GetAttr(obj, name)); }

}  // namespace karvo::host
