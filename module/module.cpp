// The extension module pellun_core: its definition, its execution step and
// the two functions' entries. PyInit_pellun_core is the only export.
#include <Python.h>

#include <array>

#include "boundary/entry.hpp"
#include "boundary/interp.hpp"
#include "measure/measure.hpp"
#include "module/exec.hpp"

namespace {

using pellun::trampoline;

// The C entries: the interpreter passes a null self (METH_STATIC) and no
// arguments (METH_NOARGS).
PyObject* get_memory_mb_noargs(PyObject* self, PyObject* /*args*/) noexcept {
    return trampoline(&pellun::measure::get_memory_mb, self);
}

PyObject* get_cpu_percent_noargs(PyObject* self, PyObject* /*args*/) noexcept {
    return trampoline(&pellun::measure::get_cpu_percent, self);
}

// Handed to the interpreter by address and never changed. The docs hold
// only a signature block, so __text_signature__ is "()" and __doc__ None.
PyMethodDef GET_MEMORY_MB_DEF = {
    .ml_name = "get_memory_mb",
    .ml_meth = get_memory_mb_noargs,
    .ml_flags = METH_NOARGS | METH_STATIC,
    .ml_doc = "get_memory_mb()\n--\n\n",
};
PyMethodDef GET_CPU_PERCENT_DEF = {
    .ml_name = "get_cpu_percent",
    .ml_meth = get_cpu_percent_noargs,
    .ml_flags = METH_NOARGS | METH_STATIC,
    .ml_doc = "get_cpu_percent()\n--\n\n",
};

// The CPU function first: __all__ lists it first.
constexpr std::array<PyMethodDef*, 2> FUNCTIONS = {&GET_CPU_PERCENT_DEF, &GET_MEMORY_MB_DEF};

int module_exec(PyObject* module) noexcept {
    return pellun::exec_module_records(module, FUNCTIONS);
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    // Safe without the interpreter lock on an interpreter built without it.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// Writable: the interpreter stores the object type and the module index in
// it on first import.
class ModuleDef {
public:
    PyObject* init_multi_phase() noexcept { return pellun::py::module_def_init(&ffi_); }

    PyModuleDef ffi_ = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = "pellun_core",
        .m_doc = "",
        .m_size = 0,
        // The execution step adds the functions.
        .m_methods = nullptr,
        .m_slots = SLOTS,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
};

ModuleDef MODULE_DEF;

}  // namespace

PyMODINIT_FUNC PyInit_pellun_core() noexcept { return MODULE_DEF.init_multi_phase(); }
