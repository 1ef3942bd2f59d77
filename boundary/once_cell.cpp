// The interned attribute names, each made once on first use and never
// released.
#include "boundary/once_cell.hpp"

#include <cstring>

#include "boundary/interp.hpp"
#include "boundary/pyerr.hpp"

namespace pellun {

InternedNames INTERNED;

PyObject* Interned::get() {
    return init_once_cell_py_attached(cell_, [this] {
        PyObject* text = py::unicode_from_utf8(text_, static_cast<Py_ssize_t>(std::strlen(text_)));
        if (text == nullptr) panic_on_null();
        py::unicode_intern_in_place(&text);
        return text;
    });
}

}  // namespace pellun
