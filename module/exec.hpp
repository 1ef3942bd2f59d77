// The module's execution step and the operations it is built from: function
// objects made from static method records and bound in the module's
// namespace and in its __all__ list.
#pragma once

#include <Python.h>

#include <span>

#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"

namespace pellun {

// A new function object for `record`, whose self is `module` and whose
// __module__ is the module's __name__.
PyResult<Owned> create_py_c_function(PyMethodDef* record, PyObject* module);

// Records the function's __name__ in __all__ and binds it on the module;
// consumes the caller's reference to the function.
PyResult<Unit> add_function(PyObject* module, Owned function);
// Appends `name` to __all__, then binds `value` as the attribute `name`.
PyResult<Unit> add(PyObject* module, PyObject* name, PyObject* value);
// A new reference to the module's __all__ list, made and bound if missing.
PyResult<Owned> index(PyObject* module);
// Appends `name` to the list `all`; a failure is an internal fault.
void append_to_all(PyObject* all, PyObject* name);

// The execution step on `module` with the given method records, added in
// order: 0, or -1 with an exception set. An entry from the interpreter.
int exec_module_records(PyObject* module, std::span<PyMethodDef* const> records) noexcept;

}  // namespace pellun
