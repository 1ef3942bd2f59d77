#include "hoststats/arena.hpp"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace hoststats {

namespace {

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t round_up(std::size_t bytes, std::size_t unit) noexcept {
    return (bytes + unit - 1) / unit * unit;
}

}  // namespace

Arena::~Arena() {
    // The newest block is used up to the cursor; older ones are wiped whole.
    std::size_t used_in_newest =
        blocks_ != nullptr ? static_cast<std::size_t>(cursor_ - reinterpret_cast<char*>(blocks_)) : 0;
    for (Block* block = blocks_; block != nullptr;) {
        Block* next = block->next;
        const std::size_t bytes = block->bytes;
        unmap(block, bytes, block == blocks_ ? used_in_newest : bytes);
        block = next;
    }
}

void* Arena::map(std::size_t bytes) {
    if (refused_) throw DumpExclusionRefused();
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) throw std::bad_alloc();
    // Left out of core dumps before anything is written there. A sandbox
    // may refuse that (a seccomp filter on madvise); then nothing secret is
    // written at all.
    if (secret_ && ::madvise(at, bytes, MADV_DONTDUMP) != 0) {
        ::munmap(at, bytes);
        refused_ = true;
        throw DumpExclusionRefused();
    }
    return at;
}

void Arena::unmap(void* at, std::size_t bytes, std::size_t used) noexcept {
    if (secret_) ::explicit_bzero(at, used);
    ::munmap(at, bytes);
}

void* Arena::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= own_mapping_from) {
        // Page-aligned, which covers any alignment a container asks for.
        return map(round_up(bytes, page_size()));
    }
    alignment = std::max(alignment, alignof(std::max_align_t));
    auto fits = [&]() -> char* {
        if (cursor_ == nullptr) return nullptr;
        const auto at = round_up(reinterpret_cast<std::uintptr_t>(cursor_), alignment);
        if (at + bytes > reinterpret_cast<std::uintptr_t>(end_)) return nullptr;
        return reinterpret_cast<char*>(at);
    };
    char* at = fits();
    if (at == nullptr) {
        const std::size_t block_bytes =
            std::max(next_block_, round_up(sizeof(Block) + alignment + bytes, page_size()));
        auto* block = static_cast<Block*>(map(block_bytes));
        block->next = blocks_;
        block->bytes = block_bytes;
        blocks_ = block;
        cursor_ = reinterpret_cast<char*>(block + 1);
        end_ = reinterpret_cast<char*>(block) + block_bytes;
        next_block_ = std::min(next_block_ * 2, largest_block);
        at = fits();
    }
    cursor_ = at + bytes;
    return at;
}

void Arena::do_deallocate(void* p, std::size_t bytes, std::size_t /*alignment*/) {
    if (bytes >= own_mapping_from) {
        const std::size_t mapped = round_up(bytes, page_size());
        unmap(p, mapped, bytes);
    }
    // Anything smaller stays in its block until the arena goes.
}

}  // namespace hoststats
