// The boundary through which the interpreter enters native code: the
// thread's attach guard, owning references, error values (PyErr), the
// PanicException that internal faults become, the once-only cells and the
// pool of reference releases that had to wait for an attached thread.
//
// Every entry from the interpreter is noexcept and ends in a catch ladder:
// nothing unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <any>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "module/interp.hpp"
#include "module/panic.hpp"

namespace pellun {

// The message of the fault trap armed by every entry.
inline constexpr const char* FFI_BOUNDARY_TRAP = "uncaught panic at ffi boundary";

// --- attach state ----------------------------------------------------------

// Nested guards on this thread; positive while boundary code runs attached.
// Set to 0 (and later restored) around every detached wait.
extern thread_local std::int32_t ATTACH_COUNT;

class AttachGuard {
public:
    // For a thread that the interpreter has already attached (the entries).
    static AttachGuard assume();
    // From any thread: attaches it through PyGILState_Ensure when needed.
    static AttachGuard attach();

    AttachGuard(AttachGuard&& other) noexcept
        : kind_(std::exchange(other.kind_, Kind::Released)), state_(other.state_) {}
    AttachGuard(const AttachGuard&) = delete;
    AttachGuard& operator=(const AttachGuard&) = delete;
    AttachGuard& operator=(AttachGuard&&) = delete;
    ~AttachGuard();

private:
    enum class Kind { Assumed, Ensured, Released };
    AttachGuard(Kind kind, PyGILState_STATE state) noexcept : kind_(kind), state_(state) {}
    Kind kind_;
    PyGILState_STATE state_;
};

// Detaches the attached thread (the count saved and set to 0, the
// interpreter lock given up) until resume() or destruction re-attaches it:
// restores the thread state and the count and drains the pool.
class SuspendAttach {
public:
    SuspendAttach() noexcept;
    SuspendAttach(const SuspendAttach&) = delete;
    SuspendAttach& operator=(const SuspendAttach&) = delete;
    ~SuspendAttach();
    void resume();

private:
    std::int32_t saved_count_;
    PyThreadState* thread_state_;
};

// Armed for the duration of an entry. A panic that escapes the entry's
// handover reaches abort(), which reports a second fault with the trap's
// message and aborts the process.
class PanicTrap {
public:
    explicit PanicTrap(const char* message,
                       std::source_location loc = std::source_location::current()) noexcept
        : message_(message), loc_(loc) {}
    [[noreturn]] void abort() const noexcept;

private:
    const char* message_;
    std::source_location loc_;
};

// --- deferred release --------------------------------------------------------

// Queues one reference of `object` for release by the next thread that
// attaches through the boundary.
void register_decref(PyObject* object);
// Releases every queued reference, in the order registered. Needs an
// attached thread.
void drop_deferred_references();
// Attached: release now. Not attached: queue it.
void release_reference(PyObject* object) noexcept;

// --- owning references -------------------------------------------------------

class Owned {
public:
    Owned() noexcept = default;
    static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // A new reference to a borrowed object; the thread must be attached.
    static Owned borrow(PyObject* object) noexcept {
        py::incref(object);
        return Owned(object);
    }

    Owned(Owned&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        Owned old(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (ptr_ != nullptr) release_reference(ptr_);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Owned(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

// --- once-only cells ---------------------------------------------------------

// A value made at most once per process. Exactly one thread runs the
// initialiser while the others wait; an initialiser that throws leaves the
// cell incomplete and wakes the waiters, one of which then tries again.
template <class T>
class OnceCell {
public:
    OnceCell() = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    [[nodiscard]] const T* get() const noexcept {
        return complete_.load(std::memory_order_acquire) ? &*value_ : nullptr;
    }

    template <class Init>
    const T& get_or_init(Init&& init);

private:
    enum class State { Incomplete, Running, Complete };
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Incomplete;
    std::thread::id runner_;
    std::optional<T> value_;
    std::atomic<bool> complete_{false};
};

template <class T>
template <class Init>
const T& OnceCell<T>::get_or_init(Init&& init) {
    std::unique_lock lock(mutex_);
    while (state_ != State::Incomplete) {
        if (state_ == State::Complete) return *value_;
        if (runner_ == std::this_thread::get_id()) {
            // Waiting for ourselves would never end.
            lock.unlock();
            panic("once-only cell initialised re-entrantly by its own initialiser");
        }
        changed_.wait(lock);
    }
    state_ = State::Running;
    runner_ = std::this_thread::get_id();
    lock.unlock();

    std::optional<T> made;
    try {
        made.emplace(init());
    } catch (...) {
        {
            std::lock_guard relock(mutex_);
            state_ = State::Incomplete;
            runner_ = std::thread::id();
        }
        changed_.notify_all();
        throw;
    }
    lock.lock();
    value_ = std::move(made);
    state_ = State::Complete;
    runner_ = std::thread::id();
    complete_.store(true, std::memory_order_release);
    lock.unlock();
    changed_.notify_all();
    return *value_;
}

// The cell's value, made on first use. The thread detaches while it waits
// for or runs the initialiser, so that two threads that both need the value
// cannot deadlock through the interpreter lock; the initialiser re-attaches
// before it runs, a waiter after its wait. The caller must be attached.
template <class T, class Init>
const T& init_once_cell_py_attached(OnceCell<T>& cell, Init&& init) {
    if (const T* value = cell.get()) return *value;
    SuspendAttach detached;
    const T& value = cell.get_or_init([&] {
        detached.resume();
        return init();
    });
    detached.resume();
    return value;
}

// A process-wide interned attribute name, made on first use and kept.
class Interned {
public:
    explicit Interned(const char* text) noexcept : text_(text) {}
    // Borrowed; lives as long as the process.
    PyObject* get();

private:
    const char* text_;
    OnceCell<PyObject*> cell_;
};

struct InternedNames {
    Interned name{"__name__"};
    Interned all{"__all__"};
    Interned io{"io"};
    Interned string_io{"StringIO"};
    Interned getvalue{"getvalue"};
};
extern InternedNames INTERNED;

// --- error values ------------------------------------------------------------

// What a lazy error's producer yields: an exception type and the argument
// object, both new references.
struct LazyOutcome {
    Owned type;
    Owned argument;
};

class LazyProducer {
public:
    virtual ~LazyProducer() = default;
    // Runs on an attached thread, at most once.
    virtual LazyOutcome produce() = 0;
};

template <class F>
class LazyProducerOf final : public LazyProducer {
public:
    explicit LazyProducerOf(F f) : f_(std::move(f)) {}
    LazyOutcome produce() override { return f_(); }

private:
    F f_;
};

class PyErr {
public:
    // An error whose exception is created only when it is handed over.
    template <class F>
    static PyErr lazy(F producer) {
        return PyErr(std::unique_ptr<LazyProducer>(new LazyProducerOf<F>(std::move(producer))));
    }
    // A normalised error holding `exception`, an exception instance.
    static PyErr from_exception(Owned exception);
    // The interpreter's pending exception, if any; a PanicException (exactly
    // that type) is resumed as a panic instead.
    static std::optional<PyErr> take();
    // take(), or failed_to_fetch() when nothing is pending.
    static PyErr fetch();
    // SystemError "attempted to fetch exception but none was set".
    static PyErr failed_to_fetch();

    PyErr(PyErr&& other) noexcept;
    PyErr& operator=(PyErr&& other) noexcept;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr();

    // Hands the error to the interpreter as its pending exception.
    void restore() &&;
    // The exception instance (borrowed; lives as long as this error).
    // Needs an attached thread; detaches while a lazy state is raised.
    PyObject* make_normalized();
    // Whether the exception is an instance of `type` (subclasses match).
    bool matches(PyObject* type);
    // "PyErr { type: <repr>, value: <repr>, traceback: None | Some(\"...\") }"
    std::string description();

    struct Inner;

private:
    explicit PyErr(std::unique_ptr<LazyProducer> producer);
    explicit PyErr(std::unique_ptr<Inner> inner) noexcept;
    std::unique_ptr<Inner> inner_;
};

// A T or the error that prevented it.
template <class T>
class PyResult {
public:
    PyResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    PyResult(PyErr error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    PyErr& error() { return std::get<1>(v_); }
    PyErr take_error() { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, PyErr> v_;
};

// The success value of operations that return nothing.
struct Unit {};

// TypeError "'{}' object is not an instance of '{}'" for `object`, which is
// not an instance of `target`; the message is made when the error is
// restored.
PyErr cast_error(Owned object, PyTypeObject* target);

// OSError(error, message) or OSError(error, message, filename): the
// interpreter makes it the subclass that matches `error`
// (FileNotFoundError for ENOENT, PermissionError for EACCES and EPERM, ...)
// and sets its errno, strerror and filename. The filename is decoded as the
// interpreter decodes paths.
PyErr os_error(int error, std::string message, std::optional<std::string> filename = {});

// A Python str as UTF-8 text; lone surrogates and other unencodable parts
// become U+FFFD. `text` must be a str.
std::string lossy_text(PyObject* text);
// repr()/str() as text; a failure goes to the unraisable hook and gives
// "<unprintable TYPE object>".
std::string repr_text(PyObject* object);
std::string str_text(PyObject* object);
// A text as a double-quoted literal, with \\, \", \n, \r, \t, \0 and
// \u{hex} escapes.
std::string quote_text(std::string_view text);

// --- PanicException ----------------------------------------------------------

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

// An object-creating interpreter call returned null: the pending error goes
// to the unraisable hook, then a panic.
[[noreturn]] void panic_on_null(std::source_location loc = std::source_location::current());
// `object`, now owned, or panic_on_null() when it is null.
Owned check_new(PyObject* object, std::source_location loc = std::source_location::current());

// --- entries -----------------------------------------------------------------

namespace detail {
// The catch ladder. Called only from a catch (...) handler: turns the
// exception in flight into the error that the entry raises. A panic becomes
// a PanicException; an allocation failure aborts the process.
PyErr error_from_current_exception();
}  // namespace detail

// Runs `body` (returning PyResult<T>) under the boundary: trap armed, guard
// assumed, the outcome or a caught panic handed to the interpreter. Returns
// on_success(value) or on_failure.
template <class T, class Body, class Success, class R>
R run_entry(Body&& body, Success&& on_success, R on_failure) noexcept {
    PanicTrap trap(FFI_BOUNDARY_TRAP);
    try {
        AttachGuard guard = AttachGuard::assume();
        std::optional<PyResult<T>> outcome;
        try {
            outcome.emplace(body());
        } catch (...) {
            outcome.emplace(detail::error_from_current_exception());
        }
        if (outcome->ok()) return on_success(outcome->value());
        outcome->take_error().restore();
        return on_failure;
    } catch (...) {
        trap.abort();
    }
}

// An entry returning an object: a new reference, or null with an exception
// set.
template <class Body>
PyObject* trampoline_with(Body&& body) noexcept {
    return run_entry<Owned>(std::forward<Body>(body),
                            [](Owned& result) { return result.release(); },
                            static_cast<PyObject*>(nullptr));
}

PyObject* trampoline(PyResult<Owned> (*body)(PyObject* self), PyObject* self) noexcept;

}  // namespace pellun
