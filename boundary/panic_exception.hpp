// PanicException: the Python exception that an internal fault becomes, and
// the way back when such an exception is fetched from the interpreter.
#pragma once

#include <Python.h>

#include <any>

#include "boundary/once_cell.hpp"
#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"

namespace pellun {

struct PanicException {
    // The type, made on first use (borrowed, never released).
    static PyObject* type_object();
    // The lazy error for a caught panic's payload.
    static PyErr from_panic_payload(std::any payload);
};
extern OnceCell<PyObject*> TYPE_OBJECT;

// For a PanicException fetched back from the interpreter: banner and
// traceback on standard error, then the panic goes on with the same message.
[[noreturn]] void print_panic_and_unwind(Owned exception);

}  // namespace pellun
