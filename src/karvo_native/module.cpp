// karvo._native: the bulk reader under the karvo package. It shares the
// layout tables (src/records) and the native file reading (src/io) with
// karvoreader, and hands whole blocks of spectra to numpy-owned memory.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef_Slot native_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT, "karvo._native", "Native bulk reader of the karvo package.", 0,
    nullptr, native_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&native_def); }
