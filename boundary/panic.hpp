// Panics: the unrecoverable internal faults of native code. A panic travels
// as a C++ exception of type Panic to the nearest entry from the
// interpreter, which turns it into a PanicException. Before it is thrown the
// runtime writes a fault report to standard error.
#pragma once

#include <any>
#include <atomic>
#include <mutex>
#include <source_location>
#include <string>
#include <string_view>

namespace pellun {

// Deliberately not derived from std::exception: a body's own
// `catch (const std::exception&)` must not swallow a panic.
class Panic {
public:
    explicit Panic(std::any payload) noexcept : payload_(std::move(payload)) {}

    // The payload: as a rule an owned text (std::string) or a static text
    // (const char*); anything else is possible.
    [[nodiscard]] const std::any& payload() const noexcept { return payload_; }
    std::any take_payload() noexcept { return std::move(payload_); }

private:
    std::any payload_;
};

// Writes the fault report and throws a Panic carrying `message`.
[[noreturn]] void panic(std::string message,
                        std::source_location loc = std::source_location::current());
// The same with a static text as the payload.
[[noreturn]] void panic_static(const char* message,
                               std::source_location loc = std::source_location::current());
// The same with any payload; the report says that it is not text.
[[noreturn]] void panic_any(std::any payload,
                            std::source_location loc = std::source_location::current());
// Continues a panic that was already reported: no new fault report.
[[noreturn]] void resume_unwind(std::any payload);

// "thread '<name>' (<tid>) panicked at <file>:<line>:<column>:\n<message>\n"
// on standard error, written in one piece.
void write_fault_report(std::string_view message, const std::source_location& loc) noexcept;
// Writes `text` to standard error as is, bypassing sys.stderr.
void write_stderr(std::string_view text) noexcept;
// The answer to memory that cannot be allocated where no error can be
// raised: a short message on standard error, then the process aborts. Only
// the pool of deferred releases comes here, when a reference dropped on a
// thread that is not attached cannot be queued; everywhere else an
// allocation failure reaches the caller as MemoryError.
[[noreturn]] void handle_alloc_error() noexcept;

// A mutex that a panic breaks: when a panic unwinds while the lock is held
// the mutex is marked poisoned, and every later lock panics, because the
// data it guards may have been left half-changed.
class PoisonMutex {
public:
    class Guard {
    public:
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard();

    private:
        friend class PoisonMutex;
        explicit Guard(PoisonMutex& mutex) noexcept;
        PoisonMutex& mutex_;
        int uncaught_at_lock_;
    };

    Guard lock(std::source_location loc = std::source_location::current());
    [[nodiscard]] bool poisoned() const noexcept { return poisoned_.load(); }

private:
    std::mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace pellun
