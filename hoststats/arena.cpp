#include "hoststats/arena.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "hoststats/pages.hpp"

namespace hoststats {

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
    char* at = pages::map(bytes);
    if (at == nullptr) throw std::bad_alloc();
    // Left out of core dumps before anything is written there. A sandbox
    // may refuse that (a seccomp filter on madvise); then nothing secret is
    // written at all.
    if (secret_ && !pages::exclude_from_dumps(at, bytes)) {
        pages::unmap(at, bytes, 0);
        refused_ = true;
        throw DumpExclusionRefused();
    }
    return at;
}

void Arena::unmap(void* at, std::size_t bytes, std::size_t used) noexcept {
    pages::unmap(at, bytes, secret_ ? used : 0);
}

void* Arena::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes >= OWN_MAPPING_FROM) {
        // Page-aligned, which covers any alignment a container asks for.
        return map(pages::whole(bytes));
    }
    // Aligned as the request asks, no more: a snapshot is mostly small
    // nodes and texts, and padding each to max_align_t cost some 14 bytes
    // a task.
    auto fits = [&]() -> char* {
        if (cursor_ == nullptr) return nullptr;
        void* at = cursor_;
        auto room = static_cast<std::size_t>(end_ - cursor_);
        return static_cast<char*>(std::align(alignment, bytes, at, room));
    };
    char* at = fits();
    if (at == nullptr) {
        const std::size_t block_bytes =
            std::max(next_block_, pages::whole(sizeof(Block) + alignment + bytes));
        auto* block = static_cast<Block*>(map(block_bytes));
        block->next = blocks_;
        block->bytes = block_bytes;
        blocks_ = block;
        cursor_ = reinterpret_cast<char*>(block + 1);
        end_ = reinterpret_cast<char*>(block) + block_bytes;
        next_block_ = std::min(next_block_ * 2, LARGEST_BLOCK);
        at = fits();
    }
    cursor_ = at + bytes;
    return at;
}

void Arena::do_deallocate(void* p, std::size_t bytes, std::size_t /*alignment*/) {
    if (bytes >= OWN_MAPPING_FROM) {
        unmap(p, pages::whole(bytes), bytes);
    }
    // Anything smaller stays in its block until the arena goes.
}

}  // namespace hoststats
