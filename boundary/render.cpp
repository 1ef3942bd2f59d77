// Text that describes Python objects: a str as UTF-8, repr() that cannot
// fail, a type's name, a traceback as the interpreter prints it, and text
// quoted as a literal.
#include "boundary/render.hpp"

#include <array>
#include <cstddef>
#include <cstdio>
#include <optional>

#include "boundary/interp.hpp"
#include "boundary/once_cell.hpp"
#include "boundary/owned.hpp"
#include "boundary/pyerr.hpp"
#include "unicode/utf8.hpp"

namespace pellun {

namespace {

// Takes the pending exception, if any, and drops it.
void discard_pending() { Owned::steal(py::get_raised_exception()); }

// The failure just reported by the interpreter goes to the unraisable hook
// with `context`; a failure without a pending exception is reported as the
// SystemError that stands for it.
void report_unraisable(PyObject* context) {
    Owned pending = Owned::steal(py::get_raised_exception());
    if (pending) {
        py::set_raised_exception(pending.release());
    } else {
        PyErr::failed_to_fetch().restore();
    }
    py::write_unraisable(context);
}

std::string type_name_or_placeholder(PyObject* object) {
    Owned name = Owned::steal(py::type_get_name(py::type_of(object)));
    if (!name || !py::is_str(name.get())) {
        discard_pending();
        return "<unprintable object>";
    }
    return "<unprintable " + lossy_text(name.get()) + " object>";
}

// What PyTraceBack_Print writes into a new io.StringIO; nothing, with the
// interpreter's error pending, when any step fails.
std::optional<std::string> format_traceback(PyObject* traceback) {
    Owned io = Owned::steal(py::import(INTERNED.io.get()));
    if (!io) return std::nullopt;
    Owned string_io = Owned::steal(py::get_attr(io.get(), INTERNED.string_io.get()));
    if (!string_io) return std::nullopt;
    Owned buffer = Owned::steal(py::call_no_args(string_io.get()));
    if (!buffer) return std::nullopt;
    if (py::traceback_print(traceback, buffer.get()) < 0) return std::nullopt;
    Owned getvalue = Owned::steal(py::get_attr(buffer.get(), INTERNED.getvalue.get()));
    if (!getvalue) return std::nullopt;
    Owned text = Owned::steal(py::call_no_args(getvalue.get()));
    if (!text) return std::nullopt;
    if (!py::is_str(text.get())) {
        py::set_string(py::exc_type_error(), "StringIO.getvalue() did not return a str");
        return std::nullopt;
    }
    return lossy_text(text.get());
}

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// UTF-8 with every maximal ill-formed subpart replaced by one U+FFFD, as
// the interpreter's own "replace" error handler does.
std::string replace_invalid_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const unicode::Utf8Char c = unicode::decode_utf8(bytes);
        if (c.valid) {
            out.append(bytes.substr(0, c.length));
        } else {
            out += REPLACEMENT;
        }
        bytes.remove_prefix(c.length);
    }
    return out;
}

// Code points shown as \u{...} in a quoted text: controls (Cc), format
// characters (Cf), separators other than the blank (Zs, Zl, Zp), private
// use (Co) and noncharacters; first and last of each run, in order.
struct CodePoints {
    char32_t first;
    char32_t last;
};
constexpr std::array<CodePoints, 27> NOT_PRINTABLE = {{
    {0x0, 0x1F},        {0x7F, 0x9F},       {0xA0, 0xA0},       {0xAD, 0xAD},
    {0x600, 0x605},     {0x61C, 0x61C},     {0x6DD, 0x6DD},     {0x70F, 0x70F},
    {0x890, 0x891},     {0x8E2, 0x8E2},     {0x1680, 0x1680},   {0x180E, 0x180E},
    {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x206F},   {0x3000, 0x3000},
    {0xE000, 0xF8FF},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
}};

constexpr bool runs_in_order() noexcept {
    for (std::size_t i = 0; i < NOT_PRINTABLE.size(); ++i) {
        if (NOT_PRINTABLE[i].first > NOT_PRINTABLE[i].last) return false;
        if (i > 0 && NOT_PRINTABLE[i - 1].last >= NOT_PRINTABLE[i].first) return false;
    }
    return true;
}
static_assert(runs_in_order(), "the runs must stay apart and in order");

bool printable(char32_t cp) noexcept {
    if (cp >= 0x20 && cp < 0x7F) return true;
    // The last two planes are private use; the last two code points of
    // every plane are noncharacters.
    if (cp >= 0xF0000 || (cp & 0xFFFE) == 0xFFFE) return false;
    for (const CodePoints& run : NOT_PRINTABLE) {
        if (cp < run.first) return true;
        if (cp <= run.last) return false;
    }
    return true;
}

}  // namespace

std::string lossy_text(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = py::unicode_as_utf8(text, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    discard_pending();
    Owned bytes = check_new(py::unicode_encode(text, "utf-8", "surrogatepass"));
    const char* data = py::bytes_data(bytes.get());
    const Py_ssize_t length = py::bytes_size(bytes.get());
    if (data == nullptr || length < 0) panic_on_null();
    return replace_invalid_utf8(std::string_view(data, static_cast<std::size_t>(length)));
}

std::string repr_text(PyObject* object) {
    Owned text = Owned::steal(py::object_repr(object));
    if (text && py::is_str(text.get())) return lossy_text(text.get());
    report_unraisable(object);
    return type_name_or_placeholder(object);
}

std::string quote_text(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        // Valid UTF-8 as this file makes it; anything else is shown as
        // U+FFFD.
        const unicode::Utf8Char c = unicode::decode_utf8(text);
        const std::string_view encoded = c.valid ? text.substr(0, c.length) : REPLACEMENT;
        text.remove_prefix(c.length);
        switch (c.code_point) {
            case U'\\': out += "\\\\"; break;
            case U'"': out += "\\\""; break;
            case U'\n': out += "\\n"; break;
            case U'\r': out += "\\r"; break;
            case U'\t': out += "\\t"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (printable(c.code_point)) {
                    out.append(encoded);
                } else {
                    char escaped[16];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c.code_point));
                    out += escaped;
                }
        }
    }
    out += '"';
    return out;
}

std::string qualname_text(PyTypeObject* type) {
    Owned name = Owned::steal(py::type_get_qualname(type));
    if (!name || !py::is_str(name.get())) {
        discard_pending();
        return "<failed to extract type name>";
    }
    return lossy_text(name.get());
}

std::string traceback_text(PyObject* traceback) {
    if (std::optional<std::string> text = format_traceback(traceback)) return std::move(*text);
    report_unraisable(traceback);
    return "<unformattable " + repr_text(traceback) + ">";
}

}  // namespace pellun
