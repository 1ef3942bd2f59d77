// Error values: their lazy and normalised states, how they reach the
// interpreter, and the common errors made here.
#include "boundary/pyerr.hpp"

#include <thread>

#include "boundary/attach.hpp"
#include "boundary/interp.hpp"
#include "boundary/once_cell.hpp"
#include "boundary/panic.hpp"
#include "boundary/panic_exception.hpp"
#include "boundary/render.hpp"

namespace pellun {

namespace {

struct PyErrStateLazy {
    std::unique_ptr<LazyProducer> producer;
};
struct PyErrStateNormalized {
    Owned exception;
};
using PyErrState = std::variant<PyErrStateLazy, PyErrStateNormalized>;

Py_ssize_t ssize(std::string_view text) noexcept { return static_cast<Py_ssize_t>(text.size()); }

Owned new_str(std::string_view text) {
    return check_new(py::unicode_from_utf8(text.data(), ssize(text)));
}

// Runs the producer and sets what it yields as the pending exception; a
// producer that yields no exception class gives a TypeError instead.
void raise_lazy(std::unique_ptr<LazyProducer> producer) {
    LazyOutcome outcome = producer->produce();
    producer.reset();
    PyObject* type = outcome.type.get();
    if (type != nullptr && py::is_type(type) && py::is_base_exception_subclass(type)) {
        py::set_object(type, outcome.argument.get());
    } else {
        py::set_string(py::exc_type_error(), "exceptions must derive from BaseException");
    }
}

}  // namespace

// --- PyErr -------------------------------------------------------------------

struct PyErr::Inner {
    PoisonMutex mutex;
    // The thread that runs the normalisation, while it runs.
    std::optional<std::thread::id> normalizing_thread;
    OnceCell<Unit> normalized;
    // Absent only while the normalisation has taken it out.
    std::optional<PyErrState> state;
    // The normalised exception, owned by `state`.
    PyObject* exception = nullptr;
};

PyErr::PyErr(std::unique_ptr<LazyProducer> producer) : inner_(std::make_unique<Inner>()) {
    inner_->state.emplace(PyErrStateLazy{std::move(producer)});
}

PyErr::PyErr(std::unique_ptr<Inner> inner) noexcept : inner_(std::move(inner)) {}

PyErr::PyErr(PyErr&& other) noexcept = default;
PyErr& PyErr::operator=(PyErr&& other) noexcept = default;
PyErr::~PyErr() = default;

PyErr PyErr::from_exception(Owned exception) {
    auto inner = std::make_unique<Inner>();
    inner->exception = exception.get();
    inner->state.emplace(PyErrStateNormalized{std::move(exception)});
    // Already normalised: mark the once-only normalisation done.
    inner->normalized.get_or_init([] { return Unit{}; });
    return PyErr(std::move(inner));
}

std::optional<PyErr> PyErr::take() {
    Owned exception = Owned::steal(py::get_raised_exception());
    if (!exception) return std::nullopt;
    PyObject* panic_type = PanicException::type_object();
    if (py::as_object(py::type_of(exception.get())) == panic_type) {
        print_panic_and_unwind(std::move(exception));
    }
    return from_exception(std::move(exception));
}

PyErr PyErr::fetch() {
    if (std::optional<PyErr> pending = take()) return std::move(*pending);
    return failed_to_fetch();
}

PyErr PyErr::failed_to_fetch() {
    return lazy([]() -> LazyOutcome {
        return {Owned::borrow(py::exc_system_error()),
                new_str("attempted to fetch exception but none was set")};
    });
}

PyErr PyErr::no_memory() noexcept {
    PyErr error;
    error.out_of_memory_ = true;
    return error;
}

void PyErr::restore() && {
    if (out_of_memory_) {
        py::no_memory();
        return;
    }
    std::unique_ptr<Inner> inner = std::move(inner_);
    std::optional<PyErrState> state;
    if (inner) {
        auto guard = inner->mutex.lock();
        state.swap(inner->state);
        inner->exception = nullptr;
    }
    if (!state) panic("PyErr state should never be invalid outside of normalization");
    if (auto* normalized = std::get_if<PyErrStateNormalized>(&*state)) {
        py::set_raised_exception(normalized->exception.release());
    } else {
        raise_lazy(std::move(std::get<PyErrStateLazy>(*state).producer));
    }
}

PyObject* PyErr::make_normalized() {
    if (out_of_memory_) {
        // Described like any other error, from the interpreter's own.
        py::no_memory();
        *this = from_exception(Owned::steal(py::get_raised_exception()));
    }
    if (!inner_) panic("PyErr state should never be invalid outside of normalization");
    Inner& inner = *inner_;
    if (inner.normalized.get() != nullptr) return inner.exception;
    bool reentrant = false;
    {
        auto guard = inner.mutex.lock();
        reentrant = inner.normalizing_thread == std::this_thread::get_id();
    }
    if (reentrant) panic("Re-entrant normalization of PyErrState detected");

    // A thread that waits for another's normalisation must not hold the
    // interpreter lock that the other needs.
    SuspendAttach detached;
    inner.normalized.get_or_init([&inner] {
        std::optional<PyErrState> state;
        {
            auto guard = inner.mutex.lock();
            inner.normalizing_thread = std::this_thread::get_id();
            state.swap(inner.state);
        }
        if (!state) panic("Cannot normalize a PyErr while already normalizing it.");
        AttachGuard attached = AttachGuard::attach();
        Owned exception;
        if (auto* lazy_state = std::get_if<PyErrStateLazy>(&*state)) {
            raise_lazy(std::move(lazy_state->producer));
            exception = Owned::steal(py::get_raised_exception());
            if (!exception) panic("exception missing after writing to the interpreter");
        } else {
            exception = std::move(std::get<PyErrStateNormalized>(*state).exception);
        }
        auto guard = inner.mutex.lock();
        inner.exception = exception.get();
        inner.state.emplace(PyErrStateNormalized{std::move(exception)});
        inner.normalizing_thread.reset();
        return Unit{};
    });
    detached.resume();
    return inner.exception;
}

bool PyErr::matches(PyObject* type) {
    return py::given_exception_matches(make_normalized(), type);
}

std::string PyErr::description() {
    AttachGuard attached = AttachGuard::attach();
    PyObject* exception = make_normalized();
    std::string text = "PyErr { type: ";
    text += repr_text(py::as_object(py::type_of(exception)));
    text += ", value: ";
    text += repr_text(exception);
    text += ", traceback: ";
    Owned traceback = Owned::steal(py::exception_get_traceback(exception));
    if (!traceback) {
        text += "None";
    } else {
        text += "Some(";
        text += quote_text(traceback_text(traceback.get()));
        text += ")";
    }
    text += " }";
    return text;
}

PyErr cast_error(Owned object, PyTypeObject* target) {
    return PyErr::lazy([object = std::move(object), target]() -> LazyOutcome {
        // Appended piece by piece: GCC 12's -Wrestrict misreads the inlined
        // copies of "..." + std::string&& at -O3.
        std::string message = "'";
        if (py::is_none(object.get())) {
            message += "None' is not an instance of '";
        } else {
            message += qualname_text(py::type_of(object.get()));
            message += "' object is not an instance of '";
        }
        message += qualname_text(target);
        message += "'";
        return {Owned::borrow(py::exc_type_error()), new_str(message)};
    });
}

PyErr os_error(int error, std::string message, std::optional<std::string> filename) {
    return PyErr::lazy([error, message = std::move(message),
                        filename = std::move(filename)]() -> LazyOutcome {
        // Raised as OSError(*arguments): OSError's constructor picks the
        // subclass from the number.
        Owned arguments = check_new(py::tuple_new(filename ? 3 : 2));
        py::tuple_fill(arguments.get(), 0, check_new(py::long_from_long(error)).release());
        py::tuple_fill(arguments.get(), 1, new_str(message).release());
        if (filename) {
            Owned name = check_new(py::unicode_decode_fs(filename->data(), ssize(*filename)));
            py::tuple_fill(arguments.get(), 2, name.release());
        }
        return {Owned::borrow(py::exc_os_error()), std::move(arguments)};
    });
}

// --- null results ------------------------------------------------------------

void panic_on_null(std::source_location loc) {
    if (std::optional<PyErr> pending = PyErr::take()) {
        std::move(*pending).restore();
        py::write_unraisable(nullptr);
    }
    panic("PyObject pointer is null", loc);
}

Owned check_new(PyObject* object, std::source_location loc) {
    if (object == nullptr) panic_on_null(loc);
    return Owned::steal(object);
}

}  // namespace pellun
