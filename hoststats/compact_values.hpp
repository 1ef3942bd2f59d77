// Compact value types for records kept by the thousand: lists, texts and
// optional numbers that cost a record a word or the number's own width.
// Each takes its memory from the resource it is given; none knows of the
// records that hold them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hoststats {

// The pieces of a NUL-separated file ("cmdline", "environ"), owned in one
// buffer: each piece is followed by one NUL, which no piece can hold. One
// allocation per list instead of one per piece keeps a scan cheap. Copies
// share that buffer (every task of a process holds its process's lists); a
// list that is changed gets a buffer of its own first. A list is one word,
// as every record holds two: the shared buffer, or while there is none the
// memory a first buffer will come from. Copies of one buffer are counted
// without atomics: a snapshot's lists stay on the thread that made them.
class ByteStringList {
public:
    class iterator {
    public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(const char* at) noexcept : at_(at) {}
        std::string_view operator*() const noexcept { return std::string_view(at_); }
        iterator& operator++() noexcept {
            at_ += std::char_traits<char>::length(at_) + 1;
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator&) const = default;

    private:
        const char* at_ = nullptr;
    };

    ByteStringList() noexcept : ByteStringList(std::pmr::get_default_resource()) {}
    // New buffers of this list come from `memory`.
    explicit ByteStringList(std::pmr::memory_resource* memory) noexcept
        : word_(tag(memory)) {}
    ByteStringList(std::initializer_list<std::string_view> pieces) : ByteStringList() {
        for (std::string_view piece : pieces) push_back(piece);
    }
    ByteStringList(const ByteStringList& other) noexcept : word_(other.word_) {
        if (Storage* own = storage()) ++own->copies;
    }
    ByteStringList(ByteStringList&& other) noexcept : word_(other.word_) {
        other.word_ = tag(memory_of(word_));
    }
    ByteStringList& operator=(const ByteStringList& other) noexcept {
        if (this != &other) {
            ByteStringList copy(other);
            swap(copy);
        }
        return *this;
    }
    ByteStringList& operator=(ByteStringList&& other) noexcept {
        if (this != &other) {
            ByteStringList taken(std::move(other));
            swap(taken);
        }
        return *this;
    }
    ~ByteStringList() { release(); }

    // `piece` must not hold a NUL.
    void push_back(std::string_view piece) {
        Storage& own = writable();
        own.bytes.append(piece);
        own.bytes.push_back('\0');
        ++own.count;
    }
    // Appends pieces that `write(char* room)` puts into `room_bytes` of
    // fresh room, each followed by a NUL; `write` returns the bytes and the
    // pieces it wrote.
    template <class Write>
    void append_raw(std::size_t room_bytes, Write&& write) {
        Storage& own = writable();
        const std::size_t old = own.bytes.size();
        own.bytes.resize(old + room_bytes);
        const auto [used, pieces] = write(own.bytes.data() + old);
        own.bytes.resize(old + used);
        own.count += pieces;
    }
    void clear() noexcept { release(); }

    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    [[nodiscard]] std::size_t size() const noexcept {
        const Storage* own = storage();
        return own != nullptr ? own->count : 0;
    }
    [[nodiscard]] iterator begin() const noexcept {
        const Storage* own = storage();
        return iterator(own != nullptr ? own->bytes.data() : nullptr);
    }
    [[nodiscard]] iterator end() const noexcept {
        const Storage* own = storage();
        return iterator(own != nullptr ? own->bytes.data() + own->bytes.size() : nullptr);
    }
    [[nodiscard]] std::vector<std::string> to_vector() const {
        return std::vector<std::string>(begin(), end());
    }
    // The pieces and their NULs, as held.
    [[nodiscard]] std::string_view bytes() const noexcept {
        const Storage* own = storage();
        return own != nullptr ? std::string_view(own->bytes) : std::string_view{};
    }
    // Whether two lists hold one buffer.
    [[nodiscard]] bool shares_with(const ByteStringList& other) const noexcept {
        return storage() != nullptr && word_ == other.word_;
    }
    bool operator==(const ByteStringList& other) const noexcept {
        return size() == other.size() && bytes() == other.bytes();
    }

private:
    struct Storage {
        explicit Storage(std::pmr::memory_resource* memory) : bytes(memory) {}
        std::pmr::string bytes;
        std::size_t count = 0;   // pieces
        std::size_t copies = 1;  // lists that hold this buffer
    };
    // The word points one byte past a memory resource, or at the buffer:
    // both are aligned to more than one byte, so its low bit tells which.
    static char* tag(std::pmr::memory_resource* memory) noexcept {
        return reinterpret_cast<char*>(memory) + 1;
    }
    static bool tagged(const char* word) noexcept {
        return (reinterpret_cast<std::uintptr_t>(word) & 1U) != 0;
    }
    static std::pmr::memory_resource* memory_of(char* word) noexcept {
        if (tagged(word)) return reinterpret_cast<std::pmr::memory_resource*>(word - 1);
        return reinterpret_cast<Storage*>(word)->bytes.get_allocator().resource();
    }
    [[nodiscard]] Storage* storage() const noexcept {
        return tagged(word_) ? nullptr : reinterpret_cast<Storage*>(word_);
    }
    void swap(ByteStringList& other) noexcept { std::swap(word_, other.word_); }
    // Lets go of the buffer, which goes when no other list holds it.
    void release() noexcept {
        Storage* own = storage();
        if (own == nullptr) return;
        std::pmr::memory_resource* memory = memory_of(word_);
        if (--own->copies == 0) std::pmr::polymorphic_allocator<Storage>(memory).delete_object(own);
        word_ = tag(memory);
    }
    Storage& writable() {
        Storage* own = storage();
        if (own != nullptr && own->copies == 1) return *own;
        std::pmr::memory_resource* memory = memory_of(word_);
        Storage* fresh =
            std::pmr::polymorphic_allocator<Storage>(memory).new_object<Storage>(memory);
        if (own != nullptr) {
            try {
                fresh->bytes = own->bytes;
            } catch (...) {
                std::pmr::polymorphic_allocator<Storage>(memory).delete_object(fresh);
                throw;
            }
            fresh->count = own->count;
            release();
        }
        word_ = reinterpret_cast<char*>(fresh);
        return *fresh;
    }

    char* word_;
};

// An unchanging text that the records of one snapshot may share: a link
// target that every task of a thread group reads alike is kept once, and
// each record holds a reference to it, one word wide. Copies are counted
// without atomics, as for ByteStringList.
class SharedText {
public:
    // A copy of `text` in `memory`.
    SharedText(std::string_view text, std::pmr::memory_resource* memory)
        : text_(std::pmr::polymorphic_allocator<Storage>(memory).new_object<Storage>(text)) {}
    SharedText(const SharedText& other) noexcept : text_(other.text_) { hold(); }
    SharedText& operator=(const SharedText& other) noexcept {
        if (this == &other) return *this;
        other.hold();  // first: the two may hold one text
        release();
        text_ = other.text_;
        return *this;
    }
    ~SharedText() { release(); }

    [[nodiscard]] std::string_view view() const noexcept { return text_->text; }
    operator std::string_view() const noexcept { return view(); }  // NOLINT: reads as a text
    // Whether two texts are one copy.
    [[nodiscard]] bool shares_with(const SharedText& other) const noexcept {
        return text_ == other.text_;
    }
    friend bool operator==(const SharedText& a, const SharedText& b) noexcept {
        return a.view() == b.view();
    }
    friend bool operator==(const SharedText& a, std::string_view b) noexcept {
        return a.view() == b;
    }

private:
    friend class OptionalText;
    // No text: only an OptionalText holds one, for its absence.
    SharedText() noexcept = default;

    struct Storage {
        using allocator_type = std::pmr::polymorphic_allocator<char>;
        Storage(std::string_view from, const allocator_type& memory) : text(from, memory) {}
        std::pmr::string text;
        std::size_t copies = 1;  // references to this text
    };
    void hold() const noexcept {
        if (text_ != nullptr) ++text_->copies;
    }
    void release() noexcept {
        if (text_ != nullptr && --text_->copies == 0) {
            std::pmr::polymorphic_allocator<Storage>(text_->text.get_allocator().resource())
                .delete_object(text_);
        }
        text_ = nullptr;
    }
    Storage* text_ = nullptr;  // null only in an OptionalText's absent text
};

// A SharedText or none, read like a std::optional of one, in one word: a
// record holds three link targets, and std::optional would double each.
class OptionalText {
public:
    OptionalText() noexcept = default;
    OptionalText(std::nullopt_t) noexcept {}  // NOLINT: as std::optional converts
    OptionalText(const SharedText& text) noexcept : text_(text) {}  // NOLINT: likewise
    OptionalText(const std::optional<SharedText>& text) noexcept {  // NOLINT: likewise
        if (text) text_ = *text;
    }

    [[nodiscard]] bool has_value() const noexcept { return text_.text_ != nullptr; }
    explicit operator bool() const noexcept { return has_value(); }
    // Only when there is a text.
    const SharedText& operator*() const noexcept { return text_; }
    const SharedText* operator->() const noexcept { return &text_; }
    void reset() noexcept { text_.release(); }

    friend bool operator==(const OptionalText& a, const OptionalText& b) noexcept {
        return a.has_value() == b.has_value() && (!a.has_value() || *a == *b);
    }
    friend bool operator==(const OptionalText& a, std::string_view b) noexcept {
        return a.has_value() && *a == b;
    }
    friend bool operator==(const OptionalText& a, std::nullopt_t) noexcept {
        return !a.has_value();
    }

private:
    SharedText text_;  // without a text when absent
};

// An optional number in the number's own width: `None`, a value the kernel
// never gives for the field, stands for absence, so a record keeps no
// presence flags and no padding for them. Reads like a std::optional.
template <class T, T None>
class Compact {
public:
    constexpr Compact() noexcept = default;
    constexpr Compact(std::nullopt_t) noexcept {}  // NOLINT: as std::optional converts
    // `value` must not be None.
    constexpr Compact(T value) noexcept : value_(value) {}  // NOLINT: likewise
    constexpr Compact(const std::optional<T>& value) noexcept  // NOLINT: likewise
        : value_(value.value_or(None)) {}

    [[nodiscard]] constexpr bool has_value() const noexcept { return value_ != None; }
    constexpr explicit operator bool() const noexcept { return has_value(); }
    // Only when there is a value.
    constexpr T operator*() const noexcept { return value_; }
    [[nodiscard]] constexpr T value_or(T other) const noexcept {
        return has_value() ? value_ : other;
    }
    constexpr void reset() noexcept { value_ = None; }
    constexpr operator std::optional<T>() const noexcept {  // NOLINT: reads as one
        return has_value() ? std::optional<T>(value_) : std::nullopt;
    }

    friend constexpr bool operator==(Compact a, Compact b) noexcept { return a.value_ == b.value_; }
    friend constexpr bool operator==(Compact a, T b) noexcept { return a.has_value() && a.value_ == b; }
    friend constexpr bool operator==(Compact a, std::nullopt_t) noexcept { return !a.has_value(); }
    friend constexpr bool operator==(Compact a, const std::optional<T>& b) noexcept {
        return a == Compact(b);
    }

private:
    T value_ = None;
};

// One value of an allocator-aware type (a container of the snapshot's
// memory), held through a pointer: what most records lack costs each of
// them a pointer, not a whole container. Empty, or owning a value made in
// the memory resource it was given and given back to it.
template <class T>
class ArenaBox {
public:
    ArenaBox() = default;
    ArenaBox(ArenaBox&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    ArenaBox& operator=(ArenaBox&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, nullptr);
        }
        return *this;
    }
    ~ArenaBox() { reset(); }

    // A new value, made from `args` in `memory`, in place of the old one.
    template <class... Args>
    T& emplace(std::pmr::memory_resource* memory, Args&&... args) {
        reset();
        value_ = std::pmr::polymorphic_allocator<T>(memory).template new_object<T>(
            std::forward<Args>(args)...);
        return *value_;
    }
    void reset() noexcept {
        if (value_ == nullptr) return;
        std::pmr::polymorphic_allocator<T>(value_->get_allocator().resource()).delete_object(value_);
        value_ = nullptr;
    }

    [[nodiscard]] bool has_value() const noexcept { return value_ != nullptr; }
    explicit operator bool() const noexcept { return has_value(); }
    T& operator*() noexcept { return *value_; }
    const T& operator*() const noexcept { return *value_; }
    T* operator->() noexcept { return value_; }
    const T* operator->() const noexcept { return value_; }

private:
    T* value_ = nullptr;
};

// The name of "stat" (the task's comm), which may hold any bytes. A user
// task's is at most 15 bytes (the kernel's TASK_COMM_LEN less its NUL) and
// is kept within the 16 bytes of this object; a longer one, such as a
// kernel worker's with its work queue appended, is kept in the memory it
// was given, which the copies use too.
class TaskName {
public:
    TaskName() noexcept = default;
    TaskName(const TaskName& other) { assign(other.view(), other.memory()); }
    TaskName(TaskName&& other) noexcept { take(other); }
    TaskName& operator=(const TaskName& other) {
        if (this != &other) assign(other.view(), other.memory());
        return *this;
    }
    TaskName& operator=(TaskName&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~TaskName() { release(); }

    // `text`, kept here or, when longer than fits, in `memory`.
    void assign(std::string_view text, std::pmr::memory_resource* memory);

    [[nodiscard]] std::string_view view() const noexcept;
    operator std::string_view() const noexcept { return view(); }  // NOLINT: reads as a text
    [[nodiscard]] std::size_t size() const noexcept { return view().size(); }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    friend bool operator==(const TaskName& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const TaskName& a, const TaskName& b) noexcept {
        return a.view() == b.view();
    }

private:
    // A long name: this header, then its bytes.
    struct Spill {
        std::pmr::memory_resource* memory;
        std::size_t size;  // bytes of the name
    };
    static constexpr std::size_t INLINE = 15;  // bytes a name may have to be kept here
    static constexpr unsigned char SPILLED = 0xFF;  // in place of the size

    [[nodiscard]] bool spilled() const noexcept {
        return static_cast<unsigned char>(bytes_[INLINE]) == SPILLED;
    }
    [[nodiscard]] Spill* spill() const noexcept;
    // The memory a long name came from, or the default for a short one.
    [[nodiscard]] std::pmr::memory_resource* memory() const noexcept;
    void take(TaskName& other) noexcept;
    void release() noexcept;

    // A short name and, in the last byte, its size; or the address of a
    // Spill and SPILLED.
    alignas(void*) char bytes_[INLINE + 1] = {};
};

}  // namespace hoststats
