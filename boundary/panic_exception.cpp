// PanicException: its type, made once on first use and never released, the
// error a caught panic becomes, and the way back when one is fetched.
#include "boundary/panic_exception.hpp"

#include <any>
#include <string>
#include <utility>

#include "boundary/interp.hpp"
#include "boundary/once_cell.hpp"
#include "boundary/owned.hpp"
#include "boundary/panic.hpp"
#include "boundary/pyerr.hpp"
#include "boundary/render.hpp"

namespace pellun {

OnceCell<PyObject*> TYPE_OBJECT;

namespace {

constexpr const char* PANIC_EXCEPTION_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_EXCEPTION_DOC =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The message of a panic whose payload is not text: fixed, so that a
// caller can recognise it, at 20 characters.
constexpr const char* NON_TEXT_PAYLOAD_MESSAGE = "native code panicked";

constexpr const char* RESUMING_BANNER =
    "--- pellun_core is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

}  // namespace

PyObject* PanicException::type_object() {
    return init_once_cell_py_attached(TYPE_OBJECT, [] {
        Owned base = Owned::borrow(py::exc_base_exception());
        PyObject* type =
            py::new_exception_with_doc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC, base.get(), nullptr);
        if (type == nullptr) {
            // Not PyErr::take(): that would ask for this very type.
            Owned pending = Owned::steal(py::get_raised_exception());
            PyErr error = pending ? PyErr::from_exception(std::move(pending)) : PyErr::failed_to_fetch();
            panic("Failed to initialize new exception type.: " + error.description());
        }
        return type;
    });
}

PyErr PanicException::from_panic_payload(std::any payload) {
    std::string message;
    if (const auto* owned = std::any_cast<std::string>(&payload)) {
        message = *owned;
    } else if (const auto* static_text = std::any_cast<const char*>(&payload)) {
        message = *static_text;
    } else {
        message = NON_TEXT_PAYLOAD_MESSAGE;
    }
    payload.reset();
    return PyErr::lazy([message = std::move(message)]() -> LazyOutcome {
        Owned type = Owned::borrow(type_object());
        Owned text = check_new(py::unicode_from_utf8(message.data(), static_cast<Py_ssize_t>(message.size())));
        Owned args = check_new(py::tuple_new(1));
        py::tuple_fill(args.get(), 0, text.release());
        return {std::move(type), std::move(args)};
    });
}

void print_panic_and_unwind(Owned exception) {
    std::string message;
    Owned text = Owned::steal(py::object_str(exception.get()));
    if (text && py::is_str(text.get())) {
        message = lossy_text(text.get());
    } else {
        // Discarded rather than fetched: fetching could meet another
        // PanicException and recurse.
        Owned::steal(py::get_raised_exception());
        message = "Unwrapped panic from Python code";
    }
    write_stderr(RESUMING_BANNER);
    py::set_raised_exception(exception.release());
    py::print_ex(0);
    resume_unwind(std::any(std::move(message)));
}

}  // namespace pellun
