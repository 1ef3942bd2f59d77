#include "module/exec.hpp"

#include <utility>

#include "boundary/entry.hpp"
#include "boundary/interp.hpp"
#include "boundary/once_cell.hpp"
#include "boundary/panic.hpp"

namespace pellun {

PyResult<Owned> create_py_c_function(PyMethodDef* record, PyObject* module) {
    Owned name = Owned::steal(py::module_get_name_object(module));
    if (!name) return PyErr::fetch();
    Owned function = Owned::steal(py::cmethod_new(record, module, name.get(), nullptr));
    // The function keeps its own reference to the name.
    name = Owned();
    if (!function) return PyErr::fetch();
    return function;
}

PyResult<Unit> add_function(PyObject* module, Owned function) {
    Owned name = Owned::steal(py::get_attr(function.get(), INTERNED.name.get()));
    if (!name) return PyErr::fetch();
    if (!py::is_str(name.get())) return cast_error(std::move(name), py::str_type());
    return add(module, name.get(), function.get());
}

PyResult<Unit> add(PyObject* module, PyObject* name, PyObject* value) {
    {
        PyResult<Owned> all = index(module);
        if (!all.ok()) return all.take_error();
        append_to_all(all.value().get(), name);
    }
    if (py::set_attr(module, name, value) < 0) return PyErr::fetch();
    return Unit{};
}

void append_to_all(PyObject* all, PyObject* name) {
    if (py::list_append(all, name) < 0) {
        PyErr error = PyErr::fetch();
        panic("could not append __name__ to __all__: " + error.description());
    }
}

PyResult<Owned> index(PyObject* module) {
    Owned all = Owned::steal(py::get_attr(module, INTERNED.all.get()));
    if (all) {
        if (py::is_list(all.get())) return all;
        return cast_error(std::move(all), py::list_type());
    }
    PyErr error = PyErr::fetch();
    if (!error.matches(py::exc_attribute_error())) return error;
    Owned fresh = check_new(py::list_new(0));
    if (py::set_attr(module, INTERNED.all.get(), fresh.get()) < 0) return PyErr::fetch();
    return fresh;
}

int exec_module_records(PyObject* module, std::span<PyMethodDef* const> records) noexcept {
    return run_entry<Unit>(
        [module, records]() -> PyResult<Unit> {
            if (module == nullptr) return PyErr::fetch();
            PyTypeObject* type = py::type_of(module);
            if (type != py::module_type() && !py::type_is_subtype(type, py::module_type())) {
                return cast_error(Owned::borrow(module), py::module_type());
            }
            for (PyMethodDef* record : records) {
                PyResult<Owned> function = create_py_c_function(record, module);
                if (!function.ok()) return function.take_error();
                PyResult<Unit> added = add_function(module, std::move(function.value()));
                if (!added.ok()) return added.take_error();
            }
            return Unit{};
        },
        [](Unit&) { return 0; }, -1);
}

}  // namespace pellun
