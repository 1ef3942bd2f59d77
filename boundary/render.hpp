// Text that describes Python objects, for error messages and panics.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace pellun {

// A Python str as UTF-8 text; lone surrogates and other unencodable parts
// become U+FFFD. `text` must be a str.
std::string lossy_text(PyObject* text);
// repr() as text; a failure goes to the unraisable hook and gives
// "<unprintable TYPE object>".
std::string repr_text(PyObject* object);
// The type's qualified name; "<failed to extract type name>" when it cannot
// be had.
std::string qualname_text(PyTypeObject* type);
// What PyTraceBack_Print writes for `traceback`; a failure goes to the
// unraisable hook and gives "<unformattable REPR>".
std::string traceback_text(PyObject* traceback);
// A text as a double-quoted literal, with \\, \", \n, \r, \t, \0 and
// \u{hex} escapes; bytes that are not UTF-8 show as U+FFFD.
std::string quote_text(std::string_view text);

}  // namespace pellun
