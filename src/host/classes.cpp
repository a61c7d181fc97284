#include "host/classes.hpp"

#include "host/function.hpp"
#include "host/namespace.hpp"

namespace karvo::host {

PyObject* make_class(const char* name, PyObject* base, const char* doc, const ClassAttrs& attrs) {
    PyRef dict = PyRef::steal(PyDict_New());
    PyRef qualname = PyRef::steal(PyUnicode_InternFromString(name));
    PyRef docstr = doc ? PyRef::steal(PyUnicode_FromString(doc)) : PyRef::borrow(Py_None);
    if (!dict || !qualname || !docstr) return nullptr;
    if (PyDict_SetItemString(dict.get(), "__module__", KARVO_STR("karvoreader")) < 0 ||
        PyDict_SetItemString(dict.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "__doc__", docstr.get()) < 0)
        return nullptr;
    for (const auto& [key, value] : attrs)
        if (PyDict_SetItemString(dict.get(), key, value) < 0) return nullptr;
    PyRef bases = base ? PyRef::steal(PyTuple_Pack(1, base)) : PyRef::steal(PyTuple_New(0));
    if (!bases) return nullptr;
    PyRef cls = PyRef::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type),
                                                          qualname.get(), bases.get(), dict.get(), nullptr));
    if (!cls) return nullptr;
    // Operations remember their class, as a method's __class__ cell does.
    for (const auto& [key, value] : attrs) {
        if (is_function(value)) {
            auto* fn = reinterpret_cast<Function*>(value);
            Py_XSETREF(fn->owner, Py_NewRef(cls.get()));
        }
    }
    return cls.release();
}

}  // namespace karvo::host
