// Our own thin layer over the interpreter's C API: one small function per
// interpreter service that the module uses, so that every call into the
// interpreter is visible in one place. Nothing here adds policy: the results
// are the interpreter's own (null or -1 on failure with an exception pending,
// new references unless noted).
#pragma once

#include <Python.h>

namespace pellun::py {

// --- reference counts ------------------------------------------------------
// Py_INCREF/Py_DECREF leave immortal objects alone.
inline void incref(PyObject* object) noexcept { Py_INCREF(object); }
inline void decref(PyObject* object) noexcept { Py_DECREF(object); }

// --- objects and types -----------------------------------------------------
inline PyTypeObject* type_of(PyObject* object) noexcept { return Py_TYPE(object); }
inline PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }
inline bool is_none(PyObject* object) noexcept { return object == Py_None; }
inline bool type_is_subtype(PyTypeObject* type, PyTypeObject* base) noexcept {
    return PyType_IsSubtype(type, base) != 0;
}
// The tests below read the type's subclass flags, so subclasses count.
inline bool is_type(PyObject* object) noexcept { return PyType_Check(object); }
inline bool is_list(PyObject* object) noexcept { return PyList_Check(object); }
inline bool is_str(PyObject* object) noexcept { return PyUnicode_Check(object); }
inline bool is_base_exception_subclass(PyObject* type) noexcept {
    return PyExceptionClass_Check(type);
}
inline PyTypeObject* module_type() noexcept { return &PyModule_Type; }
inline PyTypeObject* list_type() noexcept { return &PyList_Type; }
inline PyTypeObject* str_type() noexcept { return &PyUnicode_Type; }
inline PyObject* type_get_name(PyTypeObject* type) noexcept { return PyType_GetName(type); }
inline PyObject* type_get_qualname(PyTypeObject* type) noexcept {
    return PyType_GetQualName(type);
}

// --- attributes, calls, imports --------------------------------------------
inline PyObject* get_attr(PyObject* object, PyObject* name) noexcept {
    return PyObject_GetAttr(object, name);
}
inline int set_attr(PyObject* object, PyObject* name, PyObject* value) noexcept {
    return PyObject_SetAttr(object, name, value);
}
inline PyObject* call_no_args(PyObject* callable) noexcept { return PyObject_CallNoArgs(callable); }
inline PyObject* import(PyObject* name) noexcept { return PyImport_Import(name); }
inline PyObject* object_str(PyObject* object) noexcept { return PyObject_Str(object); }
inline PyObject* object_repr(PyObject* object) noexcept { return PyObject_Repr(object); }

// --- modules and functions -------------------------------------------------
inline PyObject* module_def_init(PyModuleDef* def) noexcept { return PyModuleDef_Init(def); }
inline PyObject* module_get_name_object(PyObject* module) noexcept {
    return PyModule_GetNameObject(module);
}
inline PyObject* cmethod_new(PyMethodDef* record, PyObject* self, PyObject* module_name,
                             PyTypeObject* defining_class) noexcept {
    return PyCMethod_New(record, self, module_name, defining_class);
}

// --- containers, numbers, strings ------------------------------------------
inline PyObject* list_new(Py_ssize_t length) noexcept { return PyList_New(length); }
inline int list_append(PyObject* list, PyObject* item) noexcept { return PyList_Append(list, item); }
inline PyObject* dict_new() noexcept { return PyDict_New(); }
inline int dict_set_item(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    return PyDict_SetItem(dict, key, value);
}
inline PyObject* tuple_new(Py_ssize_t length) noexcept { return PyTuple_New(length); }
// Steals `item`; only for filling a tuple that was just made.
inline void tuple_fill(PyObject* tuple, Py_ssize_t index, PyObject* item) noexcept {
    PyTuple_SET_ITEM(tuple, index, item);
}
inline PyObject* float_from_double(double value) noexcept { return PyFloat_FromDouble(value); }
inline PyObject* long_from_long(long value) noexcept { return PyLong_FromLong(value); }
inline PyObject* unicode_from_utf8(const char* text, Py_ssize_t length) noexcept {
    return PyUnicode_FromStringAndSize(text, length);
}
// Borrowed UTF-8 buffer owned by the str; null on failure (e.g. lone
// surrogates).
inline const char* unicode_as_utf8(PyObject* text, Py_ssize_t* length) noexcept {
    return PyUnicode_AsUTF8AndSize(text, length);
}
inline PyObject* unicode_encode(PyObject* text, const char* encoding, const char* errors) noexcept {
    return PyUnicode_AsEncodedString(text, encoding, errors);
}
inline void unicode_intern_in_place(PyObject** text) noexcept { PyUnicode_InternInPlace(text); }
// A path's bytes as the interpreter decodes file names (undecodable bytes
// kept as surrogates).
inline PyObject* unicode_decode_fs(const char* text, Py_ssize_t length) noexcept {
    return PyUnicode_DecodeFSDefaultAndSize(text, length);
}
inline const char* bytes_data(PyObject* bytes) noexcept { return PyBytes_AsString(bytes); }
inline Py_ssize_t bytes_size(PyObject* bytes) noexcept { return PyBytes_Size(bytes); }

// --- exceptions --------------------------------------------------------------
inline PyObject* get_raised_exception() noexcept { return PyErr_GetRaisedException(); }
// Takes over the reference to `exception`.
inline void set_raised_exception(PyObject* exception) noexcept {
    PyErr_SetRaisedException(exception);
}
inline void set_object(PyObject* type, PyObject* value) noexcept { PyErr_SetObject(type, value); }
inline void no_memory() noexcept { PyErr_NoMemory(); }
inline void set_string(PyObject* type, const char* message) noexcept {
    PyErr_SetString(type, message);
}
inline PyObject* new_exception_with_doc(const char* name, const char* doc, PyObject* base,
                                        PyObject* dict) noexcept {
    return PyErr_NewExceptionWithDoc(name, doc, base, dict);
}
inline void print_ex(int set_sys_last_vars) noexcept { PyErr_PrintEx(set_sys_last_vars); }
inline void write_unraisable(PyObject* context) noexcept { PyErr_WriteUnraisable(context); }
inline PyObject* exception_get_traceback(PyObject* exception) noexcept {
    return PyException_GetTraceback(exception);
}
inline int traceback_print(PyObject* traceback, PyObject* file) noexcept {
    return PyTraceBack_Print(traceback, file);
}
inline PyObject* exc_base_exception() noexcept { return PyExc_BaseException; }
inline PyObject* exc_type_error() noexcept { return PyExc_TypeError; }
inline PyObject* exc_system_error() noexcept { return PyExc_SystemError; }
inline PyObject* exc_attribute_error() noexcept { return PyExc_AttributeError; }
inline PyObject* exc_os_error() noexcept { return PyExc_OSError; }
inline bool given_exception_matches(PyObject* given, PyObject* expected) noexcept {
    return PyErr_GivenExceptionMatches(given, expected) != 0;
}

// --- signals ---------------------------------------------------------------
// Runs the Python handlers of the signals that arrived (on the main thread of
// the main interpreter; elsewhere it does nothing): 0, or -1 with the
// exception that a handler raised pending.
inline int check_signals() noexcept { return PyErr_CheckSignals(); }

// --- thread state ----------------------------------------------------------
inline PyGILState_STATE gil_ensure() noexcept { return PyGILState_Ensure(); }
inline void gil_release(PyGILState_STATE state) noexcept { PyGILState_Release(state); }
inline PyThreadState* save_thread() noexcept { return PyEval_SaveThread(); }
inline void restore_thread(PyThreadState* state) noexcept { PyEval_RestoreThread(state); }
inline bool is_initialized() noexcept { return Py_IsInitialized() != 0; }
inline bool is_finalizing() noexcept { return Py_IsFinalizing() != 0; }

}  // namespace pellun::py
