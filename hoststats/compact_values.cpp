#include "hoststats/compact_values.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

namespace hoststats {

void TaskName::assign(std::string_view text, std::pmr::memory_resource* memory) {
    if (text.size() <= INLINE) {
        // Copied out first: `text` may be a view of the name it replaces.
        char copy[INLINE];
        text.copy(copy, INLINE);
        release();
        std::memcpy(bytes_, copy, text.size());
        bytes_[INLINE] = static_cast<char>(text.size());
        return;
    }
    // Made before the old name goes: `text` may be a view of it.
    void* at = memory->allocate(sizeof(Spill) + text.size(), alignof(Spill));
    auto* fresh = ::new (at) Spill{memory, text.size()};
    std::memcpy(fresh + 1, text.data(), text.size());
    release();
    const auto address = std::bit_cast<std::array<char, sizeof(void*)>>(fresh);
    std::copy(address.begin(), address.end(), bytes_);
    bytes_[INLINE] = static_cast<char>(SPILLED);
}

std::string_view TaskName::view() const noexcept {
    if (!spilled()) return {bytes_, static_cast<unsigned char>(bytes_[INLINE])};
    const Spill* long_name = spill();
    return {reinterpret_cast<const char*>(long_name + 1), long_name->size};
}

TaskName::Spill* TaskName::spill() const noexcept {
    std::array<char, sizeof(void*)> address{};
    std::copy_n(bytes_, address.size(), address.begin());
    return std::bit_cast<Spill*>(address);
}

std::pmr::memory_resource* TaskName::memory() const noexcept {
    return spilled() ? spill()->memory : std::pmr::get_default_resource();
}

void TaskName::take(TaskName& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memset(other.bytes_, 0, sizeof other.bytes_);
}

void TaskName::release() noexcept {
    if (!spilled()) return;
    Spill* long_name = spill();
    long_name->memory->deallocate(long_name, sizeof(Spill) + long_name->size, alignof(Spill));
    std::memset(bytes_, 0, sizeof bytes_);
}

}  // namespace hoststats
