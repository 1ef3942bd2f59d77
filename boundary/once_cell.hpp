// Values made at most once per process, and the interned attribute names
// built on them.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "boundary/attach.hpp"
#include "boundary/panic.hpp"

namespace pellun {

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
        // Complete only once value_ holds a value.
        return complete_.load(std::memory_order_acquire)
                   ? &*value_  // NOLINT(bugprone-unchecked-optional-access)
                   : nullptr;
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

}  // namespace pellun
